// The picture library on real files: thumbnails are the centred cover crop of the picture; the
// format comes from the header, not the name; only JPEG, PNG and BMP within their limits decode,
// anything else gives the default picture; canvases and textures are counted and freed; the
// UI framework's picture element draws a texture.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "../ui/UiTestSupport.h"
#include "CLqPainter.h"
#include "ImageShowPageAdapter.h"
#include "Lq/Lq.h"
#include "PhotoTestSupport.h"
#include "Pictor/Pictor.h"

using namespace win32;
using namespace photo_test;

namespace {

constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kGreen = 0x00FF00;
constexpr uint32_t kBlue = 0x0000FF;

class PictorTest : public ui_test::CUiTest {
 protected:
  void SetUp() override {
    CUiTest::SetUp();
    Pictor::RegisterClasses();
    m_textures = Pictor::LiveTextureCount();
    m_canvases = Pictor::LiveCanvasCount();
  }
  void TearDown() override {
    EXPECT_EQ(Pictor::LiveTextureCount(), m_textures);
    EXPECT_EQ(Pictor::LiveCanvasCount(), m_canvases);
    CUiTest::TearDown();
  }

  std::string File(const std::string& name) { return Root() + "/" + name; }
  static std::u16string Windows(const std::string& path) {
    return test_files::WindowsFromPosix(path);
  }

  // A new picture object of the framework's class, holding `texture` when given.
  static ILqImage* NewPicture(Pictor::HTEXTURE texture = nullptr) {
    ILqImage* pPicture = nullptr;
    Util::Lq::CreateObject(CLSID_LqImage, IID_ILqImage, reinterpret_cast<void**>(&pPicture));
    if (pPicture && texture) {
      Pictor::IPictorImage* pImage = nullptr;
      pPicture->QueryInterface(Pictor::IID_IPictorImage, reinterpret_cast<void**>(&pImage));
      pImage->SetTexture(texture);
      pImage->Release();
    }
    return pPicture;
  }

  // The texture's pixel as 0xRRGGBB (alpha dropped), read through a picture object's pixels.
  static uint32_t PixelOf(Pictor::HTEXTURE texture, int x, int y) {
    ILqImage* pPicture = NewPicture(texture);
    ILqPixels* pPixels = nullptr;
    pPicture->QueryInterface(IID_ILqPixels, reinterpret_cast<void**>(&pPixels));
    const BYTE* pData = nullptr;
    INT width = 0;
    INT height = 0;
    INT stride = 0;
    uint32_t value = 0xDEADBEEF;
    if (SUCCEEDED(pPixels->GetPixels(&pData, &width, &height, &stride)) && x < width &&
        y < height) {
      value = reinterpret_cast<const uint32_t*>(pData + y * stride)[x] & 0xFFFFFF;
    }
    pPixels->Release();
    pPicture->Release();
    return value;
  }

  // Whether every channel lies within `slack` of the wanted colour's.
  static bool Near(uint32_t have, uint32_t want, int slack = 24) {
    for (int shift : {16, 8, 0}) {
      int a = static_cast<int>((have >> shift) & 0xFF);
      int b = static_cast<int>((want >> shift) & 0xFF);
      if (std::abs(a - b) > slack) return false;
    }
    return true;
  }

  uint32_t CentreOfThumbnail(const std::string& path) {
    Pictor::HTEXTURE texture = CImageShowPageAdapter::MakeThumbnail(Windows(path), 120, 120);
    if (!texture) return 0xDEADBEEF;
    uint32_t centre = PixelOf(texture, 60, 60);
    Pictor::DeleteTexture(texture);
    return centre;
  }

  std::string DefaultPicture() { return LUMIDOCK_BIN_DIR "/res/image/default.png"; }

  // A field of /proc/self/io or /proc/self/status ("rchar:", "VmHWM:" in kB).
  static int64_t ProcField(const char* pFile, const std::string& name) {
    std::ifstream in(pFile);
    std::string key;
    int64_t value = -1;
    while (in >> key && !(key == name && in >> value)) {
    }
    return value;
  }

