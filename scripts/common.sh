# What the scripts share; each of them sources this file.

# Ends the script with one line on standard error.
fail() {
  echo "scripts/$(basename "$0"): $*" >&2
  exit 1
}

# The path $1 that the user gave, from where the script was started: $started, which the
# script sets before it changes to the sources.
given_path() {
  if [[ $1 == /* ]]; then printf '%s\n' "$1"; else printf '%s\n' "$started/$1"; fi
}

# Prints a heading for the step that follows.
say() { printf '\n==> %s\n' "$*"; }

# Configures the preset $1 (further arguments go to cmake) and prints its build tree, which
# CMakePresets.json alone names.
configure() {
  cmake --preset "$@" | sed -n 's/^-- Build files have been written to: //p'
}

# The scripts run under pipefail: no pipe here ends in a reader that may stop before the writer
# has written all (grep -q, head), or the writer's SIGPIPE fails the pipe at random.

# Installs those of the Debian packages named that are missing (with --no-install-recommends
# first, without the packages they recommend), or ends the script with one line that names them
# and apt's reason. That needs root. scripts/check-release installs through this function too.
need_packages() {
  try_packages "$@" || fail "cannot install $apt_missing: $apt_reason"
}

# As need_packages, but returns 1 when apt cannot install them, with the packages in
# $apt_missing and apt's reason in $apt_reason, for a caller that has another way. A package of
# another architecture (wine32:i386) has its architecture added first, and removed again when
# nothing could be installed with it.
try_packages() {
  local package missing=() options=() added=
  [ "${1:-}" != --no-install-recommends ] || { options=("$1") && shift; }
  for package in "$@"; do
    [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == *"install ok installed"* ]] ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  apt_missing=${missing[*]}
  say "installing the missing Debian packages: $apt_missing"
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): run as root to install them, or install them yourself" >&2
    exit 1
  fi
  if [[ " $apt_missing " == *":i386 "* &&
        $'\n'$(dpkg --print-foreign-architectures)$'\n' != *$'\n'i386$'\n'* ]]; then
    dpkg --add-architecture i386
    added=i386
    apt_lists_updated=
  fi
  export DEBIAN_FRONTEND=noninteractive
  update_lists
  apt_get install -y -q "${options[@]}" "${missing[@]}" && return 0
  [ -z "$added" ] || dpkg --remove-architecture "$added" 2>/dev/null || true
  return 1
}

# Brings apt's package lists up to date, once a run. A mirror in sync may serve one list out of
# step with its Release file for minutes to hours, which fails the whole update: it is tried
# again for about a minute, and then the install goes on with the lists apt has.
apt_lists_updated=
apt_pause=20
update_lists() {
  [ -z "$apt_lists_updated" ] || return 0
  apt_lists_updated=1
  local try
  for try in 1 2 3 4; do
    apt_get update -q && return 0
    [ "$try" -eq 4 ] || sleep "$apt_pause"
  done
  echo "scripts/$(basename "$0"): apt-get update failed ($apt_reason): installing with the lists apt has" >&2
}

# Runs apt-get with the arguments given; returns its status, with its first error line in
# $apt_reason. Another apt or dpkg (a fresh machine runs its own at boot) is waited for, ten
# minutes at most: apt waits for dpkg's lock itself, and an update that finds the package lists
# locked is tried again.
apt_get() {
  local deadline=$((SECONDS + 600)) said status
  said=$(mktemp)
  while :; do
    status=0
    apt-get -o DPkg::Lock::Timeout=600 "$@" </dev/null 2>&1 | tee "$said" || status=$?
    if [ "$status" -eq 0 ]; then
      rm -f "$said"
      return 0
    fi
    apt_reason=$(sed -n 's/^E: //p' "$said" | sed -n 1p)
    [ -n "$apt_reason" ] || apt_reason="apt-get $1 ended with status $status"
    if ! grep -q 'Could not get lock' "$said"; then
      rm -f "$said"
      return 1
    elif ((SECONDS >= deadline)); then
      rm -f "$said"
      fail "another apt has held its lock for ten minutes: start again once it has ended"
    fi
    sleep 5
  done
}

# Installs what the Windows suite needs. It runs the i686 build under 32-bit Wine where this
# kernel runs 32-bit programs and wine32:i386 can be installed; otherwise (or where
# PROTOSWITCH_WINE64 is set) $wine64_reason says why, and it runs the x86_64 build under 64-bit
# Wine, the i686 build still built and checked without being run.
windows_packages() {
  wine64_reason=
  if [ -n "${PROTOSWITCH_WINE64:-}" ]; then
    wine64_reason="PROTOSWITCH_WINE64 is set"
  elif ! runs_32bit_programs; then
    wine64_reason="this kernel runs no 32-bit programs"
  else
    need_packages g++-mingw-w64-i686
    try_packages wine wine32:i386 || wine64_reason="wine32:i386 cannot be installed here ($apt_reason)"
  fi
  [ -n "$wine64_reason" ] || return 0
  echo "scripts/$(basename "$0"): $wine64_reason: the i686 exe will be built and checked, not run; the Windows suite runs on the x86_64 build under 64-bit Wine" >&2
  need_packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
}

# True when this machine's kernel runs 32-bit x86 programs (some kernels are built without
# them, and 32-bit Wine cannot start there): a program that does nothing but exit is assembled
# for i386 in build/32-bit-probe and run. Needs binutils.
runs_32bit_programs() {
  local dir=build/32-bit-probe
  mkdir -p "$dir"
  printf '.globl _start\n_start:\n  movl $1, %%eax\n  xorl %%ebx, %%ebx\n  int $0x80\n' >"$dir/exit.s"
  if ! as --32 -o "$dir/exit.o" "$dir/exit.s" || ! ld -m elf_i386 -o "$dir/exit" "$dir/exit.o"; then
    echo "$(basename "$0"): cannot build the 32-bit probe with binutils" >&2
    exit 1
  fi
  "$dir/exit" 2>/dev/null
}
