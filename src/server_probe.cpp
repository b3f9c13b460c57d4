// Asking a game server for its protocol number with one UDP datagram.
#include "server_probe.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char request[] =
    "\xFF\xFF\xFF\xFF"
    "getinfo";
static const char protocolKey[] = "protocol\\";

static bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool readNumber(const char *text, int *number) {
  while (isSpace(*text)) {
    text++;
  }
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') {
    text++;
  }
  if (*text < '0' || *text > '9') {
    return false;
  }
  // Accumulate towards the sign, so that INT_MIN itself is reachable; stop moving at the bound.
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; text++) {
    int digit = *text - '0';
    value = negative ? value * 10 - digit : value * 10 + digit;
    if (value > INT_MAX) {
      value = INT_MAX;
    } else if (value < INT_MIN) {
      value = INT_MIN;
    }
  }
  *number = (int)value;
  return true;
}

int splitAddress(char *buffer, const char *address) {
  // An address longer than the buffer keeps its first characters; the rest is dropped.
  size_t length = strnlen(address, addressLimit);
  memcpy(buffer, address, length);
  buffer[length] = '\0';

  int port = defaultPort;
  char *colon = strchr(buffer, ':');
  if (colon != NULL) {
    *colon = '\0';
    int given;
    if (readNumber(colon + 1, &given)) {
      port = given;
    }
  }
  return port;
}

bool hostNameFits(const char *host) {
  return strnlen(host, hostNameLimit + 1) <= hostNameLimit;
}

ReplyVerdict judgeReply(char *reply, size_t kept, int *protocol) {
  // From here on the reply is a text: whatever follows its first zero byte does not count.
  reply[kept] = '\0';
  const char *key = strstr(reply, protocolKey);
  if (key == NULL) {
    return replyWithoutKey;
  }
  if (!readNumber(key + strlen(protocolKey), protocol) || (*protocol != 43 && *protocol != 68)) {
    return replyUnsupported;
  }
  return replySupported;
}

void CleanUp(SocketHandle socket) {
  if (socket != invalidSocket) {
    closeSocket(socket);
  }
  socketsRelease();
  exit(1);
}

int serverVersion(const char *address) {
  char buffer[workBufferSize];
  int port = splitAddress(buffer, address);

  if (!socketsStart()) {
    perror("Can't init winsock");
    exit(1);
  }
  // Not connected: the reply's sender is not examined.
  SocketHandle sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock == invalidSocket) {
    perror("Open error on socket");
    CleanUp(sock);
  }
  // No host name is longer, and gethostbyname on Windows does not check the length it is given.
  struct hostent *host = hostNameFits(buffer) ? gethostbyname(buffer) : NULL;
  if (host == NULL || host->h_addrtype != AF_INET || host->h_addr_list[0] == NULL) {
    perror("Could not resolve ip");
    CleanUp(sock);
  }

  struct sockaddr_in server;
  memset(&server, 0, sizeof server);
  server.sin_family = AF_INET;
  server.sin_port = htons((unsigned short)port);  // only the low 16 bits count
  size_t addressSize = (size_t)host->h_length;
  if (addressSize > sizeof server.sin_addr) {
    addressSize = sizeof server.sin_addr;
  }
  memcpy(&server.sin_addr, host->h_addr_list[0], addressSize);

  // The terminating zero byte travels with the request.
  if (sendto(sock, request, sizeof request, 0, (struct sockaddr *)&server, sizeof server) < 0) {
    perror("Socket send error");
    CleanUp(sock);
  }

  if (!waitReadable(sock, replyWaitSeconds)) {
    perror("Server didn't reply");
    CleanUp(sock);
  }

  int protocol = 0;
  size_t kept = receiveDatagram(sock, buffer, replyLimit);
  switch (judgeReply(buffer, kept, &protocol)) {
    case replyWithoutKey:
      perror("Server reply is corrupted");
      CleanUp(sock);
    case replyUnsupported:
      perror("Only protocols 43 (1.11 - 1.16n) & 68 (1.32) supported");
      CleanUp(sock);
    case replySupported:
      break;
  }
  closeSocket(sock);
  socketsRelease();
  return protocol;
}
