#pragma once
// File and sandbox helpers shared by the end-to-end upload tests and the upload benchmark.

#include <cstdint>
#include <string>
#include <vector>

namespace uploads_e2e {

// A phone the PC knows as bound before it starts: its settings file lists it.
struct PhoneSeed {
  int64_t id = 0;
  std::string key;  // 16 characters
  std::string name;
};

// What the settings file under the sandbox root holds before the host starts.
struct HostSeed {
  int64_t pcId = 0;
  std::string idKey;  // 16 characters
  std::vector<PhoneSeed> phones;
};

// A fresh folder `<base>/<prefix>XXXXXX`; empty on failure.
std::string MakeTempFolder(const std::string& base, const std::string& prefix);
void RemoveTree(const std::string& path);
// Writes `<root>/appdata/Corvane/Orbalyn/Orbalyn.dat` as the store reads it.
bool WriteSettings(const std::string& root, const HostSeed& seed);
// A 16-character key made from `seed` (lowercase hex, as the PC issues them).
std::string KeyFromSeed(uint64_t seed);

// `size` bytes from a fast generator seeded with `seed`, written to `path` (folders made), with
// the last-write time set to `mtimeMs` (ms since 1970).
bool WritePseudoRandomFile(const std::string& path, int64_t size, uint64_t seed, int64_t mtimeMs);
std::string Sha256OfFile(const std::string& path);
// True when both files hold the same bytes.
bool SameContent(const std::string& pathA, const std::string& pathB);
// -1 when missing.
int64_t FileSize(const std::string& path);
int64_t MtimeMs(const std::string& path);
// Regular files below `folder`, relative to it, sorted.
std::vector<std::string> ListFiles(const std::string& folder);
// A hard link, or a copy when linking is refused (another file system); keeps the mode.
bool LinkOrCopy(const std::string& from, const std::string& to);

}  // namespace uploads_e2e
