// Draws the program's pictures with cairo at build time: the backgrounds and buttons the layout
// file names, the placeholders, the phone images, both 30-frame busy animations, the menu icons,
// and the program icons "Harborlight.ico" and the install popup's "Ferrylink.ico" (16 and 32
// pixels). Nothing drawn here is stored in the source tree.
// Usage: make_harborlight_art <runtime folder>   (writes <folder>/res/... and the icons)

#include <cairo.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "IcoWriter.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kAnimationFrames = 30;

struct Rgb {
  double r, g, b;
};

constexpr Rgb kBlue{0x2D / 255.0, 0x8C / 255.0, 0xF0 / 255.0};
constexpr Rgb kDeepBlue{0x1F / 255.0, 0x6F / 255.0, 0xD0 / 255.0};
constexpr Rgb kWhite{1, 1, 1};
constexpr Rgb kGrey{0.62, 0.65, 0.70};
constexpr Rgb kLight{0.95, 0.96, 0.98};
constexpr Rgb kGreen{0x2B / 255.0, 0xB6 / 255.0, 0x73 / 255.0};
constexpr Rgb kOrange{0xF5 / 255.0, 0x9A / 255.0, 0x23 / 255.0};

using Painter = std::function<void(cairo_t*, int width, int height)>;

void SetColor(cairo_t* cr, Rgb c, double alpha = 1.0) {
  cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

void RoundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
  cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
  cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
  cairo_close_path(cr);
}

bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  return true;
}

bool WritePng(const std::string& path, int width, int height, const Painter& paint) {
  MakeFolders(path);
  cairo_surface_t* pSurface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(pSurface);
  paint(cr, width, height);
  cairo_destroy(cr);
  cairo_status_t status = cairo_surface_write_to_png(pSurface, path.c_str());
  cairo_surface_destroy(pSurface);
  if (status != CAIRO_STATUS_SUCCESS) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), cairo_status_to_string(status));
    return false;
  }
  return true;
}

// --- Backgrounds ---

void PaintBackground(cairo_t* cr, int width, int height, int blueHeight) {
  cairo_pattern_t* pBody = cairo_pattern_create_linear(0, blueHeight, 0, height);
  cairo_pattern_add_color_stop_rgb(pBody, 0, 0.97, 0.98, 1.0);
  cairo_pattern_add_color_stop_rgb(pBody, 1, 0.92, 0.95, 0.99);
  cairo_set_source(cr, pBody);
  cairo_paint(cr);
  cairo_pattern_destroy(pBody);
  cairo_pattern_t* pTop = cairo_pattern_create_linear(0, 0, width, blueHeight);
  cairo_pattern_add_color_stop_rgb(pTop, 0, kDeepBlue.r, kDeepBlue.g, kDeepBlue.b);
  cairo_pattern_add_color_stop_rgb(pTop, 1, kBlue.r, kBlue.g, kBlue.b);
  cairo_set_source(cr, pTop);
  cairo_rectangle(cr, 0, 0, width, blueHeight);
  cairo_fill(cr);
  cairo_pattern_destroy(pTop);
  // A faint swell along the band's lower edge.
  SetColor(cr, kWhite, 0.08);
  cairo_move_to(cr, 0, blueHeight);
  cairo_curve_to(cr, width * 0.3, blueHeight - 18, width * 0.6, blueHeight + 6, width,
                 blueHeight - 12);
  cairo_line_to(cr, width, blueHeight);
  cairo_close_path(cr);
  cairo_fill(cr);
}

// --- Glyphs on transparent ground ---

