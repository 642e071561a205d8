#include "UploadAssistCore.h"

#include <algorithm>
#include <utility>

#include "uimsg.pb.h"

#include "BackupFolder.h"
#include "Orbalyn/Interface/UploadFiles.h"
#include "win32/file.h"
#include "win32/oleauto.h"
#include "win32/strings.h"

using namespace win32;

namespace {

constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// A path with one kind of separator and none doubled, for telling whether two paths name one
// file: an empty album puts a doubled separator into a path the same file has without it.
std::u16string ComparableForm(const std::u16string& path) {
  std::u16string form;
  form.reserve(path.size());
  for (char16_t c : path) {
    if (IsSeparator(c)) {
      if (!form.empty() && form.back() == u'\\') continue;
      c = u'\\';
    }
    form += c;
  }
  return form;
}

// Whether a file name ends in the partial files' own suffix, in any letter case.
bool EndsAsPartial(const std::u16string& name) {
  const std::u16string_view suffix = upload_files::kPartialSuffix;
  if (name.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    char16_t c = name[name.size() - suffix.size() + i];
    if (c >= u'A' && c <= u'Z') c += u'a' - u'A';
    if (c != suffix[i]) return false;
  }
  return true;
}

// Whether the partial file at `path` is one the library may resume for the file of this size,
// time stamp and checksum: it carries a trailer of that very file. A trailer of another file
// keeps the name for that file's resume, and a file without a trailer is no partial file of ours
// at all (a phone's own file of that name, say), unless it is this file's, finished before the
// rename: either way the name is taken. An empty one holds no byte to trust (killed between its
// opening and its first trailer): whichever file comes under its name starts it again from 0.
bool IsPartialOfThisFile(const std::u16string& path, int64_t size, int64_t timeStamp,
                         int64_t checksum) {
  HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return false;
  bool mine = false;
  LARGE_INTEGER length;
  if (GetFileSizeEx(hFile, &length)) {
    LARGE_INTEGER at;
    at.QuadPart = std::max<int64_t>(0, length.QuadPart - upload_files::kTailBytes);
    std::vector<uint8_t> tail(static_cast<size_t>(length.QuadPart - at.QuadPart));
    DWORD read = 0;
    upload_files::Trailer trailer;
    const bool readAll =
        SetFilePointerEx(hFile, at, nullptr, FILE_BEGIN) &&
        ReadFile(hFile, tail.data(), static_cast<DWORD>(tail.size()), &read, nullptr) &&
        read == tail.size();
    if (readAll && upload_files::FindTrailer(tail.data(), tail.size(), at.QuadPart, &trailer)) {
      mine = upload_files::TrailerNames(trailer, size, timeStamp, checksum);
    } else {
      mine = readAll &&
             (length.QuadPart == 0 || upload_files::IsFinishedPartial(length.QuadPart, size));
    }
  }
  CloseHandle(hFile);
  return mine;
}

// FindFirstFileW on one name, closed at once. False with the last error when nothing is there.
bool FindOne(const std::u16string& path, WIN32_FIND_DATAW* pData) {
  HANDLE hFind = FindFirstFileW(path.c_str(), pData);
  if (hFind == INVALID_HANDLE_VALUE) return false;
  FindClose(hFind);
  return true;
}

}  // namespace

void CUploadAssistCore::UploadJob::ParsePayload(IOrbalynMessage* pMessage) {
  const BYTE* pData = nullptr;
  int length = 0;
  if (pMessage) pMessage->GetPayload(&pData, &length);
  protocol::UIUploadFileInfo info;
  if (!pData || length < 0 || !info.ParseFromArray(pData, length)) {
    error = ERROR_INVALID_DATA;
    return;
  }
  fileId = info.file_id();
  deviceId = info.device_id();
  devicePath = info.file_device_path();
  deviceSubPath = info.file_device_subpath();
  albumName = info.album_name();
  location = info.location();
  timeStamp = info.file_timestamp();
  size = info.file_size();
  checksum = info.file_scrc64();
  error = 0;
}

int CUploadAssistCore::UploadJob::CompareExisting(const std::u16string& candidate) {
  error = 0;
  WIN32_FIND_DATAW data;
  if (!FindOne(candidate, &data)) {
    const DWORD lastError = GetLastError();
    if (lastError == ERROR_FILE_NOT_FOUND) return 1;
    error = static_cast<int32_t>(lastError);
    return -1;
  }
  // A folder or a link holds the name: nothing is written into or through it.
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    return -1;
  }
  const int64_t fileSize =
      static_cast<int64_t>((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
  const int64_t lastWriteMs =
      (static_cast<int64_t>(FileTimeToUInt64(data.ftLastWriteTime)) - kFileTimeOf1970) / 10000;
  return fileSize == size && lastWriteMs == timeStamp ? 0 : -1;
}

CUploadAssistCore::CUploadAssistCore(const std::u16string& workDir, StoreGetter getStore)
    : m_getStore(std::move(getStore)), m_workDir(workDir) {}

CUploadAssistCore::~CUploadAssistCore() = default;

HRESULT CUploadAssistCore::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynUploadAssist) {
    *ppObject = nullptr;
    return E_NOINTERFACE;
  }
  *ppObject = static_cast<IOrbalynUploadAssist*>(this);
  return S_OK;
}