  // A mid-grey JPEG of flat blocks whose data comes in several scans, every code one bit long:
  // a progressive one (0xC2) of one colour, its scan every block's DC, or a baseline one (0xC0)
  // of three colours, each in a scan of its own.
  static std::string GreyInScans(char frame, int width, int height) {
    const char colours = frame == '\xC2' ? 1 : 3;
    auto byte = [](int64_t value) { return static_cast<char>(value); };
    std::string out("\xFF\xD8", 2);
    auto segment = [&out, &byte](char code, const std::string& body) {
      out += {'\xFF', code, byte((body.size() + 2) >> 8), byte(body.size() + 2)};
      out += body;
    };
    segment('\xDB', std::string(1, '\0') + std::string(64, '\1'));
    std::string header{8, byte(height >> 8), byte(height), byte(width >> 8), byte(width), colours};
    for (char c = 1; c <= colours; ++c) header += {c, 0x11, 0};
    segment(frame, header);
    // One symbol each: DC "no change", AC "end of block".
    for (char table : {'\x00', '\x10'}) segment('\xC4', std::string{table, 1} + std::string(16, 0));
    const int64_t bits = int64_t{(width + 7) / 8} * ((height + 7) / 8) * (colours == 1 ? 1 : 2);
    for (char c = 1; c <= colours; ++c) {
      segment('\xDA', {1, c, 0, 0, byte(colours == 1 ? 0 : 63), 0});
      out += std::string(static_cast<size_t>(bits / 8), '\0');
      if (bits % 8 != 0) out += byte(0xFF >> (bits % 8));
    }
    return out + "\xFF\xD9";
  }

  size_t m_textures = 0;
  size_t m_canvases = 0;
};

// The three bands of a 400 x 100 picture: the thumbnail shows the middle one whole (the scaled
// picture is 480 x 120, its centre cut from x = 180), and the same across for a tall picture.
TEST_F(PictorTest, ThumbnailsAreTheCentredCoverCrop) {
  ASSERT_TRUE(WritePicture(File("wide.png"), 400, 100, "png", [](int x, int) {
    return x < 150 ? kRed : x < 250 ? kGreen : kBlue;
  }));
  ASSERT_TRUE(WritePicture(File("tall.png"), 100, 400, "png", [](int, int y) {
    return y < 150 ? kRed : y < 250 ? kGreen : kBlue;
  }));
  for (const char* pName : {"wide.png", "tall.png"}) {
    SCOPED_TRACE(pName);
    Pictor::HTEXTURE texture =
        CImageShowPageAdapter::MakeThumbnail(Windows(File(pName)), 120, 120);
    ASSERT_NE(texture, nullptr);
    int width = 0;
    int height = 0;
    ASSERT_TRUE(Pictor::GetTextureSize(texture, &width, &height));
    EXPECT_EQ(width, 120);
    EXPECT_EQ(height, 120);
    for (int at : {3, 60, 116}) {
      EXPECT_TRUE(Near(PixelOf(texture, at, 60), kGreen)) << at;
      EXPECT_TRUE(Near(PixelOf(texture, 60, at), kGreen)) << at;
    }
    EXPECT_EQ(Pictor::LiveTextureCount(), m_textures + 1);
    Pictor::DeleteTexture(texture);
  }
  // A 118 x 118 thumbnail of a square picture is the whole picture.
  ASSERT_TRUE(WritePicture(File("square.jpg"), 300, 300, "jpeg", [](int x, int) {
    return x < 150 ? kRed : kBlue;
  }));
  Pictor::HTEXTURE square = CImageShowPageAdapter::MakeThumbnail(Windows(File("square.jpg")), 118,
                                                                 118);
  ASSERT_NE(square, nullptr);
  EXPECT_TRUE(Near(PixelOf(square, 10, 59), kRed, 40));
  EXPECT_TRUE(Near(PixelOf(square, 108, 59), kBlue, 40));
  Pictor::DeleteTexture(square);
  EXPECT_EQ(Pictor::LiveTextureBytes(), 0u);
}

// What a file is comes from its first bytes. JPEG, PNG and BMP decode under any name; GIF,
// TIFF, broken files and pictures declaring more than the limits give the default picture, and
// nothing of them is decoded.
TEST_F(PictorTest, FormatsComeFromTheHeaderWithinLimits) {
  const uint32_t fallback = CentreOfThumbnail(DefaultPicture());
  ASSERT_NE(fallback, 0xDEADBEEFu);
  ASSERT_TRUE(WriteSolid(File("jpeg-named.png"), kRed, "jpeg"));
  ASSERT_TRUE(WriteSolid(File("png-named.jpg"), kGreen, "png"));
  ASSERT_TRUE(WriteSolid(File("photo.bmp"), kBlue, "bmp"));
  EXPECT_TRUE(Near(CentreOfThumbnail(File("jpeg-named.png")), kRed));
  EXPECT_TRUE(Near(CentreOfThumbnail(File("png-named.jpg")), kGreen));
  EXPECT_TRUE(Near(CentreOfThumbnail(File("photo.bmp")), kBlue));

  // A red one-pixel GIF and a TIFF header: never handed to a decoder.
  test_files::WriteWholeFile(File("red.gif"),
                             std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\x00\x00"
                                         "\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02"
                                         "D\x01\x00;",
                                         35));
  test_files::WriteWholeFile(File("scan.jpg"), std::string("II*\0\x08\0\0\0", 8) +
                                                   std::string(64, '\0'));
  std::string jpeg = test_files::ReadWholeFile(File("jpeg-named.png"));
  test_files::WriteWholeFile(File("broken.jpg"), jpeg.substr(0, jpeg.size() / 3));
  for (const char* pName : {"red.gif", "scan.jpg", "broken.jpg", "missing.jpg"}) {
    EXPECT_EQ(CentreOfThumbnail(File(pName)), fallback) << pName;
  }

