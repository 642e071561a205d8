#pragma once
// Reading back what the statistics library's stand-in spooled: one record per committed report
// (u32 length, little-endian as the spool writes it, then the 18-byte header as it lay in memory,
// then the machine record and the data blocks, big-endian), and a reader of the big-endian
// fields.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "TestFiles.h"

namespace test_common {

// Reads big-endian fields off a byte string, failing the test on overrun.
class SpoolFieldReader {
 public:
  explicit SpoolFieldReader(std::string bytes) : m_bytes(std::move(bytes)) {}
  uint64_t Take(size_t size) {
    uint64_t value = 0;
    EXPECT_LE(m_pos + size, m_bytes.size());
    for (size_t i = 0; i < size && m_pos < m_bytes.size(); ++i) {
      value = value << 8 | static_cast<uint8_t>(m_bytes[m_pos++]);
    }
    return value;
  }
  // A counted string: the length includes the NUL, which must be there.
  std::string TakeString() {
    size_t length = static_cast<size_t>(Take(2));
    EXPECT_GE(length, 1u);
    if (length == 0 || m_pos + length > m_bytes.size()) return std::string();
    std::string text = m_bytes.substr(m_pos, length - 1);
    EXPECT_EQ(m_bytes[m_pos + length - 1], '\0');
    m_pos += length;
    return text;
  }
  std::string Rest() const { return m_bytes.substr(m_pos); }
  size_t Position() const { return m_pos; }

 private:
  std::string m_bytes;
  size_t m_pos = 0;
};

struct SpoolRecord {
  std::string header;
  std::string body;  // machine record and data blocks
};

// Every record of the spool file; none when the file is missing.
inline std::vector<SpoolRecord> ReadSpool(const std::string& path) {
  std::string bytes = test_files::ReadWholeFile(path);
  std::vector<SpoolRecord> records;
  size_t pos = 0;
  while (pos + 4 <= bytes.size()) {
    uint32_t length;
    memcpy(&length, bytes.data() + pos, 4);
    pos += 4;
    if (length < 18 || pos + length > bytes.size()) {
      ADD_FAILURE() << "torn spool record";
      break;
    }
    records.push_back({bytes.substr(pos, 18), bytes.substr(pos + 18, length - 18)});
    pos += length;
  }
  EXPECT_EQ(pos, bytes.size());
  return records;
}

// The report id in a spooled header (the command field, host byte order).
inline uint16_t SpoolReportId(const SpoolRecord& record) {
  uint16_t command;
  memcpy(&command, record.header.data() + 6, 2);
  return command;
}

// What a report carries after the machine record, whose fields are skipped by their kinds.
inline std::string UiRecordOf(const SpoolRecord& record) {
  SpoolFieldReader reader(record.body);
  reader.TakeString();  // the report library's identifier
  reader.Take(8 + 4 + 8);
  reader.Take(2 * 6);
  reader.Take(8 * 3);
  reader.TakeString();  // hardware id
  return reader.Rest();
}

// The user-interface records of the reports with `id` in the spool file, in the order spooled.
inline std::vector<std::string> UiRecordsOf(const std::string& spoolPath, uint16_t id) {
  std::vector<std::string> records;
  for (const SpoolRecord& record : ReadSpool(spoolPath)) {
    if (SpoolReportId(record) == id) records.push_back(UiRecordOf(record));
  }
  return records;
}

}  // namespace test_common
