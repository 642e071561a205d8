// phone-sim: a simulated phone for trying the PC's phone road by hand or from scripts.
//
//   phone-sim [options] command...
//   commands, run in order on one connection:
//     bind | login | logout | heartbeat | report | upload <folder> | finish
//
// One line per step on stdout; exit 0 when every step succeeded, 1 on a failure, 2 on bad usage.

#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "uimsg.pb.h"

#include "PeerHex.h"
#include "PhoneSim.h"

namespace {

constexpr const char* kUsage =
    "usage: phone-sim [options] command...\n"
    "  where:   --host H --port P --pc-id N --bind-key K, or --bind-info HEX (the QR text)\n"
    "  phone:   --phone-id N (required)  --name NAME  --key-file PATH  --encode 1|2|3\n"
    "  binding: --bind-path device-key|bind-key (6005 under type 2, or all under type 3)\n"
    "  upload:  --window 1..64 --chunk BYTES  --stop-at BYTES  --stop-after-send  --album NAME\n"
    "  other:   --timeout-ms MS\n"
    "  commands: bind login logout heartbeat report upload <folder> finish\n";

struct Command {
  std::string name;
  std::string folder;  // upload only
};

struct CliOptions {
  std::string host;
  int64_t port = 0;
  std::string bindInfoHex;
  std::string keyFile;
  phonesim::BindPath bindPath = phonesim::BindPath::kFinishUnderDeviceKey;
  phonesim::PhoneSimConfig config;
  phonesim::UploadOptions upload;
  std::vector<Command> commands;
};

template <typename T>
bool ParseInt(std::string_view text, T* value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "phone-sim: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

// Returns 0 when parsed, else the exit code.
int ParseArgs(int argc, char** argv, CliOptions* o) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string v;
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (arg == "--stop-after-send") {
      o->upload.stopWhenSent = true;
    } else if (arg.rfind("--", 0) == 0) {
      if (!value(&v)) return Usage(arg + " needs a value");
      int64_t number = 0;
      if (arg == "--host") {
        o->host = v;
      } else if (arg == "--port") {
        ok = ParseInt(v, &o->port) && o->port > 0 && o->port <= 65535;
      } else if (arg == "--pc-id") {
        ok = ParseInt(v, &o->config.pcId) && o->config.pcId != 0;
      } else if (arg == "--bind-key") {
        o->config.bindKey = v;
      } else if (arg == "--bind-info") {
        o->bindInfoHex = v;
      } else if (arg == "--phone-id") {
        ok = ParseInt(v, &o->config.phoneId) && o->config.phoneId != 0;
      } else if (arg == "--name") {
        o->config.phoneName = v;
      } else if (arg == "--key-file") {
        o->keyFile = v;
      } else if (arg == "--encode") {
        ok = ParseInt(v, &o->config.encodeType) && o->config.encodeType >= 1 &&
             o->config.encodeType <= 3;
      } else if (arg == "--bind-path") {
        ok = v == "device-key" || v == "bind-key";
        o->bindPath = v == "bind-key" ? phonesim::BindPath::kAllBindKey
                                      : phonesim::BindPath::kFinishUnderDeviceKey;
      } else if (arg == "--window") {
        ok = ParseInt(v, &o->upload.window) && o->upload.window >= 1 &&
             o->upload.window <= phonesim::CPhoneSim::kMaxWindow;
      } else if (arg == "--chunk") {
        ok = ParseInt(v, &number) && number > 0;
        o->upload.maxChunk = static_cast<size_t>(number);
      } else if (arg == "--stop-at") {
        ok = ParseInt(v, &o->upload.stopAtBytes) && o->upload.stopAtBytes >= 0;
      } else if (arg == "--album") {
        o->upload.albumName = v;
      } else if (arg == "--timeout-ms") {
        ok = ParseInt(v, &o->config.replyTimeoutMs) && o->config.replyTimeoutMs > 0;
      } else {
        return Usage("unknown option " + arg);
      }
      if (!ok) return Usage("bad value for " + arg + ": " + v);
    } else if (arg == "upload") {
      if (i + 1 >= args.size()) return Usage("upload needs a folder");
      o->commands.push_back({arg, args[++i]});
    } else if (arg == "bind" || arg == "login" || arg == "logout" || arg == "heartbeat" ||
               arg == "report" || arg == "finish") {
      o->commands.push_back({arg, {}});
    } else {
      return Usage("unknown command " + arg);
    }
  }
  return 0;
}

// Fills what the QR text gives and the command line did not.
bool ApplyBindInfo(CliOptions* o, std::string* error) {
  std::string bytes;
  protocol::UIBindInfo info;
  if (!peer::FromHex(o->bindInfoHex, &bytes) || !info.ParseFromString(bytes)) {
    *error = "--bind-info is not the hex of a bind record";
    return false;
  }
  if (o->config.pcId == 0) o->config.pcId = info.id_pc();
  if (o->config.bindKey.empty()) o->config.bindKey = info.bind_key();
  if (o->host.empty() && info.has_local_ip()) o->host = info.local_ip();
  if (o->port == 0 && info.has_local_port()) o->port = info.local_port();
  return true;
}

