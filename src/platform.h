// What the launcher needs of the operating system, and nothing more.
//
// One implementation per platform (platform_posix.cpp, platform_win32.cpp), chosen by the build.
// The socket calls both platforms share (socket, sendto, htons, gethostbyname) are used directly
// by the server probe; this header only hides where their declarations live.
#ifndef PROTOSWITCH_PLATFORM_H
#define PROTOSWITCH_PLATFORM_H

#include <stddef.h>

#ifdef _WIN32
#include <winsock2.h>
typedef SOCKET SocketHandle;
const SocketHandle invalidSocket = INVALID_SOCKET;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
typedef int SocketHandle;
const SocketHandle invalidSocket = -1;
#endif

/// Puts standard error on the console of the program that started this one when it leads
/// nowhere else, so that messages reach a player who started the launcher from a prompt.
void reachConsole();

/// True when a file system entry of that name exists; a failed test counts as absence.
bool entryExists(const char *name);

/// What stands at a name, as the switch tells a client from what is none.
enum EntryKind {
  noEntry,     // nothing, or the test failed
  fileEntry,   // a file, or a link to one
  otherEntry,  // a folder, a link to one, or a link that leads nowhere: never a client
};
EntryKind entryKind(const char *name);

/// The character that joins a folder's name and a file's in a name as the player sees it.
extern const char shownSeparator;

/// Renames `from` to `to`, refusing (and changing nothing) when `to` is taken. 0 on success;
/// otherwise the error number says why (ENOENT: `from` is missing).
int renameNoReplace(const char *from, const char *to);

/// Starts the socket library (version 1.1 where there is one). True on success.
bool socketsStart();

/// Releases the socket library started by socketsStart.
void socketsRelease();

/// Closes a socket opened by socket().
void closeSocket(SocketHandle socket);

/// Waits until `socket` is readable, for at most `seconds` seconds. True when it is.
bool waitReadable(SocketHandle socket, int seconds);

/// Receives one datagram into `buffer`, keeping at most `size` bytes of it.
/// Returns the number of bytes kept: a longer datagram is cut, a failed receive keeps 0.
size_t receiveDatagram(SocketHandle socket, char *buffer, size_t size);

/// Hands over to the executable at `path` (relative, no search path) with the argument vector
/// `argv` and the current environment. Returns only if the game could not be started, with the
/// error number saying why.
void startGame(const char *path, const char *const *argv);

#endif
