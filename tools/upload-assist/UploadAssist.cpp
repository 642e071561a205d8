#include "UploadAssist.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "uimsg.pb.h"

#include "Orbalyn/Interface/UploadFiles.h"
#include "win32/file.h"
#include "win32/oleauto.h"
#include "win32/shell.h"
#include "win32/strings.h"

using namespace win32;

namespace {

constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;
// An extension longer than this is not worth keeping when a name must be shortened.
constexpr size_t kMaxKeptExtensionBytes = 32;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Characters that cannot stand in a Windows name, separators and control characters.
bool IsForbidden(char16_t c) {
  return c < 0x20 || c == 0x7F || IsSeparator(c) || c == u':' || c == u'*' || c == u'?' ||
         c == u'"' || c == u'<' || c == u'>' || c == u'|';
}

// UTF-8 bytes of one UTF-16 unit; a surrogate pair counts 4 on its first unit, 0 on its second.
size_t Utf8Bytes(char16_t c, char16_t next) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) return 4;
  if (c >= 0xDC00 && c <= 0xDFFF) return 0;
  return 3;
}

size_t Utf8Length(std::u16string_view text) {
  size_t bytes = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    bytes += Utf8Bytes(text[i], i + 1 < text.size() ? text[i + 1] : 0);
  }
  return bytes;
}

// The longest start of `text` whose UTF-8 form fits, in one pass; never half a surrogate pair.
std::u16string_view CutToBytes(std::u16string_view text, size_t maxBytes) {
  size_t bytes = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char16_t next = i + 1 < text.size() ? text[i + 1] : 0;
    const size_t unit = Utf8Bytes(text[i], next);
    const size_t units = unit == 4 ? 2 : 1;
    if (bytes + unit > maxBytes) break;
    bytes += unit;
    i += units;
  }
  return text.substr(0, i);
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

// The layer has no attribute for symbolic links, so they are looked for with the system call,
// on the POSIX form of the path the layer would use.
std::string PosixOf(const std::u16string& windowsPath) {
  std::u16string path = windowsPath;
  if (path.size() >= 2 && path[1] == u':') path.erase(0, 2);
  std::string posix = Utf16ToUtf8(path);
  for (char& c : posix) {
    if (c == '\\') c = '/';
  }
  return posix;
}

int64_t MsFromFileTime(const FILETIME& fileTime) {
  return (static_cast<int64_t>(FileTimeToUInt64(fileTime)) - kFileTimeOf1970) / 10000;
}

// Whether the partial file at `path` is one the library may resume for the file described by
// size, time stamp and checksum: it carries a trailer of that very file. A trailer of another
// file keeps the name for that file's resume, and a file without a trailer is no partial file
// of ours at all (a phone's own file of that name, say): either way the name is taken.
bool IsPartialOfThisFile(const std::u16string& path, int64_t size, int64_t timeStamp,
                         int64_t scrc64) {
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
    mine = SetFilePointerEx(hFile, at, nullptr, FILE_BEGIN) &&
           ReadFile(hFile, tail.data(), static_cast<DWORD>(tail.size()), &read, nullptr) &&
           read == tail.size() &&
           upload_files::FindTrailer(tail.data(), tail.size(), at.QuadPart, &trailer) &&
           upload_files::TrailerNames(trailer, size, timeStamp, scrc64);
  }
  CloseHandle(hFile);
  return mine;
}

}  // namespace

CUploadAssist::CUploadAssist(const std::u16string& workDir, IOrbalynDB* pDb)
    : m_workDir(workDir), m_pDb(pDb) {}

CUploadAssist::~CUploadAssist() = default;

HRESULT CUploadAssist::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynUploadAssist) {
    *ppObject = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  *ppObject = static_cast<IOrbalynUploadAssist*>(this);
  return S_OK;
}

ULONG CUploadAssist::AddRef() { return ++m_refCount; }

