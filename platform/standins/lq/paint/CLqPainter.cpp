#include "CLqPainter.h"

#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>

#include "CCheckElement.h"
#include "CEditElement.h"
#include "CImageObject.h"
#include "CMenuElement.h"
#include "CScrollElement.h"
#include "CWindowElement.h"
#include "ResourcePath.h"
#include "win32/strings.h"

using namespace win32;

namespace lq {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kEditBorderColor = 0xFFC5D5E8;

struct SurfaceDeleter {
  void operator()(cairo_surface_t* pSurface) const { cairo_surface_destroy(pSurface); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// Decoded pictures by resolved path; a failed decode is remembered as null.
std::map<std::u16string, Surface>& PictureCache() {
  static auto* pCache = new std::map<std::u16string, Surface>;
  return *pCache;
}

struct ReadCursor {
  const std::string* pBytes;
  size_t at;
};

cairo_status_t ReadChunk(void* pClosure, unsigned char* pData, unsigned int length) {
  auto* pCursor = static_cast<ReadCursor*>(pClosure);
  if (pCursor->at + length > pCursor->pBytes->size()) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(pData, pCursor->pBytes->data() + pCursor->at, length);
  pCursor->at += length;
  return CAIRO_STATUS_SUCCESS;
}

int32_t Le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return static_cast<int32_t>(value);
}

uint16_t Le16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) |
                               (static_cast<uint8_t>(bytes[at + 1]) << 8));
}

// An uncompressed 24- or 32-bit BMP file (the QR symbols come so).
cairo_surface_t* DecodeBmp(const std::string& bytes) {
  if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return nullptr;
  uint32_t offset = static_cast<uint32_t>(Le32(bytes, 10));
  int32_t width = Le32(bytes, 18);
  int32_t height = Le32(bytes, 22);
  uint16_t bits = Le16(bytes, 28);
  if (Le32(bytes, 30) != 0 || (bits != 24 && bits != 32) || width <= 0 || height == 0 ||
      width > 16384 || height > 16384 || height < -16384) {
    return nullptr;
  }
  bool bottomUp = height > 0;
  int rows = std::abs(height);
  size_t rowBytes = ((static_cast<size_t>(width) * bits / 8) + 3) & ~size_t{3};
  if (offset > bytes.size() || bytes.size() - offset < rowBytes * static_cast<size_t>(rows)) {
    return nullptr;
  }
  cairo_surface_t* pSurface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, rows);
  unsigned char* pPixels = cairo_image_surface_get_data(pSurface);
  int stride = cairo_image_surface_get_stride(pSurface);
  for (int y = 0; y < rows; ++y) {
    const char* pSource = bytes.data() + offset + rowBytes * (bottomUp ? rows - 1 - y : y);
    auto* pTarget = reinterpret_cast<uint32_t*>(pPixels + static_cast<size_t>(y) * stride);
    for (int x = 0; x < width; ++x) {
      const auto* p = reinterpret_cast<const uint8_t*>(pSource + static_cast<size_t>(x) * bits / 8);
      pTarget[x] = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
    }
  }
  cairo_surface_mark_dirty(pSurface);
  return pSurface;
}

