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
# first, without the packages they recommend). That needs root; a package of another
# architecture (wine32:i386) has its architecture added first.
need_packages() {
  local package missing=() options=()
  [ "${1:-}" != --no-install-recommends ] || { options=("$1") && shift; }
  for package in "$@"; do
    [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == *"install ok installed"* ]] ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  say "installing the missing Debian packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): run as root to install them, or install them yourself" >&2
    exit 1
  fi
  if [[ " ${missing[*]} " == *":i386 "* &&
        $'\n'$(dpkg --print-foreign-architectures)$'\n' != *$'\n'i386$'\n'* ]]; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt_get update -q
  apt_get install -y -q "${options[@]}" "${missing[@]}"
}

# Runs apt-get with the arguments given. Another apt or dpkg (a fresh machine runs its own at
# boot) is waited for, ten minutes at most: apt waits for dpkg's lock itself, and an update that
# finds the package lists locked is tried again.
apt_get() {
  local deadline=$((SECONDS + 600)) said
  said=$(mktemp)
  until apt-get -o DPkg::Lock::Timeout=600 "$@" </dev/null 2>&1 | tee "$said"; do
    if ! grep -q 'Could not get lock' "$said"; then
      rm -f "$said"
      echo "$(basename "$0"): apt-get $1 failed" >&2
      exit 1
    elif ((SECONDS >= deadline)); then
      rm -f "$said"
      echo "$(basename "$0"): another apt has held its lock for ten minutes: start again once it has ended" >&2
      exit 1
    fi
    sleep 5
  done
  rm -f "$said"
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
