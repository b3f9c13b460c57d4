// The game's installation: the table of its file names, which client generation is active, and
// the switch from one generation to the other by renaming files.
//
// Protocol 43 is client 1.11 - 1.16n, protocol 68 is client 1.32. The active generation's files
// carry the names the game loads (quake3.exe, baseq3/NAME.pk3); the other's are parked under the
// suffix of their generation (.16 or .32). All names are relative to the working directory.
#ifndef PROTOSWITCH_INSTALLATION_H
#define PROTOSWITCH_INSTALLATION_H

#include <stddef.h>

extern const char quakeExe[];     // "quake3": base name of the client executable
extern const char quakeExeSuf[];  // ".exe": suffix of the active executable
extern const char quake43Suf[];   // ".16": parks a file of the protocol-43 generation
extern const char quake68Suf[];   // ".32": parks a file of the protocol-68 generation
extern const char quakePK3Suf[];  // ".pk3": suffix of an active pak file
extern const char baseq3[];       // "baseq3/": directory of the pak files, separator included

const int pakNameSize = 8;                   // a pak base name has at most 7 characters
extern const char pk3sFor43[][pakNameSize];  // "{tarn}", "!tarn!"
extern const char pk3sFor68[][pakNameSize];  // "pak3" ... "pak8"

const size_t nameBufferSize = 1024;

/// Writes first, second and third joined into `name` (nameBufferSize bytes), cut to fit.
void formName(char *name, const char *first, const char *second, const char *third);

/// The protocol of the active generation: 43 when quake3.32 exists, 68 otherwise.
int clientVersion();

/// Makes the protocol-43 generation active, unless it already is. Reports nothing.
void changeTo43();

/// Makes the protocol-68 generation active, unless it already is. Reports nothing.
void changeTo68();

/// What kept the installation from the arrangement of a protocol, as the player is told it. The
/// kinds stand in the order the warning chooses among them: of all that a switch meets, it names
/// the first kind, and of that kind what was met first.
enum ObstacleKind {
  entryInTheWay,    // `name`, a client's name, holds no client: a folder, or a link to one or
                    // to nothing
  entryNotRenamed,  // `name` could not be renamed (held open, or no right to write)
  threeClients,     // quake3.exe, quake3.16 and quake3.32 all exist, and the names cannot tell
                    // which of them is not a client
  pakInTheWay,      // a pak under both of its names: `name` is the copy that is not where the
                    // arrangement read before the switch puts it
  entryMissing,     // `name` is needed but is nowhere, under no name a rename starts from
  clientUnknown,    // nothing was refused, but the names cannot tell which client quake3.exe is
  obstacleKinds,    // the number of kinds; as a kind, nothing met
};
struct Obstacle {
  ObstacleKind kind;
  int error;                  // the error number of the refused rename; 0 when none was
  char name[nameBufferSize];  // the entry concerned, formed as the renames form it
};

/// Brings the installation to the arrangement of `protocol` (43 or 68) for a connect launch: the
/// switch when detection answers the other protocol, and otherwise the renames that finish a
/// switch cut short. True when something kept it from that arrangement; `found` tells what.
/// False when there is nothing to tell beyond what the game's start will say.
bool switchForServer(int protocol, Obstacle *found);

#endif
