// The platform seam on 32-bit Windows (msvcrt, Winsock 1.1).
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <objbase.h>  // needs windows.h first
#include <shellapi.h>

#include "command_line.h"
#include "start_failure.h"

const char shownSeparator = '\\';

void reachConsole() {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD type =
      error != NULL && error != INVALID_HANDLE_VALUE ? GetFileType(error) : FILE_TYPE_UNKNOWN;
  DWORD mode;
  if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE ||
      (type == FILE_TYPE_CHAR && GetConsoleMode(error, &mode))) {
    return;  // a file, a pipe or a console of this process: the messages get there already
  }
  // A windowed program started from a command prompt is not attached to its console. It is
  // never given a console of its own either: started from a browser, nothing may open.
  // ERROR_ACCESS_DENIED says that this process is attached to a console already (Wine attaches
  // a windowed program to its parent's console by itself).
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE), output = GetStdHandle(STD_OUTPUT_HANDLE);
  bool attached = AttachConsole(ATTACH_PARENT_PROCESS);
  if (!attached && GetLastError() != ERROR_ACCESS_DENIED) {
    return;  // no console to reach
  }
  if (type == FILE_TYPE_CHAR && !GetConsoleMode(error, &mode)) {
    // A device that is no console, such as NUL (2>nul): left exactly as the player chose.
    if (attached) {
      FreeConsole();
      SetStdHandle(STD_INPUT_HANDLE, input);
      SetStdHandle(STD_OUTPUT_HANDLE, output);
      SetStdHandle(STD_ERROR_HANDLE, error);
    }
    return;
  }
  // perror writes to descriptor 2 itself; the game inherits the standard error handle. _dup2
  // gives descriptor 2 an inheritable copy of the console's handle, so the first descriptor is
  // closed again: the game inherits one handle, the one descriptor 2 holds.
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
  HANDLE console =
      CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inheritable, OPEN_EXISTING, 0, NULL);
  int descriptor =
      console != INVALID_HANDLE_VALUE ? _open_osfhandle((intptr_t)console, _O_TEXT) : -1;
  if (descriptor < 0) {
    return;
  }
  if (_dup2(descriptor, 2) == 0) {
    SetStdHandle(STD_ERROR_HANDLE, (HANDLE)_get_osfhandle(2));
  }
  _close(descriptor);
}

bool entryExists(const char *name) {
  return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

EntryKind entryKind(const char *name) {
  // A link to a folder (a symbolic link or a junction) carries the folder's attribute itself.
  DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return noEntry;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return otherEntry;
  }
  // GetFileAttributes does not follow a link to a file, but opening it does: a link whose file is
  // not found leads nowhere. Opened for no access, a file held by a running game opens all the
  // same.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    HANDLE file = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    DWORD reason = GetLastError();
    if (file == INVALID_HANDLE_VALUE) {
      return reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND ? otherEntry
                                                                              : fileEntry;
    }
    CloseHandle(file);
  }
  return fileEntry;
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

// Sets the error number to say why a start failed, for Windows' reason `reason`: CreateProcessA
// and the shell leave it as it was, and the message after a failed start would give a stale
// reason (that of the last refused rename, say).
static void keepStartFailure(DWORD reason) {
  errno = startFailureNumber(reason);
}

// The text `text`, in the ANSI code page as CreateProcessA reads its command line, in wide
// characters; null, with the error number set, when it cannot be converted.
static wchar_t *wideText(const char *text) {
  int length = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
  if (length == 0) {
    keepStartFailure(GetLastError());
    return NULL;
  }
  wchar_t *wide = (wchar_t *)malloc((size_t)length * sizeof *wide);
  if (wide != NULL) {
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, length);
  }
  return wide;  // malloc sets ENOMEM
}

// The full path of the file `name` in wide characters; null, with the error number set, when
// it cannot be had.
static wchar_t *widePathOf(const char *name) {
  wchar_t *relative = wideText(name);
  if (relative == NULL) {
    return NULL;
  }
  DWORD length = GetFullPathNameW(relative, 0, NULL, NULL);
  wchar_t *full = length != 0 ? (wchar_t *)malloc(length * sizeof *full) : NULL;
  if (length == 0 || (full != NULL && GetFullPathNameW(relative, length, full, NULL) == 0)) {
    keepStartFailure(GetLastError());
    return NULL;
  }
  return full;  // malloc sets ENOMEM
}

