// The built launcher, run as a player's server browser runs it: in a scratch installation,
// against a stub game server on 127.0.0.1, with a stub quake3.exe that records what it got.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <regex>

#include "support/argument_lists.h"
#include "support/run.h"
#include "support/tree.h"

namespace {

using namespace std::chrono_literals;

const std::string request("\xFF\xFF\xFF\xFFgetinfo\0", 12);
const char onlyProtocols[] = "Only protocols 43 (1.11 - 1.16n) & 68 (1.32) supported";
const char notPresent[] = "Server address not present";
const char corrupted[] = "Server reply is corrupted";
const char clientUnknown[] =
    ": the names do not tell which game quake3.exe is; start protoswitch "
    "once without arguments, then join again";

// The change times of every entry: a rename changes that of the entry it moves.
std::map<std::string, std::pair<long, long>> changeTimes(const fs::path &dir) {
  std::map<std::string, std::pair<long, long>> times;
  for (const auto &entry : fs::recursive_directory_iterator(dir)) {
    struct stat status {};
    lstat(entry.path().c_str(), &status);
    times[entry.path().string()] = {(long)status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
  }
  return times;
}

// The seconds east of UTC of a zone whose local time at `now` is 01:01:01: for nine seconds then,
// every field of a time stamp needs its leading zero.
long oneDigitOffset(time_t now) {
  return ((3661 - (long)(now % 86400)) % 86400 + 86400) % 86400;
}

// The value of a variable in the launcher's environment that the game must find in its own.
const char marker[] = "handed on";

// What a launch at `now` adds to the environment: that zone (the POSIX form takes minutes and
// seconds), the marker, and a locale whose characters are UTF-8, as Wine reads the command line.
std::vector<std::string> launchEnvironment(time_t now) {
  long offset = oneDigitOffset(now);
  char tz[32];
  snprintf(tz, sizeof tz, "TZ=XXX-%ld:%ld:%ld", offset / 3600, offset / 60 % 60, offset % 60);
  return {tz, std::string("STUB_GAME_MARKER=") + marker, "LC_ALL=C.UTF-8"};
}

// `text` (UTF-8) as the game reads it: on Windows, in the ANSI code page, which is 1252 under
// Wine, where a Latin-1 letter is one byte.
std::string asReadByTheGame(std::string text) {
  for (size_t at; launcherIsPrefixed() && (at = text.find("\u00F6")) != std::string::npos;) {
    text.replace(at, 2, "\xF6");
  }
  return text;
}

// The stamps that the local time of the zone of a launch at `from` reads between `from` and `to`.
std::vector<std::string> stampsOfLaunch(time_t from, time_t to) {
  std::vector<std::string> stamps;
  for (time_t t = from; t <= to; t++) {
    time_t shifted = t + oneDigitOffset(from);
    struct tm utc {};
    gmtime_r(&shifted, &utc);
    char text[16];
    strftime(text, sizeof text, "%H:%M:%S", &utc);
    stamps.push_back(text);
  }
  return stamps;
}

// Expects `err` to be the one perror line of `message`; the text after the colon is the C
// runtime's, and `reason` when that is given. An empty `reason`: the line is `message` alone.
void expectMessage(const std::string &err, const std::string &message,
                   const char *reason = nullptr) {
  EXPECT_TRUE(std::regex_match(err, std::regex("[^\n]*\r?\n"))) << "not a single line: " << err;
  if (reason != nullptr && *reason == '\0') {
    EXPECT_EQ(err.substr(0, err.find_first_of("\r\n")), message);
    return;
  }
  EXPECT_EQ(err.substr(0, message.size() + 2), message + ": ") << err;
  if (reason != nullptr) {
    EXPECT_EQ(err.substr(0, err.find_first_of("\r\n")), message + ": " + reason);
  }
}

// Expects the game of a launch at `from` to have received the launcher's own vector, the time
// stamp and the launcher's environment; the shell gives the game its own path in slot 0, and the
// environment Windows gives an elevated game.
void expectGameArguments(const GameRecord &record, const std::vector<std::string> &args,
                         time_t from, time_t to, bool throughTheShell = false) {
  ASSERT_EQ(record.argv.size(), args.size() + 4);
  EXPECT_TRUE(std::regex_search(
      record.argv[0], std::regex(throughTheShell ? "\\\\quake3\\.exe$" : "protoswitch(\\.exe)?$")))
      << record.argv[0];
  for (size_t i = 0; i < args.size(); i++) {
    EXPECT_EQ(record.argv[i + 1], asReadByTheGame(args[i])) << "argument " << i + 1;
  }
  EXPECT_EQ(record.argv[args.size() + 1], "+set");
  EXPECT_EQ(record.argv[args.size() + 2], "cg_time");
  std::vector<std::string> stamps = stampsOfLaunch(from, to);
  EXPECT_NE(std::find(stamps.begin(), stamps.end(), record.argv[args.size() + 3]), stamps.end())
      << "stamp " << record.argv[args.size() + 3] << ", expected " << stamps.front();
  if (!throughTheShell) {
    EXPECT_EQ(record.marker, marker) << "the environment was not handed on";
  }
}

const std::vector<std::string> connectArgs = {"+connect", "{server}"};

// One connect launch, made by Row("Name") and the phrases below: the installation it starts
// in, the command line, what the stub server does, and what must come of it. Unless a phrase
// says otherwise, the launch starts the game silently with status 0 in the protocol-68
// arrangement, which it leaves as it was, and the server is asked once.
struct Row {
  explicit Row(const char *name) : name(name) {}

  // The installation: the complete arrangement of `active`, without the entries `names`.
  Row &from(int active) {
    start = active;
    return *this;
  }
  Row &without(std::vector<std::string> names) {
    removed = std::move(names);
    return *this;
  }
  // ... with `entries` added, which stay as they are.
  Row &with(Snapshot entries) {
    planted = std::move(entries);
    return *this;
  }
  // ... with entries renamed, in order, as a switch cut short leaves them.
  Row &moved(std::vector<std::pair<std::string, std::string>> renames) {
    renamed = std::move(renames);
    return *this;
  }
  // ... with the paks `names` held open as by a running game (on Linux, where that does not stop
  // a rename, their renames are refused instead), so that they keep their content; a second
  // launch follows, with the paks free.
  Row &heldOpenKeptThenFreed(std::vector<std::string> names) {
    held = names;
    return keeps(std::move(names));
  }
  // The arguments after the launcher's path; {server}, {port}, {port+65536} name the server.
  Row &args(std::vector<std::string> words) {
    arguments = std::move(words);
    return *this;
  }
  // ... in a folder whose name begins with `label`.
  Row &inFolder(std::string label) {
    folder = std::move(label);
    return *this;
  }
  // Started with `count` open descriptors more than the standard three.
  Row &inheriting(int count) {
    descriptors = count;
    return *this;
  }
  // The server answers every request with `text`, or stays mute.
  Row &answers(std::string text) {
    reply = std::move(text);
    return *this;
  }
  Row &mute() {
    reply.reset();
    return *this;
  }
  // What comes of it: the arrangement of `active` afterwards; the launch ends with status 1
  // and `text` in perror form (its reason `why`, when given), the game not started; the
  // server hears nothing.
  Row &switchesTo(int active) {
    after = active;
    return *this;
  }
  Row &fails(const char *text, const char *why = nullptr) {
    message = text;
    reason = why;
    return *this;
  }
  Row &unasked() {
    queried = false;
    return *this;
  }
  // Another program holds quake3.exe open for writing, with no sharing on Windows, as a copy in
  // progress or a scan may, and so the launch fails: status 1 and "Can't start quake3.exe", whose
  // reason is the platform's for a program so held.
  Row &failsWithTheGameHeld() {
    gameHeld = true;
    return fails("Can't start quake3.exe");
  }
  // The Windows build starts the game through the shell, as it does a game marked to run as
  // administrator: a way in of its test build refuses every start as Windows refuses such a game
  // (Wine never asks for elevation).
  Row &throughTheShell() {
    shell = true;
    return *this;
  }
  // The entries `names` keep their content where the switch would have moved it away.
  Row &keeps(std::vector<std::string> names) {
    kept = std::move(names);
    return *this;
  }
  // The launch says first "Can't switch the installation" and `words` ({/}: the folder separator
  // as the player sees it), its reason `why` when that is not null (none when it is empty), and
  // starts the game with status 0 all the same, unless it fails as well.
  Row &warns(const char *words, const char *why) {
    warning = std::string("Can't switch the installation") + words;
    warningReason = why;
    return *this;
  }
  // ... and the player does what the warning says: moves `name`, which it named, out of the
  // folder, and joins again. That launch starts the game silently, with every other file where
  // the arrangement puts it.
  Row &followed(std::string name) {
    movedOut = std::move(name);
    return *this;
  }
  // Started from a folder of its own that holds another quake3.exe.
  Row &besideAnotherGame() {
    otherGame = true;
    return *this;
  }

  const char *name;
  int start = 68;
  std::string folder = "protoswitch-game";
  std::vector<std::string> removed;
  Snapshot planted;
  std::vector<std::pair<std::string, std::string>> renamed;
  std::vector<std::string> held;
  bool gameHeld = false;
  bool shell = false;
  std::vector<std::string> arguments = connectArgs;
  int descriptors = 0;
  std::optional<std::string> reply = std::string();
  int after = 0;  // 0: as at the start
  std::vector<std::string> kept;
  std::optional<std::string> warning;  // none: no warning comes first
  const char *warningReason = nullptr;
  std::string movedOut;
  bool otherGame = false;
  std::optional<std::string> message;  // none: the game starts
  const char *reason = nullptr;        // the message's text after the colon, when it is known
  bool queried = true;
};

std::ostream &operator<<(std::ostream &out, const Row &row) {
  return out << row.name;
}

std::string substitute(std::string text, unsigned short port) {
  const std::pair<std::string, std::string> names[] = {
      {"{server}", "127.0.0.1:" + std::to_string(port)},
      {"{port}", std::to_string(port)},
      {"{port+65536}", std::to_string(port + 65536)},
      {"{/}", launcherIsPrefixed() ? "\\" : "/"},
  };
  for (const auto &[name, value] : names) {
    for (size_t at; (at = text.find(name)) != std::string::npos;) {
      text.replace(at, name.size(), value);
    }
  }
  return text;
}

// Runs `command` in the installation with the environment of a launch at `from` (and through the
// shell when `shell` is true), and waits for the stub game's record when the game is expected to
// start.
Outcome launch(const Installation &game, const std::vector<std::string> &command, time_t from,
               bool starts, int descriptors, std::optional<GameRecord> *record,
               bool shell = false) {
  std::vector<std::string> environment = launchEnvironment(from);
  if (shell) {
    environment.push_back("PROTOSWITCH_TEST_ELEVATION_REQUIRED=1");
  }
  Outcome run = runProgram(command, game.dir.path, environment, descriptors);
  *record = waitForGameRecord(game.dir.path, starts ? 10000ms : 0ms);
  return run;
}

// Takes every entry that holds `content` out of `tree`.
void forget(Snapshot &tree, const std::string &content) {
  for (auto entry = tree.begin(); entry != tree.end();) {
    entry = entry->second == content ? tree.erase(entry) : std::next(entry);
  }
}

void runRow(const Row &row, unsigned short serverPort) {
  for (const auto &entry : row.planted) {
    if (entry.second == nowhereMark && launcherIsPrefixed()) {
      GTEST_SKIP() << "skipped: Wine hides a link that leads nowhere from a Windows program";
    }
  }
  Installation game(row.start, row.folder);
  // The complete arrangement expected, and what is expected where files keep their names.
  Snapshot complete = game.expected(row.after != 0 ? row.after : row.start);
  for (const std::string &name : row.removed) {
    // What was taken out is missing under whichever name it would have had.
    forget(complete, readFile(game.dir.path / name));
    fs::remove(game.dir.path / name);
  }
  Snapshot expected = complete;
  for (const std::string &name : row.kept) {
    std::string content = readFile(game.dir.path / name);
    forget(expected, content);
    expected[name] = content;
  }
  plant(game.dir.path, row.planted);
  for (const auto &[name, content] : row.planted) {
    expected[name] = content;
    if (name != row.movedOut) {
      complete[name] = content;
    }
  }
  for (const auto &[from, to] : row.renamed) {
    fs::rename(game.dir.path / from, game.dir.path / to);
  }

  auto timesBefore = changeTimes(game.dir.path);
  StubServer server(row.reply, serverPort);
  std::vector<std::string> args;
  for (const std::string &arg : row.arguments) {
    args.push_back(substitute(arg, server.port()));
  }
  std::vector<std::string> command = launcherCommand();
  std::optional<ScratchDir> elsewhere;
  if (row.otherGame) {
    elsewhere.emplace("protoswitch-elsewhere");
    fs::path launcher = elsewhere->path / fs::path(command.back()).filename();
    fs::copy_file(command.back(), launcher);
    fs::copy_file(stubGamePath(), elsewhere->path / "quake3.exe");
    command.back() = launcher.string();
  }
  command.insert(command.end(), args.begin(), args.end());
  const char *reason = row.reason, *warningReason = row.warningReason;
  std::optional<FileHolder> holder, gameHolder;
  std::vector<std::string> refusing = command;
  if (!row.held.empty() && launcherIsPrefixed()) {
    holder.emplace(game.dir.path, row.held);
    warningReason = "Permission denied";
  } else if (!row.held.empty()) {
    refusing = underStrace({"trace=renameat2", "inject=renameat2:error=EBUSY"}, command, row.held);
    warningReason = "Device or resource busy";
  }
  if (row.gameHeld) {
    gameHolder.emplace(game.dir.path, std::vector<std::string>{"quake3.exe"}, true);
    reason = launcherIsPrefixed() ? "Permission denied" : "Text file busy";
  }

  bool starts = !row.message;
  bool shell = row.shell && launcherIsPrefixed();
  time_t from = time(nullptr);
  std::optional<GameRecord> record;
  Outcome run = launch(game, refusing, from, starts, row.descriptors, &record, shell);
  time_t to = time(nullptr);
  holder.reset();
  gameHolder.reset();

  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.out, "");
  std::string err = run.err;
  if (row.warning) {
    std::string first = err.substr(0, err.find('\n') + 1);
    expectMessage(first, substitute(*row.warning, 0), warningReason);
    err.erase(0, first.size());
  }
  if (starts) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(err, "");
    ASSERT_TRUE(record.has_value()) << "the game never started";
    expectGameArguments(*record, args, from, to, shell);
  } else {
    EXPECT_EQ(run.status, 1);
    expectMessage(err, *row.message, reason);
    EXPECT_FALSE(record.has_value()) << "the game started";
  }

