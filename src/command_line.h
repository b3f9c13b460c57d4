// The Windows command line of an argument vector: the text from which the C runtime's start-up
// code splits the same vector again. Plain text work, built and tested on every platform.
//
// The runtime reads slot 0 up to the next space, or when it starts with a quote up to the next
// quote, with no escapes. In the other arguments, space and tab separate, a quote opens or
// closes a quoted part, and backslashes are plain characters unless a quote follows them:
// 2n backslashes and a quote are n backslashes and an opening or closing quote, 2n + 1
// backslashes and a quote are n backslashes and a quote character.
#ifndef PROTOSWITCH_COMMAND_LINE_H
#define PROTOSWITCH_COMMAND_LINE_H

#include <stddef.h>

/// Writes the arguments of the null-terminated `argv`, each quoted where the runtime needs it
/// and joined by spaces, at `line` unless it is null. Returns the length (terminator not
/// included, none written).
size_t argumentLine(char *line, const char *const *argv);

/// Writes the whole command line of the null-terminated `argv`: slot 0 (a path, which holds no
/// quote) quoted whole, then the other arguments as argumentLine writes them, at `line` unless it
/// is null. Returns the length (terminator not included, none written).
size_t commandLine(char *line, const char *const *argv);

#endif
