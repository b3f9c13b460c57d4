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

const char pk3sFor43[2][pakNameSize] = {"{tarn}", "!tarn!"};
const char pk3sFor68[6][pakNameSize] = {"pak3", "pak4", "pak5", "pak6", "pak7", "pak8"};

// The pak renames of a switch: each base name of `names` from `fromSuf` to `toSuf`.
struct PakMove {
  const char (*names)[pakNameSize];
  int count;
  const char *fromSuf;
  const char *toSuf;
};
static const PakMove paksTo43[] = {{pk3sFor43, 2, quake43Suf, quakePK3Suf},
                                   {pk3sFor68, 6, quakePK3Suf, quake68Suf}};
static const PakMove paksTo68[] = {{pk3sFor43, 2, quakePK3Suf, quake43Suf},
                                   {pk3sFor68, 6, quake68Suf, quakePK3Suf}};

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

// Does the pak renames of `moves` (two of them), each base name first to last.
static void movePaks(const PakMove *moves) {
  for (int m = 0; m < 2; m++) {
    for (int i = 0; i < moves[m].count; i++) {
      char from[nameBufferSize];
      char to[nameBufferSize];
      formName(from, baseq3, moves[m].names[i], moves[m].fromSuf);
      formName(to, baseq3, moves[m].names[i], moves[m].toSuf);
      move(from, to);
    }
  }
}

// True when any pak name that the renames of `moves` start from (`sources`) or produce exists.
static bool anyPakExists(const PakMove *moves, bool sources) {
  for (int m = 0; m < 2; m++) {
    for (int i = 0; i < moves[m].count; i++) {
      char name[nameBufferSize];
      formName(name, baseq3, moves[m].names[i], sources ? moves[m].fromSuf : moves[m].toSuf);
      if (entryExists(name)) {
        return true;
      }
    }
  }
  return false;
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
  if (clientVersion() != protocol) {
    return false;
  }
  // For 68, detection has already found no parked protocol-68 client.
  char parked43[nameBufferSize];
  formName(parked43, quakeExe, quake43Suf, "");
  if (protocol == 43 && entryExists(parked43)) {
    return false;
  }
  return !anyPakExists(protocol == 43 ? paksTo43 : paksTo68, true);
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
  // of a folder with a single client and a stray parked name stay where they are.
  const PakMove *moves = protocol == 43 ? paksTo43 : paksTo68;
  if (anyPakExists(moves, false)) {
    movePaks(moves);
  }
}

int lastRenameRefusal() {
  return lastRefusal;
}