ULONG CUploadAssist::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CUploadAssist::QuerySavePath(IOrbalynMessage* pMessage, BSTR* pSavePath) {
  const BYTE* pData = nullptr;
  int length = 0;
  if (pMessage) pMessage->GetPayload(&pData, &length);
  protocol::UIUploadFileInfo info;
  if (!pData || length < 0 || !info.ParseFromArray(pData, length)) return ERROR_INVALID_DATA;
  if (!pSavePath) return E_INVALIDARG;

  Job job;
  job.deviceId = info.device_id();
  job.size = info.file_size();
  job.timeStamp = info.file_timestamp();
  job.scrc64 = info.file_scrc64();

  std::lock_guard<std::mutex> lock(m_lock);
  DWORD error = 0;
  Answer answer = Answer::kFail;
  const std::u16string deviceName = SanitizeSegment(DeviceNameLocked(job.deviceId), 0);
  const std::u16string devicePath = Utf8ToUtf16(info.file_device_path());
  if (!deviceName.empty() && !devicePath.empty()) {
    size_t cut = devicePath.find_last_of(u'/');
    if (cut == std::u16string::npos) cut = devicePath.find_last_of(u'\\');
    std::u16string fileName = SanitizeSegment(
        cut == std::u16string::npos ? devicePath : devicePath.substr(cut + 1), kFileNameReserve);
    // ".pdl" is the partial files' own suffix: no phone's file may pass for one, or be taken
    // for one and cut or resumed.
    if (EndsAsPartial(fileName)) fileName += u'_';
    std::vector<std::u16string> segments = {deviceName};
    std::u16string album = SanitizeSegment(Utf8ToUtf16(info.album_name()), 0);
    if (!album.empty()) segments.push_back(album);
    // The sub-path keeps its folders; each of them is cleaned on its own.
    const std::u16string subPath = Utf8ToUtf16(info.file_device_subpath());
    size_t start = 0;
    while (start <= subPath.size()) {
      size_t end = start;
      while (end < subPath.size() && !IsSeparator(subPath[end])) ++end;
      std::u16string segment = SanitizeSegment(subPath.substr(start, end - start), 0);
      if (!segment.empty()) segments.push_back(segment);
      start = end + 1;
    }
    if (!fileName.empty()) {
      const std::u16string folder = MakeFolderLocked(segments, &error);
      if (!folder.empty()) answer = PickNameLocked(folder, fileName, job, &job.savePath, &error);
    }
  }

  switch (answer) {
    case Answer::kUse:
      *pSavePath = SysAllocString(job.savePath.c_str());
      m_jobs[info.file_id()] = job;
      return S_OK;
    case Answer::kSame:
      *pSavePath = SysAllocString(u"");
      return S_OK;
    case Answer::kFail:
      break;
  }
  *pSavePath = SysAllocString(u"");
  return error != 0 ? static_cast<HRESULT>(error) : E_FAIL;
}

HRESULT CUploadAssist::OnUploadEnd(int fileId, BSTR savePath, HRESULT error) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_ends.push_back(
      UploadEnd{fileId, savePath ? std::u16string(savePath) : std::u16string(), error});
  m_endsChanged.notify_all();
  return m_jobs.erase(fileId) != 0 ? S_OK : E_FAIL;
}

void CUploadAssist::SetWorkDir(const std::u16string& workDir) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_workDir = workDir;
}

void CUploadAssist::SetDeviceName(int64_t deviceId, const std::u16string& name) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_deviceNames[deviceId] = name;
}

std::vector<CUploadAssist::UploadEnd> CUploadAssist::Ends() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_ends;
}

bool CUploadAssist::WaitForEnds(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_endsChanged.wait_for(lock, timeout, [&] { return m_ends.size() >= count; });
}

size_t CUploadAssist::JobCount() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_jobs.size();
}

std::u16string CUploadAssist::SanitizeSegment(const std::u16string& name, size_t reserve) {
  // Cut first, in one pass, so that a hostile length costs nothing further: the stem is
  // shortened and a short extension kept.
  const size_t limit = kMaxSegmentBytes - reserve;
  std::u16string clean = name;
  if (Utf8Length(name) > limit) {
    const std::u16string_view whole = name;
    size_t dot = whole.find_last_of(u'.');
    if (dot == std::u16string_view::npos || dot == 0 ||
        Utf8Length(whole.substr(dot)) > kMaxKeptExtensionBytes) {
      dot = whole.size();
    }
    const std::u16string_view extension = whole.substr(dot);
    clean = std::u16string(CutToBytes(whole.substr(0, dot), limit - Utf8Length(extension))) +
            std::u16string(extension);
  }
  std::erase_if(clean, upload_files::IsDroppedFromNames);
  for (char16_t& c : clean) {
    if (IsForbidden(c)) c = u'_';
  }
  if (clean == u"." || clean == u"..") return std::u16string();
  return clean;
}

