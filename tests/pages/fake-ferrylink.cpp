// Stands in for the install popup in the QR page's tests: it sits next to the test program as
// "Ferrylink", appends "<pid> <arguments>" to $LUMIDOCK_FAKE_FERRYLINK_LOG and waits to be
// ended. With LUMIDOCK_FAKE_FERRYLINK_HANG=1 it ignores SIGTERM, as a hung popup would.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

int main(int argc, char** argv) {
  const char* pHang = getenv("LUMIDOCK_FAKE_FERRYLINK_HANG");
  if (pHang && std::string(pHang) == "1") signal(SIGTERM, SIG_IGN);
  std::string line = std::to_string(getpid());
  for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
  line += "\n";
  if (const char* pLog = getenv("LUMIDOCK_FAKE_FERRYLINK_LOG")) {
    int fd = open(pLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      [[maybe_unused]] ssize_t written = write(fd, line.data(), line.size());
      close(fd);
    }
  }
  for (;;) pause();
}
