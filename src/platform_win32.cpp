// The platform seam on 32-bit Windows (msvcrt, Winsock 1.1).
#include "platform.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

bool entryExists(const char *name) {
  return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

int renameNoReplace(const char *from, const char *to) {
  // Without MOVEFILE_REPLACE_EXISTING an existing target, file or directory, is never replaced.
  return MoveFileExA(from, to, 0) ? 0 : -1;
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

size_t receiveDatagram(SocketHandle socket, char *buffer, size_t size) {
  int kept = recv(socket, buffer, (int)size, 0);
  if (kept != SOCKET_ERROR) {
    return (size_t)kept;
  }
  // Winsock fills the buffer with the start of a longer datagram and then reports an error:
  // that is a reply cut to the buffer, not a failed receive.
  return WSAGetLastError() == WSAEMSGSIZE ? size : 0;
}

// Appends `text` at `line` (when not null) and returns the length it takes.
static size_t put(char *line, size_t at, const char *text, size_t length) {
  if (line != NULL) {
    for (size_t i = 0; i < length; i++) {
      line[at + i] = text[i];
    }
  }
  return length;
}

// Writes argument `text` as the C runtime's command line splitter reads it back, at `line`
// (when not null); returns its length. Backslashes are plain characters unless a quote follows.
static size_t quoteArgument(char *line, size_t at, const char *text) {
  bool quoted = *text == '\0';
  for (const char *c = text; *c != '\0'; c++) {
    quoted = quoted || *c == ' ' || *c == '\t' || *c == '"';
  }
  if (!quoted) {
    return put(line, at, text, strlen(text));
  }
  size_t length = put(line, at, "\"", 1);
  for (const char *c = text;; c++) {
    size_t backslashes = 0;
    for (; *c == '\\'; c++) {
      backslashes++;
    }
    if (*c == '\0') {
      // Doubled, so that the closing quote stays a quote.
      for (size_t i = 0; i < 2 * backslashes; i++) {
        length += put(line, at + length, "\\", 1);
      }
      break;
    }
    if (*c == '"') {
      backslashes = 2 * backslashes + 1;
    }
    for (size_t i = 0; i < backslashes; i++) {
      length += put(line, at + length, "\\", 1);
    }
    length += put(line, at + length, c, 1);
  }
  return length + put(line, at + length, "\"", 1);
}

// Writes the whole command line at `line` (when not null) and returns its length.
static size_t commandLine(char *line, const char *const *argv) {
  // Slot 0 is read up to the next quote once quoted, with no escapes: a path holds no quote.
  size_t length = put(line, 0, "\"", 1);
  length += put(line, length, argv[0], strlen(argv[0]));
  length += put(line, length, "\"", 1);
  for (int i = 1; argv[i] != NULL; i++) {
    length += put(line, length, " ", 1);
    length += quoteArgument(line, length, argv[i]);
  }
  return length;
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
