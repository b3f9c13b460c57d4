// Windows' reasons why a program could not be started, as the error numbers a player reads.
#include "start_failure.h"

#include <errno.h>
#include <gtest/gtest.h>

TEST(StartFailure, ReadsWindowsReasonsAsTheCRuntimeDoesAndBlocksAsPermissionDenied) {
  const struct {
    unsigned long reason;
    int number;
  } cases[] = {
      {32, EACCES},     // ERROR_SHARING_VIOLATION: another program holds quake3.exe
      {1816, ENOMEM},   // ERROR_NOT_ENOUGH_QUOTA
      {4, EMFILE},      // ERROR_TOO_MANY_OPEN_FILES
      {193, ENOEXEC},   // ERROR_BAD_EXE_FORMAT
      {1260, EACCES},   // ERROR_ACCESS_DISABLED_BY_POLICY: a program blocked
      {65538, EINVAL},  // unknown, though its low 16 bits are ERROR_FILE_NOT_FOUND
  };
  for (const auto &c : cases) {
    EXPECT_EQ(startFailureNumber(c.reason), c.number) << "reason " << c.reason;
  }
}
