#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest. Wine's helper processes inherit the standard
# handles and can hold a pipe open long after the program ended, so the program's output goes
# through files, which are then copied to this script's own output.
set -euo pipefail
output=$(mktemp -d)
trap 'rm -rf "$output"' EXIT
status=0
wine "$@" >"$output/out" 2>"$output/err" </dev/null || status=$?
cat "$output/out"
cat "$output/err" >&2
exit "$status"
