#pragma once
// A picture file opened for decoding away from the UI thread: its header read (the limits of
// the picture library hold as for the picture object), nothing decoded until asked.
// Lifetime: owned by the caller.
// Threading: any thread; one object is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>

#include "Pictor/Pictor.h"

namespace Pictor {

class CPictureSource;

class CPictureFile {
 public:
  // Null when the file cannot be read or is no picture the library decodes. `path` is a path in
  // Windows form, not a picture reference.
  static std::unique_ptr<CPictureFile> Open(const std::u16string& path);

  CPictureFile(const CPictureFile&) = delete;
  CPictureFile& operator=(const CPictureFile&) = delete;
  ~CPictureFile();

  // The size the header declares.
  int Width() const;
  int Height() const;
  // The most bytes decoding at width x height holds at once, the result included.
  uint64_t DecodeBytes(int width, int height) const;
  // The picture scaled to width x height; false, with *pBuffer emptied, when it does not decode.
  bool Decode(int width, int height, PixelBuffer* pBuffer) const;

 private:
  explicit CPictureFile(std::shared_ptr<const CPictureSource> pSource);

  const std::shared_ptr<const CPictureSource> m_pSource;
};

}  // namespace Pictor
