#include "CPictureSource.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "win32/file.h"

using namespace win32;

namespace Pictor {

namespace {

constexpr size_t kChunkBytes = 64 * 1024;
// A JPEG's size sits in its frame header, after any number of other segments; a file that
// keeps going without one is not walked for ever.
constexpr int kMaxJpegSegments = 4096;
// What a JPEG's bytes may come to: noise at the best quality with no colour subsampling takes
// about 4 bytes a pixel, so 8 leaves room to spare; the fixed part is for what phones put
// before the picture (camera data, colour profiles, depth maps in extended metadata).
constexpr uint64_t kJpegBytesPerPixel = 8;
constexpr uint64_t kJpegExtraBytes = 16 * 1024 * 1024;
// A decoder's tables, buffers of a few rows and the chunk being fed.
constexpr uint64_t kDecodeOverheadBytes = 1024 * 1024;

uint32_t BigEndian(const uint8_t* p, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  return value;
}

uint32_t LittleEndian(const uint8_t* p, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// A file open for reading at any offset; closes itself.
class CFileReader {
 public:
  explicit CFileReader(const std::u16string& path)
      : m_hFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr)) {}
  CFileReader(const CFileReader&) = delete;
  CFileReader& operator=(const CFileReader&) = delete;
  ~CFileReader() {
    if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
  }

  bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }
  bool ReadAt(uint64_t offset, void* pData, size_t size) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(m_hFile, position, nullptr, FILE_BEGIN)) return false;
    DWORD read = 0;
    return ReadFile(m_hFile, pData, static_cast<DWORD>(size), &read, nullptr) && read == size;
  }
  // The next bytes in order; 0 at the end, -1 on an error.
  int64_t ReadNext(void* pData, size_t size) {
    DWORD read = 0;
    if (!ReadFile(m_hFile, pData, static_cast<DWORD>(size), &read, nullptr)) return -1;
    return read;
  }

 private:
  HANDLE m_hFile;
};

// Follows a JPEG's markers through its bytes to the end-of-image marker, so that what stands
// behind the picture (junk, another picture, however long) is not read beyond the chunk that
// holds the end, and none of it reaches the decoder.
class CJpegEnd {
 public:
  // How many of the `size` bytes belong to the picture: all of them, or those up to and
  // including the end marker.
  size_t Take(const uint8_t* pData, size_t size);
  bool Reached() const { return m_state == State::kEnded; }

 private:
  enum class State {
    kBetween,
    kMarker,
    kLengthHigh,
    kLengthLow,
    kSegment,
    kScan,
    kScanMarker,
    kEnded
  };

  State m_state = State::kBetween;
  bool m_scanHeader = false;  // the segment being skipped is a scan's header
  uint32_t m_left = 0;        // bytes of the segment still to skip
};

size_t CJpegEnd::Take(const uint8_t* pData, size_t size) {
  size_t i = 0;
  while (i < size && m_state != State::kEnded) {
    const uint8_t byte = pData[i];
    switch (m_state) {
      case State::kBetween:
        // Anything but a marker between segments is skipped, as the decoder skips it.
        if (byte == 0xFF) m_state = State::kMarker;
        break;
      case State::kMarker:
      case State::kScanMarker:
        if (byte == 0xFF) break;  // fill byte
        if (byte == 0xD9) {
          m_state = State::kEnded;
        } else if (m_state == State::kScanMarker &&
                   (byte == 0x00 || (byte >= 0xD0 && byte <= 0xD7))) {
          m_state = State::kScan;  // a stuffed 0xFF or a restart marker: still in the scan
        } else if (byte == 0x00 || byte == 0x01 || (byte >= 0xD0 && byte <= 0xD8)) {
          m_state = State::kBetween;
        } else {
          m_scanHeader = byte == 0xDA;
          m_state = State::kLengthHigh;
        }
        break;
      case State::kLengthHigh:
        m_left = uint32_t{byte} << 8;
        m_state = State::kLengthLow;
        break;
      case State::kLengthLow:
        m_left |= byte;
        m_left = m_left >= 2 ? m_left - 2 : 0;
        m_state = m_left > 0 ? State::kSegment : m_scanHeader ? State::kScan : State::kBetween;
        break;
      case State::kSegment: {
        const size_t skip = std::min<size_t>(m_left, size - i);
        m_left -= static_cast<uint32_t>(skip);
        i += skip;
        if (m_left == 0) m_state = m_scanHeader ? State::kScan : State::kBetween;
        continue;
      }
      case State::kScan: {
        const void* pMark = std::memchr(pData + i, 0xFF, size - i);
        if (!pMark) return size;
        i = static_cast<size_t>(static_cast<const uint8_t*>(pMark) - pData);
        m_state = State::kScanMarker;
        break;
      }
      case State::kEnded:
        break;
    }
    ++i;
  }
  return i;
}

