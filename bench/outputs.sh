#!/usr/bin/env bash
# Runs a fixed set of whole runs of a vorda build and keeps everything each
# run leaves behind (result files, standard output, standard error, exit
# status) under OUTDIR/<case>/, so that two builds can be compared byte for
# byte with `diff -r`. The cases cover the record paths a speed change
# touches: the example, the real series, long runs of events, and reads
# that must fall back to the general reader or fail.
# Usage: bench/outputs.sh path/to/vorda OUTDIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
vorda=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
out=$2
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)

# run CASE FILE-CONTENT-PATH answers...: one run in a fresh directory.
run() {
  local name=$1 data=$2
  shift 2
  local dir=$out/$name
  mkdir -p "$dir"
  cp "$data" "$dir/series.txt"
  local status=0
  (cd "$dir" && printf '%s\n' "$@" | "$vorda" >stdout 2>stderr) || status=$?
  echo "$status" >"$dir/status"
  rm "$dir/series.txt"
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

make_series() {
  awk -v n=100000 "BEGIN { for (i = 1; i <= n; i++) {
      doy = (i - 1) % 365; printf \"%d %d %d %d %s\\n\", i, doy % 28 + 1, int(doy / 28) % 12 + 1, 1800 + int((i - 1) / 365), $2 } }" >"$1"
}
make_series "$tmp/all-pass.txt" '"25.5"'
make_series "$tmp/alternate.txt" '(i % 2 ? "25.5" : "14.5")'

run example "$root/example/series.txt" series.txt 3652 u 18.0 3
real=${VORDA_SHARED_DATA:-$root/../shared/data}/cet-daily-mean.txt
if [ -f "$real" ]; then
  run real-upper "$real" series.txt 91005 u 10.0 1
  run real-lower "$real" series.txt 91005 l 0.0 3
  run real-none "$real" series.txt 91005 x 10.0 1
fi
run alternate-upper "$tmp/alternate.txt" series.txt 100000 u 20.0 1
run alternate-lower "$tmp/alternate.txt" series.txt 100000 l 20.0 1
run all-pass-upper "$tmp/all-pass.txt" series.txt 100000 u 20.0 1

# Lines in every form the general reader knows, each followed by plain lines,
# with the sums and dates of events depending on every value read.
printf '%s\n' \
  '1 1 1 2000 1.5' '2,2,2,2000,2.5' '3;3;3;2000;3.5' ' 4 , 4 ,4 ; 2000 ,-4.5' \
  $'5\t5\t5\t2000\t+5.25' '6 6 6 2000 6.5 99 extra' '7 7 7 2000 7.5,x' '8 8 8 2000 8.5/' \
  '9 9 9 2000 9.5 ,' '10 10 10 2000 .5' '11 11 11 2000 11.' '12 12 12 2000 -.' \
  '13 13 13 2000 1.3e1' '14 14 14 2000 1.4d+1' '15 15 15 2000 1.5+1' '16 16 16 2000 160e-1' \
  '+17 -17 0017 2000 17' '18 18' '18 2000 18.5' '' '   ' '19,,19,2000,19.5' \
  '20 20 20 2000 /' '4*21 21.5' '22 22 22 2000 1*22.5' '23 23 23 2000 inf' \
  '24 24 24 2000 -Infinity' '25 25 25 2000 nan(x)' '26 26 26 2000 00000000000000000026.500' \
  '27 27 27 2000 0.000000000000000000000000000000000000000000000000000000000001' \
  '28 28 28 2000 123456789012345678901234567890.5' '2147483647 -2147483647 29 2000 29.5' \
  '30 30 30 2000 1.00000000000000011102230246251565404236316680908203125' \
  '31 31 31 2000 3.1' >"$tmp/forms.txt"
printf '32 1 2 2000 32.5\r\n33 2 2 2000 33.5 \r\n34 3 2 2000 34.5\r35 4 2 2000 35.5\n36 5 2 2000 36.5\n' >>"$tmp/forms.txt"
run forms-upper "$tmp/forms.txt" series.txt 36 u 10.0 1
run forms-lower "$tmp/forms.txt" series.txt 36 l 10.0 2

# Failures, each after a plain line: the reason and the unit must not move.
fail_case() {
  local name=$1 line=$2
  printf '1 1 1 2000 1.5\n%s' "$line" >"$tmp/$name.txt"
  run "fail-$name" "$tmp/$name.txt" series.txt 3 u 1.0 1
}
fail_case bad-real $'1 2 3 2000 1.5.5\n3 3 3 2000 1.5\n'
fail_case bad-integer $'2 2 2.0 2000 1.5\n3 3 3 2000 1.5\n'
fail_case overflow $'2 2 2 2147483648 1.5\n3 3 3 2000 1.5\n'
fail_case min-int $'-2147483648 2 2 2000 1.5\n3 3 3 2000 1.5\n'
fail_case slash-short $'2 2 2 2000 1.5\n3 / 3 2000 1.5\n'
fail_case repeat-type $'2 2 2 2000 1.5\n5*3\n'
fail_case zero-repeat $'2 2 2 2000 1.5\n0*3 3 3 2000 1.5\n'
fail_case no-line-end-plain $'2 2 2 2000 1.5\n3 3 3 2000 25'
fail_case no-line-end-signed $'2 2 2 2000 1.5\n3 3 3 2000 -2.5'
fail_case no-line-end-point $'2 2 2 2000 1.5\n3 3 3 2000 2.5'
fail_case short-file $'2 2 2 2000 1.5\n'
fail_case letter $'2 2 2 2000 1.5x\n3 3 3 2000 1.5\n'
printf '1 1 1 2000 1.5\n2 2 2 2000 1.5\n3 3 3 2000 1\0005\n' >"$tmp/nul.txt"
run fail-nul "$tmp/nul.txt" series.txt 3 u 1.0 1
