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

// Renames of a switch: for each of `count` base names, the fields of pakNameSize bytes from
// `bases` on, FOLDER BASE FROM becomes FOLDER BASE TO.
struct Renames {
  const char *folder;
  const char *bases;
  int count;
  const char *fromSuf;
  const char *toSuf;
};

// The renames of each switch, in their order: the active client is parked, the other client
// takes its name, then the paks of 1.11 - 1.16n move, then those of 1.32.
enum { parkRow, activateRow, pakRows, rowCount = 4 };
static const Renames renamesTo43[rowCount] = {
    {"", quakeExe, 1, quakeExeSuf, quake68Suf},
    {"", quakeExe, 1, quake43Suf, quakeExeSuf},
    {baseq3, pk3sFor43[0], pakCount43, quake43Suf, quakePK3Suf},
    {baseq3, pk3sFor68[0], pakCount68, quakePK3Suf, quake68Suf},
};
static const Renames renamesTo68[rowCount] = {
    {"", quakeExe, 1, quakeExeSuf, quake43Suf},
    {"", quakeExe, 1, quake68Suf, quakeExeSuf},
    {baseq3, pk3sFor43[0], pakCount43, quakePK3Suf, quake43Suf},
    {baseq3, pk3sFor68[0], pakCount68, quake68Suf, quakePK3Suf},
};

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

// Forms the name `i` of the renames `row`, with `suffix`, its fromSuf or its toSuf.
static void formRowName(char *name, const Renames *row, int i, const char *suffix) {
  formName(name, row->folder, row->bases + i * pakNameSize, suffix);
}

int clientVersion() {
  // Only the parked protocol-68 client is looked at: if it is parked, 43 is active.
  char name[nameBufferSize];
  formName(name, quakeExe, quake68Suf, "");
  return entryExists(name) ? 43 : 68;
}

// Tells `report` of an obstacle met. It keeps the one the warning names: the first met of the
// kind that comes first.
static void tell(Obstacle *report, ObstacleKind kind, int error, const char *name) {
  if (kind < report->kind) {
    report->kind = kind;
    report->error = error;
    formName(report->name, name, "", "");
  }
}

// Renames `from` to `to`. Returns 0 when that was done, and otherwise the error number of the
// refusal, which changed nothing: EEXIST for a name taken, which the caller tells, ENOENT for
// nothing to move, and any other reason (a file held open, a folder not the player's to write)
// told here, as `from` not renamed.
static int move(Obstacle *report, const char *from, const char *to) {
  if (renameNoReplace(from, to) == 0) {
    return 0;
  }
  int error = errno;
  if (error != EEXIST && error != ENOENT) {
    tell(report, entryNotRenamed, error, from);
  }
  return error;
}

// True when a name of the `count` pak rows from `rows` exists: a name they rename from, or with
// `produced`, one they produce.
static bool anyPakExists(const Renames *rows, int count, bool produced) {
  for (const Renames *row = rows; row < rows + count; row++) {
    for (int i = 0; i < row->count; i++) {
      char name[nameBufferSize];
      formRowName(name, row, i, produced ? row->toSuf : row->fromSuf);
      if (entryExists(name)) {
        return true;
      }
    }
  }
  return false;
}

// Does the renames of the pak row `row`, and tells of the first pak found under both of its names
// by the copy that is not where the paks of its table stood: the player moves that one out, and
// the copy in use stays.
static void movePaks(const Renames *row, bool finishing, Obstacle *report) {
  int twice = -1;
  bool othersMoved = false;
  for (int i = 0; i < row->count; i++) {
    char from[nameBufferSize], to[nameBufferSize];
    formRowName(from, row, i, row->fromSuf);
    formRowName(to, row, i, row->toSuf);
    int error = move(report, from, to);
    othersMoved = othersMoved || error == 0;
    twice = error == EEXIST && twice < 0 ? i : twice;
  }
  if (twice < 0) {
    return;
  }
  // They stood at the names renamed from when another of them was moved, and at the names renamed
  // to when another stands there; without another to tell, where the arrangement read first puts
  // them: a switch renames from its names, finishing renames to them.
  bool stoodAtTo = finishing && !othersMoved;
  for (int i = 0; i < row->count && !othersMoved; i++) {
    char to[nameBufferSize];
    formRowName(to, row, i, row->toSuf);
    stoodAtTo = stoodAtTo || (i != twice && entryExists(to));
  }
  char stray[nameBufferSize];
  formRowName(stray, row, twice, stoodAtTo ? row->fromSuf : row->toSuf);
  tell(report, pakInTheWay, EEXIST, stray);
}

