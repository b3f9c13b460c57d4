// The settings that the test build (tests/CMakeLists.txt) hands to the test programs through
// the environment. This is their one list:
//   PROTOSWITCH                    the launcher under test
//   PROTOSWITCH_PREFIX             the command it runs behind ("wine" for the Windows build)
//   STUB_GAME                      the stub quake3.exe
//   FAIL_MALLOC                    a preloadable malloc that fails once (native, without ASan)
//   PROTOSWITCH_NOREPLACE_REFUSED  strace's fault that refuses RENAME_NOREPLACE (NAME:error=E)
//   PROTOSWITCH_STRACE_ENV         NAME=VALUE words that a program run under strace needs
// Set on the unit tests while strace injects a fault into them:
//   PROTOSWITCH_FALLBACK_FORCED    renameat2 is refused, so renames take link and unlink
//   PROTOSWITCH_UNLINK_REFUSED     the first unlink is refused as well
// launcher_test sets one more on the launcher it runs with FAIL_MALLOC:
//   FAIL_MALLOC_SIZE               the size of the allocation that fails
#ifndef PROTOSWITCH_TESTS_SETTINGS_H
#define PROTOSWITCH_TESTS_SETTINGS_H

#include <cstdlib>

// The value of the setting `name`, or null when it is not set or empty.
inline const char *setting(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

#endif
