#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Logic/FileUploadMgr.h"
#include "win32/base.h"
#include "win32/time.h"

// One file being received from a phone, and its partial file: the save path with ".pdl"
// appended, holding the bytes received so far followed by a 36-byte trailer that names the
// file and the byte count, so that a later announcement of the same file resumes there. When
// the last byte is in, the trailer is cut, the file gets the phone's time stamp and is renamed
// to the save path, never over an existing file. The layout, and how a chunk is written so that
// a kill leaves a trailer that counts, are in Interface/UploadFiles.h.
// Lifetime: counted, starting at 1; the item map and each user hold references, and the last
//   Release closes the file and frees the item.
// Threading: the upload thread only (tests drive items on their own thread). The fields are
//   public because the item is the manager's record of the file.
class CFileUploadMgr::FileItem {
 public:
  static constexpr uint32_t kTrailerSize = 36;
  // Numbered names tried for a complete file whose name was taken meanwhile.
  static constexpr int kMaxNumber = 10000;
  // Data and trailers written since the last flush before the next flush.
  static constexpr uint32_t kFlushThreshold = 0x80000;
  // Notify states.
  static constexpr uint32_t kNotifyNone = 0;
  static constexpr uint32_t kNotifyBegun = 1;
  static constexpr uint32_t kNotifyProgress = 2;
  static constexpr uint32_t kNotifyResult = 3;

  explicit FileItem(uint32_t fileId);
  FileItem(const FileItem&) = delete;
  FileItem& operator=(const FileItem&) = delete;

  int32_t AddRef();
  int32_t Release();

  // Opens or creates the partial file (refused while another live item holds it open: 32)
  // and finds the resume position from its trailer; a partial file whose trailer does not name
  // this file is cut to 0, and a file without a trailer is not ours and is left alone (80).
  // False, with the error set, when the item cannot receive.
  bool Open();
  // Writes one chunk at `pos` and the trailer behind it. Bytes already held are accepted and
  // not written again; a gap, or a chunk reaching past the file size, fails the file before
  // anything is written.
  bool Write(int64_t pos, size_t length, const uint8_t* pBytes);
  // For a complete file: cuts the trailer, sets the last-write time, closes and renames the
  // partial file to the save path without replacing anything. An identical file already there
  // (size and last-write time) counts as done and the partial file goes; a different one makes
  // the file take the first free "name(n).ext", which becomes the save path. The file is closed
  // in every case; false, with the error set, leaves the partial file on disk.
  bool OnUploadComplete();

  bool IsComplete() const { return m_position == m_fileSize; }

  // The phone's time stamp as the file time to set; false when it cannot be represented.
  static bool TimeStampToFileTime(int64_t timeStampMs, win32::FILETIME* pFileTime);

  // Set in the constructor, then constant.
  const uint32_t m_fileId;

  uint32_t m_error = 0;  // a Windows error, an HRESULT of the assistant, or a kError* value
  bool m_needUpload = false;
  uint32_t m_unflushed = 0;
  int64_t m_fileSize = 0;
  int64_t m_timeStamp = 0;  // ms since 1970-01-01 UTC
  int64_t m_position = 0;   // bytes held; the start position told to the phone
  int64_t m_positionAtOpen = 0;
  int64_t m_scrc64 = 0;                                 // 0: not given
  win32::HANDLE m_hFile = win32::INVALID_HANDLE_VALUE;  // the open partial file; owned
  int64_t m_deviceId = 0;
  uint32_t m_session = 0;  // header sequence of the last announcement
  std::string m_devicePath;
  std::string m_subPath;
  bool m_hasSubPath = false;
  std::string m_albumName;
  std::string m_location;
  std::u16string m_savePath;
  std::u16string m_partialPath;
  bool m_endPending = false;
  uint32_t m_notifyState = kNotifyNone;
  uint64_t m_lastActivity = 0;  // GetTickCount64 of the last command for the file

 private:
  ~FileItem();

  // Finds the trailer that counts and sets the position; the file is left as the bytes held
  // followed by their trailer.
  bool CheckResume();
  // The trailer of this file holding `held` bytes.
  void FillTrailer(int64_t held, uint8_t* pTrailer) const;
  bool WriteAt(int64_t pos, const uint8_t* pBytes, size_t length);
  // Writes the new bytes that cover the trailer at `pos` (at most 36).
  bool ReplaceOldTrailer(int64_t pos, const uint8_t* pBytes, size_t length);
  void CloseFile();
  // The rename found the save path taken: true when the file there is this one.
  bool IsSameFileAtSavePath() const;

  std::atomic<int32_t> m_refCount{1};
  // Chunk and trailer, gathered for one write.
  std::vector<uint8_t> m_writeBuffer;
};