ULONG CUploadAssistCore::AddRef() { return 1; }

ULONG CUploadAssistCore::Release() { return 1; }

HRESULT CUploadAssistCore::QuerySavePath(IOrbalynMessage* pMessage, BSTR* pSavePath) {
  auto pJob = std::make_unique<UploadJob>();
  pJob->ParsePayload(pMessage);
  if (pJob->error != 0) return static_cast<HRESULT>(pJob->error);
  if (!pSavePath) return E_INVALIDARG;

  const int answer = ResolveSavePath(pJob.get());
  if (answer == 1) {
    *pSavePath = SysAllocString(pJob->savePath.c_str());
    std::lock_guard<std::mutex> lock(m_jobsLock);
    m_jobs[pJob->fileId] = std::move(pJob);
    return S_OK;
  }
  // An empty string, never null: the uploader skips the file, or sees the failure.
  *pSavePath = SysAllocString(u"");
  if (answer == 0) return S_OK;
  return pJob->error != 0 ? static_cast<HRESULT>(pJob->error) : E_FAIL;
}

HRESULT CUploadAssistCore::OnUploadEnd(int fileId, BSTR savePath, HRESULT error) {
  std::lock_guard<std::mutex> lock(m_jobsLock);
  if (m_jobs.erase(fileId) == 0) return E_FAIL;
  // Only the library knows the final name: its end comes before the result message, which
  // carries no path.
  if (error == S_OK && SysStringLen(savePath) > 0) {
    m_finalPaths[fileId].assign(savePath, SysStringLen(savePath));
  } else {
    m_finalPaths.erase(fileId);
  }
  return S_OK;
}

std::u16string CUploadAssistCore::TakeFinalPath(int32_t fileId) {
  std::lock_guard<std::mutex> lock(m_jobsLock);
  auto it = m_finalPaths.find(fileId);
  if (it == m_finalPaths.end()) return std::u16string();
  std::u16string path = std::move(it->second);
  m_finalPaths.erase(it);
  return path;
}

void CUploadAssistCore::SetWorkDir(const WCHAR* pFolder) {
  std::lock_guard<std::mutex> lock(m_workDirLock);
  m_workDir = pFolder ? pFolder : u"";
}

size_t CUploadAssistCore::JobCountForTesting() {
  std::lock_guard<std::mutex> lock(m_jobsLock);
  return m_jobs.size();
}

int CUploadAssistCore::ResolveSavePath(UploadJob* pJob) {
  IOrbalynDB* pDb = m_getStore ? m_getStore() : nullptr;
  if (!pDb) return -1;
  IOrbalynDevice* pDevice = nullptr;
  if (pDb->FindDevice(pJob->deviceId, &pDevice) != S_OK || !pDevice) return -1;
  BSTR name = nullptr;
  std::u16string deviceName;
  if (pDevice->GetName(&name) == S_OK && name) deviceName.assign(name, SysStringLen(name));
  SysFreeString(name);
  pDevice->Release();
  if (backup_folder::PhoneFolderName(deviceName).empty()) return -1;

  const std::u16string albumName = Utf8ToUtf16(pJob->albumName);
  const std::u16string devicePath = Utf8ToUtf16(pJob->devicePath);
  const std::u16string deviceSubPath = Utf8ToUtf16(pJob->deviceSubPath);
  if (devicePath.empty()) return -1;

  size_t cut = devicePath.find_last_of(u'/');
  if (cut == std::u16string::npos) cut = devicePath.find_last_of(u'\\');
  std::u16string fileName = backup_folder::CleanName(
      cut == std::u16string::npos ? std::u16string_view(devicePath)
                                  : std::u16string_view(devicePath).substr(cut + 1),
      kFileNameReserve);
  if (fileName.empty()) return -1;
  // ".pdl" is the partial files' own suffix: no phone's file may pass for one, or be taken for
  // one and cut or resumed.
  if (EndsAsPartial(fileName)) fileName += u'_';

  // An empty or relative work dir would put the files wherever the process happens to be.
  const std::u16string workDir = WorkDir();
  if (!backup_folder::IsAbsolute(workDir)) {
    pJob->error = ERROR_PATH_NOT_FOUND;
    return -1;
  }
  if (!backup_folder::CreateDirectoryTree(workDir)) {
    pJob->error = static_cast<int32_t>(GetLastError());
    return -1;
  }
  // The photo page shows the phone the same folder. The file system's root is no backup folder
  // (a drive's root "D:\" is).
  const std::u16string phoneFolder = backup_folder::PhoneFolder(workDir, deviceName);
  if (phoneFolder.empty()) {
    pJob->error = ERROR_ACCESS_DENIED;
    return -1;
  }
  std::vector<std::u16string> segments = {backup_folder::CleanName(albumName, 0)};
  // The sub-path keeps its folders; each of them is cleaned on its own, and what cleans to
  // nothing ("..", ".", an empty part) is left out.
  size_t start = 0;
  while (start <= deviceSubPath.size()) {
    size_t end = start;
    while (end < deviceSubPath.size() && !IsSeparator(deviceSubPath[end])) ++end;
    std::u16string segment =
        backup_folder::CleanName(std::u16string_view(deviceSubPath).substr(start, end - start), 0);
    if (!segment.empty()) segments.push_back(std::move(segment));
    start = end + 1;
  }
  const std::u16string folder = MakeFolders(phoneFolder, segments, pJob);
  if (folder.empty()) return -1;
  return MakeUniqueName(folder, fileName, pJob);
}

