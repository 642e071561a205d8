#pragma once
// A parsed layout file: its styles and its frames, each a tree of element templates. Our own
// schema, read with GLib's GMarkup:
//
//   <layout>
//     <style name="mainmenuItem" color="#333333" hover="#E8F0FE" font="13"/>
//     <skein name="PHOTO">
//       <frame rect="0,0,120,120"> <picture id="userImg" .../> ... </frame>
//     </skein>
//   </layout>
//
// A skein holds exactly one root element; its tag is the element kind (ElementKind.h). A root of
// kind "window" makes a top-level. Rectangles are "left,top,right,bottom" in the parent's
// coordinates. Any unknown tag or attribute, or a malformed value, fails the whole file, so no
// window is ever built from half a layout.
// Threading: immutable once parsed; built and read on the UI thread.

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ElementKind.h"
#include "Look.h"
#include "win32/window.h"

namespace lq {

struct SkeinNode {
  ElementKind kind = ElementKind::kFrame;
  std::u16string id;
  std::u16string name;
  std::u16string text;
  std::u16string picture;
  std::u16string background;
  std::u16string kindName;
  std::u16string styleName;
  win32::RECT rect{};
  bool hidden = false;
  bool enabled = true;
  bool clickable = false;
  bool handCursor = false;
  bool checked = false;
  bool scrollVertical = false;
  bool scrollHorizontal = false;
  unsigned maxLength = 0;
  const Look* pLook = nullptr;  // the skein's; null: the default look
  int line = 0;
  int column = 0;
  std::vector<SkeinNode> children;
};

struct SkeinFrame {
  std::u16string name;
  SkeinNode root;
  int line = 0;
  int column = 0;
};

class CSkein {
 public:
  // Parses a layout file's text. On failure answers null and fills *pError with
  // "<path>:<line>:<column>: <what>".
  static std::unique_ptr<CSkein> Parse(const std::u16string& path, const std::string& text,
                                       std::string* pError);

  CSkein(const CSkein&) = delete;
  CSkein& operator=(const CSkein&) = delete;

  const std::u16string& Path() const { return m_path; }
  // Null when the file has no such frame.
  const SkeinFrame* FindFrame(const std::u16string& name) const;
  const std::vector<SkeinFrame>& Frames() const { return m_frames; }
  const Look* FindStyle(const std::u16string& name) const;
  // Where the file ends, for messages about what it lacks.
  int LastLine() const { return m_lastLine; }

 private:
  friend class CSkeinParser;

  CSkein() = default;

  std::u16string m_path;
  std::vector<SkeinFrame> m_frames;
  std::map<std::u16string, const Look*> m_styles;
  std::deque<Look> m_looks;  // stable addresses for the nodes and styles
  int m_lastLine = 0;
};

}  // namespace lq
