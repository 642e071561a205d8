// The painter off screen: every window renders (kept under <build>/artifacts/ui-headless/), the
// caption shows the window's text in ink, texts stay plain, a QR symbol shows at its own size on
// a white quiet zone, and hit tests find what takes the pointer.

#include <gtest/gtest.h>

#include <filesystem>

#include "Basalt/Util.h"
#include "CLqPainter.h"
#include "UiTestSupport.h"

using namespace win32;
using namespace ui_test;

namespace {

class PainterTest : public CUiTest {
 protected:
  static uint32_t Pixel(cairo_surface_t* pSurface, int x, int y) {
    const unsigned char* pData = cairo_image_surface_get_data(pSurface);
    return *reinterpret_cast<const uint32_t*>(pData + y * cairo_image_surface_get_stride(pSurface) +
                                              x * 4);
  }
  // Columns of the box holding any pixel with alpha.
  static int InkWidth(cairo_surface_t* pSurface) {
    int first = -1;
    int last = -1;
    for (int x = 0; x < cairo_image_surface_get_width(pSurface); ++x) {
      for (int y = 0; y < cairo_image_surface_get_height(pSurface); ++y) {
        if (Pixel(pSurface, x, y) >> 24) {
          if (first < 0) first = x;
          last = x;
          break;
        }
      }
    }
    return first < 0 ? 0 : last - first + 1;
  }
};

TEST_F(PainterTest, EveryWindowRendersAndTheCaptionShowsItsText) {
  std::string folder = std::string(LUMIDOCK_BIN_DIR) + "/../artifacts/ui-headless";
  std::filesystem::create_directories(folder);
  for (const char16_t* pFrame :
       {u"MainWnd", u"NotifyUnInsBriskenWindow", u"ChangeDirWindow", u"UnBindMsgBox",
        u"NotifyUnBindMsgNew", u"NotifyUnBindMsgRightBottomTip", u"ExitReason1"}) {
    ILqElement* pWindow = Build(pFrame);
    ASSERT_NE(pWindow, nullptr);
    EXPECT_TRUE(lq::CLqPainter::WritePng(lq::CElement::FromInterface(pWindow),
                                         folder + "/" + Utf16ToUtf8(pFrame) + ".png"));
    pWindow->Close();
    pWindow->Release();
  }
  ILqElement* pMain = Build(u"MainWnd");
  lq::CElement* pRoot = lq::CElement::FromInterface(pMain);
  lq::CElement* pStatus = Find(pMain, u"statusLine");
  const RECT& line = pStatus->Rect();
  cairo_surface_t* pBefore = lq::CLqPainter::Render(pRoot);
  ASSERT_NE(pBefore, nullptr);
  // The blue band of the background picture under the caption.
  uint32_t band = Pixel(pBefore, 300, 30);
  EXPECT_GT(band & 0xFF, 0xB0u);
  EXPECT_LT((band >> 16) & 0xFF, 0x60u);
  pMain->SetText(u"正在连接服务器，请稍候");
  cairo_surface_t* pAfter = lq::CLqPainter::Render(pRoot);
  // The new words changed the label's pixels well past where the frame name ended.
  int changed = 0;
  for (int y = line.top; y < line.bottom; ++y) {
    for (int x = line.left + 80; x < line.right; ++x) {
      changed += Pixel(pBefore, x, y) != Pixel(pAfter, x, y);
    }
  }
  EXPECT_GT(changed, 300);
  cairo_surface_destroy(pBefore);
  cairo_surface_destroy(pAfter);
  pMain->Close();
  pMain->Release();
}

TEST_F(PainterTest, MarkupIsShownAsTyped) {
  ILqElement* pItem = Build(u"RightBarItem");
  lq::CElement* pName = Find(pItem, u"phoneName");
  pName->SetText(u"x");
  cairo_surface_t* pPlain = lq::CLqPainter::Render(pName);
  pName->SetText(u"<span foreground='red'>x</span>");
  cairo_surface_t* pMarkup = lq::CLqPainter::Render(pName);
  EXPECT_GT(InkWidth(pMarkup), 5 * InkWidth(pPlain));
  // White text: nothing turned red.
  int red = 0;
  for (int y = 0; y < cairo_image_surface_get_height(pMarkup); ++y) {
    for (int x = 0; x < cairo_image_surface_get_width(pMarkup); ++x) {
      uint32_t p = Pixel(pMarkup, x, y);
      red += ((p >> 16) & 0xFF) > ((p >> 8) & 0xFF) + 60;
    }
  }
  EXPECT_EQ(red, 0);
  cairo_surface_destroy(pPlain);
  cairo_surface_destroy(pMarkup);
  pItem->Release();
}

// A 100 x 100 BMP from a buffer: drawn 1:1, centred, with 16 white pixels around.
TEST_F(PainterTest, QrSymbolAtItsOwnSizeOnAQuietZone) {
  const int size = 100;
  const int rowBytes = size * 3;
  std::string bmp(54 + rowBytes * size, '\0');
  auto put32 = [&bmp](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<char>(value >> (8 * i));
  };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put32(2, static_cast<uint32_t>(bmp.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, size);
  put32(22, size);
  bmp[26] = 1;
  bmp[28] = 24;
  IKwBuffer* pBuffer = nullptr;
  ASSERT_EQ(Util::Data::CreateKwBuffer(&pBuffer), S_OK);
  pBuffer->SetData(reinterpret_cast<const BYTE*>(bmp.data()), static_cast<DWORD>(bmp.size()));

  ILqElement* pMain = Build(u"MainWnd");
  Find(pMain, u"InitPage")->Show(0);
  Find(pMain, u"QRCodePage")->Show(5);
  Find(pMain, u"qrloading")->Show(0);
  lq::CElement* pSymbol = Find(pMain, u"qrCode_BindImg");
  ASSERT_EQ(pSymbol->SetPictureObject(pBuffer), S_OK);
  pBuffer->Release();
  cairo_surface_t* pSurface = lq::CLqPainter::Render(lq::CElement::FromInterface(pMain));
  POINT origin = pSymbol->OffsetInTopLevel();
  int left = origin.x + (260 - size) / 2;
  int top = origin.y + (260 - size) / 2;
  EXPECT_EQ(Pixel(pSurface, left, top) & 0xFFFFFF, 0u);
  EXPECT_EQ(Pixel(pSurface, left + size - 1, top + size - 1) & 0xFFFFFF, 0u);
  for (int gap : {1, 8, 16}) {
    EXPECT_EQ(Pixel(pSurface, left - gap, top) & 0xFFFFFF, 0xFFFFFFu) << gap;
    EXPECT_EQ(Pixel(pSurface, left + size - 1 + gap, top + size - 1) & 0xFFFFFF, 0xFFFFFFu) << gap;
  }
  cairo_surface_destroy(pSurface);
  pMain->Close();
  pMain->Release();
}

TEST_F(PainterTest, HitTestsFindWhatTakesThePointer) {
  ILqElement* pMain = Build(u"MainWnd");
  lq::CElement* pRoot = lq::CElement::FromInterface(pMain);
  EXPECT_EQ(lq::CLqPainter::HitTest(pRoot, 692, 18), Find(pMain, u"menubtn"));
  EXPECT_EQ(lq::CLqPainter::HitTest(pRoot, 754, 18), Find(pMain, u"closebtn"));
  // The shown page's button, not the hidden page's at the same place.
  lq::CElement* pInitNext = Find(pMain, u"nextStep");
  EXPECT_EQ(lq::CLqPainter::HitTest(pRoot, 387, 36 + 360), pInitNext);
  EXPECT_EQ(lq::CLqPainter::HitTest(pRoot, 387, 36 + 400), nullptr);
  Find(pMain, u"InitPage")->Show(0);
  Find(pMain, u"chooseDirFrame")->Show(5);
  lq::CElement* pChooseNext = Find(Find(pMain, u"chooseDirFrame"), u"nextStep");
  EXPECT_EQ(lq::CLqPainter::HitTest(pRoot, 387, 36 + 400), pChooseNext);
  EXPECT_EQ(lq::CLqPainter::HitTest(pRoot, 300, 36 + 300), Find(pMain, u"dirEdit"));
  EXPECT_EQ(lq::CLqPainter::HitTest(pRoot, 800, 10), nullptr);
  pMain->Close();
  pMain->Release();
}

}  // namespace