std::u16string CUploadAssistCore::MakeFolders(const std::u16string& phoneFolder,
                                              const std::vector<std::u16string>& segments,
                                              UploadJob* pJob) {
  std::u16string folder = phoneFolder;
  if (!MakeFolder(folder, pJob)) return std::u16string();
  for (const std::u16string& segment : segments) {
    folder += u'\\';
    if (segment.empty()) continue;
    folder += segment;
    if (!MakeFolder(folder, pJob)) return std::u16string();
  }
  return folder + u'\\';
}

bool CUploadAssistCore::MakeFolder(const std::u16string& folder, UploadJob* pJob) {
  // The work dir is the user's choice and may itself be a link; below it nothing may be, so no
  // phone-given name leads outside.
  DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      pJob->error = static_cast<int32_t>(GetLastError());
      return false;
    }
    attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      pJob->error = static_cast<int32_t>(GetLastError());
      return false;
    }
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    pJob->error = ERROR_ACCESS_DENIED;
    return false;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    pJob->error = ERROR_ALREADY_EXISTS;
    return false;
  }
  return true;
}

int CUploadAssistCore::MakeUniqueName(const std::u16string& folder, const std::u16string& fileName,
                                      UploadJob* pJob) {
  const std::u16string path = folder + fileName;
  // Bounded: a folder full of taken names gives up. A failure other than "not there" would
  // repeat for every name in the folder, so the first one ends the search with its error.
  for (int n = 0; n <= kMaxNumber; ++n) {
    const std::u16string candidate = n == 0 ? path : upload_files::NumberedName(path, n);
    const int answer = TestCandidate(candidate, pJob);
    if (answer == 1) pJob->savePath = candidate;
    if (answer != -1 || pJob->error != 0) return answer;
  }
  return -1;
}

int CUploadAssistCore::TestCandidate(const std::u16string& candidate, UploadJob* pJob) {
  pJob->error = 0;
  if (IsHeldByOtherJob(candidate, pJob->fileId)) return -1;
  const int answer = pJob->CompareExisting(candidate);
  if (answer != 1) return answer;
  // The name is free on disk; a partial file there keeps it unless it is this file's.
  const std::u16string partial = candidate + upload_files::kPartialSuffix;
  WIN32_FIND_DATAW data;
  if (!FindOne(partial, &data)) {
    const DWORD lastError = GetLastError();
    if (lastError == ERROR_FILE_NOT_FOUND) return 1;
    pJob->error = static_cast<int32_t>(lastError);
    return -1;
  }
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    return -1;
  }
  return IsPartialOfThisFile(partial, pJob->size, pJob->timeStamp, pJob->checksum) ? 1 : -1;
}

// A job of the same file id does not hold the name: a new question for that id replaces it.
bool CUploadAssistCore::IsHeldByOtherJob(const std::u16string& path, int32_t fileId) {
  const std::u16string form = ComparableForm(path);
  std::lock_guard<std::mutex> lock(m_jobsLock);
  for (const auto& [jobFileId, pJob] : m_jobs) {
    if (jobFileId != fileId && PathsEqual(ComparableForm(pJob->savePath).c_str(), form.c_str())) {
      return true;
    }
  }
  return false;
}

std::u16string CUploadAssistCore::WorkDir() {
  std::lock_guard<std::mutex> lock(m_workDirLock);
  return m_workDir;
}
