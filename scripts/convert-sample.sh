#!/usr/bin/env bash
# Builds ferrycvt (native preset) and converts the bundled sample HDP file.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v cmake >/dev/null && command -v ninja >/dev/null && command -v g++ >/dev/null ||
  scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target ferrycvt

input=examples/sample.hdp
output=build/sample.dat
echo "Running: build/native/ferrycvt -f $input $output"
status=0
build/native/ferrycvt -f "$input" "$output" || status=$?
if [ "$status" -eq 0 ]; then
  echo "Wrote $(stat -c %s "$output") bytes to $(realpath "$output")"
else
  echo "ferrycvt ended with exit status $status"
fi
exit "$status"
