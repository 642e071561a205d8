#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Common/ThreadAnnotations.h"
#include "Orbalyn/Interface/IOrbalyn.h"

// The upload assistant's work: names each received file
// <work dir>\<phone name>\<album>[\<sub-path>]\<file name>, creating the folders, skips a file
// already there (same size and last-write time to the millisecond), and numbers the name
// "%s(%d)%s" while it is taken. The program holds one behind CUploadAssist; the test hosts and
// the tests build their own, each with its own folder.
//
// The phone's folder is backup_folder::PhoneFolder, the one the photo page shows; every other
// phone-given part is cleaned on its own (backup_folder::CleanName), the sub-path keeping its
// folders, and no link below the work dir is followed, so nothing a phone sends leads
// outside the work dir. A name is taken by another file, a link or folder, a name handed out for
// an upload that has not ended, or a file at its partial path (".pdl") that is not a partial
// file of this very file; one that is, is free: the upload resumes in it. ".pdl" belongs to the
// partial files: a phone's file whose name ends so (in any letter case) gets "_" appended. The
// rules about partial files that the library shares are in Orbalyn/Interface/UploadFiles.h.
//
// Lifetime: owned by whoever built it; AddRef and Release do nothing (the uploader's reference
//   costs nothing), so it must outlive its registration with the uploader.
// Threading: QuerySavePath and OnUploadEnd run on the library's upload thread, one call at a
//   time. SetWorkDir and TakeFinalPath run on the UI thread meanwhile: m_workDirLock guards the
//   work dir, which a question copies once. m_jobsLock guards the jobs and the final paths;
//   neither lock is held across file-system calls.
class CUploadAssistCore : public IOrbalynUploadAssist {
 public:
  // The device store, asked at each question; null when there is none.
  using StoreGetter = std::function<IOrbalynDB*()>;

  // Room kept in a file name for "(n)", ".pdl" and the "_" a ".pdl" name gets.
  static constexpr size_t kFileNameReserve = 16;
  // Numbered names tried before giving up.
  static constexpr int kMaxNumber = 10000;

  CUploadAssistCore(const std::u16string& workDir, StoreGetter getStore);
  CUploadAssistCore(const CUploadAssistCore&) = delete;
  CUploadAssistCore& operator=(const CUploadAssistCore&) = delete;
  virtual ~CUploadAssistCore();

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynUploadAssist:
  win32::HRESULT STDMETHODCALLTYPE QuerySavePath(IOrbalynMessage* pMessage,
                                                 win32::BSTR* pSavePath) override;
  win32::HRESULT STDMETHODCALLTYPE OnUploadEnd(int fileId, win32::BSTR savePath,
                                               win32::HRESULT error) override;

  // Where the file of `fileId` was stored, as its upload's end reported it: the name handed
  // out, or the numbered one the library took when another file got that name meanwhile. Empty
  // when no end with that path is known. The entry goes with the call.
  std::u16string TakeFinalPath(int32_t fileId);

  // Files asked about later go under the new folder (null: none); those asked about before keep
  // their paths.
  void SetWorkDir(const win32::WCHAR* pFolder);

  // Tests only.
  size_t JobCountForTesting();

 private:
  // One file asked about, from the upload-begin record.
  struct UploadJob {
    // Fills the fields from the message's payload; error 13 when there is none or it is not a
    // complete record.
    void ParsePayload(IOrbalynMessage* pMessage);
    // 1: nothing at `candidate`; 0: this very file is there; -1: taken, or a failure with the
    // error set.
    int CompareExisting(const std::u16string& candidate);

    int32_t fileId = 0;
    int64_t deviceId = 0;
    std::string devicePath;
    std::string deviceSubPath;
    std::string albumName;
    std::string location;
    int64_t timeStamp = 0;
    int64_t size = 0;
    int64_t checksum = 0;
    int32_t error = 0;
    std::u16string savePath;
  };

  // 1: use the job's save path; 0: the same file is there; -1: failure (the job's error, if
  // any, says why).
  int ResolveSavePath(UploadJob* pJob);
  // The phone's folder, then below it the album (an empty one adds only its separator) and the
  // sub-path's folders, each made when missing and none of them a link. The folder with a
  // separator after it, or empty with the job's error set.
  std::u16string MakeFolders(const std::u16string& phoneFolder,
                             const std::vector<std::u16string>& segments, UploadJob* pJob);
  // One folder of those: made when missing; false, with the job's error set, when it is a link
  // or not a folder or cannot be made.
  bool MakeFolder(const std::u16string& folder, UploadJob* pJob);
  int MakeUniqueName(const std::u16string& folder, const std::u16string& fileName, UploadJob* pJob);
  // 1 when no other upload holds the name and no partial file of another file keeps it.
  int TestCandidate(const std::u16string& candidate, UploadJob* pJob);
  bool IsHeldByOtherJob(const std::u16string& path, int32_t fileId);
  std::u16string WorkDir();

  // Set in the constructor, then constant.
  const StoreGetter m_getStore;

  std::mutex m_workDirLock;
  std::u16string m_workDir GUARDED_BY(m_workDirLock);

  std::mutex m_jobsLock;
  // File id -> the upload a save path was handed out for, until its end is reported.
  std::map<int32_t, std::unique_ptr<UploadJob>> m_jobs GUARDED_BY(m_jobsLock);
  // File id -> the path a file that arrived was stored under, from its end until the main window
  // takes it for the photo page.
  std::map<int32_t, std::u16string> m_finalPaths GUARDED_BY(m_jobsLock);
};
