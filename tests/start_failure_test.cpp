// Windows' reasons why a program could not be started, as the error numbers a player reads.
#include "start_failure.h"

#include <errno.h>
#include <gtest/gtest.h>

TEST(StartFailure, ReadsWindowsReasonsAsTheCRuntimeDoesAndBlocksAsPermissionDenied) {
  const struct {
    unsigned long reason;
    int number;
  } cases[] = {
      {5, EACCES},      // ERROR_ACCESS_DENIED
      {8, ENOMEM},      // ERROR_NOT_ENOUGH_MEMORY
      {32, EACCES},     // ERROR_SHARING_VIOLATION: another program holds quake3.exe
      {1816, ENOMEM},   // ERROR_NOT_ENOUGH_QUOTA
      {4, EMFILE},      // ERROR_TOO_MANY_OPEN_FILES
      {193, ENOEXEC},   // ERROR_BAD_EXE_FORMAT
      {1260, EACCES},   // ERROR_ACCESS_DISABLED_BY_POLICY: a program blocked
      {65538, EINVAL},  // unknown, though its low 16 bits are ERROR_FILE_NOT_FOUND
      // The ends of the C runtime's two ranges, and the reasons just beyond them.
      {19, EACCES},  // ERROR_WRITE_PROTECT
      {36, EACCES},  // ERROR_SHARING_BUFFER_EXCEEDED
      {37, EINVAL},
      {187, EINVAL},
      {188, ENOEXEC},  // ERROR_INVALID_STARTING_CODESEG
      {202, ENOEXEC},  // ERROR_INFLOOP_IN_RELOC_CHAIN
      {203, EINVAL},
      {216, ENOEXEC},  // ERROR_EXE_MACHINE_TYPE_MISMATCH: a 64-bit game
      {1223, EACCES},  // ERROR_CANCELLED: the player declined the elevation
      {4556, EACCES},  // Smart App Control: ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS
      {4582, EACCES},  // ... and ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE
  };
  for (const auto &c : cases) {
    EXPECT_EQ(startFailureNumber(c.reason), c.number) << "reason " << c.reason;
  }
}