// The working directory in wide characters; null, with the error number set, when it cannot be
// had.
static wchar_t *wideWorkingDirectory() {
  DWORD length = GetCurrentDirectoryW(0, NULL);
  wchar_t *directory = length != 0 ? (wchar_t *)malloc(length * sizeof *directory) : NULL;
  if (length == 0 || (directory != NULL && GetCurrentDirectoryW(length, directory) == 0)) {
    keepStartFailure(GetLastError());
    return NULL;
  }
  return directory;  // malloc sets ENOMEM
}

typedef HRESULT(WINAPI *CoInitializeExProc)(void *, DWORD);
typedef BOOL(WINAPI *ShellExecuteExProc)(SHELLEXECUTEINFOW *);

// The function `name` of the system library `library`, loaded now; null, with the error number
// ENOSYS, when this Windows lacks it.
static FARPROC systemFunction(const char *library, const char *name) {
  HMODULE module = LoadLibraryA(library);
  FARPROC found = module != NULL ? GetProcAddress(module, name) : NULL;
  if (found == NULL) {
    errno = ENOSYS;
  }
  return found;
}

// Starts the game through the shell, which asks the player to consent when the game must run
// elevated; OLE32 and SHELL32 are loaded only then. The shell takes wide-character paths, so
// that a game folder whose name the ANSI code page cannot hold is found. Unlike CreateProcessA,
// it gives the game its own full path in slot 0, none of this process's standard handles, and
// not this process's environment but the one Windows gives an elevated process. Returns on
// failure, with the error number set.
static void startElevated(const char *path, const char *const *argv) {
  FARPROC initialize = systemFunction("ole32.dll", "CoInitializeEx");
  FARPROC execute = systemFunction("shell32.dll", "ShellExecuteExW");
  char *parameters = (char *)malloc(argumentLine(NULL, argv + 1) + 1);
  if (initialize == NULL || execute == NULL || parameters == NULL) {
    return;
  }
  parameters[argumentLine(parameters, argv + 1)] = '\0';
  wchar_t *file = widePathOf(path);  // the full path: the shell would search for a bare name
  wchar_t *wideParameters = file != NULL ? wideText(parameters) : NULL;
  wchar_t *directory = wideParameters != NULL ? wideWorkingDirectory() : NULL;
  if (directory == NULL) {
    return;
  }
  // The shell may hand the start to extensions that COM activates: COM comes first. A thread
  // whose COM is already set up another way can start the game all the same.
  ((CoInitializeExProc)(void (*)(void))initialize)(
      NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

  SHELLEXECUTEINFOW start;
  ZeroMemory(&start, sizeof start);
  start.cbSize = sizeof start;
  start.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  start.lpFile = file;
  start.lpParameters = wideParameters;
  start.lpDirectory = directory;
  start.nShow = SW_SHOWNORMAL;
  if (((ShellExecuteExProc)(void (*)(void))execute)(&start)) {
    exit(0);
  }
  keepStartFailure(GetLastError());
}

// ERROR_ELEVATION_REQUIRED: the game is marked to run as administrator.
static const DWORD elevationRequired = 740;

// Test builds alone: Wine starts a game marked to run as administrator without asking, so the
// tests have every start refused as Windows refuses such a game, by naming
// PROTOSWITCH_TEST_ELEVATION_REQUIRED.
#ifdef PROTOSWITCH_TEST_HOOKS
static bool elevationRequiredForced() {
  return getenv("PROTOSWITCH_TEST_ELEVATION_REQUIRED") != NULL;
}
#else
static bool elevationRequiredForced() {
  return false;
}
#endif

void startGame(const char *path, const char *const *argv) {
  // _execv would join the arguments unquoted, so the line is built here and the game started
  // as a process of its own; this one then ends as _execv would end it.
  char *line = (char *)malloc(commandLine(NULL, argv) + 1);
  if (line == NULL) {
    return;  // malloc sets ENOMEM
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
  if (elevationRequiredForced()) {
    SetLastError(elevationRequired);
  } else if (CreateProcessA(path, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    exit(0);
  }
  DWORD reason = GetLastError();
  if (reason == elevationRequired) {
    startElevated(path, argv);
  } else {
    keepStartFailure(reason);
  }
}