void PaintLogo(cairo_t* cr, int w, int) {
  double s = w;
  SetColor(cr, kWhite);
  cairo_arc(cr, s / 2, s / 2, s / 2 - 0.5, 0, 2 * kPi);
  cairo_fill(cr);
  // A lighthouse: tower, lamp and two beams.
  SetColor(cr, kBlue);
  cairo_move_to(cr, s * 0.42, s * 0.82);
  cairo_line_to(cr, s * 0.46, s * 0.38);
  cairo_line_to(cr, s * 0.54, s * 0.38);
  cairo_line_to(cr, s * 0.58, s * 0.82);
  cairo_close_path(cr);
  cairo_fill(cr);
  SetColor(cr, kOrange);
  cairo_rectangle(cr, s * 0.44, s * 0.26, s * 0.12, s * 0.12);
  cairo_fill(cr);
  cairo_move_to(cr, s * 0.44, s * 0.32);
  cairo_line_to(cr, s * 0.12, s * 0.22);
  cairo_line_to(cr, s * 0.12, s * 0.42);
  cairo_close_path(cr);
  cairo_move_to(cr, s * 0.56, s * 0.32);
  cairo_line_to(cr, s * 0.88, s * 0.22);
  cairo_line_to(cr, s * 0.88, s * 0.42);
  cairo_close_path(cr);
  cairo_fill(cr);
}

void Stroke(cairo_t* cr, Rgb color, double width) {
  SetColor(cr, color);
  cairo_set_line_width(cr, width);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_stroke(cr);
}

void PaintMenuButton(cairo_t* cr, int, int) {
  for (int i = 0; i < 3; ++i) {
    cairo_move_to(cr, 6, 8 + i * 4);
    cairo_line_to(cr, 18, 8 + i * 4);
  }
  Stroke(cr, kWhite, 1.8);
}

void PaintMinimizeButton(cairo_t* cr, int, int) {
  cairo_move_to(cr, 7, 12);
  cairo_line_to(cr, 17, 12);
  Stroke(cr, kWhite, 1.8);
}

void PaintCross(cairo_t* cr, int w, int h, Rgb color, double inset, double width) {
  cairo_move_to(cr, inset, inset);
  cairo_line_to(cr, w - inset, h - inset);
  cairo_move_to(cr, w - inset, inset);
  cairo_line_to(cr, inset, h - inset);
  Stroke(cr, color, width);
}

void PaintArrow(cairo_t* cr, int w, int h, bool left) {
  double x0 = left ? w * 0.65 : w * 0.35;
  double x1 = left ? w * 0.35 : w * 0.65;
  cairo_move_to(cr, x0, h * 0.3);
  cairo_line_to(cr, x1, h * 0.5);
  cairo_line_to(cr, x0, h * 0.7);
  Stroke(cr, kGrey, 2.5);
}

void PaintPack(cairo_t* cr, int w, int h) {
  cairo_move_to(cr, w * 0.28, h * 0.62);
  cairo_line_to(cr, w * 0.5, h * 0.38);
  cairo_line_to(cr, w * 0.72, h * 0.62);
  Stroke(cr, kWhite, 2.2);
}

void PaintLink(cairo_t* cr, int w, int h) {
  cairo_save(cr);
  cairo_translate(cr, w / 2.0, h / 2.0);
  cairo_rotate(cr, -kPi / 4);
  RoundedRect(cr, -10, -4, 11, 8, 4);
  RoundedRect(cr, -1, -4, 11, 8, 4);
  cairo_restore(cr);
  Stroke(cr, kBlue, 2);
}

