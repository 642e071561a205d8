#pragma once
// How received files are named and laid out on disk, shared by the library and the host's
// upload assistant: a file is written first into its partial file, the save path with ".pdl"
// appended, holding the bytes received so far followed by a 36-byte trailer; a name that is
// taken is numbered "name(n).ext". The assistant decides from the same rules whether a partial
// file at a path is one the library may resume.
//
// Trailer, little-endian: file size u64, time stamp u64 (ms since 1970), n u64 (the data bytes
// before the trailer), scrc64 u64 (0 = none), magic u32 "truf".
//
// A chunk is written in two steps so that a kill at any moment leaves a trailer that still
// counts only bytes on disk: first the chunk's bytes beyond the old trailer together with the
// new trailer, then the chunk's first 36 bytes over the old trailer (in up to two writes, each
// within one 4 KiB page). Until the second step is done, the old trailer, or what the page
// order guarantees is left of it, stands before the new one, and it is the one that counts.

#include <cstddef>
#include <cstdint>
#include <string>

namespace upload_files {

constexpr char16_t kPartialSuffix[] = u".pdl";
constexpr uint32_t kTrailerSize = 36;
constexpr uint32_t kTrailerMagic = 0x66757274;  // "truf"

// A file at a partial path without a trailer, holding the file's size and at most what is left
// of the old trailer behind it: the file's own partial file, killed after its last chunk went in
// and before the rename. It is sent again under its name; anything else without a trailer is a
// file of its own, but an empty one (killed between its opening and its first trailer): that
// holds no byte to trust, and is the partial file of whichever file comes under its name.
constexpr bool IsFinishedPartial(int64_t length, int64_t fileSize) {
  return fileSize > 0 && length >= fileSize && length - fileSize < kTrailerSize;
}
// Writes that the system may cut short are cut at page boundaries.
constexpr uint32_t kPageSize = 4096;
// No chunk is longer than a phone frame.
constexpr uint32_t kMaxChunkBytes = 65536;
// The end of a partial file that holds every trailer that can still count.
constexpr uint32_t kTailBytes = kMaxChunkBytes + 2 * kTrailerSize;

struct Trailer {
  int64_t fileSize = 0;
  int64_t timeStamp = 0;
  int64_t held = 0;  // data bytes before the trailer; where an upload resumes
  int64_t scrc64 = 0;
};

inline uint64_t GetLe64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

inline void PutLe64(uint8_t* p, uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void FillTrailer(const Trailer& trailer, uint8_t* pOut) {
  PutLe64(pOut, static_cast<uint64_t>(trailer.fileSize));
  PutLe64(pOut + 8, static_cast<uint64_t>(trailer.timeStamp));
  PutLe64(pOut + 16, static_cast<uint64_t>(trailer.held));
  PutLe64(pOut + 24, static_cast<uint64_t>(trailer.scrc64));
  for (int i = 0; i < 4; ++i) pOut[32 + i] = static_cast<uint8_t>(kTrailerMagic >> (8 * i));
}

inline Trailer ReadTrailer(const uint8_t* p) {
  Trailer trailer;
  trailer.fileSize = static_cast<int64_t>(GetLe64(p));
  trailer.timeStamp = static_cast<int64_t>(GetLe64(p + 8));
  trailer.held = static_cast<int64_t>(GetLe64(p + 16));
  trailer.scrc64 = static_cast<int64_t>(GetLe64(p + 24));
  return trailer;
}

// The first page boundary after `offset`.
inline int64_t NextPage(int64_t offset) { return (offset / kPageSize + 1) * kPageSize; }

// Whether the 36 bytes at pBytes, standing at file offset `offset`, are a trailer that counts
// exactly the bytes before it. With `interrupted`, only the bytes the first write of the
// second step cannot have reached are checked (see above); held and magic are what is checked.
inline bool IsTrailerAt(const uint8_t* pBytes, int64_t offset, bool interrupted) {
  int64_t from = offset;
  int64_t to = offset + kTrailerSize;
  const int64_t boundary = NextPage(offset);
  if (interrupted && boundary < to) {
    if (boundary <= offset + 32) {
      from = boundary;
    } else {
      to = boundary;
    }
  }
  uint8_t expected[kTrailerSize];
  PutLe64(expected + 16, static_cast<uint64_t>(offset));
  for (int i = 0; i < 4; ++i) expected[32 + i] = static_cast<uint8_t>(kTrailerMagic >> (8 * i));
  for (int i = 16; i < static_cast<int>(kTrailerSize); ++i) {
    if (i >= 24 && i < 32) continue;  // scrc64
    if (offset + i < from || offset + i >= to) continue;
    if (pBytes[i] != expected[i]) return false;
  }
  return true;
}

// Finds the trailer that counts in the last bytes of a partial file: pTail holds its final
// `tailLength` bytes, the first of them at file offset `tailOffset` (read kTailBytes, or the
// whole file when shorter). A trailer left before the last one by an interrupted chunk write
// wins, the lowest when there are several: every byte before it is data. Its file fields come
// from the last trailer when that one is whole, since an interrupted write may have reached
// them. False when the file carries no trailer: it is not a partial file of ours.
inline bool FindTrailer(const uint8_t* pTail, size_t tailLength, int64_t tailOffset,
                        Trailer* pFound) {
  if (tailLength < kTrailerSize) return false;
  const size_t last = tailLength - kTrailerSize;
  const int64_t lastOffset = tailOffset + static_cast<int64_t>(last);
  const bool lastWhole = IsTrailerAt(pTail + last, lastOffset, false) &&
                         ReadTrailer(pTail + last).fileSize > lastOffset;
  for (size_t i = 0; i < last; ++i) {
    const int64_t offset = tailOffset + static_cast<int64_t>(i);
    if (!IsTrailerAt(pTail + i, offset, true)) continue;
    *pFound = ReadTrailer(lastWhole ? pTail + last : pTail + i);
    pFound->held = offset;
    return true;
  }
  if (!lastWhole) return false;
  *pFound = ReadTrailer(pTail + last);
  return true;
}

// Whether the trailer is the one of the announced file: same size and time stamp, and the same
// checksum unless either side has none.
inline bool TrailerNames(const Trailer& trailer, int64_t fileSize, int64_t timeStamp,
                         int64_t scrc64) {
  return trailer.fileSize == fileSize && trailer.timeStamp == timeStamp &&
         trailer.held < fileSize &&
         (scrc64 == 0 || trailer.scrc64 == 0 || trailer.scrc64 == scrc64);
}

// Characters no name made from phone-given text keeps: NUL, which would end the name early at
// some call, and Unicode's bidirectional controls, which make a name read in another order than
// it is stored ("photo<U+202E>gpj.exe" shows as a picture).
inline bool IsDroppedFromNames(char16_t c) {
  return c == u'\0' || c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

// The n-th other name of a file, "name(n).ext" (the extension is what follows the last dot of
// the last path component; none when there is no dot).
inline std::u16string NumberedName(const std::u16string& path, int n) {
  const size_t slash = path.find_last_of(u"\\/");
  const size_t nameStart = slash == std::u16string::npos ? 0 : slash + 1;
  size_t dot = path.find_last_of(u'.');
  if (dot == std::u16string::npos || dot < nameStart) dot = path.size();
  std::u16string number = u"(";
  for (char c : std::to_string(n)) number += static_cast<char16_t>(c);
  number += u")";
  return path.substr(0, dot) + number + path.substr(dot);
}

}  // namespace upload_files
