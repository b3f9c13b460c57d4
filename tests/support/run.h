// Running the built launcher as a player would, against a stub game server on 127.0.0.1.
// POSIX only: the black-box suite runs here and reaches the Windows build through a prefix
// (wine) that comes from the environment.
#ifndef PROTOSWITCH_TESTS_RUN_H
#define PROTOSWITCH_TESTS_RUN_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "settings.h"
#include "tree.h"

using Clock = std::chrono::steady_clock;

// What one run of a program left behind.
struct Outcome {
  bool exited = false;  // false: killed by a signal (or by the time limit)
  int status = -1;
  pid_t pid = -1;
  std::string out;
  std::string err;
  Clock::time_point started;
  Clock::time_point ended;
};

// Runs `argv` (a path, no search but for a bare command name) in `cwd` with `extraEnv`
// (NAME=VALUE) added to this process's environment. Output goes through files, never pipes.
// The program inherits the standard descriptors and `inherited` more (on /dev/null, with the
// open-files limit raised to fit), nothing else. A run that takes longer than `limit` is killed.
Outcome runProgram(const std::vector<std::string> &argv, const std::filesystem::path &cwd,
                   const std::vector<std::string> &extraEnv = {}, int inherited = 0,
                   std::chrono::seconds limit = std::chrono::seconds(30));

// The command that runs `program`, built for the launcher's platform: the words of
// $PROTOSWITCH_PREFIX (wine, for the Windows build) and the program's absolute path.
std::vector<std::string> platformCommand(const std::filesystem::path &program);

// The command that starts the launcher under test, $PROTOSWITCH. Fails the calling test when
// $PROTOSWITCH is not set.
std::vector<std::string> launcherCommand();

// True when the launcher runs behind a prefix (the Windows build under Wine).
bool launcherIsPrefixed();

// The stub quake3.exe to install ($STUB_GAME).
std::filesystem::path stubGamePath();

// `command` run under strace with `-e` for each of `qualifiers` and `-P` for each of `paths`;
// strace's own messages are dropped, the program's standard error stays the run's.
std::vector<std::string> underStrace(const std::vector<std::string> &qualifiers,
                                     const std::vector<std::string> &command,
                                     const std::vector<std::string> &paths = {});

// Files of `dir` (`names` relative to it) held open, for as long as this lives, by the stub game
// of the launcher's platform, the way a running game holds its paks (on Windows, that refuses
// their renames); `exclusive`: open for writing and shared with no other program, as a copy or a
// scan may hold a file (that refuses its start). The stub game answers in `dir` through the files
// holderReady and holderRelease, which are gone again when it has ended.
struct FileHolder {
  FileHolder(const std::filesystem::path &dir, const std::vector<std::string> &names,
             bool exclusive = false);
  ~FileHolder();
  FileHolder(const FileHolder &) = delete;
  FileHolder &operator=(const FileHolder &) = delete;
  std::filesystem::path dir;
  ScratchDir output{"protoswitch-holder"};
  pid_t pid = -1;
};
extern const char holderReady[], holderRelease[];

// What the stub game wrote, waiting for it up to `limit`; empty when it never came.
struct GameRecord {
  int pid = -1;
  std::string fds;
  std::string marker;  // the value of STUB_GAME_MARKER in its environment
  std::vector<std::string> argv;
};
std::optional<GameRecord> waitForGameRecord(const std::filesystem::path &dir,
                                            std::chrono::milliseconds limit);
extern const char gameRecordName[];

// A scratch installation whose executables are copies of the stub game, told apart by a line
// appended to each.
struct Installation {
  explicit Installation(int active, const std::string &label = "protoswitch-game");
  Snapshot expected(int active) const {
    return arrangement(active, client43, client68);
  }
  // The installation as it stands, without what the stub game wrote.
  Snapshot files() const;
  ScratchDir dir;
  std::string client43, client68;
};

// Thrown by StubServer when another program holds the port it is to bind.
struct PortInUse : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A game server on 127.0.0.1: it records every datagram it receives and answers each with
// `reply`, or stays bound and mute when there is none.
struct StubServer {
  explicit StubServer(std::optional<std::string> reply, unsigned short port = 0);
  ~StubServer();
  StubServer(const StubServer &) = delete;
  StubServer &operator=(const StubServer &) = delete;

  unsigned short port() const {
    return boundPort;
  }
  std::vector<std::string> requests();  // the datagrams received so far
  std::optional<Clock::time_point> firstRequestAt();

 private:
  void serve();
  std::optional<std::string> reply;
  int socket = -1;
  unsigned short boundPort = 0;
  std::atomic<bool> stopping{false};
  std::mutex lock;
  std::vector<std::string> received;
  std::optional<Clock::time_point> firstAt;
  std::thread thread;
};

#endif