  EXPECT_EQ(game.files(), expected);
  if ((row.after == 0 || row.after == row.start) && row.renamed.empty()) {
    auto timesAfter = changeTimes(game.dir.path);
    timesAfter.erase((game.dir.path / gameRecordName).string());
    EXPECT_EQ(timesAfter, timesBefore) << "something was renamed";
  }

  std::vector<std::string> requests = server.requests();
  if (row.queried) {
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], request);
  } else {
    EXPECT_EQ(requests.size(), 0u);
  }
  if (!row.reply && server.firstRequestAt()) {
    // The stub thread records the request when it wakes, which a busy machine may delay by
    // some tens of milliseconds: hence 50 ms under the 2 seconds. The launcher ends within a few
    // milliseconds of its wait, under Wine too: 700 ms over it leave a busy machine room and
    // still tell a wait of 3 seconds.
    EXPECT_GE(run.ended - *server.firstRequestAt(), 1950ms) << "gave up before 2 seconds";
    EXPECT_LT(run.ended - *server.firstRequestAt(), 2700ms) << "waited far beyond 2 seconds";
  }

  if (!row.held.empty() || !row.movedOut.empty()) {
    SCOPED_TRACE("the same launch again, the paks free or the entry named moved out");
    fs::remove(game.dir.path / gameRecordName);
    if (!row.movedOut.empty()) {
      fs::remove_all(game.dir.path / row.movedOut);
    }
    Outcome again = launch(game, command, from, true, 0, &record);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_TRUE(record.has_value()) << "the game never started";
    EXPECT_EQ(game.files(), complete);
  }
}

