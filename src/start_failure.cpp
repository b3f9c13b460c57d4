#include "start_failure.h"

#include <errno.h>

// Windows' reasons and their error numbers: msvcrt's own mapping (its _dosmaperr, which the
// _exec and _spawn functions use), then the reasons it leaves to EINVAL that say a program was
// blocked. The names are those of Windows' winerror.h.
static const struct {
  unsigned short reason;
  unsigned char number;
} startFailures[] = {
    {1, EINVAL},       // ERROR_INVALID_FUNCTION
    {2, ENOENT},       // ERROR_FILE_NOT_FOUND
    {3, ENOENT},       // ERROR_PATH_NOT_FOUND
    {4, EMFILE},       // ERROR_TOO_MANY_OPEN_FILES
    {5, EACCES},       // ERROR_ACCESS_DENIED
    {6, EBADF},        // ERROR_INVALID_HANDLE
    {7, ENOMEM},       // ERROR_ARENA_TRASHED
    {8, ENOMEM},       // ERROR_NOT_ENOUGH_MEMORY
    {9, ENOMEM},       // ERROR_INVALID_BLOCK
    {10, E2BIG},       // ERROR_BAD_ENVIRONMENT
    {11, ENOEXEC},     // ERROR_BAD_FORMAT
    {12, EINVAL},      // ERROR_INVALID_ACCESS
    {13, EINVAL},      // ERROR_INVALID_DATA
    {15, ENOENT},      // ERROR_INVALID_DRIVE
    {16, EACCES},      // ERROR_CURRENT_DIRECTORY
    {17, EXDEV},       // ERROR_NOT_SAME_DEVICE
    {18, ENOENT},      // ERROR_NO_MORE_FILES
    {53, ENOENT},      // ERROR_BAD_NETPATH
    {65, EACCES},      // ERROR_NETWORK_ACCESS_DENIED
    {67, ENOENT},      // ERROR_BAD_NET_NAME
    {80, EEXIST},      // ERROR_FILE_EXISTS
    {82, EACCES},      // ERROR_CANNOT_MAKE
    {83, EACCES},      // ERROR_FAIL_I24
    {87, EINVAL},      // ERROR_INVALID_PARAMETER
    {89, EAGAIN},      // ERROR_NO_PROC_SLOTS
    {108, EACCES},     // ERROR_DRIVE_LOCKED
    {109, EPIPE},      // ERROR_BROKEN_PIPE
    {112, ENOSPC},     // ERROR_DISK_FULL
    {114, EBADF},      // ERROR_INVALID_TARGET_HANDLE
    {128, ECHILD},     // ERROR_WAIT_NO_CHILDREN
    {129, ECHILD},     // ERROR_CHILD_NOT_COMPLETE
    {130, EBADF},      // ERROR_DIRECT_ACCESS_HANDLE
    {131, EINVAL},     // ERROR_NEGATIVE_SEEK
    {132, EACCES},     // ERROR_SEEK_ON_DEVICE
    {145, ENOTEMPTY},  // ERROR_DIR_NOT_EMPTY
    {158, EACCES},     // ERROR_NOT_LOCKED
    {161, ENOENT},     // ERROR_BAD_PATHNAME
    {164, EAGAIN},     // ERROR_MAX_THRDS_REACHED
    {167, EACCES},     // ERROR_LOCK_FAILED
    {183, EEXIST},     // ERROR_ALREADY_EXISTS
    {206, ENOENT},     // ERROR_FILENAME_EXCED_RANGE
    {215, EAGAIN},     // ERROR_NESTING_NOT_ALLOWED
    {1816, ENOMEM},    // ERROR_NOT_ENOUGH_QUOTA
    // A 64-bit game on a 32-bit Windows: not a program this Windows can run.
    {216, ENOEXEC},  // ERROR_EXE_MACHINE_TYPE_MISMATCH
    // An antivirus found the game infected and kept or removed it, a software restriction,
    // AppLocker or application control policy blocks it, or the player declined to let it run
    // as administrator.
    {225, EACCES},   // ERROR_VIRUS_INFECTED
    {226, EACCES},   // ERROR_VIRUS_DELETED
    {786, EACCES},   // ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY
    {1223, EACCES},  // ERROR_CANCELLED
    {1260, EACCES},  // ERROR_ACCESS_DISABLED_BY_POLICY
    {4551, EACCES},  // ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION
    // Smart App Control (Windows 11) blocks a program of a bad or unknown reputation, or one
    // whose reputation it cannot look up.
    {4556, EACCES},  // ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS
    {4557, EACCES},  // ERROR_SYSTEM_INTEGRITY_REPUTATION_PUA
    {4558, EACCES},  // ERROR_SYSTEM_INTEGRITY_REPUTATION_DANGEROUS_EXT
    {4559, EACCES},  // ERROR_SYSTEM_INTEGRITY_REPUTATION_OFFLINE
    {4580, EACCES},  // ERROR_SYSTEM_INTEGRITY_REPUTATION_UNFRIENDLY_FILE
    {4581, EACCES},  // ERROR_SYSTEM_INTEGRITY_REPUTATION_UNATTAINABLE
    {4582, EACCES},  // ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE
};

int startFailureNumber(unsigned long reason) {
  for (const auto &failure : startFailures) {
    if (failure.reason == reason) {
      return failure.number;
    }
  }
  // ERROR_WRITE_PROTECT to ERROR_SHARING_BUFFER_EXCEEDED: the file is held (a sharing or lock
  // violation) or may not be written; the executable formats Windows cannot load.
  if (reason >= 19 && reason <= 36) {
    return EACCES;
  }
  if (reason >= 188 && reason <= 202) {
    return ENOEXEC;
  }
  return EINVAL;
}
