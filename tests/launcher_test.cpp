// The built launcher, run as a player's server browser runs it: in a scratch installation,
// against a stub game server on 127.0.0.1, with a stub quake3.exe that records what it got.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <regex>

#include "support/run.h"
#include "support/tree.h"

namespace {

using namespace std::chrono_literals;

const std::string request("\xFF\xFF\xFF\xFFgetinfo\0", 12);
const char onlyProtocols[] = "Only protocols 43 (1.11 - 1.16n) & 68 (1.32) supported";
const char notPresent[] = "Server address not present";
const char corrupted[] = "Server reply is corrupted";

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

// The stamps that the local time of UTC+5 reads between `from` and `to`.
std::vector<std::string> stampsFiveHoursEast(time_t from, time_t to) {
  std::vector<std::string> stamps;
  for (time_t t = from; t <= to; t++) {
    time_t shifted = t + 5 * 3600;
    struct tm utc {};
    gmtime_r(&shifted, &utc);
    char text[16];
    strftime(text, sizeof text, "%H:%M:%S", &utc);
    stamps.push_back(text);
  }
  return stamps;
}

// Expects `err` to be the one perror line of `message`; the suffix is the C runtime's.
void expectMessage(const std::string &err, const std::string &message) {
  EXPECT_EQ(err.substr(0, message.size() + 2), message + ": ") << err;
  EXPECT_TRUE(std::regex_match(err, std::regex("[^\n]*\r?\n"))) << "not a single line: " << err;
}

// Expects the game to have received the launcher's own vector and the time stamp.
void expectGameArguments(const GameRecord &record, const std::vector<std::string> &args,
                         time_t from, time_t to) {
  ASSERT_EQ(record.argv.size(), args.size() + 4);
  EXPECT_TRUE(std::regex_search(record.argv[0], std::regex("protoswitch(\\.exe)?$")))
      << record.argv[0];
  for (size_t i = 0; i < args.size(); i++) {
    EXPECT_EQ(record.argv[i + 1], args[i]) << "argument " << i + 1;
  }
  EXPECT_EQ(record.argv[args.size() + 1], "+set");
  EXPECT_EQ(record.argv[args.size() + 2], "cg_time");
  std::vector<std::string> stamps = stampsFiveHoursEast(from, to);
  EXPECT_NE(std::find(stamps.begin(), stamps.end(), record.argv[args.size() + 3]), stamps.end())
      << "stamp " << record.argv[args.size() + 3] << ", expected " << stamps.front();
}

enum Server { answering, mute };

struct Row {
  const char *name;
  std::vector<std::string> args;  // {server} {port} {port+65536} name the stub server
  std::string reply;
  int start = 68;
  const char *message = nullptr;  // null: the game starts and nothing is said
  int after = 0;                  // the active generation afterwards; 0: as at the start
  bool queried = true;
  Server server = answering;
  std::vector<std::string> removed = {};  // taken out of the installation first
};

std::ostream &operator<<(std::ostream &out, const Row &row) {
  return out << row.name;
}

std::string substitute(std::string text, unsigned short port) {
  const std::pair<std::string, std::string> names[] = {
      {"{server}", "127.0.0.1:" + std::to_string(port)},
      {"{port}", std::to_string(port)},
      {"{port+65536}", std::to_string(port + 65536)},
  };
  for (const auto &[name, value] : names) {
    for (size_t at; (at = text.find(name)) != std::string::npos;) {
      text.replace(at, name.size(), value);
    }
  }
  return text;
}

void runRow(const Row &row, unsigned short serverPort) {
  Installation game(row.start);
  Snapshot expected = game.expected(row.after != 0 ? row.after : row.start);
  for (const std::string &name : row.removed) {
    // What was taken out is missing under whichever name it would have had.
    std::string content = readFile(game.dir.path / name);
    fs::remove(game.dir.path / name);
    for (auto entry = expected.begin(); entry != expected.end();) {
      entry = entry->second == content ? expected.erase(entry) : std::next(entry);
    }
  }
  auto timesBefore = changeTimes(game.dir.path);
  StubServer server(row.server == mute ? std::nullopt : std::optional<std::string>(row.reply),
                    serverPort);
  std::vector<std::string> args;
  for (const std::string &arg : row.args) {
    args.push_back(substitute(arg, server.port()));
  }
  std::vector<std::string> command = launcherCommand();
  command.insert(command.end(), args.begin(), args.end());

  time_t from = time(nullptr);
  Outcome run = runProgram(command, game.dir.path, {"TZ=XXX-5"});
  std::optional<GameRecord> record =
      waitForGameRecord(game.dir.path, row.message == nullptr ? 10000ms : 0ms);
  time_t to = time(nullptr);

  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.out, "");
  if (row.message == nullptr) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    ASSERT_TRUE(record.has_value()) << "the game never started";
    expectGameArguments(*record, args, from, to);
  } else {
    EXPECT_EQ(run.status, 1);
    expectMessage(run.err, row.message);
    EXPECT_FALSE(record.has_value()) << "the game started";
  }

  EXPECT_EQ(game.files(), expected);
  if (row.after == 0 || row.after == row.start) {
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
  if (row.server == mute && server.firstRequestAt()) {
    EXPECT_GE(run.ended - *server.firstRequestAt(), 1990ms) << "gave up before 2 seconds";
  }
}

