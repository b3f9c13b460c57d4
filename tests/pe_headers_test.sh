#!/usr/bin/env bash
# Reads the PE headers of the Windows build: a 32-bit i386 executable of the windowed (GUI)
# subsystem that imports only DLLs every Windows has.
#   pe_headers_test.sh OBJDUMP EXE
set -euo pipefail
objdump=$1 exe=$2
headers=$("$objdump" -p "$exe")
fail() { echo "FAIL: $*" >&2; exit 1; }

grep -q 'file format pei-i386' <<<"$headers" || fail "not a PE32 i386 image"
grep -q 'Magic.*010b' <<<"$headers" || fail "optional header is not PE32"
grep -Eq 'Subsystem[[:space:]]+00000002' <<<"$headers" || fail "subsystem is not Windows GUI"

allowed=' KERNEL32.dll msvcrt.dll WS2_32.dll WSOCK32.dll USER32.dll ADVAPI32.dll '
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ -n "$imports" ] || fail "no import table found"
for dll in $imports; do
  case "$allowed" in
    *" $dll "*) echo "imports $dll" ;;
    *) fail "imports $dll, which not every Windows has" ;;
  esac
done
echo "PE32 i386, Windows GUI subsystem, $(stat -c %s "$exe") bytes"