const std::string longName(70, 'x');

// Rows on a stub server of a port of its own.
std::vector<Row> connectRows() {
  std::vector<Row> rows = {
      Row("Answers68From43")
          .from(43)
          .answers("\xFF\xFF\xFF\xFFinfoResponse\n\\protocol\\68\\hostname\\x")
          .switchesTo(68),
      Row("Answers43From68").answers("\\protocol\\43").switchesTo(43),
      Row("WhiteSpaceBefore43").answers("\\protocol\\ \t43\\").switchesTo(43),
      Row("AlreadyMatchingRenamesNothing").answers("\\protocol\\68"),
      Row("AlreadyMatching43").from(43).answers("\\protocol\\43"),
      Row("Protocol67").from(43).answers("\\protocol\\67").fails(onlyProtocols),
      Row("Protocol0").from(43).answers("\\protocol\\0").fails(onlyProtocols),
      Row("ProtocolNoDigits").from(43).answers("\\protocol\\abc").fails(onlyProtocols),
      Row("ProtocolAtTheEnd").from(43).answers("\\protocol\\").fails(onlyProtocols),
      Row("ProtocolTooLarge").from(43).answers("\\protocol\\4294967364").fails(onlyProtocols),
      Row("NoKey").from(43).answers("\xFF\xFF\xFF\xFFinfoResponse\n\\hostname\\x").fails(corrupted),
      Row("EmptyReply").from(43).answers("").fails(corrupted),
      Row("ZeroByteBeforeKey")
          .from(43)
          .answers(std::string("\\a\0\\protocol\\68", 15))
          .fails(corrupted),
      Row("KeyPastTheFirst1024Bytes")
          .from(43)
          .answers(std::string(1025, 'x') + "\\protocol\\68")
          .fails(corrupted),
      Row("KeyCutAtByte1024")
          .from(43)
          .answers(std::string(1020, 'x') + "protocol\\68")
          .fails(corrupted),
      Row("KeyEndingAtByte1024")
          .from(43)
          .answers(std::string(1024 - 12, 'x') + "\\protocol\\68")
          .switchesTo(68),
      Row("KeyEndingAtByte1025")
          .from(43)
          .answers(std::string(1024 - 9, 'x') + "\\protocol\\68")
          .fails(corrupted),
      Row("KeyEarlyInALongDatagram")
          .from(43)
          .answers("\\protocol\\68\\" + std::string(3000, 'x'))
          .switchesTo(68),
      Row("LargestDatagram")
          .answers("\\protocol\\43\\" + std::string(65507 - 13, 'x'))
          .switchesTo(43),
      Row("LongerKeyEndingInTheKey").answers("\\sv_protocol\\43").switchesTo(43),
      Row("PortThenLetters")
          .args({"+connect", "127.0.0.1:{port}abc"})
          .answers("\\protocol\\43")
          .switchesTo(43),
      Row("PortBeyond16Bits")
          .args({"+connect", "127.0.0.1:{port+65536}"})
          .answers("\\protocol\\43")
          .switchesTo(43),
      Row("AddressBeyond1023Characters")
          .args({"+connect", "127.0.0.1:{port}" + std::string(2000, 'z')})
          .answers("\\protocol\\43")
          .switchesTo(43),
      Row("Port65536IsPort0")
          .args({"+connect", "127.0.0.1:65536"})
          .answers("\\protocol\\43")
          .fails("Socket send error")
          .unasked(),
      Row("UnresolvableHost")
          .args({"+connect", longName + ".invalid:{port}"})
          .answers("\\protocol\\43")
          .fails("Could not resolve ip")
          .unasked(),
      Row("HostNameBeyond255Characters")
          .args({"+connect", std::string(300, 'h') + ":{port}"})
          .fails("Could not resolve ip")
          .unasked(),
      Row("MuteServer").mute().fails("Server didn't reply"),
      // The socket's number is beyond what an fd_set holds.
      Row("MoreThan1024InheritedDescriptors")
          .inheriting(1100)
          .answers("\\protocol\\43")
          .switchesTo(43),
      Row("ConnectInCapitals")
          .args({"+CONNECT", "{server}"})
          .answers("\\protocol\\43")
          .switchesTo(43),
      Row("ConnectInMixedCase")
          .args({"+set", "name", "x", "+CoNnEcT", "{server}"})
          .answers("\\protocol\\43")
          .switchesTo(43),
      Row("ConnectMissing").args({"+set", "name", "x"}).fails(notPresent).unasked(),
      Row("SingleOtherArgument").args({"{server}"}).fails(notPresent).unasked(),
      Row("ConnectLast").args({"+set", "name", "x", "+connect"}).fails(notPresent).unasked(),
      Row("ConnectWithPrefix").args({"x+connect", "{server}"}).fails(notPresent).unasked(),
      Row("ConnectTwice")
          .args({"+connect", "{server}", "+connect", "127.0.0.1:9"})
          .answers("\\protocol\\43")
          .switchesTo(43),
      Row("GameArguments")
          .from(43)
          .args({"+set", "fs_game", "osp", "+connect", "{server}", "+set", "name", "Player",
                 "+password", "s3cret"})
          .answers("\\protocol\\68")
          .switchesTo(68),
      Row("GameMissing")
          .without({"quake3.exe"})
          .answers("\\protocol\\68")
          .fails("Can't start quake3.exe", "No such file or directory"),
      // No client at all, only paks: the failed start says so, and no warning comes before it.
      Row("NoClientAtAll")
          .without({"quake3.exe", "quake3.16"})
          .answers("\\protocol\\43")
          .switchesTo(43)
          .fails("Can't start quake3.exe", "No such file or directory"),
      // Another program holds quake3.exe (a scan, a copy) after a refused rename: Windows' own
      // reason follows the warning, not the rename's.
      Row("GameHeldAfterAPakUnderBothNames")
          .with({{"baseq3/pak4.32", "old pak4"}})
          .answers("\\protocol\\68")
          .warns(", baseq3{/}pak4.32 is in the way", "File exists")
          .failsWithTheGameHeld(),
      Row("GameHeldThroughTheShell")
          .answers("\\protocol\\68")
          .failsWithTheGameHeld()
          .throughTheShell(),
      // A folder whose name the ANSI code page (1252 under Wine) cannot hold.
      Row("ThroughTheShellFromACyrillicFolder")
          .inFolder("protoswitch-\u0418\u0433\u0440\u044B")
          .from(43)
          .args({"+set", "name", "J\u00F6rg", "+connect", "{server}", "say \"hi\""})
          .answers("\\protocol\\68")
          .switchesTo(68)
          .throughTheShell(),
      // The shell must not look for quake3.exe anywhere but in the game folder.
      Row("GameMissingThroughTheShellBesideAnother")
          .without({"quake3.exe"})
          .answers("\\protocol\\68")
          .fails("Can't start quake3.exe", "No such file or directory")
          .throughTheShell()
          .besideAnotherGame(),
      Row("GameMissingAfterTheSwitch")
          .without({"quake3.16"})
          .answers("\\protocol\\43")
          .switchesTo(43)
          .fails("Can't start quake3.exe"),
      // A game still running holds paks of the old generation: their renames are refused.
      Row("PaksHeldWhileSwitchingTo43")
          .heldOpenKeptThenFreed({"baseq3/pak3.pk3", "baseq3/pak4.pk3"})
          .answers("\\protocol\\43")
          .switchesTo(43)
          .warns(", baseq3{/}pak3.pk3 could not be renamed", nullptr),
      Row("PaksHeldWhileSwitchingTo68")
          .from(43)
          .heldOpenKeptThenFreed({"baseq3/{tarn}.pk3", "baseq3/!tarn!.pk3", "baseq3/pak8.32"})
          .answers("\\protocol\\68")
          .switchesTo(68)
          .warns(", baseq3{/}{tarn}.pk3 could not be renamed", nullptr),
      Row("PakUnderBothNames")
          .with({{"baseq3/pak4.32", "old pak4"}})
          .answers("\\protocol\\43")
          .switchesTo(43)
          .keeps({"baseq3/pak4.pk3"})
          .warns(", baseq3{/}pak4.32 is in the way", "File exists")
          .followed("baseq3/pak4.32"),
      // A single 1.32 client and a stray quake3.32: detection reads 43, but no pak is parked. A
      // folder without {tarn} and !tarn! whose switch to 43 moved the clients and no pak has the
      // same names, so none is named as stray.
      Row("OneClientWithAStrayParkedName")
          .without({"quake3.16", "baseq3/{tarn}.16", "baseq3/!tarn!.16"})
          .with({{"quake3.32", "stray"}})
          .answers("\\protocol\\43")
          .warns(clientUnknown, ""),
      // Which of three client files is not a client, the names cannot tell; a folder can't be one.
      Row("ThreeClientNames")
          .with({{"quake3.32", "stray"}})
          .answers("\\protocol\\43")
          .warns(", quake3.exe, quake3.16 and quake3.32 all exist", "File exists"),
      // Named even where the arrangement needs no switch.
      Row("FolderAtTheGamesName")
          .without({"quake3.exe"})
          .with({{"quake3.exe", directoryMark}})
          .answers("\\protocol\\68")
          .warns(", quake3.exe is in the way", "")
          .fails("Can't start quake3.exe"),
      Row("LinkToNothingAtTheParkedName")
          .without({"quake3.16", "baseq3/{tarn}.16", "baseq3/!tarn!.16"})
          .with({{"quake3.32", nowhereMark}})
          .answers("\\protocol\\68")
          .warns(", quake3.32 is in the way", "")
          .followed("quake3.32"),
      Row("LinkToAFolderAtTheOtherClientsParkedName")
          .without({"quake3.16"})
          .with({{"quake3.16", linkMark}, {"baseq3/pak4.32", "old pak4"}})
          .answers("\\protocol\\43")
          .switchesTo(43)
          .keeps({"quake3.exe", "baseq3/pak4.pk3"})
          .warns(", quake3.16 is in the way", ""),  // its own reason, not the pak's
      Row("NewClientMissing")
          .without({"quake3.exe"})
          .answers("\\protocol\\43")
          .switchesTo(43)
          .warns(": quake3.32 is missing", ""),
      Row("NewPaksMissing")
          .from(43)
          .without({"quake3.32", "baseq3/pak3.32", "baseq3/pak4.32", "baseq3/pak5.32",
                    "baseq3/pak6.32", "baseq3/pak7.32", "baseq3/pak8.32"})
          .answers("\\protocol\\68")
          .warns(": baseq3{/}pak3.pk3 is missing", ""),
  };
  // Arguments that the Windows command line must quote to deliver unchanged.
  for (const ArgumentList &list : argumentLists) {
    rows.push_back(Row(list.name).args(list.args).answers("\\protocol\\68"));
  }
  return rows;
}

