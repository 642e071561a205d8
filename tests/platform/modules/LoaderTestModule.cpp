// Exports two functions of its own. It calls getpid from libc, whose names it must not seem to
// export.
#include <unistd.h>

extern "C" __attribute__((visibility("default"))) int LoaderTestAnswer() { return 42; }

extern "C" __attribute__((visibility("default"))) int LoaderTestProcessId() {
  return static_cast<int>(getpid());
}