const std::string longName(70, 'x');
const std::vector<std::string> connectArgs = {"+connect", "{server}"};

// Rows on a stub server of a port of its own.
const Row connectRows[] = {
    {"Answers68From43", connectArgs, "\xFF\xFF\xFF\xFFinfoResponse\n\\protocol\\68\\hostname\\x",
     43, nullptr, 68},
    {"Answers43From68", connectArgs, "\\protocol\\43", 68, nullptr, 43},
    {"WhiteSpaceBefore43", connectArgs, "\\protocol\\ \t43\\", 68, nullptr, 43},
    {"AlreadyMatchingRenamesNothing", connectArgs, "\\protocol\\68", 68},
    {"AlreadyMatching43", connectArgs, "\\protocol\\43", 43},
    {"Protocol67", connectArgs, "\\protocol\\67", 43, onlyProtocols},
    {"Protocol0", connectArgs, "\\protocol\\0", 43, onlyProtocols},
    {"ProtocolNoDigits", connectArgs, "\\protocol\\abc", 43, onlyProtocols},
    {"ProtocolAtTheEnd", connectArgs, "\\protocol\\", 43, onlyProtocols},
    {"ProtocolTooLarge", connectArgs, "\\protocol\\4294967364", 43, onlyProtocols},
    {"NoKey", connectArgs, "\xFF\xFF\xFF\xFFinfoResponse\n\\hostname\\x", 43, corrupted},
    {"EmptyReply", connectArgs, "", 43, corrupted},
    {"ZeroByteBeforeKey", connectArgs, std::string("\\a\0\\protocol\\68", 15), 43, corrupted},
    {"KeyPastTheFirst1024Bytes", connectArgs, std::string(1025, 'x') + "\\protocol\\68", 43,
     corrupted},
    {"KeyCutAtByte1024", connectArgs, std::string(1020, 'x') + "protocol\\68", 43, corrupted},
    {"KeyEarlyInALongDatagram", connectArgs, "\\protocol\\68\\" + std::string(3000, 'x'), 43,
     nullptr, 68},
    {"LargestDatagram", connectArgs, "\\protocol\\43\\" + std::string(65507 - 13, 'x'), 68, nullptr,
     43},
    {"LongerKeyEndingInTheKey", connectArgs, "\\sv_protocol\\43", 68, nullptr, 43},
    {"PortThenLetters", {"+connect", "127.0.0.1:{port}abc"}, "\\protocol\\43", 68, nullptr, 43},
    {"PortBeyond16Bits", {"+connect", "127.0.0.1:{port+65536}"}, "\\protocol\\43", 68, nullptr, 43},
    {"AddressBeyond1023Characters",
     {"+connect", "127.0.0.1:{port}" + std::string(2000, 'z')},
     "\\protocol\\43",
     68,
     nullptr,
     43},
    {"Port65536IsPort0",
     {"+connect", "127.0.0.1:65536"},
     "\\protocol\\43",
     68,
     "Socket send error",
     0,
     false},
    {"UnresolvableHost",
     {"+connect", longName + ".invalid:{port}"},
     "\\protocol\\43",
     68,
     "Could not resolve ip",
     0,
     false},
    {"MuteServer", connectArgs, "", 68, "Server didn't reply", 0, true, mute},
    {"ConnectInCapitals", {"+CONNECT", "{server}"}, "\\protocol\\43", 68, nullptr, 43},
    {"ConnectInMixedCase",
     {"+set", "name", "x", "+CoNnEcT", "{server}"},
     "\\protocol\\43",
     68,
     nullptr,
     43},
    {"ConnectMissing", {"+set", "name", "x"}, "\\protocol\\43", 68, notPresent, 0, false},
    {"SingleOtherArgument", {"{server}"}, "\\protocol\\43", 68, notPresent, 0, false},
    {"ConnectLast", {"+set", "name", "x", "+connect"}, "\\protocol\\43", 68, notPresent, 0, false},
    {"ConnectWithPrefix", {"x+connect", "{server}"}, "\\protocol\\43", 68, notPresent, 0, false},
    {"ConnectTwice",
     {"+connect", "{server}", "+connect", "127.0.0.1:9"},
     "\\protocol\\43",
     68,
     nullptr,
     43},
    {"GameArguments",
     {"+set", "fs_game", "osp", "+connect", "{server}", "+set", "name", "Player", "+password",
      "s3cret"},
     "\\protocol\\68",
     43,
     nullptr,
     68},
    {"GameMissing",
     connectArgs,
     "\\protocol\\68",
     68,
     "Can't start quake3.exe",
     0,
     true,
     answering,
     {"quake3.exe"}},
    {"GameMissingAfterTheSwitch",
     connectArgs,
     "\\protocol\\43",
     68,
     "Can't start quake3.exe",
     43,
     true,
     answering,
     {"quake3.16"}},
    // Arguments that the Windows command line must quote to deliver unchanged.
    {"ArgumentsWithSpacesAndTabs",
     {"+connect", "{server}", "+set", "name", "Player One", "+say", "a\tb", "  lead"},
     "\\protocol\\68",
     68},
    {"ArgumentsWithQuotes",
     {"+connect", "{server}", "say \"hi\"", "\"", "a\"b", "\"\""},
     "\\protocol\\68",
     68},
    {"ArgumentsWithBackslashes",
     {"+connect", "{server}", "C:\\games\\q3", "end\\", "end \\\\", "q\\\"uote", "\\\\\"",
      "a\\\\b c"},
     "\\protocol\\68",
     68},
    {"EmptyArguments", {"", "+connect", "{server}", "", "+set"}, "\\protocol\\68", 68},
};