// Checks the size the decoder finds against the header's and asks for the target size.
struct SizeRequest {
  int declaredWidth;
  int declaredHeight;
  int width;
  int height;
  bool mismatch;
};

void OnSizePrepared(GdkPixbufLoader* pLoader, int width, int height, gpointer pData) {
  auto* pRequest = static_cast<SizeRequest*>(pData);
  if (width != pRequest->declaredWidth || height != pRequest->declaredHeight) {
    // Another size than the header's: the limits were checked against the header, so nothing
    // of this picture is decoded at more than a pixel.
    pRequest->mismatch = true;
    gdk_pixbuf_loader_set_size(pLoader, 1, 1);
    return;
  }
  gdk_pixbuf_loader_set_size(pLoader, pRequest->width, pRequest->height);
}

// The pixbuf's pixels as premultiplied ARGB32; null without memory.
cairo_surface_t* SurfaceFromPixbuf(GdkPixbuf* pPixbuf) {
  const int width = gdk_pixbuf_get_width(pPixbuf);
  const int height = gdk_pixbuf_get_height(pPixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pPixbuf);
  const bool alpha = gdk_pixbuf_get_has_alpha(pPixbuf);
  if (gdk_pixbuf_get_bits_per_sample(pPixbuf) != 8 || channels < 3) return nullptr;
  cairo_surface_t* pSurface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(pSurface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(pSurface);
    return nullptr;
  }
  cairo_surface_flush(pSurface);
  const uint8_t* pSource = gdk_pixbuf_read_pixels(pPixbuf);
  const int sourceStride = gdk_pixbuf_get_rowstride(pPixbuf);
  uint8_t* pTarget = cairo_image_surface_get_data(pSurface);
  const int targetStride = cairo_image_surface_get_stride(pSurface);
  for (int y = 0; y < height; ++y) {
    const uint8_t* p = pSource + static_cast<size_t>(y) * sourceStride;
    auto* pRow = reinterpret_cast<uint32_t*>(pTarget + static_cast<size_t>(y) * targetStride);
    for (int x = 0; x < width; ++x, p += channels) {
      uint32_t a = alpha ? p[3] : 255;
      auto premultiply = [a](uint32_t c) { return (c * a + 127) / 255; };
      pRow[x] = (a << 24) | (premultiply(p[0]) << 16) | (premultiply(p[1]) << 8) | premultiply(p[2]);
    }
  }
  cairo_surface_mark_dirty(pSurface);
  return pSurface;
}

const char* LoaderName(CPictureSource::Format format) {
  switch (format) {
    case CPictureSource::Format::kJpeg:
      return "jpeg";
    case CPictureSource::Format::kPng:
      return "png";
    case CPictureSource::Format::kBmp:
      return "bmp";
  }
  return "";
}

}  // namespace

std::shared_ptr<const CPictureSource> CPictureSource::FromFile(const std::u16string& path) {
  CFileReader reader(path);
  if (!reader.IsOpen()) return nullptr;
  std::shared_ptr<CPictureSource> pSource(new CPictureSource());
  pSource->m_path = path;
  auto read = [&reader](uint64_t offset, void* pData, size_t size) {
    return reader.ReadAt(offset, pData, size);
  };
  if (!pSource->ReadHeader(read)) return nullptr;
  return pSource;
}

