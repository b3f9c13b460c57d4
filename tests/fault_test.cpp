// The installation under bad conditions: renames refused, and switches killed halfway, with the
// ordinary rename and with the link-and-unlink way. Faults come from strace's injection, since
// the suite runs as root, whom no permission stops. POSIX only.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/run.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> strace(const std::vector<std::string> &faults) {
  return underStrace(faults, launcherCommand());
}

// The first name under which `tree` holds `content`.
std::string nameOf(const Snapshot &tree, const std::string &content) {
  for (const auto &[name, held] : tree) {
    if (held == content) {
      return name;
    }
  }
  return "(none)";
}

// The files of a switch from `active` in the order it moves them: the active client leaves
// before the other arrives, then the paks of 1.11 - 1.16n and those of 1.32 move, each name table
// first to last.
std::vector<std::string> switchOrder(const Installation &game, int active) {
  std::vector<std::string> order = {active == 68 ? game.client68 : game.client43,
                                    active == 68 ? game.client43 : game.client68};
  for (const char *pak : {"{tarn}", "!tarn!", "pak3", "pak4", "pak5", "pak6", "pak7", "pak8"}) {
    order.push_back(std::string("pak ") + pak);
  }
  return order;
}

// `start` with its first `count` files of `order` where `target` has them; with `alsoNext`, the
// file after them under both names.
Snapshot movedAhead(Snapshot start, const Snapshot &target, const std::vector<std::string> &order,
                    size_t count, bool alsoNext = false) {
  for (size_t i = 0; i < count + (alsoNext ? 1 : 0); i++) {
    if (i < count) {
      start.erase(nameOf(start, order[i]));
    }
    start[nameOf(target, order[i])] = order[i];
  }
  return start;
}

// Every content of `before` is still there under at least one name (at most `extraNames` more
// names in all), and no content is new.
void expectNothingLost(const Snapshot &before, const Snapshot &after, int extraNames) {
  auto had = contents(before), has = contents(after);
  int extra = 0;
  for (const auto &[content, names] : had) {
    EXPECT_GE(has[content], 1) << "lost: the file that was " << nameOf(before, content);
    extra += has[content] - names;
  }
  EXPECT_EQ(has.size(), had.size()) << "a new content appeared";
  EXPECT_GE(extra, 0);
  EXPECT_LE(extra, extraNames);
}

// After a fault: two more toggles and a connect launch, each losing nothing. With `faults`,
// the toggles run under them too.
void expectLaterRunsLoseNothing(Installation &game, const std::vector<std::string> &faults,
                                int extraNames) {
  Snapshot start = game.files();
  for (int toggle = 0; toggle < 2; toggle++) {
    Outcome run = runProgram(faults.empty() ? launcherCommand() : strace(faults), game.dir.path);
    EXPECT_EQ(run.status, 1);
    expectNothingLost(start, game.files(), extraNames);
  }
  StubServer server(std::string("\\protocol\\68"));
  std::vector<std::string> command = launcherCommand();
  command.insert(command.end(), {"+connect", "127.0.0.1:" + std::to_string(server.port())});
  Outcome run = runProgram(command, game.dir.path);
  EXPECT_TRUE(run.status == 0 || run.err.rfind("Can't start quake3.exe: ", 0) == 0) << run.err;
  if (run.status == 0) {
    EXPECT_TRUE(waitForGameRecord(game.dir.path, 10000ms).has_value());
  }
  expectNothingLost(start, game.files(), extraNames);
}

