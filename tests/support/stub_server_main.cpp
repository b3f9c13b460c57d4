// A stub game server for the demo and the benchmark: answers every "getinfo" request on
// 127.0.0.1 with the reply given, until it is stopped.
//   stub_server PORT_FILE REPLY    writes the port it is bound to into PORT_FILE
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>

#include "run.h"

static volatile std::sig_atomic_t stopped = 0;

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: stub_server PORT_FILE REPLY\n");
    return 2;
  }
  std::signal(SIGTERM, [](int) { stopped = 1; });
  std::signal(SIGINT, [](int) { stopped = 1; });
  StubServer server{std::string(argv[2])};
  std::ofstream(std::string(argv[1]) + ".tmp") << server.port() << "\n";
  std::rename((std::string(argv[1]) + ".tmp").c_str(), argv[1]);
  while (!stopped) {
    usleep(50000);
  }
  return 0;
}
