// Quoting an argument vector for the C runtime's command line splitter.
#include "command_line.h"

#include <string.h>

// Writes `length` bytes of `text` at `line + at` (unless `line` is null); returns `length`.
static size_t put(char *line, size_t at, const char *text, size_t length) {
  if (line != NULL) {
    memcpy(line + at, text, length);
  }
  return length;
}

// Writes `count` backslashes at `line + at` (unless `line` is null); returns `count`.
static size_t putBackslashes(char *line, size_t at, size_t count) {
  for (size_t i = 0; i < count; i++) {
    put(line, at + i, "\\", 1);
  }
  return count;
}

// Writes one argument at `line + at` (unless `line` is null) so that it is read back unchanged;
// returns its length.
static size_t quoteArgument(char *line, size_t at, const char *text) {
  // An empty argument, or one with a separator or a quote in it, goes in quotes.
  if (*text != '\0' && strpbrk(text, " \t\"") == NULL) {
    return put(line, at, text, strlen(text));
  }
  size_t length = put(line, at, "\"", 1);
  for (const char *c = text;; c++) {
    size_t backslashes = strspn(c, "\\");
    c += backslashes;
    if (*c == '\0') {
      // Doubled, so that the closing quote stays a quote.
      length += putBackslashes(line, at + length, 2 * backslashes);
      break;
    }
    // Before a quote character every backslash is doubled and one more escapes the quote.
    length += putBackslashes(line, at + length, *c == '"' ? 2 * backslashes + 1 : backslashes);
    length += put(line, at + length, c, 1);
  }
  return length + put(line, at + length, "\"", 1);
}

size_t argumentLine(char *line, const char *const *argv) {
  size_t length = 0;
  for (int i = 0; argv[i] != NULL; i++) {
    if (i > 0) {
      length += put(line, length, " ", 1);
    }
    length += quoteArgument(line, length, argv[i]);
  }
  return length;
}

size_t commandLine(char *line, const char *const *argv) {
  size_t length = put(line, 0, "\"", 1);
  length += put(line, length, argv[0], strlen(argv[0]));
  length += put(line, length, "\"", 1);
  if (argv[1] != NULL) {
    length += put(line, length, " ", 1);
    length += argumentLine(line == NULL ? NULL : line + length, argv + 1);
  }
  return length;
}
