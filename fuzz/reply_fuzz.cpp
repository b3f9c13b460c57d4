// Fuzzes the judging of a reply: the bytes of one datagram in, cut to what the receive keeps,
// the protocol number or the failure out.
#include <stdint.h>
#include <string.h>

#include "server_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  size_t kept = size < replyLimit ? size : replyLimit;
  // Exactly the bytes kept and the terminator: any read or write past them is caught.
  char *reply = new char[kept + 1];
  memcpy(reply, data, kept);
  int protocol = 0;
  ReplyVerdict verdict = judgeReply(reply, kept, &protocol);

  bool keyFound = strstr(reply, "protocol\\") != NULL;
  if (reply[kept] != '\0' || keyFound != (verdict != replyWithoutKey) ||
      (verdict == replySupported && protocol != 43 && protocol != 68)) {
    __builtin_trap();
  }
  delete[] reply;
  return 0;
}