bool LoadKey(const std::string& path, std::string* key) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return false;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  *key = line;
  return true;
}

// Written beside the target and renamed, so a crash never leaves half a key behind.
bool SaveKey(const std::string& path, const std::string& key) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    if (!(out << key << '\n') || !out.flush()) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  return !ec;
}

const char* OutcomeText(phonesim::FileOutcome outcome) {
  switch (outcome) {
    case phonesim::FileOutcome::kInPlace:
      return "in place";
    case phonesim::FileOutcome::kSkipped:
      return "skipped, already there";
    case phonesim::FileOutcome::kFailed:
      return "failed";
    case phonesim::FileOutcome::kStopped:
      return "stopped";
  }
  return "?";
}

void PrintFile(const phonesim::FileResult& f) {
  std::printf("upload %s: %s, file_id=%d, size=%lld, from=%lld, sent=%lld, acked=%lld%s%s\n",
              f.phonePath.c_str(), OutcomeText(f.outcome), f.fileId, static_cast<long long>(f.size),
              static_cast<long long>(f.startPosition), static_cast<long long>(f.bytesSent),
              static_cast<long long>(f.bytesAcked), f.error.empty() ? "" : ": ", f.error.c_str());
  std::fflush(stdout);
}

int Failed(const std::string& step, const std::string& error) {
  std::printf("%s: failed: %s\n", step.c_str(), error.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  CliOptions o;
  const int parsed = ParseArgs(argc, argv, &o);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  std::string error;
  if (!o.bindInfoHex.empty() && !ApplyBindInfo(&o, &error)) return Usage(error);
  if (o.commands.empty()) return Usage("no command");
  if (o.config.phoneId == 0) return Usage("--phone-id is required");
  if (o.config.pcId == 0) return Usage("--pc-id or --bind-info is required");
  if (o.host.empty() || o.port == 0) return Usage("--host and --port, or --bind-info with both");
  if (!o.keyFile.empty() && access(o.keyFile.c_str(), F_OK) == 0) {
    if (!LoadKey(o.keyFile, &o.config.deviceKey)) return Failed("key", "cannot read " + o.keyFile);
    std::printf("key: loaded from %s\n", o.keyFile.c_str());
  }

  phonesim::CPhoneSim phone(o.config);
  if (!phone.Connect(o.host, static_cast<uint16_t>(o.port))) {
    return Failed("connect", phone.LastError());
  }
  std::printf("connect: ok, %s:%lld\n", o.host.c_str(), static_cast<long long>(o.port));

  phonesim::UploadSummary lastUpload;
  for (const Command& command : o.commands) {
    bool ok = false;
    if (command.name == "bind") {
      std::string pcName;
      if (!phone.Bind(o.bindPath, &pcName)) return Failed("bind", phone.LastError());
      std::printf("bind: ok, key=%s, pc_name=%s\n", phone.DeviceKey().c_str(), pcName.c_str());
      if (!o.keyFile.empty()) {
        if (!SaveKey(o.keyFile, phone.DeviceKey())) {
          return Failed("key", "cannot write " + o.keyFile);
        }
        std::printf("key: saved to %s\n", o.keyFile.c_str());
      }
      continue;
    } else if (command.name == "upload") {
      phonesim::UploadOptions options = o.upload;
      options.onFile = PrintFile;
      ok = phone.UploadFolder(command.folder, options, &lastUpload);
      const phonesim::BatchCounts& c = lastUpload.counts;
      std::printf("upload: %d files, %d ok, %d failed, %lld bytes sent, %lld acknowledged\n",
                  c.filesTotal, c.filesOk, c.filesFailed,
                  static_cast<long long>(lastUpload.bytesSent),
                  static_cast<long long>(lastUpload.bytesAcked));
      if (ok && lastUpload.stopped) {
        std::printf("upload: stopped on purpose, connection closed\n");
        return 0;
      }
    } else if (command.name == "finish") {
      const phonesim::BatchCounts& c = lastUpload.counts;
      ok = phone.UploadFinish(c, c.filesTotal - c.filesOk - c.filesFailed, 0);
    } else if (command.name == "login") {
      ok = phone.Login();
    } else if (command.name == "logout") {
      ok = phone.Logout();
    } else if (command.name == "heartbeat") {
      ok = phone.Heartbeat();
    } else if (command.name == "report") {
      ok = phone.Report();
    }
    if (!ok) return Failed(command.name, phone.LastError());
    std::printf("%s: ok\n", command.name.c_str());
  }
  return 0;
}
