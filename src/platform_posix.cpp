// The platform seam on POSIX systems (Linux).
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

const char shownSeparator = '/';

void reachConsole() {}

bool entryExists(const char *name) {
  // lstat, not access: a dangling link is an entry too, and a rename onto it would be refused.
  struct stat status;
  return lstat(name, &status) == 0;
}

EntryKind entryKind(const char *name) {
  struct stat status;
  if (lstat(name, &status) != 0) {
    return noEntry;
  }
  // A link is what it leads to; one that leads nowhere is no client either.
  if (S_ISLNK(status.st_mode) && stat(name, &status) != 0) {
    return otherEntry;
  }
  return S_ISDIR(status.st_mode) ? otherEntry : fileEntry;
}

int renameNoReplace(const char *from, const char *to) {
  // rename() silently replaces an existing target, so it is never used here.
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return -1;
  }
  // The file system or kernel lacks the flag. link() fails rather than replaces; it cannot move
  // a directory, which is then left where it is.
  if (link(from, to) != 0) {
    return -1;
  }
  if (unlink(from) != 0) {
    // Keep the content under its old name only, as if nothing had happened, and the reason.
    int refusal = errno;
    unlink(to);
    errno = refusal;
    return -1;
  }
  return 0;
}

bool socketsStart() {
  return true;
}

void socketsRelease() {}

void closeSocket(SocketHandle socket) {
  close(socket);
}

bool waitReadable(SocketHandle socket, int seconds) {
  // poll, not select: an fd_set holds no descriptor numbered FD_SETSIZE or above, and the
  // socket gets such a number when the launcher inherits many open descriptors.
  struct pollfd wait = {socket, POLLIN, 0};
  return poll(&wait, 1, seconds * 1000) == 1;
}

size_t receiveDatagram(SocketHandle socket, char *buffer, size_t size) {
  // A datagram longer than the buffer is cut to it; the rest is discarded by the kernel.
  ssize_t kept = recv(socket, buffer, size, 0);
  return kept > 0 ? (size_t)kept : 0;
}

void startGame(const char *path, const char *const *argv) {
  // execv takes the path as given: no search path, and the game takes over this process.
  execv(path, (char *const *)argv);
}
