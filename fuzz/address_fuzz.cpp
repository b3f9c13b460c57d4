// Fuzzes the address split and the port reading against the C library's own number reading.
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "server_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string address(reinterpret_cast<const char *>(data), size);
  char *buffer = new char[workBufferSize];
  int port = splitAddress(buffer, address.c_str());

  // The host is the address up to its first ':', within the characters that count.
  std::string kept = std::string(address.c_str()).substr(0, addressLimit);
  size_t colon = kept.find(':');
  if (std::string(buffer) != kept.substr(0, colon)) {
    __builtin_trap();
  }
  // The port is what strtol reads after the ':', clamped to 32 bits, else the default.
  int expected = defaultPort;
  if (colon != std::string::npos) {
    const char *text = kept.c_str() + colon + 1;
    char *end = NULL;
    long long value = strtoll(text, &end, 10);
    if (end != text) {
      expected = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : (int)value;
    }
  }
  if (port != expected) {
    __builtin_trap();
  }
  delete[] buffer;
  return 0;
}
