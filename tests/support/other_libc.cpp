// Preloaded into the unit tests: a C library as POSIX allows one to be, unlike glibc. Its
// renameat2 hands on the ENOSYS of a kernel without that call (glibc turns it into EINVAL), and
// a successful unlink may leave errno changed.
#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" int renameat2(int, const char *, int, const char *, unsigned int) {
  errno = ENOSYS;
  return -1;
}

extern "C" int unlink(const char *name) {
  long result = syscall(SYS_unlink, name);
  if (result == 0) {
    errno = EBUSY;
  }
  return (int)result;
}
