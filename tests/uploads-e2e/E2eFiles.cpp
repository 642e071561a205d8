#include "E2eFiles.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace uploads_e2e {

namespace fs = std::filesystem;

namespace {

class Fd {
 public:
  explicit Fd(int fd) : m_hFile(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (m_hFile >= 0) close(m_hFile);
  }
  int Get() const { return m_hFile; }

 private:
  int m_hFile;
};

uint64_t SplitMix(uint64_t* pState) {
  uint64_t z = (*pState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool ReadFully(int fd, char* pOut, size_t size, size_t* pRead) {
  *pRead = 0;
  while (*pRead < size) {
    const ssize_t n = read(fd, pOut + *pRead, size - *pRead);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *pRead += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string MakeTempFolder(const std::string& base, const std::string& prefix) {
  std::error_code error;
  fs::create_directories(base, error);
  std::string pattern = base + "/" + prefix + "XXXXXX";
  if (!mkdtemp(pattern.data())) return {};
  return pattern;
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  std::error_code error;
  fs::remove_all(path, error);
}

bool WriteSettings(const std::string& root, const HostSeed& seed) {
  const fs::path folder = fs::path(root) / "appdata" / "Corvane" / "Orbalyn";
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return false;
  std::string text = "[Basic]\r\nDeviceId=" + std::to_string(seed.pcId) +
                     "\r\nDeviceIdKey=" + seed.idKey +
                     "\r\nDeviceCount=" + std::to_string(seed.phones.size()) + "\r\n";
  for (size_t i = 0; i < seed.phones.size(); ++i) {
    const PhoneSeed& phone = seed.phones[i];
    text += "[PhotoDevice" + std::to_string(i) + "]\r\nId=" + std::to_string(phone.id) +
            "\r\nKey=" + phone.key + "\r\nName=" + phone.name + "\r\n";
  }
  std::ofstream out(folder / "Orbalyn.dat", std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

std::string KeyFromSeed(uint64_t seed) {
  static const char kDigits[] = "0123456789abcdef";
  uint64_t state = seed;
  uint64_t bits = SplitMix(&state);
  std::string key;
  for (int i = 0; i < 16; ++i, bits >>= 4) key += kDigits[bits & 0xF];
  return key;
}

bool WritePseudoRandomFile(const std::string& path, int64_t size, uint64_t seed, int64_t mtimeMs) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  Fd file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.Get() < 0) return false;
  constexpr size_t kBlock = 1 << 20;
  std::unique_ptr<uint64_t[]> block(new uint64_t[kBlock / 8]);
  uint64_t state = seed * 0x2545F4914F6CDD1Dull + 1;
  for (int64_t done = 0; done < size;) {
    for (size_t i = 0; i < kBlock / 8; ++i) block[i] = SplitMix(&state);
    const size_t count = static_cast<size_t>(std::min<int64_t>(kBlock, size - done));
    const char* pData = reinterpret_cast<const char*>(block.get());
    for (size_t written = 0; written < count;) {
      const ssize_t n = write(file.Get(), pData + written, count - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      written += static_cast<size_t>(n);
    }
    done += static_cast<int64_t>(count);
  }
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(mtimeMs / 1000);
  times[1].tv_nsec = static_cast<long>(mtimeMs % 1000) * 1000000;
  return futimens(file.Get(), times) == 0;
}

std::string Sha256OfFile(const std::string& path) {
  Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) return {};
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return {};
  std::unique_ptr<char[]> buffer(new char[1 << 20]);
  for (;;) {
    size_t got = 0;
    if (!ReadFully(file.Get(), buffer.get(), 1 << 20, &got)) return {};
    if (got == 0) break;
    EVP_DigestUpdate(context.get(), buffer.get(), got);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return {};
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0xF];
  }
  return hex;
}

bool SameContent(const std::string& pathA, const std::string& pathB) {
  Fd a(open(pathA.c_str(), O_RDONLY | O_CLOEXEC));
  Fd b(open(pathB.c_str(), O_RDONLY | O_CLOEXEC));
  if (a.Get() < 0 || b.Get() < 0) return false;
  constexpr size_t kBlock = 1 << 20;
  std::unique_ptr<char[]> bufferA(new char[kBlock]);
  std::unique_ptr<char[]> bufferB(new char[kBlock]);
  for (;;) {
    size_t gotA = 0;
    size_t gotB = 0;
    if (!ReadFully(a.Get(), bufferA.get(), kBlock, &gotA) ||
        !ReadFully(b.Get(), bufferB.get(), kBlock, &gotB) || gotA != gotB ||
        std::memcmp(bufferA.get(), bufferB.get(), gotA) != 0) {
      return false;
    }
    if (gotA == 0) return true;
  }
}

int64_t FileSize(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return -1;
  return info.st_size;
}

int64_t MtimeMs(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

std::vector<std::string> ListFiles(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error)) {
      files.push_back(it->path().lexically_relative(folder).generic_string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool LinkOrCopy(const std::string& from, const std::string& to) {
  if (link(from.c_str(), to.c_str()) == 0) return true;
  std::error_code error;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
  return !error;
}

}  // namespace uploads_e2e
