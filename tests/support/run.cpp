#include "run.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char **environ;

const char gameRecordName[] = "game-record.txt";
const char holderReady[] = "holder-ready";
const char holderRelease[] = "holder-release";

// Starts `argv` in `cwd` with `extraEnv` added, standard input on /dev/null, standard output
// and error on `out` and `err`, and `inherited` more descriptors; see runProgram.
static pid_t spawn(const std::vector<std::string> &argv, const fs::path &cwd,
                   const std::vector<std::string> &extraEnv, int inherited, int out, int err) {
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || err < 0 || in < 0) {
    throw std::runtime_error("cannot open the standard files of a child");
  }

  // Everything the child needs is prepared before the fork: it runs only async-signal-safe calls.
  // A variable given replaces this process's own of that name (TZ, say): a C library reads the
  // first of two.
  std::vector<std::string> envStrings;
  for (char **e = environ; *e != nullptr; e++) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('=') + 1);
    if (std::none_of(extraEnv.begin(), extraEnv.end(),
                     [&](const std::string &given) { return given.rfind(name, 0) == 0; })) {
      envStrings.push_back(entry);
    }
  }
  envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char *> args, env;
  for (const std::string &a : argv) {
    args.push_back(const_cast<char *>(a.c_str()));
  }
  args.push_back(nullptr);
  for (const std::string &e : envStrings) {
    env.push_back(const_cast<char *>(e.c_str()));
  }
  env.push_back(nullptr);
  std::string dir = cwd.string();
  bool search = argv.at(0).find('/') == std::string::npos;
  struct rlimit files {};
  getrlimit(RLIMIT_NOFILE, &files);
  rlim_t needed = (rlim_t)inherited + 64;
  files.rlim_cur = std::max(files.rlim_cur, needed);
  files.rlim_max = std::max(files.rlim_max, needed);

  pid_t child = fork();
  if (child == 0) {
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(dir.c_str()) != 0) {
      _exit(126);
    }
    // Only what the test gives passes on: nothing this process inherited from its own parent.
    close_range(3, ~0U, 0);
    if (inherited > 0 && setrlimit(RLIMIT_NOFILE, &files) != 0) {
      _exit(126);
    }
    for (int i = 0; i < inherited; i++) {
      if (open("/dev/null", O_RDONLY) < 0) {
        _exit(126);
      }
    }
    search ? execvpe(args[0], args.data(), env.data()) : execve(args[0], args.data(), env.data());
    _exit(127);
  }
  close(in), close(out), close(err);
  if (child < 0) {
    throw std::runtime_error("fork failed");
  }
  return child;
}

