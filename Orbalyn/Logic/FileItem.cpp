#include "Logic/FileItem.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <limits>

#include "Interface/UploadFiles.h"
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
  if (size.QuadPart > 0) {
    const int64_t tailOffset = std::max<int64_t>(0, size.QuadPart - upload_files::kTailBytes);
    std::vector<uint8_t> tail(static_cast<size_t>(size.QuadPart - tailOffset));
    DWORD read = 0;
    if (!SeekTo(m_hFile, tailOffset) ||
        !ReadFile(m_hFile, tail.data(), static_cast<DWORD>(tail.size()), &read, nullptr) ||
        read != tail.size()) {
      m_error = LastErrorOr(ERROR_READ_FAULT);
      DLL_LOG("CheckResume-->ReadFile failed: id=%u, error=%u", m_fileId, m_error);
      return false;
    }
    upload_files::Trailer trailer;
    const bool found = upload_files::FindTrailer(tail.data(), tail.size(), tailOffset, &trailer);
    if (!found && upload_files::IsFinishedPartial(size.QuadPart, m_fileSize)) {
      // Killed between the last chunk and the rename; its bytes are not trusted.
      DLL_LOG("CheckResume: id=%u, finished partial file without its name, cut to 0", m_fileId);
    } else if (!found) {
      // Not a partial file of ours: a file of its own that happens to carry the name. Its
      // bytes are not ours to cut or to build on.
      m_error = ERROR_FILE_EXISTS;
      DLL_LOG("CheckResume: id=%u, %" PRId64 " bytes without a trailer, left alone", m_fileId,
              static_cast<int64_t>(size.QuadPart));
      return false;
    } else if (upload_files::TrailerNames(trailer, m_fileSize, m_timeStamp, m_scrc64)) {
      m_position = trailer.held;
      m_positionAtOpen = trailer.held;
    } else {
      // A partial file of another file: its bytes would otherwise stay behind ours, and every
      // later resume would find its trailer instead of ours.
      DLL_LOG("CheckResume: id=%u, partial file of %" PRId64 " bytes not resumable, cut to 0",
              m_fileId, static_cast<int64_t>(size.QuadPart));
    }
  }
  if (m_fileSize == 0) return true;
  // The trailer that counts is written whole right behind the bytes held, and whatever a cut
  // short chunk left behind it goes, so the file is again data followed by one trailer.
  uint8_t trailer[kTrailerSize];
  FillTrailer(m_position, trailer);
  if (!WriteAt(m_position, trailer, kTrailerSize) || !SetEndOfFile(m_hFile)) {
    m_error = LastErrorOr(ERROR_WRITE_FAULT);
    DLL_LOG("CheckResume-->write trailer failed: id=%u, error=%u", m_fileId, m_error);
    return false;
  }
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
  const bool last = end == m_fileSize;
  const size_t total = length + (last ? 0 : kTrailerSize);
  if (m_writeBuffer.size() < total) m_writeBuffer.resize(total);
  std::memcpy(m_writeBuffer.data(), pBytes, length);
  if (!last) FillTrailer(end, m_writeBuffer.data() + length);
  // The old trailer stays whole until everything behind it (the rest of the chunk and the new
  // trailer) is written; only then do the chunk's first bytes replace it. A last chunk is
  // flushed before that: from then on the file has no trailer until it stands under its final
  // name, and that stretch is kept to a few calls.
  const size_t head = std::min<size_t>(total, kTrailerSize);
  const bool written =
      (total == head || WriteAt(pos + kTrailerSize, m_writeBuffer.data() + head, total - head)) &&
      (!last || FlushFileBuffers(m_hFile)) && ReplaceOldTrailer(pos, m_writeBuffer.data(), head);
  if (!written) {
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
      // The data was flushed before the last chunk's first bytes went in (see Write): no
      // flush here, so that the moments without a trailer and without the final name stay
      // as short as a few calls.
    }
  }
  CloseFile();
  if (m_error != 0) {
    DLL_LOG("OnUploadComplete failed: id=%u, error=%u", m_fileId, m_error);
    return false;
  }
  // Never over an existing file: whatever holds the name now is not ours to replace.
  if (MoveFileExW(m_partialPath.c_str(), m_savePath.c_str(), 0)) {
    DLL_LOG("OnUploadComplete-->MoveFileEx success: id=%u, path=%s", m_fileId,
            WideToUtf8(m_savePath).c_str());
    return true;
  }
  DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
  if (error == ERROR_ALREADY_EXISTS && IsSameFileAtSavePath()) {
    DeleteFileW(m_partialPath.c_str());
    DLL_LOG("OnUploadComplete: id=%u, same file already at %s, partial file dropped", m_fileId,
            WideToUtf8(m_savePath).c_str());
    return true;
  }
  // Another file took the name meanwhile: the complete file takes the next free numbered
  // name, as the assistant numbers them, so it is neither lost nor sent again.
  for (int n = 1; error == ERROR_ALREADY_EXISTS && n <= kMaxNumber; ++n) {
    const std::u16string candidate = upload_files::NumberedName(m_savePath, n);
    if (GetFileAttributesW((candidate + upload_files::kPartialSuffix).c_str()) !=
        INVALID_FILE_ATTRIBUTES) {
      continue;  // held by another upload's partial file
    }
    if (MoveFileExW(m_partialPath.c_str(), candidate.c_str(), 0)) {
      DLL_LOG("OnUploadComplete-->MoveFileEx success: id=%u, path=%s (%s was taken)", m_fileId,
              WideToUtf8(candidate).c_str(), WideToUtf8(m_savePath).c_str());
      m_savePath = candidate;
      return true;
    }
    error = LastErrorOr(ERROR_WRITE_FAULT);
  }
  m_error = error;
  DLL_LOG("OnUploadComplete-->MoveFileEx failed: id=%u, error=%u", m_fileId, m_error);
  return false;
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
  upload_files::Trailer trailer;
  trailer.fileSize = m_fileSize;
  trailer.timeStamp = m_timeStamp;
  trailer.held = held;
  trailer.scrc64 = m_scrc64;
  upload_files::FillTrailer(trailer, pTrailer);
}

bool CFileUploadMgr::FileItem::WriteAt(int64_t pos, const uint8_t* pBytes, size_t length) {
  DWORD written = 0;
  return SeekTo(m_hFile, pos) &&
         WriteFile(m_hFile, pBytes, static_cast<DWORD>(length), &written, nullptr) &&
         written == length;
}

bool CFileUploadMgr::FileItem::ReplaceOldTrailer(int64_t pos, const uint8_t* pBytes,
                                                 size_t length) {
  const int64_t boundary = upload_files::NextPage(pos);
  if (boundary >= pos + static_cast<int64_t>(length)) return WriteAt(pos, pBytes, length);
  // Across a page boundary the system may stop between the pages: the part written first is
  // the one whose loss leaves the old trailer's count and magic readable.
  const size_t first = static_cast<size_t>(boundary - pos);
  if (boundary <= pos + 32) {
    return WriteAt(pos, pBytes, first) && WriteAt(boundary, pBytes + first, length - first);
  }
  return WriteAt(boundary, pBytes + first, length - first) && WriteAt(pos, pBytes, first);
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
