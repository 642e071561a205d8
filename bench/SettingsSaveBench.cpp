// Saving the settings file with 1, 100 and 1,000 bound phones, against two baselines measured
// in the same run: the same bytes written to a temporary file, flushed and renamed over (the
// floor), and the key-by-key profile writes a save used to make (one whole-file replace per
// key). The sandbox root is a fresh folder under $TMPDIR (or /tmp). --short: fewer repetitions
// and no key-by-key baseline at 1,000 phones, for CI.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../tests/common/KeyByKeySave.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "NetEngine/NetHelpers.h"
#include "win32/strings.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// The median of `repeats` runs of `work`, in milliseconds.
template <class Work>
double MedianMs(int repeats, Work work) {
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    const Clock::time_point start = Clock::now();
    work();
    times.push_back(Milliseconds(Clock::now() - start));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void AddPhones(int count) {
  CPhotoDb* pDb = CPhotoDb::Instance();
  pDb->ResetForTesting();
  pDb->SetDeviceId(710000000042);
  pDb->SetIdKey("0123456789abcdef");
  pDb->PcGuid();
  for (int i = 0; i < count; ++i) {
    CPhotoDevice* pDevice = pDb->FindOrCreateDevice(1000003 + 7919LL * i, true);
    char key[17];
    snprintf(key, sizeof(key), "%016x", 0x9e3779b9u * (i + 1));
    pDevice->SetKey(key);
    pDevice->SetName(u"Phone " + Utf8ToWide(std::to_string(i)));
    pDevice->SetGuid(u"0123456789abcdef0123456789abcdef");
    pDevice->SetZelid(u"zelid");
    pDevice->SetBindState(CPhotoDevice::kBindBound);
    pDevice->Release();
  }
}

// The floor: the same bytes to a temporary file, fsync, rename over.
void WriteFlushRename(const std::string& path, const std::string& bytes) {
  const std::string temp = path + ".bench";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  fsync(fd);
  close(fd);
  rename(temp.c_str(), path.c_str());
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  const bool shortRun = argc > 1 && std::strcmp(argv[1], "--short") == 0;
  const char* pTmp = getenv("TMPDIR");
  std::string pattern = std::string(pTmp && pTmp[0] ? pTmp : "/tmp") + "/bench-settings-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = pattern;
  setenv("LUMIDOCK_ROOT", root.c_str(), 1);
  std::u16string windowsPath;
  CPhotoDb::Instance()->Save();  // makes the folders
  if (!CPhotoDb::SettingsFilePath(&windowsPath)) return 1;
  std::string path = win32::Utf16ToUtf8(windowsPath);
  std::replace(path.begin(), path.end(), '\\', '/');

  std::printf("settings save (median; sandbox %s)\n", root.c_str());
  std::printf("%8s %10s %12s %14s %16s\n", "phones", "file", "save", "write+fsync", "key-by-key");
  int status = 0;
  for (int phones : {1, 100, 1000}) {
    AddPhones(phones);
    const int repeats = shortRun ? 3 : 21;
    const double saveMs = MedianMs(repeats, [] { CPhotoDb::Instance()->Save(); });
    const std::string bytes = ReadAll(path);
    const double floorMs = MedianMs(repeats, [&] { WriteFlushRename(path, bytes); });
    double keyByKeyMs = -1;
    if (!shortRun || phones < 1000) {
      keyByKeyMs =
          MedianMs(shortRun ? 1 : 3, [&] { test_common::SaveKeyByKey(windowsPath + u".keys"); });
      if (ReadAll(path + ".keys") != bytes) {
        std::printf("  the save and the key-by-key writes differ at %d phones\n", phones);
        status = 1;
      }
    }
    char keyByKey[32] = "-";
    if (keyByKeyMs >= 0) snprintf(keyByKey, sizeof(keyByKey), "%.2f ms", keyByKeyMs);
    std::printf("%8d %8zu B %9.3f ms %11.3f ms %16s\n", phones, bytes.size(), saveMs, floorMs,
                keyByKey);
    if (bytes.find("DeviceCount=" + std::to_string(phones) + "\r\n") == std::string::npos) {
      std::printf("  the saved file does not hold %d phones\n", phones);
      status = 1;
    }
  }
  CPhotoDb::Instance()->ResetForTesting();
  std::filesystem::remove_all(root);
  return status;
}