// Does the renames of the switch to `protocol`: all of them, or when detection answers
// `protocol` already (`finishing`), those that finish a switch cut short. Tells `report` what
// stood in the way.
static void follow(int protocol, bool finishing, Obstacle *report) {
  const Renames *renames = protocol == 43 ? renamesTo43 : renamesTo68;
  report->kind = obstacleKinds;
  char active[nameBufferSize], parked[nameBufferSize], arriving[nameBufferSize];
  formRowName(active, &renames[parkRow], 0, renames[parkRow].fromSuf);
  formRowName(parked, &renames[parkRow], 0, renames[parkRow].toSuf);
  formRowName(arriving, &renames[activateRow], 0, renames[activateRow].fromSuf);

  // A client is never a folder or a link that leads nowhere: such an entry at a client's name is
  // in the way, it is never moved, and no client moves for it. Finishing the switch to 43, the
  // name detection read, where the 1.32 client rests, counts as well.
  EntryKind activeKind = entryKind(active);
  EntryKind arrivingKind = entryKind(arriving);
  EntryKind parkedKind = finishing && protocol == 43 ? entryKind(parked) : noEntry;
  if (activeKind == otherEntry) {
    tell(report, entryInTheWay, 0, active);
  }
  if (arrivingKind == otherEntry) {
    tell(report, entryInTheWay, 0, arriving);
  }
  if (parkedKind == otherEntry) {
    tell(report, entryInTheWay, 0, parked);
  }
  bool clientsMove = report->kind == obstacleKinds;

  // The active client moves out of the way before the other takes its name. Finishing, it stays:
  // with detection answering `protocol` already, it may be the only client of the folder.
  int parkError = ENOENT;
  if (clientsMove && !finishing && activeKind == fileEntry) {
    parkError = move(report, active, parked);
    if (parkError == EEXIST) {
      // Taken by a folder or a link that leads nowhere, or by a third client.
      tell(report, entryKind(parked) == otherEntry ? entryInTheWay : threeClients, parkError,
           parked);
    }
  }
  // quake3.exe taken: by the client that could not be parked, told already, or when finishing,
  // by a client while the other two names hold clients too.
  int activateError =
      clientsMove && arrivingKind == fileEntry ? move(report, arriving, active) : ENOENT;
  if (activateError == EEXIST) {
    tell(report, threeClients, activateError, active);
  }
  bool activated = activateError == 0;
  bool clientToStart = activated || (activeKind == fileEntry && parkError != 0);

  // A switch moves every pak. Finishing moves them only once their side of the switch has visibly
  // begun, so that the paks of a folder with a single client and a stray parked name stay where
  // they are: a name the renames produce exists, or the client of `protocol` is not parked while
  // one of its own paks still is. (While its client is still parked, quake3.exe may be the other
  // generation's, and the paks stay with it.)
  const Renames *paks = renames + pakRows;
  const Renames *ownPaks = protocol == 43 ? paks : paks + 1;
  bool paksMove = !finishing;
  if (finishing && anyPakExists(paks, rowCount - pakRows, false)) {
    bool clientParked = arrivingKind != noEntry && !activated;
    paksMove = anyPakExists(paks, rowCount - pakRows, true) ||
               (!clientParked && anyPakExists(ownPaks, 1, false));
    // Held back, the paks show the other generation: for 68, none of its own paks is anywhere;
    // for 43, a folder without {tarn} and !tarn! reads the same with either client active.
    if (!paksMove && clientToStart && protocol == 68) {
      char missing[nameBufferSize];
      formRowName(missing, ownPaks, 0, ownPaks->toSuf);
      tell(report, entryMissing, 0, missing);
    } else if (!paksMove && clientToStart) {
      tell(report, clientUnknown, 0, active);
    }
  }
  for (const Renames *row = paks; paksMove && row < renames + rowCount; row++) {
    movePaks(row, finishing, report);
  }

  // A switch to 43 that parked no 1.32 client leaves a folder that detection reads as 68.
  if (protocol == 43 && !finishing && activeKind == noEntry && activated) {
    tell(report, entryMissing, 0, parked);
  }
}

// Switches to `protocol` when detection answers `other`; the toggle tells nothing.
static void changeFrom(int other, int protocol) {
  Obstacle unread;
  if (clientVersion() == other) {
    follow(protocol, false, &unread);
  }
}

void changeTo43() {
  changeFrom(68, 43);
}

void changeTo68() {
  changeFrom(43, 68);
}

bool switchForServer(int protocol, Obstacle *found) {
  follow(protocol, clientVersion() == protocol, found);
  return found->kind != obstacleKinds;
}