// Rows on the default port 27960, which they share with every other suite.
const Row defaultPortRows[] = {
    Row("WithoutPort").args({"+connect", "127.0.0.1"}).answers("\\protocol\\43").switchesTo(43),
    Row("BareColon").args({"+connect", "127.0.0.1:"}).answers("\\protocol\\43").switchesTo(43),
    Row("PortNotANumber")
        .args({"+connect", "127.0.0.1:abc"})
        .answers("\\protocol\\43")
        .switchesTo(43),
};

struct ConnectLaunch : testing::TestWithParam<Row> {};
TEST_P(ConnectLaunch, Row) {
  runRow(GetParam(), 0);
}
INSTANTIATE_TEST_SUITE_P(Connect, ConnectLaunch, testing::ValuesIn(connectRows()),
                         [](const auto &info) { return std::string(info.param.name); });

// A game server or client of the machine's own may hold the default port.
struct DefaultPort : testing::TestWithParam<Row> {};
TEST_P(DefaultPort, Row) {
  try {
    runRow(GetParam(), 27960);
  } catch (const PortInUse &busy) {
    GTEST_SKIP() << "skipped: the rows on the default port, as " << busy.what();
  }
}
INSTANTIATE_TEST_SUITE_P(DefaultPort, DefaultPort, testing::ValuesIn(defaultPortRows),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Toggle, SwitchesToTheOtherGenerationSilently) {
  for (int start : {68, 43}) {
    SCOPED_TRACE(start);
    Installation game(start);
    int other = start == 68 ? 43 : 68;
    for (int expected : {other, start}) {
      Outcome run = runProgram(launcherCommand(), game.dir.path);
      EXPECT_TRUE(run.exited);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(game.files(), game.expected(expected));
    }
  }
}

