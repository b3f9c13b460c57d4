// Detection and switching of the active client generation.
#include "installation.h"

#include "platform.h"

const char quakeExe[] = "quake3";
const char quakeExeSuf[] = ".exe";
const char quake43Suf[] = ".16";
const char quake68Suf[] = ".32";
const char quakePK3Suf[] = ".pk3";
const char baseq3[] = "baseq3/";

const char pk3sFor43[2][pakNameSize] = {"{tarn}", "!tarn!"};
const char pk3sFor68[6][pakNameSize] = {"pak3", "pak4", "pak5", "pak6", "pak7", "pak8"};

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

// Renames quake3.FROM to quake3.TO. The result is not examined: a rename that fails (a missing
// file, a taken name) leaves both names as they were, and the switch goes on.
static void moveExe(const char *fromSuf, const char *toSuf) {
  char from[nameBufferSize];
  char to[nameBufferSize];
  formName(from, quakeExe, fromSuf, "");
  formName(to, quakeExe, toSuf, "");
  renameNoReplace(from, to);
}

// Renames baseq3/N.FROM to baseq3/N.TO for each base name N, first to last.
static void movePaks(const char (*names)[pakNameSize], int count, const char *fromSuf,
                     const char *toSuf) {
  for (int i = 0; i < count; i++) {
    char from[nameBufferSize];
    char to[nameBufferSize];
    formName(from, baseq3, names[i], fromSuf);
    formName(to, baseq3, names[i], toSuf);
    renameNoReplace(from, to);
  }
}

void changeTo43() {
  if (clientVersion() != 68) {
    return;
  }
  // The active executable moves out of the way before its counterpart moves in.
  moveExe(quakeExeSuf, quake68Suf);
  moveExe(quake43Suf, quakeExeSuf);
  movePaks(pk3sFor43, 2, quake43Suf, quakePK3Suf);
  movePaks(pk3sFor68, 6, quakePK3Suf, quake68Suf);
}

void changeTo68() {
  if (clientVersion() != 43) {
    return;
  }
  moveExe(quakeExeSuf, quake43Suf);
  moveExe(quake68Suf, quakeExeSuf);
  movePaks(pk3sFor43, 2, quakePK3Suf, quake43Suf);
  movePaks(pk3sFor68, 6, quake68Suf, quakePK3Suf);
}