std::shared_ptr<const CPictureSource> CPictureSource::FromBytes(std::string bytes) {
  std::shared_ptr<CPictureSource> pSource(new CPictureSource());
  pSource->m_bytes = std::move(bytes);
  const std::string& data = pSource->m_bytes;
  auto read = [&data](uint64_t offset, void* pData, size_t size) {
    if (offset > data.size() || data.size() - offset < size) return false;
    std::memcpy(pData, data.data() + offset, size);
    return true;
  };
  if (!pSource->ReadHeader(read)) return nullptr;
  return pSource;
}

template <class TRead>
bool CPictureSource::ReadHeader(TRead&& read) {
  uint8_t head[26] = {};
  if (!read(0, head, 3)) return false;
  int64_t width = 0;
  int64_t height = 0;
  if (head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
    m_format = Format::kJpeg;
    // The frame header gives the size; the first scan header tells whether the picture comes
    // in one scan or several.
    bool progressive = false;
    int frameComponents = 0;
    int scanComponents = 0;
    uint64_t at = 2;
    for (int segment = 0; segment < kMaxJpegSegments && scanComponents == 0; ++segment) {
      uint8_t marker[4];
      if (!read(at, marker, 2) || marker[0] != 0xFF) return false;
      // Fill bytes (0xFF) may stand before a marker.
      while (marker[1] == 0xFF) {
        ++at;
        if (!read(at, marker, 2)) return false;
      }
      const uint8_t code = marker[1];
      if (code == 0xD8 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
        at += 2;
        continue;
      }
      if (code == 0xD9) return false;                          // no image data
      if (code == 0xDA && frameComponents == 0) return false;  // image data before any frame
      if (!read(at + 2, marker + 2, 2)) return false;
      const uint32_t length = BigEndian(marker + 2, 2);
      if (length < 2) return false;
      const bool frame = code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 &&
                         code != 0xCC;
      if (frame) {
        uint8_t frameHeader[6];
        if (frameComponents != 0 || length < 8 || !read(at + 4, frameHeader, 6)) return false;
        height = BigEndian(frameHeader + 1, 2);
        width = BigEndian(frameHeader + 3, 2);
        frameComponents = frameHeader[5];
        progressive = code == 0xC2 || code == 0xC6 || code == 0xCA || code == 0xCE;
      } else if (code == 0xDA) {
        uint8_t count;
        if (length < 3 || !read(at + 4, &count, 1) || count == 0) return false;
        scanComponents = count;
      }
      at += 2 + length;
    }
    if (frameComponents == 0 || scanComponents == 0) return false;
    if (width <= 0 || height <= 0 || width > kMaxJpegSide || height > kMaxJpegSide) return false;
    m_multiScan = progressive || scanComponents < frameComponents;
    m_components = frameComponents;
    if (m_multiScan && width * height > kMaxMultiScanJpegPixels) return false;
  } else if (read(0, head, 24) && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0 &&
             std::memcmp(head + 12, "IHDR", 4) == 0) {
    m_format = Format::kPng;
    width = BigEndian(head + 16, 4);
    height = BigEndian(head + 20, 4);
  } else if (head[0] == 'B' && head[1] == 'M' && read(0, head, 26)) {
    m_format = Format::kBmp;
    width = static_cast<int32_t>(LittleEndian(head + 18, 4));
    height = static_cast<int32_t>(LittleEndian(head + 22, 4));
    if (height < 0) height = -height;  // top-down rows
  } else {
    return false;
  }
  if (m_format != Format::kJpeg &&
      (width <= 0 || height <= 0 || width > kMaxPlainSide || height > kMaxPlainSide ||
       width * height > kMaxPlainPixels)) {
    return false;
  }
  m_width = static_cast<int>(width);
  m_height = static_cast<int>(height);
  return true;
}

