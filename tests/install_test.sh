#!/usr/bin/env bash
# The installer of scripts/common.sh on a machine whose mirror serves one list out of step: an
# apt-get, dpkg and dpkg-query of its own on PATH, with nothing installed, record what they are
# asked. Run by scripts/test.
#   tests/install_test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
fail() { echo "FAIL: $*" >&2; exit 1; }

stand_ins=$(mktemp -d)
trap 'rm -rf "$stand_ins"' EXIT
# apt-get: every update fails on the i386 list, as a mirror in sync does; an install that names
# wine32:i386 cannot be resolved.
cat >"$stand_ins/apt-get" <<'EOF'
#!/bin/sh
echo "$*" >>"$(dirname "$0")/asked"
case " $* " in
  *" update "*) echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size"; exit 100 ;;
  *" wine32:i386 "*) echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
esac
EOF
printf '#!/bin/sh\nexit 1\n' >"$stand_ins/dpkg-query"
printf '#!/bin/sh\necho "dpkg $*" >>"$(dirname "$0")/asked"\n' >"$stand_ins/dpkg"
printf '#!/bin/sh\necho 0\n' >"$stand_ins/id"
chmod +x "$stand_ins"/*
PATH=$stand_ins:$PATH
apt_pause=0
runs_32bit_programs() { true; }

echo "an update that fails on one list: tried four times, then the install goes on"
said=$(need_packages cmake 2>&1 >/dev/null)
[ "$said" = "scripts/install_test.sh: apt-get update failed (Failed to fetch .../binary-i386/Packages.xz  File has unexpected size): installing with the lists apt has" ] ||
  fail "said: $said"
[ "$(grep -c update "$stand_ins/asked")" = 4 ] || fail "updates: $(cat "$stand_ins/asked")"
grep -qx -- '-o DPkg::Lock::Timeout=600 install -y -q cmake' "$stand_ins/asked" || fail "no install"

echo "wine32:i386 that cannot be installed: the Windows suite takes 64-bit Wine, and says why"
: >"$stand_ins/asked"
said=$(windows_packages 2>&1 >/dev/null)
[[ $said == *"wine32:i386 cannot be installed here (Unable to correct problems, you have held broken packages.): the i686 exe will be built and checked, not run; the Windows suite runs on the x86_64 build under 64-bit Wine" ]] ||
  fail "said: $said"
grep -qx -- '-o DPkg::Lock::Timeout=600 install -y -q g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64' \
  "$stand_ins/asked" || fail "no wine64: $(cat "$stand_ins/asked")"
grep -qx 'dpkg --remove-architecture i386' "$stand_ins/asked" || fail "i386 left added"
echo "the installer goes on where apt can, and falls back only for wine32"
