#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

struct IOrbalynMessage;

// What the main window keeps of a file whose upload began, until its end says whether the photo
// arrived.
struct UploadBeginRecord {
  int32_t fileId = 0;
  int64_t deviceId = 0;
  std::u16string filePath;
};

// The main window's upload-begin records, oldest first. A record lives from its file's begin
// to its end, whatever the end: a file that fails leaves nothing behind, and a file id that
// begins again replaces its record.
// Threading: the UI thread only (the logic sink's messages).
class CUploadBeginRecords {
 public:
  CUploadBeginRecords() = default;
  CUploadBeginRecords(const CUploadBeginRecords&) = delete;
  CUploadBeginRecords& operator=(const CUploadBeginRecords&) = delete;
  ~CUploadBeginRecords() = default;

  // From an upload-begin message: its payload parsed as the upload record; a message without
  // one, or whose record does not parse, adds nothing.
  void OnUploadBegin(IOrbalynMessage* pMessage);
  // The file's end: its record is removed in every case; true, with the record, only when the
  // file arrived (error 0).
  bool OnUploadResult(int32_t fileId, int32_t error, UploadBeginRecord* pRecord);

  size_t Count() const { return m_records.size(); }

 private:
  std::list<std::unique_ptr<UploadBeginRecord>> m_records;
};
