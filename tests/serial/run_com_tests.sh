#!/bin/sh
# Runs Windows test programs under Wine against the native serial device
# simulators: each simulator serves a pseudo-terminal, a Wine COM port is
# linked to it in the prefix's dosdevices folder, and the tests find the
# port through FERRY_SERIAL_SIM_<KIND>.
#
#   run_com_tests.sh SIM SOURCE_DIR WINE TEST.exe...
#
# SIM is the native serial_sim program (may be empty: then
# FERRY_NATIVE_SERIAL_SIM, then the usual native build folders under
# SOURCE_DIR/build). Exits 77 (skipped) when no simulator or no Wine prefix
# can be found.
set -u

sim=${FERRY_NATIVE_SERIAL_SIM:-$1}
source_dir=$2
wine=$3
shift 3

if [ -z "$sim" ] || [ ! -x "$sim" ]; then
  sim=
  for candidate in "$source_dir"/build/native/sim/serial_sim "$source_dir"/build/*-native/sim/serial_sim; do
    if [ -x "$candidate" ]; then
      sim=$candidate
      break
    fi
  done
fi
if [ -z "$sim" ]; then
  echo "skipped: no native serial_sim; build one or set FERRY_NATIVE_SERIAL_SIM"
  exit 77
fi

prefix=${WINEPREFIX:-$HOME/.wine}
devices=$prefix/dosdevices
if [ ! -d "$devices" ]; then
  echo "skipped: no Wine prefix at $prefix"
  exit 77
fi
export WINEPREFIX="$prefix"
export WINEDEBUG=${WINEDEBUG:--all}

work=$(mktemp -d)
pids=
links=
cleanup() {
  for pid in $pids; do
    kill "$pid" 2>/dev/null
  done
  for pid in $pids; do
    wait "$pid" 2>/dev/null
  done
  for link in $links; do
    rm -f "$link"
  done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

for kind in quiet temp_controller metronics heid wave_monitor instrument_board; do
  "$sim" "$kind" --control --path-file "$work/$kind.path" >/dev/null &
  pids="$pids $!"
  tries=0
  while [ ! -s "$work/$kind.path" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ]; then
      echo "the $kind simulator did not start"
      exit 1
    fi
    sleep 0.05
  done
  pty=$(head -n 1 "$work/$kind.path")
  # The first free COM number: ln fails on a name another run holds.
  number=100
  while ! ln -s "$pty" "$devices/com$number" 2>/dev/null; do
    number=$((number + 1))
    if [ $number -gt 255 ]; then
      echo "no free COM port name in $devices"
      exit 1
    fi
  done
  links="$links $devices/com$number"
  variable=FERRY_SERIAL_SIM_$(echo "$kind" | tr 'a-z' 'A-Z')
  export "$variable=\\\\.\\COM$number"
  echo "$kind: $pty as COM$number"
done

# The server's own diagnostics at exit are no part of the test output. (When
# a server already runs for this prefix, this start simply fails.)
wineserver=$(dirname "$(command -v "$wine")")/wineserver
[ -x "$wineserver" ] && "$wineserver" -p5 >/dev/null 2>&1

status=0
for test in "$@"; do
  echo "== $test"
  "$wine" "$test" --gtest_brief=1 || status=1
done
exit $status
