// orbalyn-host: loads Orbalyn.so the way the GUI program will and runs it without a window.
//
//   orbalyn-host --backup <folder> [--run-seconds N] [--stop-file PATH] [--no-qr]
//
// Prints "host ..." progress lines, one "logic ..." line per logic message, and, once the PC is
// online, "bind-info <hex>" (the QR text) with the QR symbol. Stops on SIGINT, SIGTERM, when the
// stop file appears, or after the run time. Exit status 0 after a clean stop, 1 when the
// library or its state folder cannot be used, 2 for a usage error.

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "OrbalynHost.h"

namespace {

constexpr char kUsage[] =
    "usage: orbalyn-host --backup <folder> [--run-seconds N] [--stop-file PATH] [--no-qr]\n";

constexpr char kHelp[] =
    "\n"
    "Loads Orbalyn.so from this program's folder and runs it as the GUI program will, without a\n"
    "window: it logs in to the entry server, prints the bind information once online (the text\n"
    "a phone reads from the QR code, with the QR symbol drawn in the terminal) and saves what\n"
    "bound phones back up into the backup folder. It runs until stopped: Ctrl-C, SIGTERM, the\n"
    "stop file appearing, or the run time ending.\n"
    "\n"
    "Options:\n"
    "  --backup <folder>   where backed-up photos go (made when missing); a folder, or a\n"
    "                      drive path such as D:\\Lumidock (drives: LUMIDOCK_DRIVES)\n"
    "  --run-seconds N     stop after N seconds\n"
    "  --stop-file PATH    stop once PATH exists\n"
    "  --no-qr             print the bind information without the QR symbol\n"
    "  -h, --help          this text\n"
    "\n"
    "Environment:\n"
    "  LUMIDOCK_ROOT          a sandbox folder for the files the library keeps (not its log)\n"
    "  ORBALYN_ENTRY_SERVER   the entry server as host[:port] (built "
    "in: " ORBALYN_ENTRY_SERVER_DEFAULT
    ")\n"
    "  ORBALYN_REPORT_SERVER  where statistics reports are sent, as host[:port]; unset, they\n"
    "                         stay in the local spool\n"
    "\n"
    "Files it writes:\n"
    "  With LUMIDOCK_ROOT: the settings under $LUMIDOCK_ROOT/appdata, the registry and the\n"
    "  statistics spool under $LUMIDOCK_ROOT/registry and $LUMIDOCK_ROOT/statistics.\n"
    "  Without: the settings under ~/.config/Corvane/Orbalyn (XDG_CONFIG_HOME), the registry\n"
    "  and the spool under ~/.local/state/lumidock (XDG_STATE_HOME).\n"
    "  The library log: Orbalyn.so-<date>-<time>.log beside Orbalyn.so; when that folder is\n"
    "  not writable, in $LUMIDOCK_ROOT/logs or ~/.local/state/lumidock.\n"
    "\n"
    "Output, one line each:\n"
    "  host ...                       the host's own progress\n"
    "  logic <type> value=N id=ID ... one per logic message, the value's meaning in brackets\n"
    "  bind-info <hex>                the bind information, once online and listening\n"
    "  Login states: 0 stopped, 1 logging in, 2 online, 3 offline. Login results: 0 ok, then\n"
    "  the step that failed: 1 entry server name, 2 registration, 3 server time, 4 redirect,\n"
    "  5 communication server, 6 timed out. An offline PC tries again after ten minutes.\n"
    "\n"
    "Exit status: 0 after a clean stop, 1 when the library or its state folder cannot be used,\n"
    "2 for a usage error.\n";

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
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--no-qr") {
      options.drawQr = false;
      continue;
    }
    if (arg != "--backup" && arg != "--stop-file" && arg != "--run-seconds") {
      return Usage("unknown option " + arg);
    }
    if (i + 1 >= argc) return Usage(arg + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--backup") {
      options.backupFolder = value;
    } else if (arg == "--stop-file") {
      options.stopFile = value;
    } else {
      char* pEnd = nullptr;
      const long seconds = std::strtol(value.c_str(), &pEnd, 10);
      if (*pEnd != '\0' || seconds < 1 || seconds > 86400 * 365) {
        return Usage("bad --run-seconds " + value);
      }
      options.runSeconds = static_cast<int>(seconds);
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
