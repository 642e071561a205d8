#pragma once
// A picture file (or a buffer of a file's bytes) whose header was read: its format, told by its
// first bytes, and the size it declares. Decoding happens only when asked, at the size asked,
// through gdk-pixbuf's decoder for that one format.
// Lifetime: immutable once made; shared by the textures standing for it.
// Threading: any thread (nothing changes after Create).

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Pictor {

class CPictureSource {
 public:
  enum class Format { kJpeg, kPng, kBmp };

  // Declared sizes accepted: JPEG decodes scaled, so it may declare more than the others. A
  // JPEG whose data comes in several scans (progressive, or its colours in scans of their own)
  // is not: the decoder keeps every coefficient of the whole picture until its last scan,
  // whatever the scale, so it is held to the others' pixel count.
  static constexpr int kMaxJpegSide = 12000;
  static constexpr int kMaxPlainSide = 8192;
  static constexpr int64_t kMaxPlainPixels = 16 * 1024 * 1024;
  static constexpr int64_t kMaxMultiScanJpegPixels = kMaxPlainPixels;

  // Null when the file cannot be read, is no JPEG, PNG or BMP, or declares a size over the
  // limits. `path` is in Windows form.
  static std::shared_ptr<const CPictureSource> FromFile(const std::u16string& path);
  static std::shared_ptr<const CPictureSource> FromBytes(std::string bytes);

  CPictureSource(const CPictureSource&) = delete;
  CPictureSource& operator=(const CPictureSource&) = delete;

  Format GetFormat() const { return m_format; }
  int Width() const { return m_width; }
  int Height() const { return m_height; }

  // The picture scaled to width x height (both at least 1), as a premultiplied ARGB32 surface
  // with one reference for the caller; null when the data does not decode, or decodes to
  // another size than the header declared.
  cairo_surface_t* Decode(int width, int height) const;
  // The most bytes Decode(width, height) holds at once: what the decoder keeps of the whole
  // picture (a JPEG's scaled rows, a multi-scan JPEG's every coefficient, a PNG's or BMP's every
  // pixel, as those are scaled only once whole) and the scaled copies.
  uint64_t DecodeBytes(int width, int height) const;

 private:
  CPictureSource() = default;

  // Reads the format and the declared size through `read(offset, data, size)`; false for
  // anything but a JPEG, PNG or BMP within the limits.
  template <class TRead>
  bool ReadHeader(TRead&& read);
  // The most bytes a decoding reads: for a JPEG, bounded by its declared size.
  uint64_t ReadBound() const;

  Format m_format = Format::kJpeg;
  int m_width = 0;
  int m_height = 0;
  int m_components = 0;     // a JPEG's
  bool m_multiScan = false;  // a JPEG's data in several scans
  std::u16string m_path;  // a file's, or empty for a buffer
  std::string m_bytes;    // a buffer's
};

}  // namespace Pictor
