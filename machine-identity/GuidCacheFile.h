#pragma once
// The machine-id cache "GlobalMgr.db" in "<application data>\Corvane\Hearthsync", shared with the
// maker's other products: section "Profile", keys config1 (GUID) to config5 (version mark).

#include <cstdint>
#include <string>

#include "win32/base.h"

namespace ZyMacID {

// MD5 texts (32 lowercase hex digits) of the three inputs; disk and processor are empty when
// that input could not be read.
struct CacheHashes {
  std::string address;
  std::string disk;
  std::string processor;
};

// What a cache file holds.
struct CacheValues {
  std::string config1;
  std::string config2;
  std::string config3;
  std::string config4;
  int config5 = 0;
};

struct CacheVerdict {
  bool valid = false;
  bool raiseProcessor = false;  // the processor text must join the derivation
  uint8_t guid[16] = {};        // config1, when valid
};

// One open of the cache for one derivation.
// Lifetime: Open takes an exclusive lock on the file that Close (or the destructor) releases.
// Other processes and the other image in this process that derive at the same time wait for it,
// so nobody reads the file while another rewrites it.
// Threading: one thread.
class CGuidCacheFile {
 public:
  CGuidCacheFile();
  CGuidCacheFile(const CGuidCacheFile&) = delete;
  CGuidCacheFile& operator=(const CGuidCacheFile&) = delete;
  ~CGuidCacheFile();

  // Creates the folders, opens or creates the file and locks it. False: there is no cache.
  bool Open();
  // The file held data from an earlier writer when it was locked.
  bool Existed() const { return m_existed; }
  const std::string& Path() const { return m_path; }

  CacheValues Read() const;
  // Writes "[Profile]" and the five keys, replacing whatever the file held.
  bool Rewrite(const uint8_t guid[16], const CacheHashes& hashes);
  void Close();

  // The validation rules, independent of any file. diskOk/brandOk: which inputs were read now.
  static CacheVerdict Validate(const CacheValues& values, const CacheHashes& hashes, bool diskOk,
                               bool brandOk);

 private:
  win32::HANDLE m_hFile;  // holds the lock; INVALID_HANDLE_VALUE when closed
  std::string m_path;
  bool m_existed = false;
};

}  // namespace ZyMacID
