#pragma once
// The screen against the layout: a window's client area as the X screen shows it, compared pixel
// by pixel with the test port's snapshot of the same window (the painter's own rendering of the
// model) taken at the same moment. GTK's own widgets over the painting (entries, scroll bars)
// are masked; elsewhere a pixel differs when a channel is more than 32 away. They match when at
// most 0.5 % of the pixels differ and no 32x32 block has more than a tenth of its pixels
// differing: an element missing on screen over a background of its own colour shows only in
// its text, too few pixels for the share, but crowded together.

#include <gdk/gdkx.h>
#include <gtest/gtest.h>
#include <json-glib/json-glib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "RunningProgram.h"

namespace harborlight_test {

constexpr double kMostDiffering = 0.005;
constexpr int kBlock = 32;
constexpr double kMostInABlock = 0.1;

struct ScreenMatch {
  double share = 1;       // of the compared pixels, the differing ones
  double worstBlock = 1;  // the differing share of the block with most of them
  std::string error;      // why nothing could be compared

  bool Matches() const {
    return error.empty() && share <= kMostDiffering && worstBlock <= kMostInABlock;
  }
};

namespace screen_match_detail {

using Pixbuf = std::unique_ptr<GdkPixbuf, decltype(&g_object_unref)>;

struct Box {
  int left, top, right, bottom;
};

inline int Int(JsonArray* pArray, guint at) {
  return static_cast<int>(json_array_get_int_element(pArray, at));
}

// What GTK draws itself: each shown edit's box, and a 16 px band where a scroll view can show
// a scroll bar.
inline void CollectMasks(JsonObject* pElement, std::vector<Box>* pMasks) {
  if (!json_object_get_boolean_member(pElement, "shown")) return;
  JsonArray* pAbs = json_object_get_array_member(pElement, "abs");
  const Box abs{Int(pAbs, 0), Int(pAbs, 1), Int(pAbs, 2), Int(pAbs, 3)};
  const std::string kind = json_object_get_string_member(pElement, "kind");
  if (kind == "edit") pMasks->push_back(abs);
  if (kind == "scroll") {
    JsonArray* pScrollable = json_object_get_array_member(pElement, "scrollable");
    if (json_array_get_boolean_element(pScrollable, 0)) {
      pMasks->push_back(Box{abs.left, abs.bottom - 16, abs.right, abs.bottom});
    }
    if (json_array_get_boolean_element(pScrollable, 1)) {
      pMasks->push_back(Box{abs.right - 16, abs.top, abs.right, abs.bottom});
    }
  }
  JsonArray* pChildren = json_object_get_array_member(pElement, "children");
  for (guint i = 0; i < json_array_get_length(pChildren); ++i) {
    CollectMasks(json_array_get_object_element(pChildren, i), pMasks);
  }
}

// The window's X id and masks from the test port's tree; false when it has no such window.
inline bool ReadWindow(CRunningProgram& program, const std::string& window, ::Window* pXid,
                       std::vector<Box>* pMasks) {
  const std::string reply = program.Raw(R"({"cmd":"tree","window":")" + window + R"("})");
  JsonParser* pParser = json_parser_new();
  bool ok = false;
  if (json_parser_load_from_data(pParser, reply.c_str(), -1, nullptr)) {
    JsonObject* pReply = json_node_get_object(json_parser_get_root(pParser));
    JsonArray* pWindows = json_object_has_member(pReply, "windows")
                              ? json_object_get_array_member(pReply, "windows")
                              : nullptr;
    if (pWindows && json_array_get_length(pWindows) > 0) {
      JsonObject* pWindow = json_array_get_object_element(pWindows, 0);
      *pXid = static_cast<::Window>(json_object_get_int_member(pWindow, "hwnd"));
      CollectMasks(json_object_get_object_member(pWindow, "root"), pMasks);
      ok = true;
    }
  }
  g_object_unref(pParser);
  return ok;
}

// The window's client area as the screen shows it (whatever covers it included); null when it
// is not on screen whole.
inline GdkPixbuf* GrabClientArea(::Window xid) {
  GdkDisplay* pDisplay = gdk_display_get_default();
  Display* pX = GDK_DISPLAY_XDISPLAY(pDisplay);
  gdk_display_sync(pDisplay);
  XWindowAttributes attributes{};
  int x = 0, y = 0;
  ::Window child = 0;
  gdk_x11_display_error_trap_push(pDisplay);
  bool placed = XGetWindowAttributes(pX, xid, &attributes) &&
                XTranslateCoordinates(pX, xid, DefaultRootWindow(pX), 0, 0, &x, &y, &child);
  if (gdk_x11_display_error_trap_pop(pDisplay) != 0 || !placed ||
      attributes.map_state != IsViewable) {
    return nullptr;
  }
  GdkWindow* pRoot = gdk_get_default_root_window();
  if (x < 0 || y < 0 || x + attributes.width > gdk_window_get_width(pRoot) ||
      y + attributes.height > gdk_window_get_height(pRoot)) {
    return nullptr;
  }
  return gdk_pixbuf_get_from_window(pRoot, x, y, attributes.width, attributes.height);
}

inline std::string PicturePath(const std::string& name) {
  const char* pFolder = getenv("LUMIDOCK_ARTIFACTS");
  std::string folder = std::string(pFolder ? pFolder : ".") + "/screen-match";
  std::filesystem::create_directories(folder);
  return folder + "/" + name + ".png";
}

}  // namespace screen_match_detail

// One comparison of `window` (frame name); the snapshot leaves out the element at `leftOut`
// when one is named. Pictures: artifacts/screen-match/<name>-screen.png and -layout.png, and
// -diff.png (differing pixels red, masked ones blue) when they do not match.
inline ScreenMatch CompareScreenOnce(CRunningProgram& program, const std::string& window,
                                     const std::string& name, const std::string& leftOut = "") {
  using namespace screen_match_detail;
  ScreenMatch match;
  ::Window xid = 0;
  std::vector<Box> masks;
  if (!ReadWindow(program, window, &xid, &masks)) {
    match.error = "no window " + window;
    return match;
  }
  const std::string layoutPath = PicturePath(name + "-layout");
  std::string request = R"({"cmd":"snapshot","window":")" + window + R"(","file":")" + layoutPath;
  request += leftOut.empty() ? R"("})" : R"(","without":")" + leftOut + R"("})";
  Pixbuf screen(GrabClientArea(xid), g_object_unref);
  const std::string reply = program.Raw(request);
  if (reply.find("\"ok\":true") == std::string::npos) {
    match.error = "no snapshot: " + reply;
    return match;
  }
  Pixbuf layout(gdk_pixbuf_new_from_file(layoutPath.c_str(), nullptr), g_object_unref);
  if (!screen || !layout) {
    match.error = screen ? "snapshot unreadable" : "window not on screen whole";
    return match;
  }
  gdk_pixbuf_save(screen.get(), PicturePath(name + "-screen").c_str(), "png", nullptr, nullptr);
  const int width = gdk_pixbuf_get_width(screen.get());
  const int height = gdk_pixbuf_get_height(screen.get());
  if (width != gdk_pixbuf_get_width(layout.get()) ||
      height != gdk_pixbuf_get_height(layout.get())) {
    match.error = "screen " + std::to_string(width) + "x" + std::to_string(height) +
                  " against layout " + std::to_string(gdk_pixbuf_get_width(layout.get())) + "x" +
                  std::to_string(gdk_pixbuf_get_height(layout.get()));
    return match;
  }
  Pixbuf diff(gdk_pixbuf_copy(screen.get()), g_object_unref);
  const int diffChannels = gdk_pixbuf_get_n_channels(diff.get());
  long compared = 0, differing = 0;
  const int blocksAcross = (width + kBlock - 1) / kBlock;
  std::vector<int> inBlock(static_cast<size_t>(blocksAcross * ((height + kBlock - 1) / kBlock)));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      guchar* pMark = gdk_pixbuf_get_pixels(diff.get()) + y * gdk_pixbuf_get_rowstride(diff.get()) +
                      x * diffChannels;
      bool masked = false;
      for (const Box& box : masks) {
        masked |= x >= box.left && x < box.right && y >= box.top && y < box.bottom;
      }
      const guchar* pScreen = gdk_pixbuf_read_pixels(screen.get()) +
                              y * gdk_pixbuf_get_rowstride(screen.get()) +
                              x * gdk_pixbuf_get_n_channels(screen.get());
      const guchar* pLayout = gdk_pixbuf_read_pixels(layout.get()) +
                              y * gdk_pixbuf_get_rowstride(layout.get()) +
                              x * gdk_pixbuf_get_n_channels(layout.get());
      bool differs = false;
      for (int c = 0; c < 3 && !masked; ++c) differs |= std::abs(pScreen[c] - pLayout[c]) > 32;
      compared += !masked;
      differing += differs;
      inBlock[static_cast<size_t>(y / kBlock * blocksAcross + x / kBlock)] += differs;
      const guchar red[3] = {255, 0, 0}, blue[3] = {120, 160, 255};
      for (int c = 0; c < 3; ++c) {
        pMark[c] = masked ? blue[c] : differs ? red[c] : static_cast<guchar>(191 + pScreen[c] / 4);
      }
    }
  }
  match.share = compared ? static_cast<double>(differing) / static_cast<double>(compared) : 1;
  match.worstBlock = *std::max_element(inBlock.begin(), inBlock.end()) / double{kBlock * kBlock};
  if (!match.Matches()) {
    gdk_pixbuf_save(diff.get(), PicturePath(name + "-diff").c_str(), "png", nullptr, nullptr);
  }
  return match;
}

// Compares until they match or 5 s have passed (the program may still be drawing), then prints
// the shares; the last comparison.
inline ScreenMatch CompareScreen(CRunningProgram& program, const std::string& window,
                                 const std::string& name) {
  ScreenMatch match;
  (void)x11_test::WaitUntil(
      [&] {
        match = CompareScreenOnce(program, window, name);
        return match.Matches();
      },
      5000);
  printf("screen against layout, %s: %.3f %% of the pixels differ, %.1f %% in the worst block%s\n",
         name.c_str(), match.share * 100, match.worstBlock * 100,
         match.error.empty() ? "" : (" (" + match.error + ")").c_str());
  ::testing::Test::RecordProperty("differing_" + name, std::to_string(match.share));
  return match;
}

}  // namespace harborlight_test
