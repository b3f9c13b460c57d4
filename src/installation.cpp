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

// A switch: its renames in their order (the active client is parked, the other client takes its
// name, then the paks of 1.11 - 1.16n move, then those of 1.32), and every fact in which the two
// switches differ.
enum { parkRow, activateRow, pakRows, rowCount = 4, mostRenames = pakCount68 };
struct Switch {
  Renames rows[rowCount];
  int ownPakRow;            // the row of the paks only this switch's client uses
  bool parksWhereDetected;  // the active client parks at the name detection reads (quake3.32)
  // What a finish that holds the paks back tells, and of which entry (a row, its first name,
  // from or to): for 68, that none of its own paks is anywhere; for 43, that the names do not tell
  // which client quake3.exe is, as a folder without {tarn} and !tarn! reads the same with either
  // client active.
  struct {
    ObstacleKind kind;
    int row;
    bool from;
  } heldBack;
};
static const Switch switchTo43 = {
    {
        {"", quakeExe, 1, quakeExeSuf, quake68Suf},
        {"", quakeExe, 1, quake43Suf, quakeExeSuf},
        {baseq3, pk3sFor43[0], pakCount43, quake43Suf, quakePK3Suf},
        {baseq3, pk3sFor68[0], pakCount68, quakePK3Suf, quake68Suf},
    },
    pakRows,
    true,
    {clientUnknown, parkRow, true},
};
static const Switch switchTo68 = {
    {
        {"", quakeExe, 1, quakeExeSuf, quake43Suf},
        {"", quakeExe, 1, quake68Suf, quakeExeSuf},
        {baseq3, pk3sFor43[0], pakCount43, quakePK3Suf, quake43Suf},
        {baseq3, pk3sFor68[0], pakCount68, quake68Suf, quakePK3Suf},
    },
    pakRows + 1,
    false,
    {entryMissing, pakRows + 1, false},
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

// The switch to `protocol`, and whether detection reads `protocol` already, so that only what a
// switch cut short left undone is to be done. The one place that tells the protocols apart.
static const Switch *switchTo(int protocol, bool *finishing) {
  *finishing = clientVersion() == protocol;
  return protocol == 43 ? &switchTo43 : &switchTo68;
}

// What stood at each name of a switch's renames when it began.
struct Reading {
  EntryKind from[rowCount][mostRenames];
  EntryKind to[rowCount][mostRenames];
};

// Reads what stands at each name of the renames of `change`.
static void readFolder(const Switch *change, Reading *folder) {
  for (int row = 0; row < rowCount; row++) {
    const Renames *renames = &change->rows[row];
    for (int i = 0; i < renames->count; i++) {
      char name[nameBufferSize];
      formRowName(name, renames, i, renames->fromSuf);
      folder->from[row][i] = entryKind(name);
      formRowName(name, renames, i, renames->toSuf);
      folder->to[row][i] = entryKind(name);
    }
  }
}

// True when a name of the rows from `first` to `last` stood in `names` (the reading's from or to).
static bool anyStood(const Switch *change, const EntryKind (*names)[mostRenames], int first,
                     int last) {
  for (int row = first; row <= last; row++) {
    for (int i = 0; i < change->rows[row].count; i++) {
      if (names[row][i] != noEntry) {
        return true;
      }
    }
  }
  return false;
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

// Tells `report` of the entry `i` of the row `row`, under its from-name or its to-name.
static void tellOf(Obstacle *report, ObstacleKind kind, int error, const Switch *change, int row,
                   int i, bool from) {
  const Renames *renames = &change->rows[row];
  char name[nameBufferSize];
  formRowName(name, renames, i, from ? renames->fromSuf : renames->toSuf);
  tell(report, kind, error, name);
}

// The switch's plan: which rows of renames are tried, and what stands in the way before any is.
struct Plan {
  bool tried[rowCount];
  Obstacle report;
};

// Plans the switch `change` from what stood in `folder`: all of it, or with `finishing`, what
// finishes a switch cut short.
static void plan(const Switch *change, const Reading *folder, bool finishing, Plan *plan) {
  Obstacle *report = &plan->report;
  report->kind = obstacleKinds;
  EntryKind active = folder->from[parkRow][0];
  EntryKind parked = folder->to[parkRow][0];
  EntryKind arriving = folder->from[activateRow][0];

  // A client is never a folder or a link that leads nowhere: such an entry at a client's name is
  // in the way, it is never moved, and no client moves for it. Finishing, the name detection
  // read, where the active client parks, counts as well.
  if (active == otherEntry) {
    tellOf(report, entryInTheWay, 0, change, parkRow, 0, true);
  }
  if (arriving == otherEntry) {
    tellOf(report, entryInTheWay, 0, change, activateRow, 0, true);
  }
  if (finishing && change->parksWhereDetected && parked == otherEntry) {
    tellOf(report, entryInTheWay, 0, change, parkRow, 0, false);
  }
  bool clientsMove = report->kind == obstacleKinds;

  // The active client moves out of the way before the other takes its name. Finishing, it stays:
  // with detection answering the protocol already, it may be the only client of the folder.
  plan->tried[parkRow] = clientsMove && !finishing && active == fileEntry;
  plan->tried[activateRow] = clientsMove && arriving == fileEntry;
  bool parks = plan->tried[parkRow] && parked == noEntry;
  bool activates = plan->tried[activateRow] && (active == noEntry || parks);
  bool clientToStart = activates || (active == fileEntry && !parks);

  // A switch moves every pak. Finishing moves them only once their side of the switch has visibly
  // begun, so that the paks of a folder with a single client and a stray parked name stay where
  // they are: a name the renames produce exists, or the client is not parked while one of its own
  // paks still is. (While its client is still parked, quake3.exe may be the other generation's,
  // and the paks stay with it.)
  bool paksMove = !finishing;
  if (finishing && anyStood(change, folder->from, pakRows, rowCount - 1)) {
    bool clientParked = arriving != noEntry && !activates;
    int own = change->ownPakRow;
    paksMove = anyStood(change, folder->to, pakRows, rowCount - 1) ||
               (!clientParked && anyStood(change, folder->from, own, own));
    if (!paksMove && clientToStart) {
      const auto &told = change->heldBack;
      tellOf(report, told.kind, 0, change, told.row, 0, told.from);
    }
  }
  for (int row = pakRows; row < rowCount; row++) {
    plan->tried[row] = paksMove;
  }

  // A switch that parks no client at the name detection reads (43's, which parks 1.32 at
  // quake3.32) leaves a folder that detection reads as the other protocol.
  if (change->parksWhereDetected && !finishing && active == noEntry && activates) {
    tellOf(report, entryMissing, 0, change, parkRow, 0, false);
  }
}

// True when the copy of pak `i` of `row` not in use, of the two that stood, is the one at its
// from-name: the one not where the other paks of its table stood, and without another to tell,
// not where the arrangement read first puts it (a switch renames from its names, finishing
// renames to them).
static bool strayAtFrom(const Switch *change, const Reading *folder, int row, int i,
                        bool finishing) {
  bool othersAtTo = finishing;
  for (int j = 0; j < change->rows[row].count; j++) {
    if (j != i && folder->from[row][j] != noEntry && folder->to[row][j] == noEntry) {
      return false;
    }
    othersAtTo = othersAtTo || (j != i && folder->to[row][j] != noEntry);
  }
  return othersAtTo;
}

// Tries the renames the plan holds, in their order, each once, and folds each refusal into the
// plan's report where it is met: a name taken (a third client, a pak under both names, an entry
// in the way of the park), or any other reason (a file held open, a folder not the player's to
// write) as the entry not renamed. Nothing to move is no obstacle.
static void follow(const Switch *change, const Reading *folder, bool finishing, Plan *plan) {
  for (int row = 0; row < rowCount; row++) {
    const Renames *renames = &change->rows[row];
    for (int i = 0; plan->tried[row] && i < renames->count; i++) {
      char from[nameBufferSize], to[nameBufferSize];
      formRowName(from, renames, i, renames->fromSuf);
      formRowName(to, renames, i, renames->toSuf);
      if (renameNoReplace(from, to) == 0) {
        continue;
      }
      int error = errno;
      if (error == EEXIST && row >= pakRows) {
        tellOf(&plan->report, pakInTheWay, error, change, row, i,
               strayAtFrom(change, folder, row, i, finishing));
      } else if (error == EEXIST) {
        bool inTheWay = row == parkRow && folder->to[parkRow][0] == otherEntry;
        tell(&plan->report, inTheWay ? entryInTheWay : threeClients, error, to);
      } else if (error != ENOENT) {
        tell(&plan->report, entryNotRenamed, error, from);
      }
    }
  }
}

// Brings the installation to the arrangement `change` makes: the switch, or with `finishing`, the
// renames that finish one cut short. `done` tells what stood in the way.
static void switchFolder(const Switch *change, bool finishing, Plan *done) {
  Reading folder;
  readFolder(change, &folder);
  plan(change, &folder, finishing, done);
  follow(change, &folder, finishing, done);
}

// Switches to `protocol` unless detection reads it already; the toggle tells nothing.
static void changeTo(int protocol) {
  bool finishing;
  const Switch *change = switchTo(protocol, &finishing);
  Plan unread;
  if (!finishing) {
    switchFolder(change, false, &unread);
  }
}

void changeTo43() {
  changeTo(43);
}

void changeTo68() {
  changeTo(68);
}

bool switchForServer(int protocol, Obstacle *found) {
  bool finishing;
  const Switch *change = switchTo(protocol, &finishing);
  Plan done;
  switchFolder(change, finishing, &done);
  *found = done.report;
  return found->kind != obstacleKinds;
}
