// orbalyn-host: loads Orbalyn.so the way the GUI program will and runs it without a window.
//
//   orbalyn-host --backup <folder> [--run-seconds N] [--stop-file PATH] [--no-qr]
//
// Prints "host ..." progress lines, one "logic ..." line per logic message, and, once the PC is
// online, "bind-info <hex>" (the QR text) with the QR symbol. Stops on SIGINT, SIGTERM, when the
// stop file appears, or after the run time. Exit status 0 after a clean stop.

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "OrbalynHost.h"

namespace {

constexpr char kUsage[] =
    "usage: orbalyn-host --backup <folder> [--run-seconds N] [--stop-file PATH] [--no-qr]\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "orbalyn-host: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

// Every phone connection holds a descriptor; the usual soft limit of 1,024 lets a crowd of
// idle connections lock every phone out, while the hard limit is the one that matters.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  const rlim_t soft = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    std::fprintf(stderr, "orbalyn-host: descriptor limit stays at %llu\n",
                 static_cast<unsigned long long>(soft));
  }
}

}  // namespace

int main(int argc, char** argv) {
  RaiseDescriptorLimit();
  COrbalynHost::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--no-qr") {
      options.drawQr = false;
      continue;
    }
    if (i + 1 >= argc) return Usage(arg + " needs a value");
    std::string value = argv[++i];
    if (arg == "--backup") {
      options.backupFolder = value;
    } else if (arg == "--stop-file") {
      options.stopFile = value;
    } else if (arg == "--run-seconds") {
      char* pEnd = nullptr;
      long seconds = std::strtol(value.c_str(), &pEnd, 10);
      if (*pEnd != '\0' || seconds < 1 || seconds > 86400 * 365) {
        return Usage("bad --run-seconds " + value);
      }
      options.runSeconds = static_cast<int>(seconds);
    } else {
      return Usage("unknown option " + arg);
    }
  }
  if (options.backupFolder.empty()) return Usage("--backup is required");

  // Lines reach a pipe or a file at once, so scripts can follow them.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!COrbalynHost::BlockStopSignals()) {
    std::perror("orbalyn-host: signals");
    return 1;
  }
  COrbalynHost host(options);
  return host.Run();
}
