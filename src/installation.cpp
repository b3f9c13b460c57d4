// Detection and switching of the active client generation.
#include "installation.h"

#include <errno.h>
#include <string.h>

#include "platform.h"

const char quakeExe[] = "quake3";
const char quakeExeSuf[] = ".exe";
const char quake43Suf[] = ".16";
const char quake68Suf[] = ".32";
const char quakePK3Suf[] = ".pk3";
const char baseq3[] = "baseq3/";

const char pk3sFor43[][pakNameSize] = {"{tarn}", "!tarn!"};
const char pk3sFor68[][pakNameSize] = {"pak3", "pak4", "pak5", "pak6", "pak7", "pak8"};

static const int pakCount43 = sizeof pk3sFor43 / sizeof pk3sFor43[0];
static const int pakCount68 = sizeof pk3sFor68 / sizeof pk3sFor68[0];

// The pak renames of a switch: each base name of `names` from `fromSuf` to `toSuf`. A table of
// them ends with an entry without names.
struct PakMove {
  const char (*names)[pakNameSize];
  int count;
  const char *fromSuf;
  const char *toSuf;
};
static const PakMove paksTo43[] = {{pk3sFor43, pakCount43, quake43Suf, quakePK3Suf},
                                   {pk3sFor68, pakCount68, quakePK3Suf, quake68Suf},
                                   {nullptr, 0, nullptr, nullptr}};
static const PakMove paksTo68[] = {{pk3sFor43, pakCount43, quakePK3Suf, quake43Suf},
                                   {pk3sFor68, pakCount68, quake68Suf, quakePK3Suf},
                                   {nullptr, 0, nullptr, nullptr}};

// A rename of this run that was refused: why, and the name it concerns.
struct Refusal {
  int error;  // 0: none was
  char name[nameBufferSize];
};
// The first rename refused because its new name was taken, with that name; and the first
// refused for another reason than that or a missing source (a file in use, no right to write),
// with the name it could not move.
static Refusal firstTaken, firstRefused;

// Not inlined: every rename and name test forms names, and each copy of this loop cost the
// Windows executable bytes it has no room for.
__attribute__((noinline)) void formName(char *name, const char *first, const char *second,
                                        const char *third) {
  const char *parts[] = {first, second, third};
  size_t length = 0;
  for (const char *part : parts) {
    for (; *part != '\0' && length + 1 < nameBufferSize; part++) {
      name[length++] = *part;
    }
  }
  name[length] = '\0';
}

int clientVersion() {
  // Only the parked protocol-68 client is looked at: if it is parked, 43 is active.
  char name[nameBufferSize];
  formName(name, quakeExe, quake68Suf, "");
  return entryExists(name) ? 43 : 68;
}

// Renames `from` to `to`. The result is not examined: a rename that fails (a missing file, a
// taken name, a file in use) leaves both names as they were, and the switch goes on. Only the
// first refusals are kept, for the report of a switch that could not be finished.
static void move(const char *from, const char *to) {
  if (renameNoReplace(from, to) == 0 || errno == ENOENT) {
    return;
  }
  bool taken = errno == EEXIST;
  Refusal *kept = taken ? &firstTaken : &firstRefused;
  if (kept->error == 0) {
    kept->error = errno;
    formName(kept->name, taken ? to : from, "", "");
  }
}

// True when quake3.SUFFIX is a folder, or a link to one: never a client.
static bool folderAt(const char *suffix) {
  char name[nameBufferSize];
  formName(name, quakeExe, suffix, "");
  return entryIsFolder(name);
}

// Renames quake3.FROM to quake3.TO, unless quake3.FROM is a folder: a folder never moves into or
// out of a client's name.
static void moveExe(const char *fromSuf, const char *toSuf) {
  char from[nameBufferSize];
  char to[nameBufferSize];
  formName(from, quakeExe, fromSuf, "");
  formName(to, quakeExe, toSuf, "");
  if (!entryIsFolder(from)) {
    move(from, to);
  }
}

// Parks quake3.exe as quake3.PARKED and activates quake3.ARRIVING in its place. The active
// executable moves out of the way before its counterpart moves in, but never to make room for a
// folder.
static void switchExes(const char *parkedSuf, const char *arrivingSuf) {
  if (!folderAt(arrivingSuf)) {
    moveExe(quakeExeSuf, parkedSuf);
  }
  moveExe(arrivingSuf, quakeExeSuf);
}

// Does the pak renames of `moves`, each base name first to last.
static void movePaks(const PakMove *moves) {
  for (const PakMove *paks = moves; paks->names != nullptr; paks++) {
    for (int i = 0; i < paks->count; i++) {
      char from[nameBufferSize];
      char to[nameBufferSize];
      formName(from, baseq3, paks->names[i], paks->fromSuf);
      formName(to, baseq3, paks->names[i], paks->toSuf);
      move(from, to);
    }
  }
}

