#!/usr/bin/env bash
# Conversion benchmark of ferrycvt.
#
# Generates HDP files of 4096x4096 and 8192x8192 samples, converts each with
# ferrycvt -f, and compares the wall time with the copy floor: cp of the
# input plus dd writing as many bytes as the output holds, synced the same
# way (sync of the files written). Prints the wall times and their ratio,
# the CPU times (user + system) and their ratio, and the peak resident
# memory of the conversion per sample.
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

# Runs the shell command $2 $repeat times, each after the command $1, and
# prints the wall and the CPU (user + system, children included) seconds of
# the fastest run. The CPU time tells more than the wall time on a machine
# that other jobs keep busy.
best_run() {
  local best_wall="" best_cpu=""
  for ((i = 0; i < repeat; i++)); do
    bash -c "$1"
    /usr/bin/time -f "%e %U %S" -o "$work/time" bash -c "$2"
    local wall user sys
    read -r wall user sys <"$work/time"
    if [ -z "$best_wall" ] || awk -v a="$wall" -v b="$best_wall" 'BEGIN { exit !(a < b) }'; then
      best_wall=$wall
      best_cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
    fi
  done
  echo "$best_wall $best_cpu"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

printf '%-10s %8s %9s %9s %8s %7s %8s %8s %7s %9s\n' size in_MB out_MB convert_s floor_s ratio \
  cvt_cpu flr_cpu ratio RSS_B/smp

for n in $sizes; do
  in="$work/in_$n.hdp"
  out="$work/out_$n.dat"
  copy="$work/copy_$n.hdp"
  zeros="$work/zeros_$n.dat"
  "$build/bench/hdp_gen" "$n" "$n" 2 4 "$in"
  in_bytes=$(stat -c %s "$in")
  out_bytes=$((834 + n * n * 4))
  samples=$((n * n))

  read -r conv_s conv_cpu < <(best_run "rm -f '$out'" \
    "'$build/ferrycvt' -f '$in' '$out' 2>/dev/null && sync '$out'")
  [ "$(stat -c %s "$out")" -eq "$out_bytes" ] || {
    echo "unexpected output size for $n x $n" >&2
    exit 1
  }
  read -r floor_s floor_cpu < <(best_run "rm -f '$copy' '$zeros'" \
    "cp '$in' '$copy' && dd if=/dev/zero of='$zeros' bs=4M count=$out_bytes iflag=count_bytes status=none && sync '$copy' '$zeros'")

  rm -f "$out"
  /usr/bin/time -f %M -o "$work/rss" "$build/ferrycvt" -f "$in" "$out" 2>/dev/null
  rss_kb=$(tail -1 "$work/rss")
  printf '%-10s %8.1f %9.1f %9s %8s %7s %8s %8s %7s %9.2f\n' "${n}x$n" \
    "$(awk -v b="$in_bytes" 'BEGIN { print b / 1048576 }')" \
    "$(awk -v b="$out_bytes" 'BEGIN { print b / 1048576 }')" \
    "$conv_s" "$floor_s" "$(ratio "$conv_s" "$floor_s")" \
    "$conv_cpu" "$floor_cpu" "$(ratio "$conv_cpu" "$floor_cpu")" \
    "$(awk -v k="$rss_kb" -v s="$samples" 'BEGIN { print k * 1024 / s }')"
  rm -f "$in" "$out" "$copy" "$zeros"
done