// A picture file's bytes (PNG or BMP); null when they are neither.
cairo_surface_t* Decode(const std::string& bytes) {
  if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return DecodeBmp(bytes);
  ReadCursor cursor{&bytes, 0};
  cairo_surface_t* pSurface = cairo_image_surface_create_from_png_stream(&ReadChunk, &cursor);
  if (cairo_surface_status(pSurface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(pSurface);
    return nullptr;
  }
  return pSurface;
}

cairo_surface_t* PictureFromPath(const std::u16string& reference) {
  std::u16string path = ResolvePicturePath(reference);
  if (path.empty()) return nullptr;
  auto& cache = PictureCache();
  auto it = cache.find(path);
  if (it == cache.end()) {
    std::string bytes;
    Surface decoded(ReadWholeFile(path, &bytes) ? Decode(bytes) : nullptr);
    it = cache.emplace(path, std::move(decoded)).first;
  }
  return it->second.get();
}

// The pixels of another library's picture object, drawn where they lie: the surface holds the
// object until cairo lets it go. Null when the object has none.
cairo_surface_t* SurfaceOfPixels(IUnknown* pObject) {
  ILqPixels* pPixels = nullptr;
  if (FAILED(pObject->QueryInterface(IID_ILqPixels, reinterpret_cast<void**>(&pPixels)))) {
    return nullptr;
  }
  const BYTE* pData = nullptr;
  INT width = 0;
  INT height = 0;
  INT stride = 0;
  if (FAILED(pPixels->GetPixels(&pData, &width, &height, &stride)) || !pData || width <= 0 ||
      height <= 0 || stride != cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width)) {
    pPixels->Release();
    return nullptr;
  }
  cairo_surface_t* pSurface = cairo_image_surface_create_for_data(
      const_cast<unsigned char*>(pData), CAIRO_FORMAT_ARGB32, width, height, stride);
  static cairo_user_data_key_t s_ownerKey;
  auto release = [](void* pOwner) { static_cast<ILqPixels*>(pOwner)->Release(); };
  if (cairo_surface_status(pSurface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_set_user_data(pSurface, &s_ownerKey, pPixels, release) !=
          CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(pSurface);
    pPixels->Release();
    return nullptr;
  }
  return pSurface;
}

// The picture to draw, with a reference for the caller; null for none.
cairo_surface_t* PictureOf(const PictureRef& picture) {
  if (!picture.Path().empty()) {
    cairo_surface_t* pSurface = PictureFromPath(picture.Path());
    return pSurface ? cairo_surface_reference(pSurface) : nullptr;
  }
  IUnknown* pObject = picture.Object();
  if (!pObject) return nullptr;
  if (CImageObject* pImage = CImageObject::FromInterface(pObject)) return Decode(pImage->Bytes());
  if (cairo_surface_t* pSurface = SurfaceOfPixels(pObject)) return pSurface;
  IKwBuffer* pBuffer = nullptr;
  if (FAILED(pObject->QueryInterface(IID_IKwBuffer, reinterpret_cast<void**>(&pBuffer)))) {
    return nullptr;
  }
  const BYTE* pData = nullptr;
  DWORD size = 0;
  cairo_surface_t* pSurface = nullptr;
  if (SUCCEEDED(pBuffer->GetData(&pData)) && SUCCEEDED(pBuffer->GetSize(&size)) && pData) {
    pSurface = Decode(std::string(reinterpret_cast<const char*>(pData), size));
  }
  pBuffer->Release();
  return pSurface;
}

void SetColor(cairo_t* cr, uint32_t argb) {
  cairo_set_source_rgba(cr, ((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0,
                        (argb & 0xFF) / 255.0, ((argb >> 24) & 0xFF) / 255.0);
}

void RoundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
  if (r <= 0) {
    cairo_rectangle(cr, x, y, w, h);
    return;
  }
  r = std::min(r, std::min(w, h) / 2);
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
  cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
  cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
  cairo_close_path(cr);
}

void DrawPicture(cairo_t* cr, cairo_surface_t* pPicture, double width, double height,
                 const Look& look) {
  double pw = cairo_image_surface_get_width(pPicture);
  double ph = cairo_image_surface_get_height(pPicture);
  if (pw <= 0 || ph <= 0) return;
  cairo_save(cr);
  if (look.stretchPicture) {
    cairo_scale(cr, width / pw, height / ph);
    cairo_set_source_surface(cr, pPicture, 0, 0);
  } else {
    // At its own size, centred, on white reaching `quietZone` beyond it.
    double x = std::floor((width - pw) / 2);
    double y = std::floor((height - ph) / 2);
    if (look.quietZone > 0) {
      cairo_set_source_rgb(cr, 1, 1, 1);
      cairo_rectangle(cr, x - look.quietZone, y - look.quietZone, pw + 2 * look.quietZone,
                      ph + 2 * look.quietZone);
      cairo_fill(cr);
    }
    cairo_set_source_surface(cr, pPicture, x, y);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  }
  cairo_paint(cr);
  cairo_restore(cr);
}

// Pango would otherwise load the font configuration on a thread of its own while the first
// text is laid out; loaded here first, every lookup finds it complete.
void LoadFontConfiguration() {
  static bool loaded = FcInit() != FcFalse;
  (void)loaded;
}

// Lays `text` out as plain text in the box and draws it.
void DrawText(cairo_t* cr, const std::u16string& text, double x, double y, double width,
              double height, const Look& look, uint32_t color, bool underline) {
  if (text.empty() || width <= 0) return;
  LoadFontConfiguration();
  PangoLayout* pLayout = pango_cairo_create_layout(cr);
  std::string utf8 = Utf16ToUtf8(text);
  pango_layout_set_text(pLayout, utf8.c_str(), static_cast<int>(utf8.size()));
  PangoFontDescription* pFont = pango_font_description_from_string("Sans");
  pango_font_description_set_absolute_size(pFont, look.fontSize * PANGO_SCALE);
  if (look.bold) pango_font_description_set_weight(pFont, PANGO_WEIGHT_BOLD);
  pango_layout_set_font_description(pLayout, pFont);
  pango_font_description_free(pFont);
  pango_layout_set_width(pLayout, static_cast<int>(width * PANGO_SCALE));
  if (look.multiline) {
    pango_layout_set_wrap(pLayout, PANGO_WRAP_WORD_CHAR);
  } else {
    pango_layout_set_ellipsize(pLayout, PANGO_ELLIPSIZE_END);
  }
  pango_layout_set_alignment(pLayout, look.align == TextAlign::kCenter  ? PANGO_ALIGN_CENTER
                                      : look.align == TextAlign::kRight ? PANGO_ALIGN_RIGHT
                                                                        : PANGO_ALIGN_LEFT);
  if (underline) {
    PangoAttrList* pAttributes = pango_attr_list_new();
    pango_attr_list_insert(pAttributes, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
    pango_layout_set_attributes(pLayout, pAttributes);
    pango_attr_list_unref(pAttributes);
  }
  int textWidth = 0;
  int textHeight = 0;
  pango_layout_get_pixel_size(pLayout, &textWidth, &textHeight);
  double top = look.multiline ? y : y + std::max(0.0, (height - textHeight) / 2);
  SetColor(cr, color);
  cairo_move_to(cr, x, top);
  pango_cairo_show_layout(cr, pLayout);
  g_object_unref(pLayout);
}

void DrawCheckBox(cairo_t* cr, bool checked, double height) {
  double top = std::floor((height - 14) / 2);
  cairo_set_line_width(cr, 1);
  SetColor(cr, checked ? 0xFF2D8CF0 : 0xFFFFFFFF);
  cairo_rectangle(cr, 0.5, top + 0.5, 13, 13);
  cairo_fill_preserve(cr);
  SetColor(cr, checked ? 0xFF2D8CF0 : 0xFF9AA7B8);
  cairo_stroke(cr);
  if (!checked) return;
  SetColor(cr, 0xFFFFFFFF);
  cairo_set_line_width(cr, 2);
  cairo_move_to(cr, 3, top + 7);
  cairo_line_to(cr, 6, top + 10);
  cairo_line_to(cr, 11, top + 4);
  cairo_stroke(cr);
}

void DrawDrive(cairo_t* cr, double width) {
  double x = width / 2 - 26;
  RoundedRect(cr, x, 20, 52, 40, 5);
  SetColor(cr, 0xFF7F8FA6);
  cairo_fill(cr);
  SetColor(cr, 0xFFE9EEF5);
  cairo_rectangle(cr, x + 6, 26, 40, 20);
  cairo_fill(cr);
  SetColor(cr, 0xFF2BB673);
  cairo_arc(cr, x + 44, 53, 2.5, 0, 2 * kPi);
  cairo_fill(cr);
}

uint32_t BackgroundOf(CElement* pElement, const Look& look) {
  if (!pElement->EnabledFlag() && look.disabledBackground) return look.disabledBackground;
  if (pElement->Kind() == ElementKind::kTabItem &&
      pElement->StateValue() == LqSetting::kStateSelected && look.selectedBackground) {
    return look.selectedBackground;
  }
  if (pElement->IsHovered() && look.hoverBackground) return look.hoverBackground;
  return look.background;
}

void PaintElement(cairo_t* cr, CElement* pElement, bool isRoot, const CElement* pLeftOut);

void PaintChildren(cairo_t* cr, CElement* pElement, const CElement* pLeftOut) {
  pElement->ArrangeChildren();
  POINT scroll{0, 0};
  if (pElement->Kind() == ElementKind::kScroll || pElement->Kind() == ElementKind::kTabStrip) {
    scroll = static_cast<CScrollElement*>(pElement)->ScrollPosition();
  }
  // Only what the clip still shows: a photo grid holds thousands of tiles out of sight.
  double clipLeft = 0;
  double clipTop = 0;
  double clipRight = 0;
  double clipBottom = 0;
  cairo_clip_extents(cr, &clipLeft, &clipTop, &clipRight, &clipBottom);
  for (CElement* pChild : pElement->Children()) {
    if (pChild->HiddenFlag() || pChild == pLeftOut) continue;
    const RECT& rect = pChild->Rect();
    double left = rect.left - scroll.x;
    double top = rect.top - scroll.y;
    if (left >= clipRight || top >= clipBottom || left + (rect.right - rect.left) <= clipLeft ||
        top + (rect.bottom - rect.top) <= clipTop) {
      continue;
    }
    cairo_save(cr);
    cairo_translate(cr, pChild->Rect().left - scroll.x, pChild->Rect().top - scroll.y);
    PaintElement(cr, pChild, false, pLeftOut);
    cairo_restore(cr);
  }
}

void PaintContent(cairo_t* cr, CElement* pElement, const Look& look, double width,
                  double height) {
  uint32_t background = BackgroundOf(pElement, look);
  if (pElement->Kind() == ElementKind::kEdit && !background) background = 0xFFFFFFFF;
  if (background) {
    SetColor(cr, background);
    RoundedRect(cr, 0, 0, width, height, look.radius);
    cairo_fill(cr);
  }
  if (const PictureRef* pBackground = pElement->Background()) {
    if (cairo_surface_t* pPicture = PictureOf(*pBackground)) {
      Look stretched = look;
      stretched.stretchPicture = true;
      DrawPicture(cr, pPicture, width, height, stretched);
      cairo_surface_destroy(pPicture);
    }
  }
  if (cairo_surface_t* pPicture = PictureOf(pElement->Picture())) {
    if (pElement->Kind() == ElementKind::kMenuItem) {
      cairo_save(cr);
      cairo_translate(cr, look.padding, std::floor((height - 16) / 2));
      Look icon = look;
      icon.stretchPicture = true;
      DrawPicture(cr, pPicture, 16, 16, icon);
      cairo_restore(cr);
    } else {
      DrawPicture(cr, pPicture, width, height, look);
    }
    cairo_surface_destroy(pPicture);
  }

  uint32_t color = pElement->EnabledFlag() ? look.textColor : look.disabledTextColor;
  double left = look.padding;
  double top = 0;
  std::u16string text = pElement->TextValue();
  switch (pElement->Kind()) {
    case ElementKind::kCheck:
      DrawCheckBox(cr, static_cast<CCheckElement*>(pElement)->Checked(), height);
      left = 20;
      break;
    case ElementKind::kTabItem: {
      DrawDrive(cr, width);
      INT values[4];
      if (pElement->SettingValue(LqSetting::kTabItemTextTop, values)) top = values[0];
      break;
    }
    case ElementKind::kMenuItem:
      left = look.padding + 24;
      color = pElement->EnabledFlag() ? CMenuElement::ItemTextColor(pElement)
                                      : look.disabledTextColor;
      break;
    case ElementKind::kEdit: {
      INT values[4];
      left = pElement->SettingValue(LqSetting::kEditPadding, values) ? values[0] : 6;
      break;
    }
    case ElementKind::kWindow:
      text.clear();  // the title shows in the caption label
      break;
    default:
      break;
  }
  if (look.role == WindowRole::kTitle) {
    if (CWindowElement* pWindow = pElement->TopLevel()) text = pWindow->Title();
  }
  if (pElement->Kind() == ElementKind::kTabItem) {
    DrawText(cr, text, 0, top, width, height - top - 18, look, color, false);
  } else {
    DrawText(cr, text, left, top, width - left - look.padding, height - top, look, color,
             look.underline || (pElement->Kind() == ElementKind::kLink && pElement->IsHovered()));
  }
  uint32_t border = look.border;
  if (pElement->Kind() == ElementKind::kEdit && !border) border = kEditBorderColor;
  if (border) {
    SetColor(cr, border);
    cairo_set_line_width(cr, 1);
    RoundedRect(cr, 0.5, 0.5, width - 1, height - 1, look.radius);
    cairo_stroke(cr);
  }
}

void PaintElement(cairo_t* cr, CElement* pElement, bool isRoot, const CElement* pLeftOut) {
  if (pElement->IsDestroyed()) return;
  const Look& look = pElement->GetLook();
  const RECT& rect = pElement->Rect();
  double width = rect.right - rect.left;
  double height = rect.bottom - rect.top;
  bool fading = !isRoot && pElement->OpacityValue() < 255;
  cairo_save(cr);
  cairo_rectangle(cr, 0, 0, width, height);
  cairo_clip(cr);
  if (fading) cairo_push_group(cr);
  PaintContent(cr, pElement, look, width, height);
  PaintChildren(cr, pElement, pLeftOut);
  if (fading) {
    cairo_pop_group_to_source(cr);
    cairo_paint_with_alpha(cr, pElement->OpacityValue() / 255.0);
  }
  cairo_restore(cr);
}

bool TakesPointer(CElement* pElement) {
  return pElement->IsClickable() || pElement->Kind() == ElementKind::kEdit ||
         pElement->GetLook().role != WindowRole::kNone;
}

CElement* HitBelow(CElement* pElement, int x, int y) {
  pElement->ArrangeChildren();
  POINT scroll{0, 0};
  if (pElement->Kind() == ElementKind::kScroll || pElement->Kind() == ElementKind::kTabStrip) {
    scroll = static_cast<CScrollElement*>(pElement)->ScrollPosition();
  }
  const std::vector<CElement*>& children = pElement->Children();
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    CElement* pChild = *it;
    const RECT& rect = pChild->Rect();
    int cx = x + scroll.x;
    int cy = y + scroll.y;
    if (pChild->HiddenFlag() || cx < rect.left || cx >= rect.right || cy < rect.top ||
        cy >= rect.bottom) {
      continue;
    }
    if (CElement* pDeeper = HitBelow(pChild, cx - rect.left, cy - rect.top)) return pDeeper;
    if (TakesPointer(pChild)) return pChild;
  }
  return nullptr;
}

}  // namespace

void CLqPainter::Paint(cairo_t* cr, CElement* pRoot, const CElement* pLeftOut) {
  if (!pRoot || pRoot->IsDestroyed()) return;
  cairo_save(cr);
  // Text looks the same on every target: an X window's surface would otherwise hint glyphs as
  // the X resources say (full by default) and a picture's as the font configuration says.
  static cairo_font_options_t* s_pFontOptions = [] {
    cairo_font_options_t* pOptions = cairo_font_options_create();
    cairo_font_options_set_antialias(pOptions, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(pOptions, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(pOptions, CAIRO_HINT_METRICS_ON);
    return pOptions;
  }();
  cairo_set_font_options(cr, s_pFontOptions);
  if (pRoot->Kind() == ElementKind::kWindow || pRoot->Kind() == ElementKind::kMenu) {
    // A top-level is opaque: white under whatever its layout draws.
    const RECT& rect = pRoot->Rect();
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, 0, 0, rect.right - rect.left, rect.bottom - rect.top);
    cairo_fill(cr);
  }
  PaintElement(cr, pRoot, true, pLeftOut);
  cairo_restore(cr);
}

cairo_surface_t* CLqPainter::Render(CElement* pRoot, const CElement* pLeftOut) {
  if (!pRoot || pRoot->IsDestroyed()) return nullptr;
  const RECT& rect = pRoot->Rect();
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return nullptr;
  cairo_surface_t* pSurface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(pSurface);
  Paint(cr, pRoot, pLeftOut);
  cairo_destroy(cr);
  cairo_surface_flush(pSurface);
  return pSurface;
}

bool CLqPainter::WritePng(CElement* pRoot, const std::string& posixPath,
                          const CElement* pLeftOut) {
  cairo_surface_t* pSurface = Render(pRoot, pLeftOut);
  if (!pSurface) return false;
  bool ok = cairo_surface_write_to_png(pSurface, posixPath.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(pSurface);
  return ok;
}

CElement* CLqPainter::HitTest(CElement* pRoot, int x, int y) {
  if (!pRoot || pRoot->IsDestroyed()) return nullptr;
  const RECT& rect = pRoot->Rect();
  if (x < 0 || y < 0 || x >= rect.right - rect.left || y >= rect.bottom - rect.top) return nullptr;
  return HitBelow(pRoot, x, y);
}

void CLqPainter::ForgetPictures() { PictureCache().clear(); }

void CLqPainter::ReleaseCachesAtExit() {
  ForgetPictures();
  pango_cairo_font_map_set_default(nullptr);
}

}  // namespace lq