// True when any pak name that the renames of `moves` start from (`sources`) or produce exists.
// With `ownOnly`, only the renames that make paks active count: those of the generation that
// the switch goes to.
static bool anyPakExists(const PakMove *moves, bool sources, bool ownOnly) {
  for (const PakMove *paks = moves; paks->names != nullptr; paks++) {
    if (ownOnly && paks->toSuf != quakePK3Suf) {
      continue;
    }
    for (int i = 0; i < paks->count; i++) {
      char name[nameBufferSize];
      formName(name, baseq3, paks->names[i], sources ? paks->fromSuf : paks->toSuf);
      if (entryExists(name)) {
        return true;
      }
    }
  }
  return false;
}

// The pak renames of the switch to `protocol`.
static const PakMove *paksTo(int protocol) {
  return protocol == 43 ? paksTo43 : paksTo68;
}

// True when the client of `protocol` is parked: quake3.16 for 43, quake3.32 for 68.
static bool clientParked(int protocol) {
  char parked[nameBufferSize];
  formName(parked, quakeExe, protocol == 43 ? quake43Suf : quake68Suf, "");
  return entryExists(parked);
}

void changeTo43() {
  if (clientVersion() != 68) {
    return;
  }
  switchExes(quake68Suf, quake43Suf);
  movePaks(paksTo43);
}

void changeTo68() {
  if (clientVersion() != 43) {
    return;
  }
  switchExes(quake43Suf, quake68Suf);
  movePaks(paksTo68);
}

bool holdsArrangement(int protocol) {
  return clientVersion() == protocol && !clientParked(protocol) &&
         !anyPakExists(paksTo(protocol), true, false);
}

void finishSwitchTo(int protocol) {
  if (clientVersion() != protocol) {
    return;
  }
  // quake3.exe is never parked here: with detection answering `protocol` already, it may be the
  // only client of the folder. The activation is safe, as a rename never replaces.
  if (protocol == 43) {
    moveExe(quake43Suf, quakeExeSuf);
  }
  // The paks are moved only once their side of the switch has visibly begun, so that the paks
  // of a folder with a single client and a stray parked name stay where they are. A parked pak
  // of the generation switched to shows a folder of both generations; but while its client is
  // still parked, quake3.exe may be the other generation's, and the paks stay with it.
  const PakMove *moves = paksTo(protocol);
  if (anyPakExists(moves, false, false) ||
      (!clientParked(protocol) && anyPakExists(moves, true, true))) {
    movePaks(moves);
  }
}

// Fills `found` with `kind`, the error number `error` and the entry named `first` `second`;
// returns true.
static bool obstacle(Obstacle *found, ObstacleKind kind, int error, const char *first,
                     const char *second = "") {
  found->kind = kind;
  found->error = error;
  formName(found->name, first, second, "");
  return true;
}

bool findObstacle(int protocol, Obstacle *found) {
  // A client is never a folder: one under a client's name is in the way, whatever the renames
  // met.
  const char *clientSufs[] = {quake68Suf, quake43Suf, quakeExeSuf};
  for (const char *suffix : clientSufs) {
    if (folderAt(suffix)) {
      return obstacle(found, entryInTheWay, firstTaken.error, quakeExe, suffix);
    }
  }
  // A running game or a folder not the player's to write: closing the game, or the right to
  // write, settles it; nothing needs to move away.
  if (firstRefused.error != 0) {
    return obstacle(found, entryNotRenamed, firstRefused.error, firstRefused.name);
  }
  if (firstTaken.error != 0) {
    // A client's rename is refused only when all three client names exist. Which of them is
    // not a client, the names cannot tell, so none is named: the player looks. A pak taken
    // under both names is the same pak twice, as a rule; the name taken is named.
    bool pak = strncmp(firstTaken.name, baseq3, sizeof baseq3 - 1) == 0;
    return obstacle(found, pak ? entryInTheWay : threeClients, firstTaken.error, firstTaken.name);
  }
  // Nothing was refused. Without a client to start, the game's start says what is missing.
  char active[nameBufferSize];
  formName(active, quakeExe, quakeExeSuf, "");
  if (!entryExists(active) && !clientParked(43)) {
    return false;
  }
  if (protocol == 43 && !clientParked(68)) {
    return obstacle(found, entryMissing, 0, quakeExe, quake68Suf);
  }
  if (protocol == 68) {
    // Only a folder without any pak of the 1.32 client, and the 1.16 paks active, stops here.
    char pak[nameBufferSize];
    formName(pak, baseq3, pk3sFor68[0], quakePK3Suf);
    return obstacle(found, entryMissing, 0, pak);
  }
  // Both clients' names are there, but no pak shows which of them quake3.exe is: a folder
  // without {tarn} and !tarn! paks reads the same with either client active.
  return obstacle(found, clientUnknown, 0, active);
}