// As in a folder the player may not write: a toggle changes nothing and says nothing; a connect
// launch changes nothing, says why, and starts the game all the same. The link-and-unlink way
// keeps the reason of its refused link.
TEST(Faults, EveryRenameRefused) {
  const char *noreplaceRefused = setting("PROTOSWITCH_NOREPLACE_REFUSED");
  ASSERT_NE(noreplaceRefused, nullptr) << "PROTOSWITCH_NOREPLACE_REFUSED names no fault";
  const std::vector<std::string> ways[] = {
      {"trace=renameat2", "inject=renameat2:error=EACCES"},
      {"trace=renameat2,link,linkat", std::string("inject=") + noreplaceRefused,
       "inject=link,linkat:error=EACCES"}};
  for (int start : {68, 43}) {
    for (const auto &refused : ways) {
      SCOPED_TRACE(testing::Message() << start << ", " << refused.back());
      Installation game(start);
      Outcome run = runProgram(strace(refused), game.dir.path);
      EXPECT_TRUE(run.exited);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(game.files(), game.expected(start));

      StubServer server("\\protocol\\" + std::to_string(start == 68 ? 43 : 68));
      std::vector<std::string> launch = launcherCommand();
      launch.insert(launch.end(), {"+connect", "127.0.0.1:" + std::to_string(server.port())});
      run = runProgram(underStrace(refused, launch), game.dir.path);
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(
          run.err,
          "Can't switch the installation, quake3.exe could not be renamed: Permission denied\n");
      EXPECT_TRUE(waitForGameRecord(game.dir.path, 10000ms).has_value());
      EXPECT_EQ(game.files(), game.expected(start));
    }
  }
}

// A socket the system refuses ends the launch with the probe's own words and the system's reason.
TEST(Faults, SocketRefused) {
  Installation game(68);
  std::vector<std::string> launch = launcherCommand();
  launch.insert(launch.end(), {"+connect", "127.0.0.1:27960"});
  Outcome run = runProgram(underStrace({"trace=socket", "inject=socket:error=EMFILE"}, launch),
                           game.dir.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Open error on socket: Too many open files\n");
  EXPECT_EQ(game.files(), game.expected(68));
}

// The same refusal without injection: an unprivileged user in a directory that is not theirs.
TEST(Faults, UnprivilegedUserChangesNothing) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to become another user";
  }
  // Readable by all, writable by root alone; the launcher is copied where the user reaches it.
  const fs::perms openToAll = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec;
  Installation game(68);
  ScratchDir bin("protoswitch-bin");
  fs::path launcher = bin.path / "protoswitch";
  fs::copy_file(launcherCommand().back(), launcher);
  fs::permissions(game.dir.path, openToAll);
  fs::permissions(bin.path, openToAll);
  fs::permissions(launcher, openToAll);
  std::vector<std::string> command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                      launcher.string()};
  Outcome run = runProgram(command, game.dir.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(game.files(), game.expected(68));
}

// Killed before its Nth rename, a toggle leaves exactly the first N - 1 renames done.
TEST(Faults, KilledBeforeTheNthRename) {
  for (int start : {68, 43}) {
    for (size_t n = 1; n <= 10; n++) {
      SCOPED_TRACE(testing::Message() << "from " << start << ", killed before rename " << n);
      Installation game(start);
      int to = start == 68 ? 43 : 68;
      Outcome run = runProgram(
          strace({"trace=renameat2", "inject=renameat2:signal=KILL:when=" + std::to_string(n)}),
          game.dir.path);
      EXPECT_NE(run.status, 1) << "the toggle ran to its end";
      EXPECT_EQ(game.files(), movedAhead(game.expected(start), game.expected(to),
                                         switchOrder(game, start), n - 1));
      expectLaterRunsLoseNothing(game, {}, 0);
    }
  }
}

// With the link-and-unlink way, a kill between the two leaves one content under two names.
TEST(Faults, FallbackKilledBeforeTheNthUnlink) {
  const char *noreplaceRefused = setting("PROTOSWITCH_NOREPLACE_REFUSED");
  ASSERT_NE(noreplaceRefused, nullptr) << "PROTOSWITCH_NOREPLACE_REFUSED names no fault";
  const std::vector<std::string> fallback = {"trace=renameat2,unlink",
                                             std::string("inject=") + noreplaceRefused};
  for (int start : {68, 43}) {
    for (size_t n = 1; n <= 10; n++) {
      SCOPED_TRACE(testing::Message() << "from " << start << ", killed before unlink " << n);
      Installation game(start);
      int to = start == 68 ? 43 : 68;
      std::vector<std::string> faults = fallback;
      faults.push_back("inject=unlink:signal=KILL:when=" + std::to_string(n));
      Outcome run = runProgram(strace(faults), game.dir.path);
      EXPECT_NE(run.status, 1) << "the toggle ran to its end";
      EXPECT_EQ(game.files(), movedAhead(game.expected(start), game.expected(to),
                                         switchOrder(game, start), n - 1, true));
      expectLaterRunsLoseNothing(game, fallback, 1);
    }
  }
}

}  // namespace