  // Declared sizes, patched into real headers.
  std::string png = test_files::ReadWholeFile(File("png-named.jpg"));
  auto pngDeclaring = [&png](uint32_t width, uint32_t height) {
    std::string bytes = png;
    for (int i = 0; i < 4; ++i) {
      bytes[16 + i] = static_cast<char>(width >> (24 - 8 * i));
      bytes[20 + i] = static_cast<char>(height >> (24 - 8 * i));
    }
    return bytes;
  };
  size_t sof = jpeg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  auto jpegDeclaring = [&jpeg, sof](int width, int height) {
    std::string bytes = jpeg;
    bytes[sof + 5] = static_cast<char>(height >> 8);
    bytes[sof + 6] = static_cast<char>(height);
    bytes[sof + 7] = static_cast<char>(width >> 8);
    bytes[sof + 8] = static_cast<char>(width);
    return bytes;
  };
  struct Declared {
    const char* pName;
    std::string bytes;
    bool loads;
  } declared[] = {
      {"huge.png", pngDeclaring(50000, 50000), false},
      {"wide.png", pngDeclaring(8193, 1), false},
      {"many.png", pngDeclaring(4097, 4096), false},
      {"limit.png", pngDeclaring(4096, 4096), true},
      {"over.jpg", jpegDeclaring(12001, 10), false},
      {"large.jpg", jpegDeclaring(12000, 12000), true},
  };
  for (const Declared& entry : declared) {
    SCOPED_TRACE(entry.pName);
    test_files::WriteWholeFile(File(entry.pName), entry.bytes);
    ILqImage* pPicture = NewPicture();
    ASSERT_NE(pPicture, nullptr);
    EXPECT_EQ(SUCCEEDED(pPicture->LoadFile(Windows(File(entry.pName)).c_str())), entry.loads);
    INT width = 0;
    INT height = 0;
    pPicture->GetSize(&width, &height);
    EXPECT_EQ(width > 0, entry.loads);
    pPicture->Release();
    // Refused ones give the default picture; a JPEG within the limits decodes scaled down to the
    // tile whatever it declares (what its data lacks comes out grey).
    const uint32_t centre = CentreOfThumbnail(File(entry.pName));
    if (!entry.loads || std::string(entry.pName) == "limit.png") {
      EXPECT_EQ(centre, fallback);
    } else {
      EXPECT_NE(centre, 0xDEADBEEFu);
    }
    EXPECT_EQ(Pictor::LiveTextureBytes(), 0u);
  }
}

