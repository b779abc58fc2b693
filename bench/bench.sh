#!/usr/bin/env bash
# Times whole runs of vorda as a process, best of several, on:
#   - 100000 records that all pass (one event of 100000 days),
#   - 100000 records that alternate (50000 one-day events),
#   - the real daily series in ../shared/data, when present,
# each with an upper and a lower threshold, against a run of the same file
# whose threshold type writes no records.
# Usage: bench/bench.sh [path/to/vorda]   (default: build/release/vorda)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
vorda=${1:-$root/build/release/vorda}
if [ ! -x "$vorda" ]; then
  cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
fi
vorda=$(cd "$(dirname "$vorda")" && pwd)/$(basename "$vorda")
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

# Best wall time in milliseconds of ten runs.
best_ms() {
  local file=$1 n=$2 type=$3 thres=$4 durmin=$5 best=999999 start end ms
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    start=$(date +%s%N)
    printf '%s\n%s\n%s\n%s\n%s\n' "$file" "$n" "$type" "$thres" "$durmin" | "$vorda" >/dev/null
    end=$(date +%s%N)
    ms=$(( (end - start) / 1000000 ))
    [ "$ms" -lt "$best" ] && best=$ms
  done
  echo "$best"
}

report() {
  local label=$1 file=$2 n=$3 thres=$4 durmin=$5
  local upper lower none
  upper=$(best_ms "$file" "$n" u "$thres" "$durmin")
  lower=$(best_ms "$file" "$n" l "$thres" "$durmin")
  none=$(best_ms "$file" "$n" x "$thres" "$durmin")
  printf '%-34s upper %4d ms   lower %4d ms   no records %4d ms\n' "$label" "$upper" "$lower" "$none"
}

report "100000 records, all pass" all-pass.txt 100000 20.0 1
report "100000 records, alternating" alternate.txt 100000 20.0 1
real=$root/../shared/data/cet-daily-mean.txt
if [ -f "$real" ]; then
  cp "$real" real.txt
  report "real series, 91005 records" real.txt 91005 10.0 1
else
  echo "real series not found at $real: skipped"
fi
