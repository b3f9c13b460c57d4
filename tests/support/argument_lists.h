// Argument lists that the Windows command line must quote to hand on unchanged. The unit test
// reads each quoted line back with a splitter of the C runtime's rules; the black-box suite sends
// them through the real C runtime under Wine, {server} naming its stub server.
#ifndef PROTOSWITCH_TESTS_ARGUMENT_LISTS_H
#define PROTOSWITCH_TESTS_ARGUMENT_LISTS_H

#include <string>
#include <vector>

struct ArgumentList {
  const char *name;
  std::vector<std::string> args;  // after the program's path
};

inline const ArgumentList argumentLists[] = {
    {"ArgumentsWithSpacesAndTabs",
     {"+connect", "{server}", "+set", "name", "Player One", "+say", "a\tb", "  lead"}},
    {"ArgumentsWithQuotes", {"+connect", "{server}", "say \"hi\"", "\"", "a\"b", "\"\""}},
    {"ArgumentsWithBackslashes",
     {"+connect", "{server}", "C:\\games\\q3", "end\\", "end \\\\", "q\\\"uote", "\\\\\"",
      "a\\\\b c"}},
    {"EmptyArguments", {"", "+connect", "{server}", "", "+set"}},
};

#endif
