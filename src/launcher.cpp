// protoswitch: started without arguments it toggles the installation's active client
// generation; started with the game's command line it switches the installation to the
// generation that the "+connect" server speaks and hands over to the game.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "installation.h"
#include "platform.h"
#include "server_probe.h"

static const char connectArgument[] = "+connect";
static const size_t timeStampSize = 16;

// True when the two texts are equal, ASCII letters compared without regard to case.
static bool sameTextIgnoringCase(const char *left, const char *right) {
  for (;; left++, right++) {
    char l = *left >= 'A' && *left <= 'Z' ? (char)(*left - 'A' + 'a') : *left;
    char r = *right >= 'A' && *right <= 'Z' ? (char)(*right - 'A' + 'a') : *right;
    if (l != r) {
      return false;
    }
    if (l == '\0') {
      return true;
    }
  }
}

/// Writes the local time of day as HH:MM:SS into `buffer` (timeStampSize bytes); returns it.
static char *getTime(char *buffer) {
  time_t now = time(NULL);
  struct tm *local = localtime(&now);
  // A clock beyond what localtime can convert leaves the stamp empty rather than unread.
  buffer[0] = '\0';
  if (local != NULL) {
    strftime(buffer, timeStampSize, "%H:%M:%S", local);
  }
  return buffer;
}

// What the warning says of each kind of obstacle, after "Can't switch the installation": the
// words before the name, as the player sees it, and after it; no name where none follow. Each
// kind's words stand at the kind's own index.
static constexpr struct {
  ObstacleKind kind;
  const char *before;
  const char *after;
} obstacleWords[] = {
    {entryInTheWay, ", ", " is in the way"},
    {entryNotRenamed, ", ", " could not be renamed"},
    {threeClients, ", quake3.exe, quake3.16 and quake3.32 all exist", nullptr},
    {pakInTheWay, ", ", " is in the way"},
    {entryMissing, ": ", " is missing"},
    {clientUnknown,
     ": the names do not tell which game quake3.exe is; start protoswitch once without "
     "arguments, then join again",
     nullptr},
};

/// True when every kind of obstacle has its words, at its own index.
static constexpr bool wordsForEachKind() {
  int index = 0;
  for (const auto &words : obstacleWords) {
    if (words.kind != index++) {
      return false;
    }
  }
  return index == obstacleKinds;
}
static_assert(wordsForEachKind(), "obstacleWords lists each ObstacleKind's words in its order");

/// Writes the one line that says why the installation could not be switched and what stands in
/// the way; it ends with the system's reason when a refused rename gave one.
static void warnOfObstacle(Obstacle *obstacle) {
  for (char *c = obstacle->name; *c != '\0'; c++) {
    if (*c == '/') {
      *c = shownSeparator;
    }
  }
  const auto &words = obstacleWords[obstacle->kind];
  char start[nameBufferSize], line[nameBufferSize];
  formName(start, "Can't switch the installation", words.before, "");
  formName(line, start, words.after != nullptr ? obstacle->name : "",
           words.after != nullptr ? words.after : "");
  if (obstacle->error != 0) {
    // The one message whose error number the launcher sets itself: that of the refused rename,
    // which the existence tests since may have overwritten on some platforms.
    errno = obstacle->error;
    perror(line);
  } else {
    fputs(line, stderr);
    fputs("\n", stderr);
  }
}

int main(int argc, char **argv) {
  reachConsole();
  if (argc < 2) {
    // Toggle: whatever happened, the status is 1 and nothing is said.
    if (clientVersion() == 68) {
      changeTo43();
    } else {
      changeTo68();
    }
    exit(1);
  }

  int address = 0;
  while (address < argc && !sameTextIgnoringCase(argv[address], connectArgument)) {
    address++;
  }
  address++;
  if (address >= argc) {
    perror("Server address not present");
    exit(1);
  }

  // A switch cut short (a pak held open by a running game) reads as done from then on, so a
  // launch that needs no switch finishes what the last one left undone.
  Obstacle obstacle;
  if (switchForServer(serverVersion(argv[address]), &obstacle)) {
    // The game starts anyway: from a server browser, the player may never see this.
    warnOfObstacle(&obstacle);
  }

  char path[nameBufferSize];
  formName(path, quakeExe, quakeExeSuf, "");

  // The vector goes to the game and is never released: nothing runs here after the hand-over.
  static char timeStamp[timeStampSize];
  const char **gameArgv = (const char **)malloc((size_t)(argc + 4) * sizeof *gameArgv);
  if (gameArgv != NULL) {
    for (int i = 0; i < argc; i++) {
      gameArgv[i] = argv[i];
    }
    gameArgv[argc] = "+set";
    gameArgv[argc + 1] = "cg_time";
    gameArgv[argc + 2] = getTime(timeStamp);
    gameArgv[argc + 3] = NULL;
  } else {
    perror("Can't realloc argv, using old one");
    gameArgv = (const char **)argv;
  }

  startGame(path, gameArgv);
  // A game that cannot be started is a failure, not a quiet success.
  perror("Can't start quake3.exe");
  return 1;
}
