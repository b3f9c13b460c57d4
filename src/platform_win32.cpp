// The platform seam on 32-bit Windows (msvcrt, Winsock 1.1).
#include "platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "command_line.h"

bool entryExists(const char *name) {
  return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

int renameNoReplace(const char *from, const char *to) {
  // msvcrt's rename never replaces an existing target, file or directory, and unlike
  // MoveFileExA it sets the error number when it refuses.
  return rename(from, to);
}

bool socketsStart() {
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void socketsRelease() {
  WSACleanup();
}

void closeSocket(SocketHandle socket) {
  closesocket(socket);
}

bool waitReadable(SocketHandle socket, int seconds) {
  // A Winsock fd_set is a list of handles, so any socket fits.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  struct timeval wait = {seconds, 0};
  return select(0, &readable, NULL, NULL, &wait) == 1;
}

size_t receiveDatagram(SocketHandle socket, char *buffer, size_t size) {
  int kept = recv(socket, buffer, (int)size, 0);
  if (kept != SOCKET_ERROR) {
    return (size_t)kept;
  }
  // Winsock fills the buffer with the start of a longer datagram and then reports an error:
  // that is a reply cut to the buffer, not a failed receive.
  return WSAGetLastError() == WSAEMSGSIZE ? size : 0;
}

void startGame(const char *path, const char *const *argv) {
  // _execv would join the arguments unquoted, so the line is built here and the game started
  // as a process of its own; this one then ends as _execv would end it.
  char *line = (char *)malloc(commandLine(NULL, argv) + 1);
  if (line == NULL) {
    return;
  }
  line[commandLine(line, argv)] = '\0';

  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process;
  // The application name is given, so no search path is used.
  if (!CreateProcessA(path, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    return;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  exit(0);
}
