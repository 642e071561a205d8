#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Orbalyn/Interface/IOrbalyn.h"

// The upload assistant of the test host and the tests: names each received file
// <backup folder>\<phone name>\<album>[\<sub-path>]\<file name>, creating the folders, skips a
// file already there (same size and last-write time), and numbers the name "%s(%d)%s" while it
// is taken. Every phone-given part is cleaned on its own, so nothing the phone sends can leave
// the backup folder or pass through a symbolic link.
// A name is taken by another file, by a name handed out for an upload that has not ended, or
// by a file at its partial path (".pdl") that is not a partial file of this very file; one that
// is, is not taken: the upload resumes in it. ".pdl" belongs to the partial files: a phone's
// file whose name ends so (in any letter case) gets "_" appended. NULs and bidirectional
// controls are dropped from every phone-given name. The rules about partial files and names
// that the library shares are in Orbalyn/Interface/UploadFiles.h.
// Lifetime: counted, starting at 1 for the creator; the last Release frees it. The uploader
//   holds one reference while the assistant is registered.
// Threading: QuerySavePath and OnUploadEnd run on the library's upload thread; the setters and
//   the test accessors run anywhere. m_lock guards every field and is held for a whole call.
class CUploadAssist final : public IOrbalynUploadAssist {
 public:
  // Longest name of one folder or file in UTF-8 bytes (the file systems' limit).
  static constexpr size_t kMaxSegmentBytes = 255;
  // Room kept in a file name for "(n)", ".pdl" and the "_" a ".pdl" name gets.
  static constexpr size_t kFileNameReserve = 16;
  // Numbered names tried before giving up.
  static constexpr int kMaxNumber = 10000;

  struct UploadEnd {
    int fileId;
    std::u16string savePath;
    win32::HRESULT error;
  };

  // pDb (optional, not counted: the store is static) supplies the phones' display names.
  CUploadAssist(const std::u16string& workDir, IOrbalynDB* pDb);
  CUploadAssist(const CUploadAssist&) = delete;
  CUploadAssist& operator=(const CUploadAssist&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynUploadAssist:
  win32::HRESULT STDMETHODCALLTYPE QuerySavePath(IOrbalynMessage* pMessage,
                                                 win32::BSTR* pSavePath) override;
  win32::HRESULT STDMETHODCALLTYPE OnUploadEnd(int fileId, win32::BSTR savePath,
                                               win32::HRESULT error) override;

  // Files asked about later go under the new folder.
  void SetWorkDir(const std::u16string& workDir);
  // A display name given by the host, used instead of the store's.
  void SetDeviceName(int64_t deviceId, const std::u16string& name);

  // Every OnUploadEnd call so far, oldest first.
  std::vector<UploadEnd> Ends();
  // Waits until at least `count` OnUploadEnd calls were made.
  bool WaitForEnds(size_t count, std::chrono::milliseconds timeout);
  size_t JobCount();
  win32::ULONG References() const { return m_refCount.load(); }

  // One phone-given name cleaned to a single folder or file name; empty when nothing usable is
  // left. It is first cut to its byte limit less `reserve` (kept free for what a caller
  // appends), in one pass; then NULs and bidirectional controls go and forbidden characters
  // become "_".
  static std::u16string SanitizeSegment(const std::u16string& name, size_t reserve);

 private:
  struct Job {
    int64_t deviceId = 0;
    int64_t size = 0;
    int64_t timeStamp = 0;
    int64_t scrc64 = 0;
    std::u16string savePath;
  };

  enum class Answer { kUse, kSame, kFail };

  ~CUploadAssist();

  std::u16string DeviceNameLocked(int64_t deviceId);
  // Creates each folder below the backup folder, refusing links. The full folder, or empty with
  // *pError set.
  std::u16string MakeFolderLocked(const std::vector<std::u16string>& segments,
                                  win32::DWORD* pError);
  Answer PickNameLocked(const std::u16string& folder, const std::u16string& fileName,
                        const Job& job, std::u16string* pSavePath, win32::DWORD* pError);
  Answer TestCandidateLocked(const std::u16string& candidate, const Job& job, win32::DWORD* pError);
  bool IsHeldByJobLocked(const std::u16string& path);

  std::atomic<win32::ULONG> m_refCount{1};

  std::mutex m_lock;
  std::condition_variable m_endsChanged;
  std::u16string m_workDir;
  IOrbalynDB* const m_pDb;
  std::map<int64_t, std::u16string> m_deviceNames;
  // File id -> the upload a path was handed out for.
  std::map<int, Job> m_jobs;
  std::vector<UploadEnd> m_ends;
};