// A JPEG in several scans is decoded whole whatever the scale: up to 16 megapixels it decodes,
// above it is refused before any decoding (default picture, no rise in peak memory). Bytes
// behind a JPEG are not read: none after its end marker, a bounded number without one.
TEST_F(PictorTest, MultiScanPicturesAndTrailingBytesStayWithinBudgets) {
  using Clock = std::chrono::steady_clock;
  const uint32_t fallback = CentreOfThumbnail(DefaultPicture());
  Clock::duration decodeTime{};
  for (auto [pName, frame, height] :
       {std::tuple("below.jpg", '\xC2', 4095), std::tuple("above.jpg", '\xC2', 4097),
        std::tuple("scans.jpg", '\xC0', 4097)}) {
    SCOPED_TRACE(pName);
    test_files::WriteWholeFile(File(pName), GreyInScans(frame, 4096, height));
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const int64_t peak = ProcField("/proc/self/status", "VmHWM:");
    const Clock::time_point start = Clock::now();
    const uint32_t centre = CentreOfThumbnail(File(pName));
    const Clock::duration time = Clock::now() - start;
    const int64_t riseMb = (ProcField("/proc/self/status", "VmHWM:") - peak) / 1024;
    if (height < 4096) {  // 32 MB of coefficients held while it decodes
      EXPECT_TRUE(Near(centre, 0x808080, 2));
      EXPECT_GE(riseMb, 24) << "the peak is not measured";
      decodeTime = time;
    } else {
      EXPECT_EQ(centre, fallback);
      EXPECT_LT(riseMb, 8);
      EXPECT_LT(time, decodeTime);
    }
  }

  // 64 MB of zeros (a sparse tail) behind a small picture, with and without its end marker.
  ASSERT_TRUE(WriteSolid(File("tail.jpg"), kRed, "jpeg"));
  const std::string jpeg = test_files::ReadWholeFile(File("tail.jpg"));
  ASSERT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
  test_files::WriteWholeFile(File("endless.jpg"), jpeg.substr(0, jpeg.size() - 2));
  for (const char* pName : {"tail.jpg", "endless.jpg"}) {
    SCOPED_TRACE(pName);
    std::filesystem::resize_file(File(pName), jpeg.size() + (int64_t{64} << 20));
    const int64_t before = ProcField("/proc/self/io", "rchar:");
    const uint32_t centre = CentreOfThumbnail(File(pName));
    const int64_t read = ProcField("/proc/self/io", "rchar:") - before;
    const bool ended = pName == std::string("tail.jpg");
    EXPECT_TRUE(!ended || Near(centre, kRed));
    EXPECT_LT(read, ended ? 1 << 20 : 32 << 20);
  }
}