TEST(Toggle, LeavesADirectoryThatIsNoInstallationAlone) {
  ScratchDir dir;
  plant(dir.path, {{"notes.txt", "mine"}, {"baseq3", directoryMark}});
  Outcome run = runProgram(launcherCommand(), dir.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(snapshot(dir.path), (Snapshot{{"notes.txt", "mine"}, {"baseq3", directoryMark}}));
}

// A player's game folder may sit under a path with spaces, and the launcher with it.
TEST(GameFolder, PathWithSpaces) {
  Installation game(43, "protoswitch game folder");
  fs::path launcher = launcherCommand().back();
  fs::path copy = game.dir.path / launcher.filename();
  fs::copy_file(launcher, copy);
  StubServer server(std::string("\\protocol\\68"));
  std::vector<std::string> command = launcherCommand();
  command.back() = copy.string();
  std::vector<std::string> args = {"+connect", "127.0.0.1:" + std::to_string(server.port()), "+set",
                                   "name", "Player One"};
  command.insert(command.end(), args.begin(), args.end());
  time_t from = time(nullptr);
  Outcome run = runProgram(command, game.dir.path, launchEnvironment(from));
  std::optional<GameRecord> record = waitForGameRecord(game.dir.path, 10000ms);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  ASSERT_TRUE(record.has_value());
  expectGameArguments(*record, args, from, time(nullptr));
  Snapshot files = game.files();
  files.erase(launcher.filename().string());
  EXPECT_EQ(files, game.expected(68));
}

// Started from a command prompt, whose console a windowed program is not attached to, the
// launcher writes its messages there; a standard error sent to a file or to NUL keeps them.
TEST(Messages, ReachThePromptsConsoleUnlessRedirected) {
  if (!launcherIsPrefixed()) {
    GTEST_SKIP() << "only a windowed Windows program starts without a console";
  }
  // The stub game is the prompt; its console lives on a terminal of its own (script).
  std::string prompt;
  for (const std::string &word : platformCommand(stubGamePath())) {
    prompt += "'" + word + "' ";
  }
  const struct {
    const char *error;
    bool onScreen;
  } cases[] = {{"none", true}, {"nul", false}, {"error.txt", false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.error);
    ScratchDir dir;
    std::string command =
        prompt + "--in-console " + c.error + " result.txt '\"" + launcherCommand().back() + "\" x'";
    Outcome run = runProgram({"script", "-qec", command, "/dev/null"}, dir.path);
    std::string result = readFile(dir.path / "result.txt");
    EXPECT_EQ(result.substr(0, 9), "status 1\n") << run.out << run.err;
    EXPECT_EQ(result.find(std::string(notPresent) + ": ") != std::string::npos, c.onScreen)
        << result;
    if (c.error == std::string("error.txt")) {
      expectMessage(readFile(dir.path / c.error), notPresent);
    }
  }
}

// On POSIX the game takes over the launcher's process and inherits nothing but the standard
// descriptors: no socket and no file of the launcher's stays open.
TEST(HandOver, GameTakesOverTheProcessWithOnlyTheStandardDescriptors) {
  if (launcherIsPrefixed()) {
    GTEST_SKIP() << "on Windows the game is a process of its own";
  }
  Installation game(68);
  StubServer server(std::string("\\protocol\\68"));
  std::vector<std::string> command = launcherCommand();
  command.insert(command.end(), {"+connect", "127.0.0.1:" + std::to_string(server.port())});
  Outcome run = runProgram(command, game.dir.path);
  std::optional<GameRecord> record = waitForGameRecord(game.dir.path, 10000ms);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->pid, run.pid);
  EXPECT_EQ(record->fds, " 0 1 2");
}

