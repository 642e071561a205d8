#include "Logic/FileItem.h"

#include <cinttypes>
#include <cstring>
#include <limits>

#include "NetEngine/DllLog.h"
#include "NetEngine/NetHelpers.h"
#include "win32/file.h"
#include "win32/time.h"

using namespace win32;

namespace {

// Milliseconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDeltaMs = 11644473600000LL;
constexpr int64_t kFileTimeUnitsPerMs = 10000;

// A failure whose last error is 0 must still end the file with an error.
DWORD LastErrorOr(DWORD fallback) {
  DWORD error = GetLastError();
  return error != 0 ? error : fallback;
}

void PutLe64(uint8_t* p, uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLe64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

uint32_t GetLe32(const uint8_t* p) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

bool SeekTo(HANDLE hFile, int64_t position) {
  LARGE_INTEGER distance;
  distance.QuadPart = position;
  return SetFilePointerEx(hFile, distance, nullptr, FILE_BEGIN) != FALSE;
}

}  // namespace

CFileUploadMgr::FileItem::FileItem(uint32_t fileId) : m_fileId(fileId) {}

CFileUploadMgr::FileItem::~FileItem() { CloseFile(); }

int32_t CFileUploadMgr::FileItem::AddRef() { return ++m_refCount; }

int32_t CFileUploadMgr::FileItem::Release() {
  int32_t count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

bool CFileUploadMgr::FileItem::Open() {
  if (m_error != 0 || !m_needUpload) return false;
  if (m_savePath.empty()) {
    m_error = ERROR_INVALID_DATA;
    return false;
  }
  m_partialPath = m_savePath + u".pdl";
  if (m_hFile == INVALID_HANDLE_VALUE) {
    // Sharing only reads: a second item naming the same partial file is refused (32) instead
    // of interleaving its bytes with this one's.
    m_hFile = CreateFileW(m_partialPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hFile == INVALID_HANDLE_VALUE) {
      m_error = LastErrorOr(ERROR_CANTOPEN);
      DLL_LOG("Open-->CreateFile failed: id=%u, error=%u, path=%s", m_fileId, m_error,
              WideToUtf8(m_partialPath).c_str());
      return false;
    }
  }
  if (!CheckResume()) return false;
  m_unflushed = 0;
  return true;
}

bool CFileUploadMgr::FileItem::CheckResume() {
  m_position = 0;
  m_positionAtOpen = 0;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(m_hFile, &size)) {
    m_error = LastErrorOr(ERROR_READ_FAULT);
    DLL_LOG("CheckResume-->GetFileSize failed: id=%u, error=%u", m_fileId, m_error);
    return false;
  }
  if (size.QuadPart > static_cast<int64_t>(kTrailerSize)) {
    const int64_t held = size.QuadPart - kTrailerSize;
    uint8_t trailer[kTrailerSize];
    DWORD read = 0;
    if (SeekTo(m_hFile, held) && ReadFile(m_hFile, trailer, kTrailerSize, &read, nullptr) &&
        read == kTrailerSize) {
      const uint64_t trailerSize = GetLe64(trailer);
      const uint64_t trailerTime = GetLe64(trailer + 8);
      const uint64_t trailerHeld = GetLe64(trailer + 16);
      const uint64_t trailerScrc = GetLe64(trailer + 24);
      const bool scrcFits =
          m_scrc64 == 0 || trailerScrc == 0 || trailerScrc == static_cast<uint64_t>(m_scrc64);
      // A trailer claiming the whole file (or more) would complete it with bytes this phone
      // never sent: only a strictly partial count is resumed.
      if (GetLe32(trailer + 32) == kTrailerMagic &&
          trailerSize == static_cast<uint64_t>(m_fileSize) &&
          trailerTime == static_cast<uint64_t>(m_timeStamp) &&
          trailerHeld == static_cast<uint64_t>(held) && scrcFits && held < m_fileSize) {
        m_position = held;
        m_positionAtOpen = held;
        return true;
      }
    }
  }
  if (size.QuadPart == 0) return true;
  // Old bytes of another file would otherwise stay behind ours, and every later resume would
  // find their trailer instead of ours.
  if (!SeekTo(m_hFile, 0) || !SetEndOfFile(m_hFile)) {
    m_error = LastErrorOr(ERROR_WRITE_FAULT);
    DLL_LOG("CheckResume-->SetEndOfFile failed: id=%u, error=%u", m_fileId, m_error);
    return false;
  }
  DLL_LOG("CheckResume: id=%u, partial file of %" PRId64 " bytes not resumable, cut to 0", m_fileId,
          static_cast<int64_t>(size.QuadPart));
  return true;
}

bool CFileUploadMgr::FileItem::Write(int64_t pos, size_t length, const uint8_t* pBytes) {
  if (m_error != 0) return false;
  if (pos < 0 || length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - pos) ||
      (length > 0 && !pBytes)) {
    DLL_LOG("File[id=%u, session=%d] Write refused: pos=%" PRId64 ", len=%zu", m_fileId,
            static_cast<int>(m_session), pos, length);
    m_error = ERROR_INVALID_DATA;
    return false;
  }
  int64_t end = pos + static_cast<int64_t>(length);
  if (pos != m_position) {
    DLL_LOG("File[id=%u, session=%d] Write pos not match: pos=%" PRId64 ", currentpos=%" PRId64 "!",
            m_fileId, static_cast<int>(m_session), pos, m_position);
    if (pos > m_position) {
      m_error = ERROR_INVALID_DATA;
      return false;
    }
    // A chunk sent again (its reply was lost): what is held already is not written twice.
    if (end <= m_position) return true;
  }
  if (end > m_fileSize) {
    DLL_LOG("File[id=%u, session=%d] Write error: pos=%" PRId64 ", size=%" PRId64 "!", m_fileId,
            static_cast<int>(m_session), end, m_fileSize);
    m_error = ERROR_INVALID_DATA;
    return false;
  }
  if (pos < m_position) {
    const int64_t skip = m_position - pos;
    pBytes += skip;
    length -= static_cast<size_t>(skip);
    pos = m_position;
  }
  if (length == 0) return true;
  if (m_hFile == INVALID_HANDLE_VALUE) {
    m_error = ERROR_INVALID_HANDLE;
    return false;
  }
  if (!SeekTo(m_hFile, pos)) {
    m_error = LastErrorOr(ERROR_WRITE_FAULT);
    DLL_LOG("SetFilePointer failed: id=%u, error=%u", m_fileId, m_error);
    return false;
  }
  // Data and trailer go out in one write: one system call less per chunk, and no moment at
  // which the data stands in the file without the trailer that counts it.
  const bool last = end == m_fileSize;
  const size_t total = length + (last ? 0 : kTrailerSize);
  const uint8_t* pOut = pBytes;
  if (!last) {
    if (m_writeBuffer.size() < total) m_writeBuffer.resize(total);
    if (length > 0) std::memcpy(m_writeBuffer.data(), pBytes, length);
    FillTrailer(end, m_writeBuffer.data() + length);
    pOut = m_writeBuffer.data();
  }
  DWORD written = 0;
  if (!WriteFile(m_hFile, pOut, static_cast<DWORD>(total), &written, nullptr) || written != total) {
    m_error = LastErrorOr(ERROR_WRITE_FAULT);
    DLL_LOG("WriteFile failed: id=%u, error=%u", m_fileId, m_error);
    return false;
  }
  m_position = end;
  if (last) return true;
  m_unflushed += static_cast<uint32_t>(total);
  if (m_unflushed > kFlushThreshold) {
    DLL_LOG("File[%u] flush %u bytes!", m_fileId, m_unflushed);
    FlushFileBuffers(m_hFile);
    m_unflushed = 0;
  }
  return true;
}

