#!/usr/bin/env bash
# Builds ferrycvt and converts the bundled sample HDP file. Needs nothing but
# a C++ compiler and CMake (with make or Ninja to drive the build): the tests
# and what they need are left out of this build, in a folder of its own
# (build/sample), so the test builds' settings stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."

have() { command -v "$1" >/dev/null; }
if ! have cmake || ! { have c++ || have g++ || have clang++; } || ! { have ninja || have make; }; then
  scripts/install-deps.sh
fi

build=build/sample
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF)
# The generator is chosen once, when the folder is first configured.
if [ ! -f "$build/CMakeCache.txt" ] && have ninja; then
  options+=(-G Ninja)
fi
cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" --target ferrycvt --parallel

input=examples/sample.hdp
output=$build/sample.dat
echo "Running: $build/ferrycvt -f $input $output"
status=0
"$build/ferrycvt" -f "$input" "$output" || status=$?
if [ "$status" -eq 0 ]; then
  echo "Wrote $(stat -c %s "$output") bytes to $(realpath "$output")"
else
  echo "ferrycvt ended with exit status $status"
fi
exit "$status"
