// Median wall times of a connect launch and of a toggle, each beside its yardstick:
//   direct start of the stub game | stand-in (request, one datagram, exec) | protoswitch +connect
//   empty process                 | protoswitch toggle
// Runs are interleaved so that drift of the machine hits every variant alike.
//   bench [RUNS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/run.h"
#include "support/tree.h"

extern char **environ;

namespace {

// Wall time of one run of `argv` in `dir`, output discarded, in microseconds.
double timeOnce(const std::vector<std::string> &argv, const fs::path &dir) {
  std::vector<char *> args;
  for (const std::string &a : argv) {
    args.push_back(const_cast<char *>(a.c_str()));
  }
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  Clock::time_point start = Clock::now();
  pid_t child = 0;
  int status = 0;
  if (posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ) != 0 ||
      waitpid(child, &status, 0) != child) {
    std::fprintf(stderr, "bench: cannot run %s\n", args[0]);
    std::exit(2);
  }
  double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  return micros;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 500;
  ScratchDir game("protoswitch-bench");
  std::string client = readFile(STUB_GAME_PATH);
  plant(game.path, arrangement(68, client, client));
  for (const char *exe : {"quake3.exe", "quake3.16"}) {
    fs::permissions(game.path / exe, fs::perms::owner_exec, fs::perm_options::add);
  }
  StubServer server(std::string("\\protocol\\68"));
  std::string port = std::to_string(server.port());
  std::string address = "127.0.0.1:" + port;

  const std::vector<std::string> direct = {"./quake3.exe", "+connect", address,
                                           "+set",         "cg_time",  "12:00:00"};
  const std::vector<std::string> standIn = {STAND_IN_PATH, port, "+connect", address};
  const std::vector<std::string> launch = {PROTOSWITCH_PATH, "+connect", address};
  const std::vector<std::string> empty = {EMPTY_PATH};
  const std::vector<std::string> toggle = {PROTOSWITCH_PATH};

  std::vector<double> times[5];
  for (int i = 0; i < runs; i++) {
    times[0].push_back(timeOnce(direct, game.path));
    times[1].push_back(timeOnce(standIn, game.path));
    times[2].push_back(timeOnce(launch, game.path));
    times[3].push_back(timeOnce(empty, game.path));
    times[4].push_back(timeOnce(toggle, game.path));
  }
  const char *names[] = {"direct start of the game", "stand-in connect launch",
                         "protoswitch connect launch", "empty process", "protoswitch toggle"};
  std::printf("median wall time over %d runs each (microseconds)\n", runs);
  for (int v = 0; v < 5; v++) {
    std::printf("  %-28s %8.1f\n", names[v], median(times[v]));
  }
  std::printf("connect launch / stand-in: %.3f (target 1.15)\n",
              median(times[2]) / median(times[1]));
  std::printf("toggle / empty process:    %.3f (target 1.25)\n",
              median(times[4]) / median(times[3]));
  return 0;
}
