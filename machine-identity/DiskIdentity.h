#pragma once
// The first disk's identity {serial, model, firmware revision}, by the four device strategies
// in their fixed order, and the storage-query decoding they share with the hardware id.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ZyMacID {

struct DiskIdentity {
  std::string serial;
  std::string model;
  std::string revision;
};

// Only on the NT platform family. Each strategy tries drives 0 to 15 and stops at its first
// success; the first strategy that succeeds wins. False when none does.
bool GetDiskIdentity(DiskIdentity* pIdentity);

// The standard device property of "\\.\PhysicalDrive<drive>", opened without access rights,
// into a buffer of `bufferSize` bytes. On success *pAnswer holds exactly the bytes returned.
bool QueryStorageDescriptor(int drive, uint32_t bufferSize, std::vector<uint8_t>* pAnswer);

// The NUL-terminated text at `offset` of a storage answer, never reading past its end (offset 0,
// or one at or beyond the end, gives an empty text).
std::string StorageTextAt(const std::vector<uint8_t>& answer, uint32_t offset);

// Decodes a storage-query text: pairs of hexadecimal digits (a blank counts as "0") become
// bytes; where that fails the raw text is used, or nothing when it holds a non-printable
// character. `swapPairs` exchanges the two characters of each pair. Blanks are trimmed.
std::string DecodeStorageText(std::string_view text, bool swapPairs);

// Strategy 3 on an answer already read: serial (pair-swapped), model and revision. True when
// the serial's 1st or 20th character is a letter or digit.
bool ParseStorageIdentity(const std::vector<uint8_t>& answer, DiskIdentity* pIdentity);

// Serial (words 10-19), model (27-46) and revision (23-26) of 512 bytes of ATA identify data;
// each word gives its high byte then its low byte; trailing blanks removed.
void ParseIdentifyData(const uint8_t* pData, DiskIdentity* pIdentity);

}  // namespace ZyMacID
