// Preloaded into the launcher: the first malloc of exactly $FAIL_MALLOC_SIZE bytes fails.
#include <stdlib.h>

extern "C" void *__libc_malloc(size_t size);

extern "C" void *malloc(size_t size) {
  static bool failed = false;
  static const char *chosen = getenv("FAIL_MALLOC_SIZE");
  if (!failed && chosen != nullptr && size == strtoul(chosen, nullptr, 10)) {
    failed = true;
    return nullptr;
  }
  return __libc_malloc(size);
}