std::u16string CUploadAssist::DeviceNameLocked(int64_t deviceId) {
  auto named = m_deviceNames.find(deviceId);
  if (named != m_deviceNames.end()) return named->second;
  if (!m_pDb) return std::u16string();
  IOrbalynDevice* pDevice = nullptr;
  if (m_pDb->FindDevice(deviceId, &pDevice) != S_OK || !pDevice) return std::u16string();
  BSTR name = nullptr;
  std::u16string result;
  if (pDevice->GetName(&name) == S_OK && name) result.assign(name, SysStringLen(name));
  SysFreeString(name);
  pDevice->Release();
  return result;
}

std::u16string CUploadAssist::MakeFolderLocked(const std::vector<std::u16string>& segments,
                                               DWORD* pError) {
  std::u16string folder = m_workDir;
  while (!folder.empty() && IsSeparator(folder.back())) folder.pop_back();
  if (folder.empty()) {
    *pError = ERROR_PATH_NOT_FOUND;
    return std::u16string();
  }
  int created = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  if (created != ERROR_SUCCESS && created != static_cast<int>(ERROR_ALREADY_EXISTS)) {
    *pError = static_cast<DWORD>(created);
    return std::u16string();
  }
  // The backup folder is the user's choice; below it, nothing may be a link, so no phone-given
  // name can lead outside.
  for (const std::u16string& segment : segments) {
    folder += u'\\';
    folder += segment;
    struct stat st;
    if (lstat(PosixOf(folder).c_str(), &st) != 0) {
      if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        *pError = GetLastError();
        return std::u16string();
      }
      if (lstat(PosixOf(folder).c_str(), &st) != 0) {
        *pError = ERROR_PATH_NOT_FOUND;
        return std::u16string();
      }
    }
    if (S_ISLNK(st.st_mode)) {
      *pError = ERROR_ACCESS_DENIED;
      return std::u16string();
    }
    if (!S_ISDIR(st.st_mode)) {
      *pError = ERROR_ALREADY_EXISTS;
      return std::u16string();
    }
  }
  return folder + u'\\';
}

CUploadAssist::Answer CUploadAssist::PickNameLocked(const std::u16string& folder,
                                                    const std::u16string& fileName, const Job& job,
                                                    std::u16string* pSavePath, DWORD* pError) {
  for (int n = 0; n <= kMaxNumber; ++n) {
    const std::u16string candidate =
        n == 0 ? folder + fileName : upload_files::NumberedName(folder + fileName, n);
    *pError = 0;
    Answer answer = TestCandidateLocked(candidate, job, pError);
    if (answer == Answer::kUse) *pSavePath = candidate;
    if (answer != Answer::kFail || *pError != 0) return answer;
  }
  *pError = ERROR_FILE_EXISTS;
  return Answer::kFail;
}

// kUse: free; kSame: this file is already there; kFail with *pError 0: taken, try the next
// name; kFail with an error: give up.
CUploadAssist::Answer CUploadAssist::TestCandidateLocked(const std::u16string& candidate,
                                                         const Job& job, DWORD* pError) {
  if (IsHeldByJobLocked(candidate)) return Answer::kFail;
  struct stat st;
  if (lstat(PosixOf(candidate).c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return Answer::kFail;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(candidate.c_str(), GetFileExInfoStandard, &data)) {
      *pError = GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_ACCESS_DENIED);
      return Answer::kFail;
    }
    const int64_t size =
        static_cast<int64_t>((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
    if (size == job.size && MsFromFileTime(data.ftLastWriteTime) == job.timeStamp) {
      return Answer::kSame;
    }
    return Answer::kFail;
  }
  if (errno != ENOENT) {
    *pError = errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
    return Answer::kFail;
  }
  const std::u16string partial = candidate + upload_files::kPartialSuffix;
  if (lstat(PosixOf(partial).c_str(), &st) != 0) return Answer::kUse;
  // A partial file of this file is resumed; anything else there keeps the name.
  if (!S_ISREG(st.st_mode)) return Answer::kFail;
  return IsPartialOfThisFile(partial, job.size, job.timeStamp, job.scrc64) ? Answer::kUse
                                                                           : Answer::kFail;
}

bool CUploadAssist::IsHeldByJobLocked(const std::u16string& path) {
  for (const auto& [fileId, job] : m_jobs) {
    if (PathsEqual(job.savePath.c_str(), path.c_str())) return true;
  }
  return false;
}
