// Detection and switching of the active generation, in a scratch directory.
#include "installation.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "platform.h"
#include "support/settings.h"
#include "support/tree.h"

namespace {

// Every test runs in a scratch directory of its own.
struct InScratch : ::testing::Test {
  ScratchDir dir;
  WorkingDir cwd{dir.path};

  // Empties the scratch directory and plants `tree` in it.
  void reset(const Snapshot &tree) {
    std::vector<fs::path> entries(fs::directory_iterator(dir.path), fs::directory_iterator());
    for (const fs::path &entry : entries) {
      fs::remove_all(entry);
    }
    plant(dir.path, tree);
  }
};

using Switching = InScratch;

// A connect launch's switch to `protocol`, what it tells aside.
template <int protocol>
void joinServer() {
  Obstacle told;
  switchForServer(protocol, &told);
}

TEST_F(Switching, CompleteArrangementsRoundTrip) {
  for (int start : {43, 68}) {
    SCOPED_TRACE(start);
    int other = start == 43 ? 68 : 43;
    auto change = [](int to) { to == 43 ? changeTo43() : changeTo68(); };
    reset(arrangement(start));

    EXPECT_EQ(clientVersion(), start);
    change(start);  // already active: nothing moves
    EXPECT_EQ(snapshot(dir.path), arrangement(start));
    change(other);
    EXPECT_EQ(snapshot(dir.path), arrangement(other));
    EXPECT_EQ(clientVersion(), other);
    change(start);
    EXPECT_EQ(snapshot(dir.path), arrangement(start));
  }
}

// Partial and odd installations: what a switch leaves behind.
TEST_F(Switching, MixedStates) {
  struct Case {
    const char *name;
    Snapshot before;
    void (*change)();
    Snapshot after;
  };
  Snapshot complete68 = arrangement(68);
  Snapshot no16 = complete68;
  no16.erase("quake3.16");
  Snapshot no16switched = arrangement(43);
  no16switched.erase("quake3.exe");
  Snapshot pak4Taken = complete68;
  pak4Taken["baseq3/pak4.32"] = "old pak4";
  Snapshot pak4TakenSwitched = arrangement(43);
  pak4TakenSwitched["baseq3/pak4.32"] = "old pak4";
  pak4TakenSwitched["baseq3/pak4.pk3"] = "pak pak4";
  Snapshot cutShort = arrangement(43);  // the executables moved, pak3 and quake3.16 held back
  cutShort.erase("baseq3/pak3.32");
  cutShort["baseq3/pak3.pk3"] = "pak pak3";
  cutShort["quake3.16"] = cutShort["quake3.exe"];
  cutShort.erase("quake3.exe");
  // A folder without {tarn} or !tarn! whose switch to 68 moved the clients but no pak.
  Snapshot complete68NoTarn = arrangement(68);
  complete68NoTarn.erase("baseq3/{tarn}.16");
  complete68NoTarn.erase("baseq3/!tarn!.16");
  Snapshot paksHeldTo68 = complete68NoTarn;
  for (int n = 3; n <= 8; n++) {
    std::string pak = "baseq3/pak" + std::to_string(n);
    paksHeldTo68[pak + ".32"] = paksHeldTo68.extract(pak + ".pk3").mapped();
  }
  const Snapshot only116 = {{"quake3.exe", "client 43"},
                            {"baseq3", directoryMark},
                            {"baseq3/{tarn}.pk3", "pak {tarn}"},
                            {"baseq3/pak0.pk3", "pak pak0"}};
  const Case cases[] = {
      {"quake3.16 missing: the 68 client is parked anyway", no16, changeTo43, no16switched},
      {"and back again", no16switched, changeTo68, no16},
      {"pak4.32 taken: pak4.pk3 stays", pak4Taken, changeTo43, pak4TakenSwitched},
      {"a directory quake3.32 reads as 43",
       {{"quake3.32", directoryMark}},
       changeTo43,
       {{"quake3.32", directoryMark}}},
      {"not an installation", {{"readme.txt", "x"}}, changeTo43, {{"readme.txt", "x"}}},
      {"a switch to 43 cut short is finished", cutShort, joinServer<43>, arrangement(43)},
      {"a switch to 68 that moved no pak is finished", paksHeldTo68, joinServer<68>,
       complete68NoTarn},
      {"finishing 68 parks no pak of a 1.16-only folder", only116, joinServer<68>, only116},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    reset(c.before);
    c.change();
    EXPECT_EQ(snapshot(dir.path), c.after);
  }
}

// From any state, a switch or its finishing neither loses, duplicates nor invents a file, and
// leaves files it does not own where they are.
TEST_F(Switching, NeverLosesAFile) {
  const char *const exes[] = {"quake3.exe", "quake3.16"};
  // pak {tarn} (43) and pak4 (68) each under: nothing, active name, parked name, both.
  const char *const tarnNames[] = {"baseq3/{tarn}.pk3", "baseq3/{tarn}.16"};
  const char *const pak4Names[] = {"baseq3/pak4.pk3", "baseq3/pak4.32"};
  const Snapshot unrelated = {{"baseq3/pak0.pk3", "pak pak0"}, {"baseq3/mine.32", "pak mine"}};
  int states = 0;
  for (int exeMask = 0; exeMask < 4; exeMask++) {
    for (int parked68 = 0; parked68 < 3; parked68++) {  // quake3.32: none, file, directory
      for (int tarnMask = 0; tarnMask < 4; tarnMask++) {
        for (int pak4Mask = 0; pak4Mask < 4; pak4Mask++) {
          Snapshot before = unrelated;
          before["baseq3"] = directoryMark;
          for (int i = 0; i < 2; i++) {
            if (exeMask & (1 << i)) {
              before[exes[i]] = std::string("was ") + exes[i];
            }
            if (tarnMask & (1 << i)) {
              before[tarnNames[i]] = std::string("was ") + tarnNames[i];
            }
            if (pak4Mask & (1 << i)) {
              before[pak4Names[i]] = std::string("was ") + pak4Names[i];
            }
          }
          if (parked68 == 1) {
            before["quake3.32"] = "was quake3.32";
          } else if (parked68 == 2) {
            before["quake3.32"] = directoryMark;
          }
          const std::pair<const char *, void (*)()> changes[] = {{"switch to 43", changeTo43},
                                                                 {"switch to 68", changeTo68},
                                                                 {"join 43", joinServer<43>},
                                                                 {"join 68", joinServer<68>}};
          for (auto [what, change] : changes) {
            SCOPED_TRACE(testing::Message()
                         << "state " << exeMask << parked68 << tarnMask << pak4Mask << " " << what);
            reset(before);
            change();
            Snapshot after = snapshot(dir.path);
            EXPECT_EQ(contents(after), contents(before));
            EXPECT_EQ(after.size(), before.size());
            for (const auto &[name, content] : unrelated) {
              EXPECT_EQ(after[name], content) << name;
            }
            states++;
          }
        }
      }
    }
  }
  EXPECT_EQ(states, 4 * 3 * 4 * 4 * 4);
}

using RenameNoReplace = InScratch;

TEST_F(RenameNoReplace, RefusesATakenNameAndChangesNothing) {
  struct Case {
    const char *name;
    Snapshot before;
    bool moves;
  };
  const Case cases[] = {
      {"free target", {{"from", "a"}}, true},
      {"target is a file", {{"from", "a"}, {"to", "b"}}, false},
      {"target is a directory", {{"from", "a"}, {"to", directoryMark}}, false},
      {"target is a directory holding files",
       {{"from", "a"}, {"to", directoryMark}, {"to/x", "b"}},
       false},
      {"source missing", {{"other", "a"}}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    reset(c.before);
    int result = renameNoReplace("from", "to");
    Snapshot expected = c.before;
    if (c.moves) {
      expected.erase("from");
      expected["to"] = c.before.at("from");
    }
    EXPECT_EQ(result == 0, c.moves);
    EXPECT_EQ(snapshot(dir.path), expected);
  }
}

// The link-and-unlink way cannot move a directory; the ordinary rename can. The suite runs once
// more with the ordinary rename made to fail as on a file system without the no-replace flag.
TEST_F(RenameNoReplace, MovesADirectoryUnlessTheFallbackIsForced) {
  plant(dir.path, {{"from/x", "a"}});
  bool fallback = setting("PROTOSWITCH_FALLBACK_FORCED") != nullptr;
  EXPECT_EQ(renameNoReplace("from", "to") == 0, !fallback);
  Snapshot unmoved = {{"from", directoryMark}, {"from/x", "a"}};
  Snapshot moved = {{"to", directoryMark}, {"to/x", "a"}};
  EXPECT_EQ(snapshot(dir.path), fallback ? unmoved : moved);
}

// Run alone under a fault injector that refuses the first unlink of the fallback.
TEST_F(RenameNoReplace, UndoesTheLinkWhenTheUnlinkFails) {
  if (!setting("PROTOSWITCH_UNLINK_REFUSED")) {
    GTEST_SKIP() << "needs the unlink refused from outside";
  }
  plant(dir.path, {{"from", "a"}});
  EXPECT_NE(renameNoReplace("from", "to"), 0);
  EXPECT_EQ(errno, EACCES) << "the reason of the refused unlink, not of the undoing";
  EXPECT_EQ(snapshot(dir.path), (Snapshot{{"from", "a"}}));
}

TEST_F(RenameNoReplace, ExistenceTestSeesFilesAndDirectories) {
  plant(dir.path, {{"file", "a"}, {"dir", directoryMark}});
  EXPECT_TRUE(entryExists("file"));
  EXPECT_TRUE(entryExists("dir"));
  EXPECT_FALSE(entryExists("missing"));
  EXPECT_FALSE(entryExists("missing/deeper"));
}

// A link to nothing is an entry all the same: a rename onto its name is refused.
TEST_F(RenameNoReplace, ExistenceTestSeesALinkToNothing) {
  std::error_code noLinks;
  fs::create_symlink("missing", "dangling", noLinks);
  if (noLinks) {
    GTEST_SKIP() << "skipped: no link can be made here (" << noLinks.message() << ")";
  }
  EXPECT_TRUE(entryExists("dangling"));
}

}  // namespace