// Without memory for its own vector the launcher warns and hands on the one it was given.
TEST(HandOver, WithoutMemoryTheGameGetsTheLaunchersOwnArguments) {
  const char *failMalloc = setting("FAIL_MALLOC");
  if (failMalloc == nullptr || launcherIsPrefixed()) {
    GTEST_SKIP() << "needs a preloadable malloc that fails";
  }
  Installation game(68);
  StubServer server(std::string("\\protocol\\68"));
  // Many arguments, so that the vector's size is one no other allocation has.
  std::vector<std::string> args = {"+connect", "127.0.0.1:" + std::to_string(server.port())};
  for (int i = 0; i < 50; i++) {
    args.push_back("+arg" + std::to_string(i));
  }
  std::vector<std::string> command = launcherCommand();
  command.insert(command.end(), args.begin(), args.end());
  size_t vectorSize = (args.size() + 1 + 4) * sizeof(char *);
  Outcome run = runProgram(
      command, game.dir.path,
      {std::string("LD_PRELOAD=") + failMalloc, "FAIL_MALLOC_SIZE=" + std::to_string(vectorSize)});
  std::optional<GameRecord> record = waitForGameRecord(game.dir.path, 10000ms);
  EXPECT_EQ(run.status, 0);
  expectMessage(run.err, "Can't realloc argv, using old one");
  ASSERT_TRUE(record.has_value());
  ASSERT_EQ(record->argv.size(), args.size() + 1);
  EXPECT_EQ(std::vector<std::string>(record->argv.begin() + 1, record->argv.end()), args);
}

}  // namespace
