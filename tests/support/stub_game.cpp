// A stand-in for quake3.exe. It writes what it received to "game-record.txt" in its working
// directory and ends with status 0:
//   pid N
//   fds 0 1 2        (the descriptors open at its start; POSIX only)
//   marker VALUE     (STUB_GAME_MARKER in its environment, empty without it)
//   argc N
//   LENGTH:ARGUMENT  (one line per element of its argument vector, slot 0 first)
// The record appears whole or not at all: it is written under another name first.
//
// Started as "stub_game --hold READY RELEASE FILE..." it holds the files open, as a running game
// holds its paks, creates READY, and ends once RELEASE exists (or after a minute). With
// "--hold-exclusive" it holds them as a copy in progress or a scan may: open for writing, and on
// Windows shared with no other program.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <process.h>
#include <windows.h>
#define getpid _getpid
static void pause10ms() {
  Sleep(10);
}

// Started as "stub_game --in-console ERROR RESULT COMMAND" (Windows, in a console): runs the
// command line COMMAND as a prompt runs a windowed program, with no standard handles but a
// standard error on ERROR ("none", "nul" or a file), waits for it, and writes its exit status
// and the text of this console to RESULT.
static int inConsole(const char *error, const char *result, char *command) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  if (strcmp(error, "none") != 0) {
    startup.hStdError =
        CreateFileA(error, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                    strcmp(error, "nul") == 0 ? OPEN_EXISTING : CREATE_ALWAYS, 0, NULL);
  }
  PROCESS_INFORMATION process;
  DWORD status = 0;
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process) ||
      WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &status)) {
    return 2;
  }
  HANDLE screen = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  CONSOLE_SCREEN_BUFFER_INFO info;
  static char text[65536];
  DWORD got = 0;
  COORD origin = {0, 0};
  if (!GetConsoleScreenBufferInfo(screen, &info)) {
    return 2;
  }
  DWORD cells = (DWORD)info.dwSize.X * (DWORD)(info.dwCursorPosition.Y + 1);
  ReadConsoleOutputCharacterA(screen, text, cells < sizeof text ? cells : sizeof text, origin,
                              &got);
  FILE *out = fopen(result, "wb");
  if (out == NULL) {
    return 2;
  }
  fprintf(out, "status %lu\n", status);
  fwrite(text, 1, got, out);
  return fclose(out) == 0 ? 0 : 2;
}
#else
#include <fcntl.h>
#include <unistd.h>
static void pause10ms() {
  usleep(10000);
}
#endif

// Opens `name` for writing and shares it with no other program; false when it cannot.
static bool openExclusively(const char *name) {
#ifdef _WIN32
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL) !=
         INVALID_HANDLE_VALUE;
#else
  return open(name, O_RDWR) >= 0;
#endif
}

static int hold(bool exclusive, const char *ready, const char *release, char **files) {
  for (; *files != NULL; files++) {
    // Left open until the process ends.
    if (exclusive ? !openExclusively(*files) : fopen(*files, "rb") == NULL) {
      fprintf(stderr, "cannot hold %s\n", *files);
      return 2;
    }
  }
  FILE *signal = fopen(ready, "wb");
  if (signal == NULL || fclose(signal) != 0) {
    perror(ready);
    return 2;
  }
  for (int waited = 0; waited < 6000; waited++) {
    if (FILE *released = fopen(release, "rb")) {
      fclose(released);
      return 0;
    }
    pause10ms();
  }
  return 3;
}

int main(int argc, char **argv) {
  bool exclusive = argc >= 4 && strcmp(argv[1], "--hold-exclusive") == 0;
  if (exclusive || (argc >= 4 && strcmp(argv[1], "--hold") == 0)) {
    return hold(exclusive, argv[2], argv[3], argv + 4);
  }
#ifdef _WIN32
  if (argc == 5 && strcmp(argv[1], "--in-console") == 0) {
    return inConsole(argv[2], argv[3], argv[4]);
  }
#endif
  char fds[4096] = "";
#ifndef _WIN32
  // Before this program opens anything itself.
  for (int fd = 0; fd < 1024; fd++) {
    if (fcntl(fd, F_GETFD) != -1 && strlen(fds) + 8 < sizeof fds) {
      snprintf(fds + strlen(fds), sizeof fds - strlen(fds), " %d", fd);
    }
  }
#endif
  FILE *record = fopen("game-record.tmp", "wb");
  if (record == NULL) {
    perror("stub game: game-record.tmp");
    return 2;
  }
  const char *marker = getenv("STUB_GAME_MARKER");
  fprintf(record, "pid %d\nfds%s\nmarker %s\nargc %d\n", (int)getpid(), fds,
          marker != NULL ? marker : "", argc);
  for (int i = 0; i < argc; i++) {
    fprintf(record, "%lu:", (unsigned long)strlen(argv[i]));
    fwrite(argv[i], 1, strlen(argv[i]), record);
    fputc('\n', record);
  }
  if (fclose(record) != 0 || rename("game-record.tmp", "game-record.txt") != 0) {
    perror("stub game: game-record.txt");
    return 2;
  }
  return 0;
}