// Rows on the default port 27960, which they share with every other suite.
const Row defaultPortRows[] = {
    {"WithoutPort", {"+connect", "127.0.0.1"}, "\\protocol\\43", 68, nullptr, 43},
    {"BareColon", {"+connect", "127.0.0.1:"}, "\\protocol\\43", 68, nullptr, 43},
    {"PortNotANumber", {"+connect", "127.0.0.1:abc"}, "\\protocol\\43", 68, nullptr, 43},
};

struct ConnectLaunch : testing::TestWithParam<Row> {};
TEST_P(ConnectLaunch, Row) {
  runRow(GetParam(), 0);
}
INSTANTIATE_TEST_SUITE_P(Connect, ConnectLaunch, testing::ValuesIn(connectRows),
                         [](const auto &info) { return std::string(info.param.name); });

struct DefaultPort : testing::TestWithParam<Row> {};
TEST_P(DefaultPort, Row) {
  runRow(GetParam(), 27960);
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
  Outcome run = runProgram(command, game.dir.path, {"TZ=XXX-5"});
  std::optional<GameRecord> record = waitForGameRecord(game.dir.path, 10000ms);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  ASSERT_TRUE(record.has_value());
  expectGameArguments(*record, args, from, time(nullptr));
  Snapshot files = game.files();
  files.erase(launcher.filename().string());
  EXPECT_EQ(files, game.expected(68));
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
  const char *failMalloc = std::getenv("FAIL_MALLOC");
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
