// The probe's parsing helpers, where they hold more cases than the black-box table can afford,
// and the receive's failure, which no server can cause.
#include "server_probe.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "platform.h"

namespace {

TEST(ReadNumber, FollowsPercentDAndSaturates) {
  struct Case {
    const char *text;
    bool read;
    int value;
  };
  const Case cases[] = {
      {"68", true, 68},
      {" \t\n\v\f\r43", true, 43},
      {"+5", true, 5},
      {"-5", true, -5},
      {"12abc", true, 12},
      {"0x10", true, 0},
      {"007", true, 7},
      {"2147483647", true, INT_MAX},
      {"2147483648", true, INT_MAX},
      {"-2147483648", true, INT_MIN},
      {"-2147483649", true, INT_MIN},
      {"99999999999999999999999999999999999999999999", true, INT_MAX},
      {"-99999999999999999999999999999999999999999999", true, INT_MIN},
      {"", false, 0},
      {"abc", false, 0},
      {"-", false, 0},
      {"+", false, 0},
      {"- 5", false, 0},
      {"+-1", false, 0},
      {"\x80"
       "5",
       false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    int value = 12345;
    EXPECT_EQ(readNumber(c.text, &value), c.read);
    EXPECT_EQ(value, c.read ? c.value : 12345);
  }
}

TEST(SplitAddress, CutsAtTheFirstColon) {
  struct Case {
    std::string address;
    std::string host;
    int port;
  };
  const std::string longHost(1500, 'h');
  const Case cases[] = {
      {"example", "example", 27960},
      {"example:", "example", 27960},
      {"example:abc", "example", 27960},
      {"example:123abc", "example", 123},
      {"example: 99", "example", 99},
      {"example:-1", "example", -1},
      {"example:4294967296", "example", INT_MAX},
      {":5", "", 5},
      {"a:1:2", "a", 1},
      {"", "", 27960},
      // Only the first 1023 characters of an address count.
      {longHost + ":77", longHost.substr(0, 1023), 27960},
      {std::string(1019, 'h') + ":7712", std::string(1019, 'h'), 771},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.address.substr(0, 40));
    char buffer[workBufferSize + 8];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    EXPECT_EQ(splitAddress(buffer, c.address.c_str()), c.port);
    EXPECT_EQ(std::string(buffer), c.host);
    EXPECT_EQ(buffer[workBufferSize], '#') << "wrote past the work buffer";
  }
}

TEST(HostNameFits, OnlyNamesOfAtMost255CharactersAreLookedUp) {
  EXPECT_TRUE(hostNameFits(""));
  EXPECT_TRUE(hostNameFits(std::string(255, 'h').c_str()));
  EXPECT_FALSE(hostNameFits(std::string(256, 'h').c_str()));
  EXPECT_FALSE(hostNameFits(std::string(1023, 'h').c_str()));
}

// The black-box table holds the other replies; these are the ones it cannot send as well.
TEST(JudgeReply, FindsTheFirstKeyInTheBytesKept) {
  struct Case {
    const char *name;
    std::string reply;
    size_t kept;  // 0: all of it
    ReplyVerdict verdict;
    int protocol;
  };
  const Case cases[] = {
      {"first key wins", "\\protocol\\43\\protocol\\68", 0, replySupported, 43},
      {"negative", "protocol\\-68", 0, replyUnsupported, 0},
      {"cut inside the number", "protocol\\68", 10, replyUnsupported, 0},
      {"cut inside the key", "protocol\\68", 8, replyWithoutKey, 0},
      {"wrong case", "PROTOCOL\\68", 0, replyWithoutKey, 0},
      {"no backslash", "protocol 68", 0, replyWithoutKey, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    // The bytes past `kept` are left in place: only the terminator may hide them.
    char buffer[workBufferSize] = {};
    size_t kept = c.kept != 0 ? c.kept : c.reply.size();
    std::copy(c.reply.begin(), c.reply.end(), buffer);
    int protocol = 0;
    EXPECT_EQ(judgeReply(buffer, kept, &protocol), c.verdict);
    if (c.verdict == replySupported) {
      EXPECT_EQ(protocol, c.protocol);
    }
  }
}

// A receive that fails keeps nothing, however the platform reports the failure.
TEST(ReceiveDatagram, AFailedReceiveKeepsNothing) {
  ASSERT_TRUE(socketsStart());
  char buffer[16];
  EXPECT_EQ(receiveDatagram(invalidSocket, buffer, sizeof buffer), 0u);
  socketsRelease();
}

}  // namespace
