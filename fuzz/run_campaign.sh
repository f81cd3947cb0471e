#!/usr/bin/env bash
# A fuzzing campaign: builds the fuzz preset, runs every fuzz target (or the
# ones named) one after the other at the lowest priority, each starting from
# its committed corpus, then merges what it found back into
# fuzz/corpus/<target>/ minimised and prints the executions per target.
#
# Files in fuzz/corpus/<target>/ named by the SHA-1 of their bytes are the
# grown part: each campaign minimises them afresh. Files with any other name
# (hand-made seeds, and crash-*/leak-*/timeout-*/oom-* inputs that once
# broke a target) are kept as they are, and the CTest replay runs them all.
# Inputs that break a target are kept there, shrunk where libFuzzer can.
#
# Exits 1 when a target broke (crash, sanitizer report, leak, time-out, out
# of memory), after merging and keeping everything.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

usage() {
  cat <<EOF
usage: fuzz/run_campaign.sh [-t SECONDS] [-r RUNS] [-m MB] [-l BYTES] [TARGET...]
  -t SECONDS  fuzzing time per target (default 300 unless -r is given)
  -r RUNS     executions per target (with -t too, whichever comes first)
  -m MB       memory cap of each fuzzer process (default 2048)
  -l BYTES    largest input tried (default 4096, or the target's largest
              committed input when that is larger, so no seed is cut short)
  TARGET      fuzz/<TARGET>.cpp; all of fuzz/*.cpp when none is named
Work files and logs go to build/fuzz/campaign/<target>/.
EOF
  exit 2
}

seconds="" runs="" rss_mb=2048 max_len=""
while getopts "t:r:m:l:h" opt; do
  case $opt in
  t) seconds=$OPTARG ;;
  r) runs=$OPTARG ;;
  m) rss_mb=$OPTARG ;;
  l) max_len=$OPTARG ;;
  *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ -z $seconds && -z $runs ]] && seconds=300

# An input slower than this is a hang: answers and files take milliseconds.
readonly input_timeout=30
# A target that keeps breaking is stopped after this many broken inputs:
# the same fault found again teaches nothing new.
readonly max_breaks=3
readonly work_root=build/fuzz/campaign
readonly artifact_re='^(crash|leak|timeout|oom|slow-unit)-'
readonly grown_re='^[0-9a-f]{40}$'

targets=("$@")
if ((${#targets[@]} == 0)); then
  for src in fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
for t in "${targets[@]}"; do
  [[ -f fuzz/$t.cpp ]] || { echo "no fuzz target fuzz/$t.cpp" >&2; exit 2; }
done

echo "== Building the fuzz preset"
cmake --preset fuzz >/dev/null || exit 1
nice -n 19 cmake --build --preset fuzz || exit 1

count_files() { find "$1" -maxdepth 1 -type f | wc -l; }
largest_file() { find "$1" -maxdepth 1 -type f -printf "%s\n" | sort -n | tail -1; }
corpus_bytes() { find "$1" -maxdepth 1 -type f -printf "%s\n" | awk "{ n += \$1 } END { print n + 0 }"; }

# Executions of one finished run, from its final statistics (or from the
# last status line when the run ended before printing them).
executions_in() {
  local n
  n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$1" | tail -1)
  [[ -z $n ]] && n=$(grep -oE '^#[0-9]+' "$1" | tail -1 | tr -d '#')
  echo "${n:-0}"
}

# Copies the committed inputs a fuzzer may start from: all but the ones that
# broke a target, which would stop it at once.
copy_seeds() {
  local from=$1 to=$2 f
  [[ -d $from ]] || return 0
  for f in "$from"/*; do
    [[ -f $f ]] || continue
    [[ $(basename "$f") =~ $artifact_re ]] || cp "$f" "$to/"
  done
}

# Shrinks a crashing input where libFuzzer can, and keeps it in the corpus
# under its kind and the SHA-1 of its bytes.
keep_broken_input() {
  local bin=$1 artifact=$2 corpus=$3 log=$4 done_dir=$5
  local name kind small
  name=$(basename "$artifact")
  kind=${name%%-*}
  small=$done_dir/$name.min
  if [[ $kind == crash || $kind == leak ]]; then
    nice -n 19 "$bin" "${common[@]}" -minimize_crash=1 -max_total_time=60 \
      -exact_artifact_path="$small" "$artifact" >"$log.min" 2>&1
  fi
  [[ -s $small ]] && (($(stat -c%s "$small") < $(stat -c%s "$artifact"))) || small=$artifact
  local kept
  kept=$corpus/$kind-$(sha1sum "$small" | cut -d' ' -f1)
  echo "   kept $kept ($(stat -c%s "$small") bytes); report in $log"
  if [[ ! -e $kept ]]; then
    cp "$small" "$kept"
    broken_inputs+=("$kept")
  fi
  mv "$artifact" "$done_dir/"
}

# Fuzzes one target within the budget, restarting after a broken input,
# then merges the grown inputs into its committed corpus.
campaign_target() {
  local t=$1
  local bin=build/fuzz/fuzz/fuzz_$t corpus=fuzz/corpus/$t work=$work_root/$t
  rm -rf "$work"
  mkdir -p "$work"/{seeds,grown,artifacts,kept,merged} "$corpus"
  copy_seeds "$corpus" "$work/seeds"
  local len=$max_len
  if [[ -z $len ]]; then
    len=$(largest_file "$work/seeds")
    ((len > 4096)) || len=4096
  fi
  # The options every run of this target's fuzzer program shares.
  common=(-rss_limit_mb="$rss_mb" -max_len="$len" -timeout="$input_timeout")
  local files_before total=0 spent=0 breaks=0 round=0
  files_before=$(count_files "$corpus")
  echo "== $t: fuzzing from $files_before committed inputs"
  while :; do
    local budget=() log=$work/fuzz.$round.log start=$SECONDS status
    if [[ -n $seconds ]]; then
      ((spent < seconds)) || break
      budget+=(-max_total_time=$((seconds - spent)))
    fi
    if [[ -n $runs ]]; then
      ((total < runs)) || break
      budget+=(-runs=$((runs - total)))
    fi
    nice -n 19 "$bin" "${common[@]}" "${budget[@]}" -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/grown" "$work/seeds" >"$log" 2>&1
    status=$?
    spent=$((spent + SECONDS - start))
    total=$((total + $(executions_in "$log")))
    ((status == 0)) && break
    local artifact found=0
    for artifact in "$work"/artifacts/*; do
      [[ -f $artifact && ! $(basename "$artifact") =~ ^slow-unit- ]] || continue
      echo "   $t broke (status $status): $(grep -m1 -E 'ERROR|SUMMARY|deadly signal' "$log")"
      keep_broken_input "$bin" "$artifact" "$corpus" "$log" "$work/kept"
      found=1
    done
    if ((!found)); then
      echo "   $t failed without an input to keep (status $status); see $log" >&2
      failed_targets+=("$t")
      break
    fi
    ((++breaks < max_breaks)) || break
    round=$((round + 1))
  done
  merge_target "$t" "$bin" "$corpus" "$work"
  local files_after
  files_after=$(count_files "$corpus")
  summary+=("$(printf '%-16s %12d %8d %6d %6d %9d' "$t" "$total" "$spent" \
    "$files_before" "$files_after" "$(corpus_bytes "$corpus")")")
}

# Minimises the committed grown inputs and the new ones together; inputs
# with names of their own stay as they are and count as already covered.
merge_target() {
  local t=$1 bin=$2 corpus=$3 work=$4 f
  for f in "$work"/seeds/*; do
    [[ -f $f && ! $(basename "$f") =~ $grown_re ]] && cp "$f" "$work/merged/"
  done
  if ! nice -n 19 "$bin" "${common[@]}" -merge=1 -use_counters=0 "$work/merged" "$work/seeds" "$work/grown" \
    >"$work/merge.log" 2>&1; then
    echo "   $t: merge failed, corpus left as it was; see $work/merge.log" >&2
    failed_targets+=("$t")
    return
  fi
  for f in "$corpus"/*; do
    [[ -f $f && $(basename "$f") =~ $grown_re ]] && rm "$f"
  done
  cp "$work"/merged/* "$corpus/"
}

summary=() broken_inputs=() failed_targets=()
for t in "${targets[@]}"; do campaign_target "$t"; done

echo
printf '%-16s %12s %8s %6s %6s %9s\n' target executions seconds before after bytes
printf '%s\n' "${summary[@]}"
if ((${#broken_inputs[@]})); then
  echo
  echo "Inputs that broke a target (replayed by CTest from now on):"
  printf '  %s\n' "${broken_inputs[@]}"
fi
if ((${#failed_targets[@]})); then
  echo "Targets that could not be fuzzed or merged: ${failed_targets[*]}" >&2
fi
((${#broken_inputs[@]} == 0 && ${#failed_targets[@]} == 0))
