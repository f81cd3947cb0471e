#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the native
# build, the address+undefined-behaviour sanitizer build, the thread
# sanitizer build of the threaded suites, and the Windows cross build under
# Wine. Fails when any build or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

export WINEDEBUG=-all
export WINEPREFIX="$PWD/build/wineprefix"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1

presets=("$@")
((${#presets[@]})) || presets=(native asan tsan windows)

if [[ " ${presets[*]} " == *" windows "* ]] && [ ! -d "$WINEPREFIX" ]; then
  echo "== Preparing the Wine prefix"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi

for preset in "${presets[@]}"; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: test"
  ctest --preset "$preset"
done
echo "All tests passed in: ${presets[*]}"
