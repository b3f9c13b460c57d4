#!/usr/bin/env bash
# Reads the headers and resources of the Windows build: a 32-bit i386 executable of the windowed
# (GUI) subsystem that imports only DLLs every Windows has, with a 64-bit clock, no time stamp,
# a manifest that runs it as the player, and the project's version.
#   pe_headers_test.sh OBJDUMP EXE VERSION
set -euo pipefail
objdump=$1 exe=$2 version=$3
headers=$("$objdump" -p "$exe")
fail() { echo "FAIL: $*" >&2; exit 1; }

grep -q 'file format pei-i386' <<<"$headers" || fail "not a PE32 i386 image"
grep -q 'Magic.*010b' <<<"$headers" || fail "optional header is not PE32"
grep -Eq 'Subsystem[[:space:]]+00000002' <<<"$headers" || fail "subsystem is not Windows GUI"
# The COFF header's TimeDateStamp, read from the file itself: objdump prints it in local time.
# It follows the "PE\0\0" signature (at e_lfanew, offset 0x3c) and two 16-bit fields.
header=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
[ "$(od -An -c -j"$header" -N4 "$exe" | tr -d ' ')" = 'PE\0\0' ] || fail "no PE signature at $header"
stamp=$(od -An -tu4 -j$((header + 8)) -N4 "$exe" | tr -d ' ')
[ "$stamp" = 0 ] || fail "the header has a time stamp: $stamp"

allowed=' KERNEL32.dll msvcrt.dll WS2_32.dll WSOCK32.dll USER32.dll ADVAPI32.dll '
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ -n "$imports" ] || fail "no import table found"
for dll in $imports; do
  case "$allowed" in
    *" $dll "*) echo "imports $dll" ;;
    *) fail "imports $dll, which not every Windows has" ;;
  esac
done
# The names imported from each DLL ("hint name" lines of the import tables).
functions=$(awk '/DLL Name:/ {dll=$3} /^\t[0-9a-f]+\t +[0-9]+  [A-Za-z_]/ {print dll ":" $3}' <<<"$headers")
for wanted in msvcrt.dll:_time64 msvcrt.dll:_localtime64; do
  grep -qx "$wanted" <<<"$functions" || fail "does not import $wanted: the clock is 32 bits"
done
for unwanted in msvcrt.dll:time msvcrt.dll:localtime; do
  ! grep -qx "$unwanted" <<<"$functions" || fail "imports $unwanted: the clock ends in 2038"
done

# The bytes of resource TYPE, id 1, from the resource tree objdump prints.
resource() {
  local leaf
  leaf=$(awk -v type="$(printf 'ID: 0x%06x,' "$1")" '
    / Entry: ID: / && $0 ~ /^0[0-9a-f]+   Entry/ {in_type = index($0, type) > 0}
    in_type && /Leaf: Addr:/ {sub(/.*Addr: /, ""); sub(/, Size: /, " "); sub(/,.*/, ""); print; exit}
  ' <<<"$headers")
  [ -n "$leaf" ] || return 1
  local rva=$((${leaf% *})) size=$((${leaf#* }))
  local base vma offset
  base=$((0x$(sed -n 's/^ImageBase[[:space:]]*//p' <<<"$headers")))
  read -r vma offset < <("$objdump" -h "$exe" | awk '$2 == ".rsrc" {print $4, $6}')
  dd if="$exe" bs=1 skip=$((0x$offset + rva - (0x$vma - base))) count="$size" status=none
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
resource 24 >"$scratch/manifest" || fail "no manifest (RT_MANIFEST, id 1)"
resource 16 >"$scratch/version" || fail "no version (RT_VERSION, id 1)"
manifest=$(tr -d '\0' <"$scratch/manifest")
grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' <<<"$manifest" ||
  fail "the manifest does not run the launcher as the player"
# VS_FIXEDFILEINFO follows the key "VS_VERSION_INFO": its signature, then the file version.
fixed=$(od -An -tx4 -j40 -N16 "$scratch/version" | tr -s ' ')
IFS=. read -r major minor patch tweak <<<"$version"
expected=$(printf ' feef04bd 00010000 %08x %08x' $((major << 16 | minor)) $((patch << 16 | tweak)))
[ "$fixed" = "$expected" ] || fail "version resource says$fixed, not$expected ($version)"
echo "PE32 i386, Windows GUI subsystem, manifest asInvoker, version $version, $(stat -c %s "$exe") bytes"
