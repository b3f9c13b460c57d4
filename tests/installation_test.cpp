// Detection and switching of the active generation, in a scratch directory.
#include "installation.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
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

// A folder: "43" or "68" is that arrangement, and no word baseq3 alone; then, in order, "-NAME"
// takes NAME out, "+NAME" puts in a file "stray NAME", "NAME/" a folder, "FROM>TO" moves FROM.
// A NAME not of quake3 is in baseq3.
Snapshot folder(const std::string &spec) {
  auto path = [](std::string name) {
    return name.rfind("quake3", 0) == 0 ? name : "baseq3/" + name;
  };
  Snapshot tree = {{"baseq3", directoryMark}};
  std::istringstream words(spec);
  for (std::string word; words >> word;) {
    size_t arrow = word.find('>');
    if (word == "43" || word == "68") {
      tree = arrangement(std::stoi(word));
    } else if (word[0] == '-') {
      tree.erase(path(word.substr(1)));
    } else if (word[0] == '+') {
      tree[path(word.substr(1))] = "stray " + word.substr(1);
    } else if (word.back() == '/') {
      tree[path(word.substr(0, word.size() - 1))] = directoryMark;
    } else {
      std::string content = tree.at(path(word.substr(0, arrow)));
      tree.erase(path(word.substr(0, arrow)));
      tree[path(word.substr(arrow + 1))] = content;
    }
  }
  return tree;
}

// Partial and odd installations: what a toggle leaves behind.
TEST_F(Switching, MixedStates) {
  const struct {
    const char *before;
    void (*change)();
    const char *after;
  } cases[] = {
      {"68 -quake3.16", changeTo43, "43 -quake3.exe"},  // the 68 client is parked anyway
      {"43 -quake3.exe", changeTo68, "68 -quake3.16"},  // and back again
      {"68 +pak4.32", changeTo43, "43 pak4.32>pak4.pk3 +pak4.32"},  // pak4.pk3 stays
      {"quake3.32/", changeTo43, "quake3.32/"},                     // a folder reads as 43
      {"+readme.txt", changeTo43, "+readme.txt"},                   // not an installation
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.before);
    reset(folder(c.before));
    c.change();
    EXPECT_EQ(snapshot(dir.path), folder(c.after));
  }
}

// What a connect launch's switch tells, and the folder it leaves. With the advice followed (the
// entry told moved out, the same join again), nothing is told and the folder is `followed`.
TEST_F(Switching, TellsWhatStoodInTheWay) {
  struct Case {
    std::string before;
    int protocol;
    ObstacleKind kind;  // obstacleKinds: nothing told
    int error;
    std::string told, after, followed;  // followed "": no advice to follow
  };
  const ObstacleKind none = obstacleKinds;
  const std::string only4 = " -pak3.pk3 -pak5.pk3 -pak6.pk3 -pak7.pk3 -pak8.pk3";
  const std::string only4Parked = " -pak3.32 -pak5.32 -pak6.32 -pak7.32 -pak8.32";
  const std::string clientsMoved = "68 quake3.exe>quake3.32 quake3.16>quake3.exe";
  const std::string noTarn = "68 -quake3.16 -{tarn}.16 -!tarn!.16";
  const Case cases[] = {
      // A pak under both names: the copy told is not where the other paks of its table stood,
      // and without them, not where the arrangement read first puts it.
      {"68 +pak4.32 +pak6.32", 43, pakInTheWay, EEXIST, "baseq3/pak4.32",
       "43 pak4.32>pak4.pk3 +pak4.32 pak6.32>pak6.pk3 +pak6.32", ""},
      {"68 +pak4.32" + only4, 43, pakInTheWay, EEXIST, "baseq3/pak4.32",
       "43 pak4.32>pak4.pk3 +pak4.32" + only4Parked, "43" + only4Parked},
      {"68 +pak4.32" + only4, 68, pakInTheWay, EEXIST, "baseq3/pak4.32", "68 +pak4.32" + only4,
       "68" + only4},
      {clientsMoved + " +pak4.32", 68, pakInTheWay, EEXIST, "baseq3/pak4.32", "68 +pak4.32", "68"},
      // The active client cannot park: a folder is in the way, a file is a third client.
      {"43 quake3.16/", 68, entryInTheWay, EEXIST, "quake3.16",
       "68 quake3.exe>quake3.32 quake3.16>quake3.exe quake3.16/", "68"},
      {"43 +quake3.16", 68, threeClients, EEXIST, "quake3.16",
       "68 quake3.exe>quake3.32 quake3.16>quake3.exe +quake3.16", ""},
      {"68 quake3.32/", 43, entryInTheWay, 0, "quake3.32", "68 quake3.32/", "43"},
      {noTarn + " quake3.32/", 68, entryInTheWay, 0, "quake3.32", noTarn + " quake3.32/", noTarn},
      // Something missing, or nothing to tell.
      {"43 -quake3.exe", 68, none, 0, "", "68 -quake3.16", ""},
      {"+{tarn}.pk3", 68, none, 0, "", "+{tarn}.pk3", ""},  // no client to start
      {"+quake3.exe +{tarn}.pk3", 68, entryMissing, 0, "baseq3/pak3.pk3", "+quake3.exe +{tarn}.pk3",
       ""},
      // As a switch killed before a rename leaves it: joined again, it is finished.
      {"68 quake3.exe>quake3.32", 43, none, 0, "", "43", ""},
      {"43 quake3.exe>quake3.16", 43, none, 0, "", "43", ""},
      {clientsMoved, 43, none, 0, "", "43", ""},
      {"43 pak8.32>pak8.pk3", 43, none, 0, "", "43", ""},
      {"43 quake3.exe>quake3.16 quake3.32>quake3.exe -{tarn}.pk3 -!tarn!.pk3", 68, none, 0, "",
       "68 -{tarn}.16 -!tarn!.16", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.before + ", joining " + std::to_string(c.protocol));
    reset(folder(c.before));
    Obstacle told;
    EXPECT_EQ(switchForServer(c.protocol, &told), c.kind != none);
    EXPECT_EQ(snapshot(dir.path), folder(c.after));
    if (c.kind != none) {
      EXPECT_EQ(told.kind, c.kind);
      EXPECT_EQ(told.error, c.error);
      EXPECT_EQ(told.name, c.told);
    }
    if (!c.followed.empty()) {
      fs::remove_all(dir.path / c.told);
      EXPECT_FALSE(switchForServer(c.protocol, &told)) << "then told " << told.name;
      EXPECT_EQ(snapshot(dir.path), folder(c.followed));
    }
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