void PaintCheckCircle(cairo_t* cr, int w, int h) {
  SetColor(cr, kGreen);
  cairo_arc(cr, w / 2.0, h / 2.0, w / 2.0 - 1, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_move_to(cr, w * 0.28, h * 0.52);
  cairo_line_to(cr, w * 0.44, h * 0.68);
  cairo_line_to(cr, w * 0.74, h * 0.36);
  Stroke(cr, kWhite, w / 12.0);
}

void PaintPhone(cairo_t* cr, int w, int h, bool color) {
  RoundedRect(cr, w * 0.18, 2, w * 0.64, h - 4, 6);
  if (color) {
    cairo_pattern_t* pBody = cairo_pattern_create_linear(0, 0, w, h);
    cairo_pattern_add_color_stop_rgb(pBody, 0, 0.35, 0.75, 1.0);
    cairo_pattern_add_color_stop_rgb(pBody, 1, 0.10, 0.45, 0.90);
    cairo_set_source(cr, pBody);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(pBody);
    Stroke(cr, kWhite, 2);
  } else {
    SetColor(cr, kWhite, 0.25);
    cairo_fill_preserve(cr);
    Stroke(cr, kWhite, 2);
  }
  SetColor(cr, kWhite, color ? 0.9 : 0.6);
  cairo_rectangle(cr, w * 0.26, 10, w * 0.48, h - 26);
  cairo_fill(cr);
  cairo_arc(cr, w / 2.0, h - 8, 2.5, 0, 2 * kPi);
  cairo_fill(cr);
}

void PaintPlaceholder(cairo_t* cr, int w, int h, bool video) {
  SetColor(cr, video ? Rgb{0.25, 0.27, 0.31} : Rgb{0.90, 0.91, 0.93});
  cairo_paint(cr);
  if (video) {
    SetColor(cr, kWhite, 0.85);
    cairo_arc(cr, w / 2.0, h / 2.0, w * 0.2, 0, 2 * kPi);
    cairo_fill(cr);
    SetColor(cr, Rgb{0.25, 0.27, 0.31});
    cairo_move_to(cr, w * 0.45, h * 0.41);
    cairo_line_to(cr, w * 0.58, h * 0.5);
    cairo_line_to(cr, w * 0.45, h * 0.59);
    cairo_close_path(cr);
    cairo_fill(cr);
    return;
  }
  SetColor(cr, kGrey);
  cairo_arc(cr, w * 0.68, h * 0.34, w * 0.08, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_move_to(cr, w * 0.15, h * 0.78);
  cairo_line_to(cr, w * 0.4, h * 0.45);
  cairo_line_to(cr, w * 0.58, h * 0.66);
  cairo_line_to(cr, w * 0.7, h * 0.55);
  cairo_line_to(cr, w * 0.85, h * 0.78);
  cairo_close_path(cr);
  cairo_fill(cr);
}

void PaintWelcome(cairo_t* cr, int w, int h) {
  // A laptop, a phone beside it and photos travelling between them.
  SetColor(cr, Rgb{0.85, 0.91, 0.99});
  cairo_arc(cr, w / 2.0, h / 2.0, h * 0.48, 0, 2 * kPi);
  cairo_fill(cr);
  RoundedRect(cr, w * 0.18, h * 0.25, w * 0.42, h * 0.42, 6);
  SetColor(cr, kDeepBlue);
  cairo_fill(cr);
  SetColor(cr, kWhite);
  cairo_rectangle(cr, w * 0.21, h * 0.29, w * 0.36, h * 0.33);
  cairo_fill(cr);
  SetColor(cr, kDeepBlue);
  cairo_rectangle(cr, w * 0.12, h * 0.67, w * 0.54, h * 0.05);
  cairo_fill(cr);
  RoundedRect(cr, w * 0.68, h * 0.3, w * 0.16, h * 0.46, 5);
  SetColor(cr, kBlue);
  cairo_fill(cr);
  SetColor(cr, kWhite);
  cairo_rectangle(cr, w * 0.7, h * 0.35, w * 0.12, h * 0.33);
  cairo_fill(cr);
  for (int i = 0; i < 3; ++i) {
    SetColor(cr, i == 1 ? kOrange : kGreen);
    cairo_rectangle(cr, w * (0.27 + 0.09 * i), h * 0.38, w * 0.07, h * 0.1);
    cairo_fill(cr);
  }
}

void PaintSpinner(cairo_t* cr, int w, int h, int frame) {
  double r = w / 2.0 - w / 10.0;
  double start = frame * 2 * kPi / kAnimationFrames;
  SetColor(cr, kBlue, 0.18);
  cairo_set_line_width(cr, w / 8.0);
  cairo_arc(cr, w / 2.0, h / 2.0, r, 0, 2 * kPi);
  cairo_stroke(cr);
  cairo_arc(cr, w / 2.0, h / 2.0, r, start, start + kPi * 0.6);
  Stroke(cr, kBlue, w / 8.0);
}

void PaintMenuIcon(cairo_t* cr, int w, int h, const std::string& name) {
  if (name == "adddeviceicon") {
    RoundedRect(cr, 3, 1, 8, 14, 2);
    Stroke(cr, kBlue, 1.4);
    cairo_move_to(cr, 12, 9);
    cairo_line_to(cr, 12, 15);
    cairo_move_to(cr, 9, 12);
    cairo_line_to(cr, 15, 12);
    Stroke(cr, kGreen, 1.6);
  } else if (name == "changedir" || name == "openfoldericon") {
    cairo_move_to(cr, 1.5, 4);
    cairo_line_to(cr, 6, 4);
    cairo_line_to(cr, 7.5, 5.5);
    cairo_line_to(cr, 14.5, 5.5);
    cairo_line_to(cr, 14.5, 13.5);
    cairo_line_to(cr, 1.5, 13.5);
    cairo_close_path(cr);
    SetColor(cr, kOrange, 0.35);
    cairo_fill_preserve(cr);
    Stroke(cr, kOrange, 1.3);
    if (name == "changedir") {
      cairo_arc(cr, w * 0.55, h * 0.62, 2.6, 0, 1.6 * kPi);
      Stroke(cr, kBlue, 1.3);
    }
  } else if (name == "feedbackicon") {
    RoundedRect(cr, 1.5, 2, 13, 9.5, 2);
    cairo_move_to(cr, 5, 11.5);
    cairo_line_to(cr, 4, 15);
    cairo_line_to(cr, 8.5, 11.5);
    Stroke(cr, kBlue, 1.3);
  } else if (name == "exiticon") {
    cairo_arc(cr, w / 2.0, h / 2.0 + 1, 5.5, -kPi * 0.3, kPi * 1.3);
    cairo_move_to(cr, w / 2.0, 1.5);
    cairo_line_to(cr, w / 2.0, 8);
    Stroke(cr, Rgb{0.85, 0.25, 0.25}, 1.6);
  }
}

// --- The program icons ---

void PaintProgramIcon(cairo_t* cr, int size) {
  SetColor(cr, kBlue);
  RoundedRect(cr, 0.5, 0.5, size - 1, size - 1, size / 5.0);
  cairo_fill(cr);
  cairo_save(cr);
  cairo_translate(cr, size * 0.1, size * 0.1);
  cairo_scale(cr, 0.8, 0.8);
  PaintLogo(cr, size, size);
  cairo_restore(cr);
}

// The install popup's: a phone on green with an arrow coming down into it.
void PaintInstallIcon(cairo_t* cr, int size) {
  const double s = size;
  SetColor(cr, kGreen);
  RoundedRect(cr, 0.5, 0.5, s - 1, s - 1, s / 5.0);
  cairo_fill(cr);
  RoundedRect(cr, s * 0.28, s * 0.12, s * 0.44, s * 0.76, s / 10.0);
  SetColor(cr, kWhite);
  cairo_fill(cr);
  SetColor(cr, kGreen);
  cairo_rectangle(cr, s * 0.46, s * 0.22, s * 0.08, s * 0.28);
  cairo_fill(cr);
  cairo_move_to(cr, s * 0.34, s * 0.46);
  cairo_line_to(cr, s * 0.66, s * 0.46);
  cairo_line_to(cr, s * 0.50, s * 0.66);
  cairo_close_path(cr);
  cairo_fill(cr);
}

art::IcoImage IconImage(int size, void (*paint)(cairo_t*, int)) {
  cairo_surface_t* pSurface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(pSurface);
  paint(cr, size);
  cairo_destroy(cr);
  cairo_surface_flush(pSurface);
  art::IcoImage image;
  image.size = size;
  const unsigned char* pData = cairo_image_surface_get_data(pSurface);
  int stride = cairo_image_surface_get_stride(pSurface);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      // cairo keeps native-endian premultiplied ARGB; the icon wants straight BGRA.
      uint32_t pixel = *reinterpret_cast<const uint32_t*>(pData + y * stride + x * 4);
      uint8_t a = static_cast<uint8_t>(pixel >> 24);
      auto unpremultiply = [a](uint32_t c) {
        return static_cast<uint8_t>(a == 0 ? 0 : (c * 255 + a / 2) / a);
      };
      image.bgra.insert(image.bgra.end(), {unpremultiply(pixel & 0xFF),
                                           unpremultiply((pixel >> 8) & 0xFF),
                                           unpremultiply((pixel >> 16) & 0xFF), a});
    }
  }
  cairo_surface_destroy(pSurface);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <runtime folder>\n", argv[0]);
    return 2;
  }
  const std::string res = std::string(argv[1]) + "/res/";
  bool ok = true;
  auto png = [&](const std::string& name, int w, int h, const Painter& paint) {
    ok = WritePng(res + name, w, h, paint) && ok;
  };
  png("image/background.png", 774, 494,
      [](cairo_t* cr, int w, int h) { PaintBackground(cr, w, h, 36); });
  png("image/background_bigblue.png", 774, 494,
      [](cairo_t* cr, int w, int h) { PaintBackground(cr, w, h, 144); });
  png("image/logo.png", 20, 20, PaintLogo);
  png("image/menubtn.png", 24, 24, PaintMenuButton);
  png("image/minbtn.png", 24, 24, PaintMinimizeButton);
  png("image/closebtn.png", 24, 24,
      [](cairo_t* cr, int w, int h) { PaintCross(cr, w, h, kWhite, 7, 1.8); });
  png("image/smallclose.png", 16, 16,
      [](cairo_t* cr, int w, int h) { PaintCross(cr, w, h, kGrey, 4, 1.6); });
  png("image/arrowleft.png", 24, 40, [](cairo_t* cr, int w, int h) { PaintArrow(cr, w, h, true); });
  png("image/arrowright.png", 24, 40,
      [](cairo_t* cr, int w, int h) { PaintArrow(cr, w, h, false); });
  png("image/pack.png", 24, 24, PaintPack);
  png("image/qrlinkicon.png", 24, 24, PaintLink);
  png("image/scansuc.png", 64, 64, PaintCheckCircle);
  png("image/welcome.png", 280, 180, PaintWelcome);
  png("image/default.png", 120, 120,
      [](cairo_t* cr, int w, int h) { PaintPlaceholder(cr, w, h, false); });
  png("image/default_video.png", 120, 120,
      [](cairo_t* cr, int w, int h) { PaintPlaceholder(cr, w, h, true); });
  png("image/rightBarPhone.png", 60, 80,
      [](cairo_t* cr, int w, int h) { PaintPhone(cr, w, h, false); });
  png("image/rightBarPhoneColor.png", 60, 80,
      [](cairo_t* cr, int w, int h) { PaintPhone(cr, w, h, true); });
  for (int frame = 0; frame < kAnimationFrames; ++frame) {
    auto spinner = [frame](cairo_t* cr, int w, int h) { PaintSpinner(cr, w, h, frame); };
    png("loadinganimation/" + std::to_string(frame) + ".png", 16, 16, spinner);
    png("qrloading/" + std::to_string(frame) + ".png", 64, 64, spinner);
  }
  for (const char* pName :
       {"adddeviceicon", "changedir", "feedbackicon", "exiticon", "openfoldericon"}) {
    std::string name = pName;
    png("menu/" + name + ".png", 16, 16,
        [name](cairo_t* cr, int w, int h) { PaintMenuIcon(cr, w, h, name); });
  }
  std::string icon = std::string(argv[1]) + "/Harborlight.ico";
  ok = art::WriteFileBytes(icon.c_str(), art::EncodeIco({IconImage(16, PaintProgramIcon),
                                                         IconImage(32, PaintProgramIcon)})) &&
       ok;
  icon = std::string(argv[1]) + "/Ferrylink.ico";
  ok = art::WriteFileBytes(icon.c_str(), art::EncodeIco({IconImage(16, PaintInstallIcon),
                                                         IconImage(32, PaintInstallIcon)})) &&
       ok;
  return ok ? 0 : 1;
}
