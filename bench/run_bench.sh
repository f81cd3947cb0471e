#!/usr/bin/env bash
# Conversion benchmark of ferrycvt.
#
# Generates HDP files of 4096x4096 and 8192x8192 samples, converts each with
# ferrycvt -f, and compares the wall time with the copy floor: cp of the
# input plus dd writing as many bytes as the output holds, synced the same
# way (sync of the files written). Prints time/floor and the peak resident
# memory per sample.
#
#   bench/run_bench.sh                  uses (and if needed builds) the native preset
#   FERRY_BENCH_BUILD=dir bench/run_bench.sh   any other optimised build folder
#   FERRY_BENCH_SIZES="1024 2048" ...    other square sizes
#   FERRY_BENCH_REPEAT=3 ...             best of several runs of each command
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FERRY_BENCH_BUILD:-$root/build/native}
sizes=${FERRY_BENCH_SIZES:-"4096 8192"}
repeat=${FERRY_BENCH_REPEAT:-1}

if [ ! -x /usr/bin/time ]; then
  echo "Installing GNU time for the peak-memory measurement"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get install -y time >/dev/null
fi

if [ ! -x "$build/ferrycvt" ] || [ ! -x "$build/bench/hdp_gen" ]; then
  if [ -z "${FERRY_BENCH_BUILD:-}" ]; then
    (cd "$root" && cmake --preset native >/dev/null &&
      cmake --build --preset native --target ferrycvt hdp_gen)
  else
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target ferrycvt hdp_gen
  fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ferry-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

now_ns() { date +%s%N; }

# Wall seconds of the best of $repeat runs of "$@" (a shell function or
# command), run after clean-up by the caller-supplied function $1.
best_seconds() {
  local prepare=$1
  shift
  local best=""
  for ((i = 0; i < repeat; i++)); do
    $prepare
    local t0 t1
    t0=$(now_ns)
    "$@"
    t1=$(now_ns)
    local s
    s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    if [ -z "$best" ] || awk -v a="$s" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$s
    fi
  done
  echo "$best"
}

printf '%-11s %10s %10s %10s %8s %12s %10s\n' size input_MB output_MB convert_s floor_s time/floor RSS_B/smp

for n in $sizes; do
  in="$work/in_$n.hdp"
  out="$work/out_$n.dat"
  copy="$work/copy_$n.hdp"
  zeros="$work/zeros_$n.dat"
  "$build/bench/hdp_gen" "$n" "$n" 2 4 "$in"
  in_bytes=$(stat -c %s "$in")
  out_bytes=$((834 + n * n * 4))
  samples=$((n * n))

  clean_convert() { rm -f "$out"; }
  convert() {
    "$build/ferrycvt" -f "$in" "$out" 2>/dev/null
    sync "$out"
  }
  clean_floor() { rm -f "$copy" "$zeros"; }
  floor() {
    cp "$in" "$copy"
    dd if=/dev/zero of="$zeros" bs=4M count="$out_bytes" iflag=count_bytes status=none
    sync "$copy" "$zeros"
  }

  conv_s=$(best_seconds clean_convert convert)
  floor_s=$(best_seconds clean_floor floor)
  [ "$(stat -c %s "$out")" -eq "$out_bytes" ] || {
    echo "unexpected output size for $n x $n" >&2
    exit 1
  }

  rm -f "$out"
  /usr/bin/time -f %M -o "$work/rss" "$build/ferrycvt" -f "$in" "$out" 2>/dev/null
  rss_kb=$(tail -1 "$work/rss")
  printf '%-11s %10.1f %10.1f %10s %8s %12s %10s\n' "${n}x$n" \
    "$(awk -v b="$in_bytes" 'BEGIN { print b / 1048576 }')" \
    "$(awk -v b="$out_bytes" 'BEGIN { print b / 1048576 }')" \
    "$conv_s" "$floor_s" \
    "$(awk -v a="$conv_s" -v b="$floor_s" 'BEGIN { printf "%.2f", a / b }')" \
    "$(awk -v k="$rss_kb" -v s="$samples" 'BEGIN { printf "%.2f", k * 1024 / s }')"
  rm -f "$in" "$out" "$copy" "$zeros"
done