// A file for a child's output, opened here and closed by spawn.
static int openOutput(const fs::path &file) {
  return open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

// Waits for `child` to end, killing it at `until`; returns its wait status.
static int waitOrKill(pid_t child, Clock::time_point until) {
  int status = 0;
  while (waitpid(child, &status, WNOHANG) != child) {
    if (Clock::now() > until) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    usleep(1000);
  }
  return status;
}

Outcome runProgram(const std::vector<std::string> &argv, const fs::path &cwd,
                   const std::vector<std::string> &extraEnv, int inherited,
                   std::chrono::seconds limit) {
  ScratchDir outputs("protoswitch-output");
  fs::path outFile = outputs.path / "stdout", errFile = outputs.path / "stderr";
  Outcome run;
  run.started = Clock::now();
  run.pid = spawn(argv, cwd, extraEnv, inherited, openOutput(outFile), openOutput(errFile));
  int status = waitOrKill(run.pid, run.started + limit);
  run.ended = Clock::now();
  run.exited = WIFEXITED(status);
  run.status = run.exited ? WEXITSTATUS(status) : -1;
  run.out = readFile(outFile);
  run.err = readFile(errFile);
  return run;
}

std::vector<std::string> platformCommand(const fs::path &program) {
  std::vector<std::string> command;
  if (const char *prefix = setting("PROTOSWITCH_PREFIX")) {
    std::istringstream words(prefix);
    for (std::string word; words >> word;) {
      command.push_back(word);
    }
  }
  command.push_back(fs::absolute(program).string());
  return command;
}

std::vector<std::string> launcherCommand() {
  const char *launcher = setting("PROTOSWITCH");
  if (launcher == nullptr) {
    throw std::runtime_error("PROTOSWITCH names no launcher to test");
  }
  return platformCommand(launcher);
}

bool launcherIsPrefixed() {
  return setting("PROTOSWITCH_PREFIX") != nullptr;
}

fs::path stubGamePath() {
  const char *game = setting("STUB_GAME");
  if (game == nullptr) {
    throw std::runtime_error("STUB_GAME names no stub game");
  }
  return fs::absolute(game);
}

std::vector<std::string> underStrace(const std::vector<std::string> &qualifiers,
                                     const std::vector<std::string> &command,
                                     const std::vector<std::string> &paths) {
  // strace writes to its standard error on its own (where a path given to -P resolves to, say),
  // so it gets /dev/null there, and the program its real standard error back from descriptor 3.
  std::vector<std::string> wrapped = {"sh", "-c", "exec 3>&2 2>/dev/null; exec \"$@\"", "sh",
                                      "env"};
  if (const char *environment = setting("PROTOSWITCH_STRACE_ENV")) {
    std::istringstream words(environment);
    for (std::string word; words >> word;) {
      wrapped.push_back(word);
    }
  }
  wrapped.insert(wrapped.end(), {"strace", "-f", "-o", "/dev/null"});
  for (const std::string &qualifier : qualifiers) {
    wrapped.insert(wrapped.end(), {"-e", qualifier});
  }
  for (const std::string &path : paths) {
    wrapped.insert(wrapped.end(), {"-P", path});
  }
  wrapped.insert(wrapped.end(), {"sh", "-c", "exec 2>&3 3>&-; exec \"$@\"", "sh"});
  wrapped.insert(wrapped.end(), command.begin(), command.end());
  return wrapped;
}

FileHolder::FileHolder(const fs::path &dir, const std::vector<std::string> &names, bool exclusive)
    : dir(dir) {
  std::vector<std::string> command = platformCommand(stubGamePath());
  command.insert(command.end(),
                 {exclusive ? "--hold-exclusive" : "--hold", holderReady, holderRelease});
  command.insert(command.end(), names.begin(), names.end());
  pid =
      spawn(command, dir, {}, 0, openOutput(output.path / "out"), openOutput(output.path / "err"));
  for (Clock::time_point until = Clock::now() + std::chrono::seconds(20);
       !fs::exists(dir / holderReady); usleep(2000)) {
    int status = 0;
    if (Clock::now() > until || waitpid(pid, &status, WNOHANG) == pid) {
      throw std::runtime_error("the file holder never got ready: " + readFile(output.path / "err"));
    }
  }
}

FileHolder::~FileHolder() {
  writeFile(dir / holderRelease, "");
  waitOrKill(pid, Clock::now() + std::chrono::seconds(20));
  std::error_code ignored;
  fs::remove(dir / holderReady, ignored);
  fs::remove(dir / holderRelease, ignored);
}

std::optional<GameRecord> waitForGameRecord(const fs::path &dir, std::chrono::milliseconds limit) {
  // On Windows the launcher ends before the game it started has written anything.
  fs::path file = dir / gameRecordName;
  Clock::time_point until = Clock::now() + limit;
  while (!fs::exists(file)) {
    if (Clock::now() > until) {
      return std::nullopt;
    }
    usleep(2000);
  }
  std::istringstream in(readFile(file));
  GameRecord record;
  std::string word;
  int argc = 0;
  in >> word >> record.pid >> word;
  std::getline(in, record.fds);
  in >> word;
  in.ignore(1);
  std::getline(in, record.marker);
  in >> word >> argc;
  in.ignore(1);
  for (int i = 0; i < argc && in; i++) {
    size_t length = 0;
    in >> length;
    in.ignore(1);
    std::string arg(length, '\0');
    in.read(arg.data(), (std::streamsize)length);
    in.ignore(1);
    record.argv.push_back(arg);
  }
  return record;
}

Installation::Installation(int active, const std::string &label)
    : dir(label),
      client43(readFile(stubGamePath()) + "\nclient 43\n"),
      client68(readFile(stubGamePath()) + "\nclient 68\n") {
  plant(dir.path, arrangement(active, client43, client68));
  for (const char *exe : {"quake3.exe", "quake3.16", "quake3.32"}) {
    if (fs::exists(dir.path / exe)) {
      fs::permissions(dir.path / exe, fs::perms::owner_exec, fs::perm_options::add);
    }
  }
}

Snapshot Installation::files() const {
  Snapshot tree = snapshot(dir.path);
  tree.erase(gameRecordName);
  return tree;
}

StubServer::StubServer(std::optional<std::string> reply, unsigned short port)
    : reply(std::move(reply)) {
  socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (socket < 0 || bind(socket, (sockaddr *)&address, sizeof address) != 0 ||
      getsockname(socket, (sockaddr *)&address, &length) != 0) {
    if (errno == EADDRINUSE) {
      throw PortInUse("UDP port " + std::to_string(port) + " is in use by another program");
    }
    throw std::runtime_error(std::string("stub server cannot bind: ") + strerror(errno));
  }
  boundPort = ntohs(address.sin_port);
  thread = std::thread([this] { serve(); });
}

StubServer::~StubServer() {
  stopping = true;
  thread.join();
  close(socket);
}

void StubServer::serve() {
  std::vector<char> datagram(70000);
  while (!stopping) {
    pollfd wait = {socket, POLLIN, 0};
    if (poll(&wait, 1, 20) != 1) {
      continue;
    }
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t got = recvfrom(socket, datagram.data(), datagram.size(), 0, (sockaddr *)&from, &length);
    if (got < 0) {
      continue;
    }
    {
      std::lock_guard<std::mutex> hold(lock);
      if (!firstAt) {
        firstAt = Clock::now();
      }
      received.emplace_back(datagram.data(), (size_t)got);
    }
    if (reply) {
      sendto(socket, reply->data(), reply->size(), 0, (sockaddr *)&from, length);
    }
  }
}

std::vector<std::string> StubServer::requests() {
  std::lock_guard<std::mutex> hold(lock);
  return received;
}

std::optional<Clock::time_point> StubServer::firstRequestAt() {
  std::lock_guard<std::mutex> hold(lock);
  return firstAt;
}