bool CFileUploadMgr::FileItem::OnUploadComplete() {
  if (m_hFile != INVALID_HANDLE_VALUE && m_error == 0 && m_position == m_fileSize) {
    if (!SeekTo(m_hFile, m_fileSize)) {
      m_error = LastErrorOr(ERROR_WRITE_FAULT);
      DLL_LOG("OnUploadComplete-->SetFilePointer failed: id=%u, error=%u", m_fileId, m_error);
    } else if (!SetEndOfFile(m_hFile)) {
      m_error = LastErrorOr(ERROR_WRITE_FAULT);
      DLL_LOG("OnUploadComplete-->SetEndOfFile failed: id=%u, error=%u", m_fileId, m_error);
    } else {
      FILETIME lastWrite;
      if (!TimeStampToFileTime(m_timeStamp, &lastWrite)) {
        DLL_LOG("OnUploadComplete: id=%u, time stamp %" PRId64 " out of range, time not set",
                m_fileId, m_timeStamp);
      } else if (!SetFileTime(m_hFile, nullptr, nullptr, &lastWrite)) {
        DLL_LOG("OnUploadComplete-->SetFileTime failed: id=%u, error=%u, time=%" PRId64, m_fileId,
                GetLastError(), m_timeStamp);
      }
      // The file must be whole on disk before its final name can be seen.
      if (!FlushFileBuffers(m_hFile)) {
        m_error = LastErrorOr(ERROR_WRITE_FAULT);
        DLL_LOG("OnUploadComplete-->FlushFileBuffers failed: id=%u, error=%u", m_fileId, m_error);
      }
    }
  }
  CloseFile();
  if (m_error != 0) {
    DLL_LOG("OnUploadComplete failed: id=%u, error=%u", m_fileId, m_error);
    return false;
  }
  // Never over an existing file: whatever holds the name now is not ours to replace.
  if (!MoveFileExW(m_partialPath.c_str(), m_savePath.c_str(), 0)) {
    DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
    if (error == ERROR_ALREADY_EXISTS && IsSameFileAtSavePath()) {
      DeleteFileW(m_partialPath.c_str());
      DLL_LOG("OnUploadComplete: id=%u, same file already at %s, partial file dropped", m_fileId,
              WideToUtf8(m_savePath).c_str());
      return true;
    }
    m_error = error;
    DLL_LOG("OnUploadComplete-->MoveFileEx failed: id=%u, error=%u", m_fileId, m_error);
    return false;
  }
  DLL_LOG("OnUploadComplete-->MoveFileEx success: id=%u, path=%s", m_fileId,
          WideToUtf8(m_savePath).c_str());
  return true;
}

