// Why Windows refused to start a program, as an error number: the text after "Can't start
// quake3.exe" comes from it. Plain table work, built and tested on every platform.
#ifndef PROTOSWITCH_START_FAILURE_H
#define PROTOSWITCH_START_FAILURE_H

/// The error number for Windows' reason `reason` (a system error code, as GetLastError gives it)
/// why a program could not be started: the C runtime's own for its reasons, EACCES for a program
/// that an antivirus or a policy blocks or that the player declined to elevate, and EINVAL for
/// any reason the runtime does not know.
int startFailureNumber(unsigned long reason);

#endif
