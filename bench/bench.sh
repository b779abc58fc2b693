#!/usr/bin/env bash
# Whole runs of vorda as a process, side by side with the same file run with a
# threshold type that writes no records and with bench/parse_only.cpp, which
# only converts the five values of every record. Cases:
#   - 100000 records that alternate (50000 one-day events), upper 20.0;
#   - 100000 records that all pass (one event of 100000 days), upper 20.0;
#   - the real daily series in ../shared/data, upper 10.0, when present;
#   - the alternating file with a lower threshold.
# Wall times are medians of RUNS runs (hyperfine when installed, otherwise
# the best of RUNS); instruction counts come from valgrind's callgrind, when
# installed, and are steady where wall times on a shared machine are not.
# Usage: bench/bench.sh [path/to/vorda]   (default: build/release/vorda)
# Environment: RUNS (default 20), CALLGRIND=0 to skip instruction counts,
# KEEP_RESULTS=1 to time reruns over the files of the run before.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
vorda=${1:-$root/build/release/vorda}
runs=${RUNS:-20}
if [ ! -x "$vorda" ]; then
  cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
fi
vorda=$(cd "$(dirname "$vorda")" && pwd)/$(basename "$vorda")
parse_only=$root/build/bench/parse_only
if [ ! -x "$parse_only" ] || [ "$root/bench/parse_only.cpp" -nt "$parse_only" ]; then
  mkdir -p "$(dirname "$parse_only")"
  "${CXX:-c++}" -std=c++20 -O2 -DNDEBUG -o "$parse_only" "$root/bench/parse_only.cpp"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# t d m yr x with 365-day years; x from the given awk expression of i.
make_series() {
  awk -v n=100000 "BEGIN { for (i = 1; i <= n; i++) {
      doy = (i - 1) % 365; printf \"%d %d %d %d %s\\n\", i, doy % 28 + 1, int(doy / 28) % 12 + 1, 1800 + int((i - 1) / 365), $2 } }" > "$1"
}
make_series all-pass.txt '"25.5"'
make_series alternate.txt '(i % 2 ? "25.5" : "14.5")'
real=${VORDA_SHARED_DATA:-$root/../shared/data}/cet-daily-mean.txt
[ -f "$real" ] && cp "$real" real.txt

# Median wall time in milliseconds of a shell command, and its mean CPU time
# (user and system; "-" without hyperfine). The result files of
# the run before are removed first: cutting a file that the last run has
# just written waits for the file system to write it back, which times the
# disk rather than the program (set KEEP_RESULTS=1 to time reruns as they
# are).
prepare='rm -f VORDA*.dat'
[ "${KEEP_RESULTS:-0}" = 1 ] && prepare=true
time_ms() {
  if command -v hyperfine >/dev/null; then
    hyperfine --style none --warmup 2 --runs "$runs" --prepare "$prepare" --export-csv times.csv "$1" \
      >/dev/null 2>&1
    awk -F, 'NR == 2 { printf "%.1f %.1f", $4 * 1000, ($5 + $6) * 1000 }' times.csv
  else
    local best=999999999 start end
    for _ in $(seq "$runs"); do
      sh -c "$prepare"
      start=$(date +%s%N)
      sh -c "$1" >/dev/null
      end=$(date +%s%N)
      [ $((end - start)) -lt "$best" ] && best=$((end - start))
    done
    awk -v ns="$best" 'BEGIN { printf "%.1f -", ns / 1e6 }'
  fi
}

# Instructions of a shell command, in millions, or "-" without valgrind.
instructions_m() {
  if [ "${CALLGRIND:-1}" = 0 ] || ! command -v valgrind >/dev/null; then
    echo "-"
    return
  fi
  sh -c "valgrind --tool=callgrind --callgrind-out-file=/dev/null $1" 2>&1 >/dev/null |
    awk '/Collected :/ { printf "%.1f", $NF / 1e6 }'
}

printf '%-26s %38s   %s\n' "" "median wall time (CPU time), ms" "instructions, millions"
printf '%-26s %15s %11s %11s %6s %6s %8s %8s %8s\n' case program "no rec" parse p/pars n/pars program "no rec" parse
bench_case() {
  local label=$1 file=$2 n=$3 type=$4 thres=$5 durmin=$6
  printf '%s\n' "$file" "$n" "$type" "$thres" "$durmin" > answers.txt
  printf '%s\n' "$file" "$n" x "$thres" "$durmin" > none.txt
  local program="$vorda < answers.txt > /dev/null"
  local none="$vorda < none.txt > /dev/null"
  local parse="$parse_only $file $n > /dev/null"
  local tp cp tn cn tr cr ip in ir
  read -r tp cp <<<"$(time_ms "$program")"
  read -r tn cn <<<"$(time_ms "$none")"
  read -r tr cr <<<"$(time_ms "$parse")"
  ip=$(instructions_m "$program"); in=$(instructions_m "$none"); ir=$(instructions_m "$parse")
  printf '%-26s %6s (%6s) %4s (%4s) %4s (%4s) %6.2f %6.2f %8s %8s %8s\n' "$label" "$tp" "$cp" "$tn" "$cn" "$tr" "$cr" \
    "$(awk -v a="$tp" -v b="$tr" 'BEGIN { print a / b }')" \
    "$(awk -v a="$tn" -v b="$tr" 'BEGIN { print a / b }')" "$ip" "$in" "$ir"
}

bench_case "alternating, upper 20.0" alternate.txt 100000 u 20.0 1
bench_case "all pass, upper 20.0" all-pass.txt 100000 u 20.0 1
if [ -f real.txt ]; then
  bench_case "real series, upper 10.0" real.txt 91005 u 10.0 1
else
  echo "real series not found at $real: skipped"
fi
bench_case "alternating, lower 20.0" alternate.txt 100000 l 20.0 1