bool CFileUploadMgr::FileItem::TimeStampToFileTime(int64_t timeStampMs, FILETIME* pFileTime) {
  if (timeStampMs < -kEpochDeltaMs ||
      timeStampMs > std::numeric_limits<int64_t>::max() / kFileTimeUnitsPerMs - kEpochDeltaMs) {
    return false;
  }
  const uint64_t units = static_cast<uint64_t>(timeStampMs + kEpochDeltaMs) * kFileTimeUnitsPerMs;
  if (units == 0) return false;  // a zero time means "leave as it is"
  *pFileTime = UInt64ToFileTime(units);
  return true;
}

void CFileUploadMgr::FileItem::FillTrailer(int64_t held, uint8_t* pTrailer) const {
  PutLe64(pTrailer, static_cast<uint64_t>(m_fileSize));
  PutLe64(pTrailer + 8, static_cast<uint64_t>(m_timeStamp));
  PutLe64(pTrailer + 16, static_cast<uint64_t>(held));
  PutLe64(pTrailer + 24, static_cast<uint64_t>(m_scrc64));
  PutLe32(pTrailer + 32, kTrailerMagic);
}

void CFileUploadMgr::FileItem::CloseFile() {
  if (m_hFile == INVALID_HANDLE_VALUE) return;
  CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
}

bool CFileUploadMgr::FileItem::IsSameFileAtSavePath() const {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(m_savePath.c_str(), GetFileExInfoStandard, &data)) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  const int64_t units = static_cast<int64_t>(FileTimeToUInt64(data.ftLastWriteTime));
  const int64_t ms = (units - kEpochDeltaMs * kFileTimeUnitsPerMs) / kFileTimeUnitsPerMs;
  return size == static_cast<uint64_t>(m_fileSize) && ms == m_timeStamp;
}