uint64_t CPictureSource::ReadBound() const {
  if (m_format != Format::kJpeg) return UINT64_MAX;
  return kJpegBytesPerPixel * static_cast<uint64_t>(m_width) * static_cast<uint64_t>(m_height) +
         kJpegExtraBytes;
}

uint64_t CPictureSource::DecodeBytes(int width, int height) const {
  const uint64_t pixels = static_cast<uint64_t>(m_width) * static_cast<uint64_t>(m_height);
  const uint64_t target = static_cast<uint64_t>(std::max(width, 1)) * std::max(height, 1);
  uint64_t whole = 4 * pixels;
  if (m_format == Format::kJpeg) {
    // The decoder's scale: the smallest of 1/2, 1/4, 1/8 that still covers the target.
    int denominator = 1;
    while (denominator < 8 && (m_width + 2 * denominator - 1) / (2 * denominator) >= width &&
           (m_height + 2 * denominator - 1) / (2 * denominator) >= height) {
      denominator *= 2;
    }
    const uint64_t scaled = static_cast<uint64_t>((m_width + denominator - 1) / denominator) *
                            ((m_height + denominator - 1) / denominator);
    whole = 3 * scaled;
    // Two bytes for each coefficient of each component, kept until the last scan.
    if (m_multiScan) whole += 2 * static_cast<uint64_t>(m_components) * pixels;
  }
  // The scaled pixbuf, its premultiplied copy, and the decoder's own tables and rows.
  return whole + 8 * target + kDecodeOverheadBytes;
}

cairo_surface_t* CPictureSource::Decode(int width, int height) const {
  if (width < 1 || height < 1) return nullptr;
  GError* pError = nullptr;
  GdkPixbufLoader* pLoader = gdk_pixbuf_loader_new_with_type(LoaderName(m_format), &pError);
  if (!pLoader) {
    g_clear_error(&pError);
    return nullptr;
  }
  SizeRequest request{m_width, m_height, width, height, false};
  g_signal_connect(pLoader, "size-prepared", G_CALLBACK(&OnSizePrepared), &request);

  // A JPEG is fed up to its end marker, and never more than its size allows.
  CJpegEnd end;
  uint64_t left = ReadBound();
  auto feed = [&](const uint8_t* pData, size_t size) {
    size = static_cast<size_t>(std::min<uint64_t>(size, left));
    if (m_format == Format::kJpeg) size = end.Take(pData, size);
    left -= size;
    return size == 0 || gdk_pixbuf_loader_write(pLoader, pData, size, &pError);
  };
  auto more = [&] { return left > 0 && !end.Reached() && !request.mismatch; };

  bool fed = true;
  if (m_path.empty()) {
    fed = feed(reinterpret_cast<const uint8_t*>(m_bytes.data()), m_bytes.size());
  } else {
    CFileReader reader(m_path);
    fed = reader.IsOpen();
    std::vector<uint8_t> chunk(kChunkBytes);
    while (fed && more()) {
      int64_t read = reader.ReadNext(chunk.data(), std::min<uint64_t>(chunk.size(), left));
      if (read <= 0) {
        fed = read == 0;
        break;
      }
      fed = feed(chunk.data(), static_cast<size_t>(read));
    }
  }
  g_clear_error(&pError);
  // Closed in every case: the loader must not be let go half-fed.
  const bool closed = gdk_pixbuf_loader_close(pLoader, &pError);
  g_clear_error(&pError);

  cairo_surface_t* pSurface = nullptr;
  GdkPixbuf* pPixbuf = gdk_pixbuf_loader_get_pixbuf(pLoader);
  if (fed && closed && !request.mismatch && pPixbuf && gdk_pixbuf_get_width(pPixbuf) == width &&
      gdk_pixbuf_get_height(pPixbuf) == height) {
    pSurface = SurfaceFromPixbuf(pPixbuf);
  }
  g_object_unref(pLoader);
  return pSurface;
}

}  // namespace Pictor
