// The Windows command line, read back by a splitter that follows the C runtime's rules.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/argument_lists.h"

namespace {

// Splits `line` as the C runtime's start-up code does: slot 0 by the path rule, then the
// arguments by the quote and backslash rules (a doubled quote inside quotes is one quote).
std::vector<std::string> split(const std::string &line) {
  std::vector<std::string> argv(1);
  size_t at = 0;
  bool quoted = false;
  for (; at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t')); at++) {
    if (line[at] == '"') {
      quoted = !quoted;
    } else {
      argv[0] += line[at];
    }
  }
  for (;;) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
      at++;
    }
    if (at == line.size()) {
      return argv;
    }
    std::string arg;
    quoted = false;
    while (at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t'))) {
      size_t backslashes = 0;
      for (; at < line.size() && line[at] == '\\'; at++) {
        backslashes++;
      }
      if (at < line.size() && line[at] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg += '"';
        } else if (quoted && at + 1 < line.size() && line[at + 1] == '"') {
          arg += '"';
          at++;
        } else {
          quoted = !quoted;
        }
        at++;
      } else {
        arg.append(backslashes, '\\');
        if (at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t'))) {
          arg += line[at++];
        }
      }
    }
    argv.push_back(arg);
  }
}

std::string quoted(const std::vector<std::string> &argv,
                   size_t (*write)(char *, const char *const *)) {
  std::vector<const char *> pointers;
  for (const std::string &arg : argv) {
    pointers.push_back(arg.c_str());
  }
  pointers.push_back(nullptr);
  std::string line(write(nullptr, pointers.data()), '#');
  // One byte more than the length is written, so that an overrun shows.
  line += '#';
  EXPECT_EQ(write(line.data(), pointers.data()), line.size() - 1);
  EXPECT_EQ(line.back(), '#') << "wrote past the length it announced";
  line.pop_back();
  return line;
}

TEST(CommandLine, EveryArgumentListComesBackUnchanged) {
  std::vector<ArgumentList> lists(std::begin(argumentLists), std::end(argumentLists));
  lists.push_back({"PlainWords", {"+connect", "host:27960", "+set", "name", "x"}});
  lists.push_back({"OnlyThePath", {}});
  lists.push_back({"BackslashesNotBeforeAQuote", {"a\\b", "\\\\server\\share", "\\", "x\\y z\\"}});
  for (const char *path :
       {"C:\\Games\\Quake III Arena\\protoswitch.exe", "protoswitch.exe", "C:\\dir\\"}) {
    for (const ArgumentList &list : lists) {
      SCOPED_TRACE(std::string(list.name) + " from " + path);
      std::vector<std::string> argv = {path};
      argv.insert(argv.end(), list.args.begin(), list.args.end());
      std::string line = quoted(argv, commandLine);
      EXPECT_EQ(split(line), argv) << line;
      // The arguments alone, as they follow a path that is given apart.
      std::string arguments = quoted(list.args, argumentLine);
      EXPECT_EQ(split("\"" + std::string(path) + "\" " + arguments), argv) << arguments;
    }
  }
}

}  // namespace