// The framework's picture class is the library's once registered; a picture element draws the
// texture it is given, and a buffer of BMP bytes (as the QR page hands in) loads and draws too.
TEST_F(PictorTest, PictureElementsDrawTexturesAndBuffers) {
  ILqElement* pTile = Build(u"PHOTO");
  ASSERT_NE(pTile, nullptr);
  ILqElement* pImage = nullptr;
  ASSERT_EQ(pTile->FindChild(u"userImg", &pImage), S_OK);
  ASSERT_TRUE(WriteSolid(File("blue.png"), kBlue, "png", 60, 60));
  Pictor::HTEXTURE texture = CImageShowPageAdapter::MakeThumbnail(Windows(File("blue.png")), 118,
                                                                  118);
  ASSERT_NE(texture, nullptr);
  ILqImage* pPicture = NewPicture(texture);
  Pictor::DeleteTexture(texture);  // the picture object holds its own reference
  ASSERT_EQ(pImage->SetPictureObject(pPicture), S_OK);
  pPicture->Release();
  cairo_surface_t* pSurface = lq::CLqPainter::Render(lq::CElement::FromInterface(pTile));
  ASSERT_NE(pSurface, nullptr);
  cairo_surface_flush(pSurface);
  auto pixel = [&pSurface](int x, int y) {
    const unsigned char* pData = cairo_image_surface_get_data(pSurface);
    return reinterpret_cast<const uint32_t*>(pData + y * cairo_image_surface_get_stride(pSurface))[x] &
           0xFFFFFF;
  };
  EXPECT_TRUE(Near(pixel(60, 60), kBlue));
  cairo_surface_destroy(pSurface);
  EXPECT_EQ(pImage->SetPictureObject(nullptr), S_OK);
  EXPECT_EQ(Pictor::LiveTextureCount(), m_textures);

  ASSERT_TRUE(WriteSolid(File("qr.bmp"), kRed, "bmp", 25, 25));
  std::string bytes = test_files::ReadWholeFile(File("qr.bmp"));
  IKwBuffer* pBuffer = nullptr;
  ASSERT_EQ(Util::Data::CreateKwBuffer(&pBuffer), S_OK);
  ASSERT_EQ(pBuffer->SetData(reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
            S_OK);
  ILqImage* pQr = NewPicture();
  ASSERT_EQ(pQr->LoadBuffer(pBuffer), S_OK);
  pBuffer->Release();
  INT width = 0;
  INT height = 0;
  ASSERT_EQ(pQr->GetSize(&width, &height), S_OK);
  EXPECT_EQ(width, 25);
  ASSERT_EQ(pImage->SetPictureObject(pQr), S_OK);
  pQr->Release();
  pSurface = lq::CLqPainter::Render(lq::CElement::FromInterface(pTile));
  ASSERT_NE(pSurface, nullptr);
  cairo_surface_flush(pSurface);
  EXPECT_TRUE(Near(pixel(12, 12), kRed));
  cairo_surface_destroy(pSurface);
  pImage->Release();
  pTile->Release();
}

// Canvases: sizes over the limits are refused, a mix honours its alpha and source rectangle, and
// a texture is a copy that later drawing on the canvas does not change.
TEST_F(PictorTest, CanvasesMixAndTexturesCopy) {
  using namespace Pictor;
  EXPECT_EQ(CreateCanvas(0, 10, 0), nullptr);
  EXPECT_EQ(CreateCanvas(-1, 10, 0), nullptr);
  EXPECT_EQ(CreateCanvas(kMaxCanvasSide + 1, 1, 0), nullptr);
  EXPECT_EQ(CreateCanvas(8192, 8192, 0), nullptr);  // 64 megapixels
  HCANVAS target = CreateCanvas(20, 10, 0);
  HCANVAS source = CreateCanvas(10, 10, 0);
  ASSERT_TRUE(target && source);
  RECT all{0, 0, 20, 10};
  FillSolidRectEx(target, kOpaqueWhite, &all, 0);
  FillSolidRectEx(source, 0xFF000000, &all, 0);
  RECT right{5, 0, 10, 10};
  POINT at{15, 0};
  ASSERT_TRUE(MixCanvas(target, &at, source, &right, 128));
  HTEXTURE texture = CanvasToTexture(target);
  ASSERT_NE(texture, nullptr);
  FillSolidRectEx(target, 0xFF00FF00, &all, 0);
  EXPECT_EQ(PixelOf(texture, 5, 5), 0xFFFFFFu);
  uint32_t mixed = PixelOf(texture, 17, 5);
  EXPECT_TRUE(Near(mixed, 0x7F7F7F, 2)) << std::hex << mixed;
  EXPECT_EQ(Pictor::LiveTextureBytes(), 20u * 10 * 4);
  DeleteTexture(texture);
  DeleteCanvas(target);
  DeleteCanvas(source);
}

}  // namespace
