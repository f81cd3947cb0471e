#!/usr/bin/env bash
# Conversion benchmark of ferrycvt.
#
# Generates HDP files of 4096x4096 and 8192x8192 samples and converts each
# with ferrycvt -f. The floor it is judged against is the least any
# conversion must do: read the input once (cat to /dev/null) and write the
# output's bytes once (dd of the output's size from /dev/zero). Both sides
# sync the file they wrote, so both pay for the same trip to the disk.
#
# Runs come in pairs, conversion and floor back to back, the order
# alternating from pair to pair so that a slow spell of the machine falls
# on both sides alike. Printed per size, over all pairs:
#   cvt_s, floor_s   median wall seconds
#   ratio            median of the per-pair wall ratios (spread: lowest-highest)
#   cvt_cpu, flr_cpu median CPU seconds (user + system)
#   cpu_r            median of the per-pair CPU ratios
#   B/smp            peak resident memory of the conversion per sample
#                    (highest of all runs)
#
#   bench/run_bench.sh                   uses (and if needed builds) the native preset
#   FERRY_BENCH_BUILD=dir ...            any other optimised build folder
#   FERRY_BENCH_CVT=path ...             another ferrycvt to time (an older build, say)
#   FERRY_BENCH_SIZES="1024 2048" ...    other square sizes
#   FERRY_BENCH_PAIRS=21 ...             pairs per size (default 11)
#   FERRY_BENCH_SHOW=1 ...               also print every pair: wall, CPU and peak KiB
#                                        of the conversion, then of the floor
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FERRY_BENCH_BUILD:-$root/build/native}
cvt=${FERRY_BENCH_CVT:-$build/ferrycvt}
sizes=${FERRY_BENCH_SIZES:-"4096 8192"}
pairs=${FERRY_BENCH_PAIRS:-11}

if [ ! -x /usr/bin/time ]; then
  echo "Installing GNU time for the CPU and peak-memory measurement"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get install -y time >/dev/null
fi

if [ ! -x "$cvt" ] || [ ! -x "$build/bench/hdp_gen" ]; then
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

# Runs the shell command $1 once and prints its wall seconds (from the
# shell's microsecond clock), its CPU seconds (user + system, children
# included) and its peak resident set in KiB.
timed() {
  local start end user sys rss
  start=$EPOCHREALTIME
  /usr/bin/time -f "%U %S %M" -o "$work/time" bash -c "$1"
  end=$EPOCHREALTIME
  read -r user sys rss <"$work/time"
  awk -v s="$start" -v e="$end" -v u="$user" -v y="$sys" -v r="$rss" \
    'BEGIN { printf "%.4f %.2f %d\n", e - s, u + y, r }'
}

# Median of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

printf '%-10s %7s %7s %8s %8s %6s %11s %8s %8s %6s %6s\n' size in_MB out_MB cvt_s floor_s \
  ratio spread cvt_cpu flr_cpu cpu_r B/smp

for n in $sizes; do
  in="$work/in_$n.hdp"
  out="$work/out_$n.dat"
  zeros="$work/zeros_$n.dat"
  "$build/bench/hdp_gen" "$n" "$n" 2 4 "$in"
  in_bytes=$(stat -c %s "$in")
  out_bytes=$((834 + n * n * 4))
  samples=$((n * n))
  convert="'$cvt' -f '$in' '$out' 2>/dev/null && sync '$out'"
  floor="cat '$in' >/dev/null && dd if=/dev/zero of='$zeros' bs=4M count=$out_bytes \
iflag=count_bytes status=none && sync '$zeros'"

  # One untimed run of each first, so that no pair pays for loading the
  # programs or for the first use of the generated input.
  rm -f "$out" "$zeros"
  timed "$convert" >/dev/null
  timed "$floor" >/dev/null

  : >"$work/pairs"
  for ((i = 0; i < pairs; i++)); do
    rm -f "$out" "$zeros"
    if ((i % 2 == 0)); then
      c=$(timed "$convert")
      f=$(timed "$floor")
    else
      f=$(timed "$floor")
      c=$(timed "$convert")
    fi
    [ "$(stat -c %s "$out")" -eq "$out_bytes" ] || {
      echo "unexpected output size for $n x $n" >&2
      exit 1
    }
    echo "$c $f" >>"$work/pairs"
  done
  rm -f "$in" "$out" "$zeros"
  [ -z "${FERRY_BENCH_SHOW:-}" ] || cat "$work/pairs" >&2

  # Columns of $work/pairs: cvt wall, cvt cpu, cvt rss, floor wall, floor cpu, floor rss.
  col() { awk -v k="$1" '{ print $k }' "$work/pairs" | median; }
  wall_ratios=$(awk '{ print ($4 > 0 ? $1 / $4 : 0) }' "$work/pairs")
  cpu_ratio=$(awk '{ print ($5 > 0 ? $2 / $5 : 0) }' "$work/pairs" | median)
  rss_kb=$(awk '$3 > m { m = $3 } END { print m }' "$work/pairs")
  printf '%-10s %7.1f %7.1f %8.3f %8.3f %6.2f %5.2f-%-5.2f %8.2f %8.2f %6.2f %6.2f\n' "${n}x$n" \
    "$(awk -v b="$in_bytes" 'BEGIN { print b / 1048576 }')" \
    "$(awk -v b="$out_bytes" 'BEGIN { print b / 1048576 }')" \
    "$(col 1)" "$(col 4)" "$(median <<<"$wall_ratios")" \
    "$(sort -g <<<"$wall_ratios" | head -1)" "$(sort -g <<<"$wall_ratios" | tail -1)" \
    "$(col 2)" "$(col 5)" "$cpu_ratio" \
    "$(awk -v k="$rss_kb" -v s="$samples" 'BEGIN { print k * 1024 / s }')"
done
echo "($pairs pairs per size, conversion and floor alternating; ratio = median of per-pair ratios)"
