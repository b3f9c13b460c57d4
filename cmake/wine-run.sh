#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest: wine-run.sh WINE PROGRAM [ARGUMENT...], where WINE
# is the Wine loader of the toolchain file. Wine's helper processes inherit the standard handles
# and can hold a pipe open long after the program ended, so the program's output goes through
# files, which are then copied to this script's own output.
set -euo pipefail
wine=$1
shift
output=$(mktemp -d)
trap 'rm -rf "$output"' EXIT
status=0
"$wine" "$@" >"$output/out" 2>"$output/err" </dev/null || status=$?
cat "$output/out"
cat "$output/err" >&2
exit "$status"
