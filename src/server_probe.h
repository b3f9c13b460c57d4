// The one-datagram query of a game server's protocol number.
//
// The request is 0xFF 0xFF 0xFF 0xFF "getinfo" and a zero byte; the server answers with an
// information string in which "protocol\" is followed by its protocol number.
#ifndef PROTOSWITCH_SERVER_PROBE_H
#define PROTOSWITCH_SERVER_PROBE_H

#include <stddef.h>

#include "platform.h"

const int defaultPort = 27960;
const int replyWaitSeconds = 2;                  // how long the server may take to answer
const size_t replyLimit = 1024;                  // bytes of a reply that count
const size_t workBufferSize = replyLimit + 1;    // the reply and its terminating zero byte
const size_t addressLimit = workBufferSize - 2;  // characters of an address that are kept
const size_t hostNameLimit = 255;                // characters of the longest host name

/// Reads a decimal integer the way "%d" does (leading white space, an optional sign, digits),
/// clamped to the range of a 32-bit signed integer. False when there are no digits.
bool readNumber(const char *text, int *number);

/// Copies the first addressLimit characters of `address` into `buffer` (workBufferSize bytes),
/// cuts the host name at the first ':' and returns the port given after it, or defaultPort.
int splitAddress(char *buffer, const char *address);

/// True when `host` is short enough to be handed to the name lookup (hostNameLimit characters).
bool hostNameFits(const char *host);

enum ReplyVerdict { replySupported, replyWithoutKey, replyUnsupported };

/// Judges the first `kept` bytes of `reply` (which must have room for one more, the terminating
/// zero stored there): the protocol after the first "protocol\", if it is 43 or 68.
ReplyVerdict judgeReply(char *reply, size_t kept, int *protocol);

/// Asks the server at `address` (host or host:port) for its protocol: returns 43 or 68, or
/// reports the failure and ends the process with status 1.
int serverVersion(const char *address);

/// Closes `socket` (unless it never opened), releases the socket library, ends with status 1.
[[noreturn]] void CleanUp(SocketHandle socket);

#endif
