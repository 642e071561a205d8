#include "UploadAssist.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "uimsg.pb.h"
#include "win32/file.h"
#include "win32/oleauto.h"
#include "win32/shell.h"
#include "win32/strings.h"

using namespace win32;

namespace {

constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;
constexpr uint32_t kTrailerSize = 36;
constexpr uint32_t kTrailerMagic = 0x66757274;  // "truf"
// An extension longer than this is not worth keeping when a name must be shortened.
constexpr size_t kMaxKeptExtensionBytes = 32;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Characters that cannot stand in a Windows name, separators and control characters.
bool IsForbidden(char16_t c) {
  return c < 0x20 || c == 0x7F || IsSeparator(c) || c == u':' || c == u'*' || c == u'?' ||
         c == u'"' || c == u'<' || c == u'>' || c == u'|';
}

size_t Utf8Length(const std::u16string& text) { return Utf16ToUtf8(text).size(); }

// Drops trailing UTF-16 units (never half a surrogate pair) until the UTF-8 form fits.
std::u16string CutToBytes(std::u16string text, size_t maxBytes) {
  while (!text.empty() && Utf8Length(text) > maxBytes) {
    text.pop_back();
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
  }
  return text;
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

uint64_t GetLe64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

enum class PartialOwner { kThisFile, kOtherFile, kNobody };

// Whose partial file is at `path`. It belongs to the file described by size, time stamp and
// checksum when its trailer names that file with fewer bytes than the whole, or when it is that
// file complete with its time already set (the rename into place did not happen). A well-formed
// trailer naming another file keeps the name for that file's resume. Without a well-formed
// trailer (torn by a crash mid-write) nobody can resume it and the library starts it afresh, so
// the name is free: taking another name would strand the torn file forever.
PartialOwner OwnerOfPartial(const std::u16string& path, int64_t size, int64_t timeStamp,
                            int64_t scrc64) {
  HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return PartialOwner::kOtherFile;
  PartialOwner owner = PartialOwner::kNobody;
  LARGE_INTEGER length;
  FILETIME lastWrite;
  if (GetFileSizeEx(hFile, &length)) {
    if (length.QuadPart > static_cast<int64_t>(kTrailerSize)) {
      const int64_t held = length.QuadPart - kTrailerSize;
      uint8_t trailer[kTrailerSize];
      DWORD read = 0;
      LARGE_INTEGER at;
      at.QuadPart = held;
      if (SetFilePointerEx(hFile, at, nullptr, FILE_BEGIN) &&
          ReadFile(hFile, trailer, kTrailerSize, &read, nullptr) && read == kTrailerSize) {
        uint32_t magic = 0;
        for (int i = 3; i >= 0; --i) magic = (magic << 8) | trailer[32 + i];
        const uint64_t trailerSize = GetLe64(trailer);
        const uint64_t trailerHeld = GetLe64(trailer + 16);
        const uint64_t trailerScrc = GetLe64(trailer + 24);
        if (magic == kTrailerMagic && trailerHeld == static_cast<uint64_t>(held) &&
            trailerHeld < trailerSize) {
          const bool mine =
              trailerSize == static_cast<uint64_t>(size) &&
              GetLe64(trailer + 8) == static_cast<uint64_t>(timeStamp) &&
              (scrc64 == 0 || trailerScrc == 0 || trailerScrc == static_cast<uint64_t>(scrc64));
          owner = mine ? PartialOwner::kThisFile : PartialOwner::kOtherFile;
        }
      }
    }
    if (owner == PartialOwner::kNobody && length.QuadPart == size &&
        GetFileTime(hFile, nullptr, nullptr, &lastWrite) &&
        MsFromFileTime(lastWrite) == timeStamp) {
      owner = PartialOwner::kThisFile;
    }
  }
  CloseHandle(hFile);
  return owner;
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
    const std::u16string fileName = SanitizeSegment(
        cut == std::u16string::npos ? devicePath : devicePath.substr(cut + 1), kFileNameReserve);
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
  std::u16string clean = name;
  for (char16_t& c : clean) {
    if (IsForbidden(c)) c = u'_';
  }
  if (clean == u"." || clean == u"..") return std::u16string();
  const size_t limit = kMaxSegmentBytes - reserve;
  if (Utf8Length(clean) <= limit) return clean;
  // Too long: the stem is shortened and a short extension kept.
  size_t dot = clean.find_last_of(u'.');
  std::u16string extension;
  if (dot != std::u16string::npos && dot > 0) {
    extension = clean.substr(dot);
    if (Utf8Length(extension) > kMaxKeptExtensionBytes)
      extension.clear();
    else
      clean.resize(dot);
  }
  clean = CutToBytes(clean, limit - Utf8Length(extension)) + extension;
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
  std::u16string stem = fileName;
  std::u16string extension;
  size_t dot = fileName.find_last_of(u'.');
  if (dot != std::u16string::npos) {
    stem = fileName.substr(0, dot);
    extension = fileName.substr(dot);
  }
  for (int n = 0; n <= kMaxNumber; ++n) {
    std::u16string candidate =
        n == 0 ? folder + fileName
               : folder + FormatW(u"%s(%d)%s", stem.c_str(), n, extension.c_str());
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
  const std::u16string partial = candidate + u".pdl";
  if (lstat(PosixOf(partial).c_str(), &st) != 0) return Answer::kUse;
  // A partial file of another upload keeps its name; one of this file is resumed.
  if (!S_ISREG(st.st_mode)) return Answer::kFail;
  return OwnerOfPartial(partial, job.size, job.timeStamp, job.scrc64) == PartialOwner::kOtherFile
             ? Answer::kFail
             : Answer::kUse;
}

bool CUploadAssist::IsHeldByJobLocked(const std::u16string& path) {
  for (const auto& [fileId, job] : m_jobs) {
    if (PathsEqual(job.savePath.c_str(), path.c_str())) return true;
  }
  return false;
}
