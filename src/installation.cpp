// Detection and switching of the active client generation.
#include "installation.h"

#include <errno.h>

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

// The error number of the last rename refused for another reason than a missing source.
static int lastRefusal = 0;

void formName(char *name, const char *first, const char *second, const char *third) {
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
// reason of a refusal is kept, for the report of a switch that could not be finished.
static void move(const char *from, const char *to) {
  if (renameNoReplace(from, to) != 0 && errno != ENOENT) {
    lastRefusal = errno;
  }
}

// Renames quake3.FROM to quake3.TO.
static void moveExe(const char *fromSuf, const char *toSuf) {
  char from[nameBufferSize];
  char to[nameBufferSize];
  formName(from, quakeExe, fromSuf, "");
  formName(to, quakeExe, toSuf, "");
  move(from, to);
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
  // The active executable moves out of the way before its counterpart moves in.
  moveExe(quakeExeSuf, quake68Suf);
  moveExe(quake43Suf, quakeExeSuf);
  movePaks(paksTo43);
}

void changeTo68() {
  if (clientVersion() != 43) {
    return;
  }
  moveExe(quakeExeSuf, quake43Suf);
  moveExe(quake68Suf, quakeExeSuf);
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

int lastRenameRefusal() {
  return lastRefusal;
}
