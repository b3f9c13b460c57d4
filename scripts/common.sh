# What the scripts share; each of them sources this file.

# Prints a heading for the step that follows.
say() { printf '\n==> %s\n' "$*"; }

# Configures the preset $1 (further arguments go to cmake) and prints its build tree, which
# CMakePresets.json alone names.
configure() {
  cmake --preset "$@" | sed -n 's/^-- Build files have been written to: //p'
}
