#include "CSkein.h"

#include <glib.h>

#include <charconv>
#include <cstring>
#include <string_view>

#include "win32/strings.h"

using namespace win32;

namespace lq {

namespace {

bool ParseInt(std::string_view text, long* pValue) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *pValue);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseRect(std::string_view text, RECT* pRect) {
  long values[4];
  for (int i = 0; i < 4; ++i) {
    size_t comma = text.find(',');
    if ((i < 3) != (comma != std::string_view::npos)) return false;
    if (!ParseInt(text.substr(0, comma), &values[i])) return false;
    if (values[i] < -100000 || values[i] > 100000) return false;
    text = i < 3 ? text.substr(comma + 1) : std::string_view();
  }
  if (values[2] < values[0] || values[3] < values[1]) return false;
  *pRect = RECT{static_cast<LONG>(values[0]), static_cast<LONG>(values[1]),
                static_cast<LONG>(values[2]), static_cast<LONG>(values[3])};
  return true;
}

// "#RRGGBB" (opaque) or "#AARRGGBB".
bool ParseColor(std::string_view text, uint32_t* pColor) {
  if (text.size() != 7 && text.size() != 9) return false;
  if (text.front() != '#') return false;
  uint32_t value = 0;
  for (char c : text.substr(1)) {
    int digit = g_ascii_xdigit_value(c);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  *pColor = text.size() == 7 ? 0xFF000000u | value : value;
  return true;
}

bool ParseBool(std::string_view text, bool* pValue) {
  if (text == "1" || text == "true") {
    *pValue = true;
    return true;
  }
  if (text == "0" || text == "false") {
    *pValue = false;
    return true;
  }
  return false;
}

bool ParseSmall(std::string_view text, int16_t* pValue, long low, long high) {
  long value = 0;
  if (!ParseInt(text, &value) || value < low || value > high) return false;
  *pValue = static_cast<int16_t>(value);
  return true;
}

// Applies one look attribute; false when `name` is not one, or the value is bad (then
// *pKnown tells which).
bool ApplyLookAttribute(std::string_view name, std::string_view value, Look* pLook,
                        bool* pKnown) {
  *pKnown = true;
  if (name == "color") return ParseColor(value, &pLook->textColor);
  if (name == "disabledcolor") return ParseColor(value, &pLook->disabledTextColor);
  if (name == "bg") return ParseColor(value, &pLook->background);
  if (name == "hover") return ParseColor(value, &pLook->hoverBackground);
  if (name == "selected") return ParseColor(value, &pLook->selectedBackground);
  if (name == "disabledbg") return ParseColor(value, &pLook->disabledBackground);
  if (name == "border") return ParseColor(value, &pLook->border);
  if (name == "font") {
    long size = 0;
    if (!ParseInt(value, &size) || size < 6 || size > 96) return false;
    pLook->fontSize = static_cast<float>(size);
    return true;
  }
  if (name == "padding") return ParseSmall(value, &pLook->padding, 0, 200);
  if (name == "radius") return ParseSmall(value, &pLook->radius, 0, 200);
  if (name == "quiet") return ParseSmall(value, &pLook->quietZone, 0, 200);
  if (name == "width") return ParseSmall(value, &pLook->width, 0, 4000);
  if (name == "height") return ParseSmall(value, &pLook->height, 0, 4000);
  if (name == "bold") return ParseBool(value, &pLook->bold);
  if (name == "underline") return ParseBool(value, &pLook->underline);
  if (name == "multiline") return ParseBool(value, &pLook->multiline);
  if (name == "stretch") return ParseBool(value, &pLook->stretchPicture);
  if (name == "align") {
    if (value == "left") pLook->align = TextAlign::kLeft;
    else if (value == "center") pLook->align = TextAlign::kCenter;
    else if (value == "right") pLook->align = TextAlign::kRight;
    else return false;
    return true;
  }
  if (name == "role") {
    if (value == "caption") pLook->role = WindowRole::kCaption;
    else if (value == "title") pLook->role = WindowRole::kTitle;
    else if (value == "close") pLook->role = WindowRole::kCloseButton;
    else if (value == "minimize") pLook->role = WindowRole::kMinimizeButton;
    else return false;
    return true;
  }
  *pKnown = false;
  return false;
}

}  // namespace

// Builds a CSkein from GMarkup's callbacks. Depth 0 expects <layout>, depth 1 <style> and
// <skein>, below a skein the elements.
class CSkeinParser {
 public:
  explicit CSkeinParser(CSkein* pSkein) : m_pSkein(pSkein) {}

  static void StartElement(GMarkupParseContext*, const gchar* pTag, const gchar** ppNames,
                           const gchar** ppValues, gpointer pData, GError** ppError) {
    static_cast<CSkeinParser*>(pData)->Start(pTag, ppNames, ppValues, ppError);
  }
  static void EndElement(GMarkupParseContext*, const gchar*, gpointer pData, GError** ppError) {
    static_cast<CSkeinParser*>(pData)->End(ppError);
  }
  static void Text(GMarkupParseContext*, const gchar* pText, gsize length, gpointer,
                   GError** ppError) {
    for (gsize i = 0; i < length; ++i) {
      if (!g_ascii_isspace(pText[i])) {
        Fail(ppError, "text outside an attribute");
        return;
      }
    }
  }

  void SetContext(GMarkupParseContext* pContext) { m_pContext = pContext; }

 private:
  enum class Level { kDocument, kLayout, kSkein };

  static void Fail(GError** ppError, const std::string& what) {
    g_set_error(ppError, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, "%s", what.c_str());
  }

  void Start(const gchar* pTag, const gchar** ppNames, const gchar** ppValues, GError** ppError) {
    std::string_view tag = pTag;
    if (m_level == Level::kDocument) {
      if (tag != "layout" || ppNames[0]) return Fail(ppError, "the file must hold one <layout>");
      m_level = Level::kLayout;
      ++m_depth;
      return;
    }
    if (m_level == Level::kLayout && m_depth == 1) {
      if (tag == "style") return StartStyle(ppNames, ppValues, ppError);
      if (tag == "skein") return StartSkein(ppNames, ppValues, ppError);
      return Fail(ppError, "unknown tag <" + std::string(tag) + "> in <layout>");
    }
    StartNode(tag, ppNames, ppValues, ppError);
  }

  void StartStyle(const gchar** ppNames, const gchar** ppValues, GError** ppError) {
    Look look;
    std::u16string name;
    for (int i = 0; ppNames[i]; ++i) {
      std::string_view attribute = ppNames[i];
      if (attribute == "name") {
        name = Utf8ToUtf16(ppValues[i]);
        continue;
      }
      bool known = false;
      if (!ApplyLookAttribute(attribute, ppValues[i], &look, &known)) {
        return Fail(ppError, BadAttribute(known, attribute, ppValues[i]));
      }
    }
    if (name.empty()) return Fail(ppError, "a <style> needs a name");
    m_pSkein->m_looks.push_back(look);
    m_pSkein->m_styles[name] = &m_pSkein->m_looks.back();
    m_inStyle = true;
    ++m_depth;
  }

  void StartSkein(const gchar** ppNames, const gchar** ppValues, GError** ppError) {
    std::u16string name;
    for (int i = 0; ppNames[i]; ++i) {
      if (std::string_view(ppNames[i]) != "name") {
        return Fail(ppError, "unknown attribute " + std::string(ppNames[i]) + " on <skein>");
      }
      name = Utf8ToUtf16(ppValues[i]);
    }
    if (name.empty()) return Fail(ppError, "a <skein> needs a name");
    if (m_pSkein->FindFrame(name)) {
      return Fail(ppError, "a second <skein> named " + Utf16ToUtf8(name));
    }
    m_pSkein->m_frames.push_back(SkeinFrame{name, {}, 0, 0});
    g_markup_parse_context_get_position(m_pContext, &m_pSkein->m_frames.back().line,
                                        &m_pSkein->m_frames.back().column);
    m_level = Level::kSkein;
    m_hasRoot = false;
    ++m_depth;
  }

  void StartNode(std::string_view tag, const gchar** ppNames, const gchar** ppValues,
                 GError** ppError) {
    if (m_inStyle) return Fail(ppError, "a <style> holds no elements");
    ElementKind kind;
    if (!ElementKindFromTag(tag, &kind) || kind == ElementKind::kMenu ||
        kind == ElementKind::kMenuItem) {
      return Fail(ppError, "unknown element kind <" + std::string(tag) + ">");
    }
    SkeinNode* pNode = nullptr;
    if (m_stack.empty()) {
      if (m_hasRoot) return Fail(ppError, "a <skein> holds one root element");
      m_hasRoot = true;
      pNode = &m_pSkein->m_frames.back().root;
    } else {
      if (kind == ElementKind::kWindow) return Fail(ppError, "a <window> must be a skein's root");
      m_stack.back()->children.emplace_back();
      pNode = &m_stack.back()->children.back();
    }
    pNode->kind = kind;
    g_markup_parse_context_get_position(m_pContext, &pNode->line, &pNode->column);
    std::string error;
    if (!ReadAttributes(pNode, ppNames, ppValues, &error)) return Fail(ppError, error);
    m_stack.push_back(pNode);
    ++m_depth;
  }

  bool ReadAttributes(SkeinNode* pNode, const gchar** ppNames, const gchar** ppValues,
                      std::string* pError) {
    Look look;
    bool ownLook = false;
    for (int i = 0; ppNames[i]; ++i) {
      std::string_view name = ppNames[i];
      std::string_view value = ppValues[i];
      bool good = true;
      if (name == "id") {
        pNode->id = Utf8ToUtf16(value);
      } else if (name == "name") {
        pNode->name = Utf8ToUtf16(value);
      } else if (name == "text") {
        pNode->text = Utf8ToUtf16(value);
      } else if (name == "picture") {
        pNode->picture = Utf8ToUtf16(value);
      } else if (name == "background") {
        pNode->background = Utf8ToUtf16(value);
      } else if (name == "kind") {
        pNode->kindName = Utf8ToUtf16(value);
      } else if (name == "style") {
        pNode->styleName = Utf8ToUtf16(value);
        const Look* pStyle = m_pSkein->FindStyle(pNode->styleName);
        if (!pStyle) {
          *pError = "unknown style " + std::string(value);
          return false;
        }
        // A style is the base; the element's own attributes override it wherever they stand.
        Look base = *pStyle;
        ReapplyOwnLook(ppNames, ppValues, &base);
        look = base;
        ownLook = true;
      } else if (name == "rect") {
        good = ParseRect(value, &pNode->rect);
      } else if (name == "hidden") {
        good = ParseBool(value, &pNode->hidden);
      } else if (name == "enabled") {
        good = ParseBool(value, &pNode->enabled);
      } else if (name == "clickable") {
        good = ParseBool(value, &pNode->clickable);
      } else if (name == "checked") {
        good = ParseBool(value, &pNode->checked);
      } else if (name == "cursor") {
        good = value == "hand" || value == "arrow";
        pNode->handCursor = value == "hand";
      } else if (name == "maxlength") {
        long length = 0;
        good = ParseInt(value, &length) && length > 0 && length <= 65535;
        pNode->maxLength = static_cast<unsigned>(length);
      } else if (name == "scroll") {
        good = value == "v" || value == "h" || value == "vh" || value == "none";
        pNode->scrollVertical = value == "v" || value == "vh";
        pNode->scrollHorizontal = value == "h" || value == "vh";
      } else {
        bool known = false;
        if (!ApplyLookAttribute(name, value, &look, &known)) {
          *pError = BadAttribute(known, name, value);
          return false;
        }
        ownLook = true;
      }
      if (!good) {
        *pError = BadAttribute(true, name, value);
        return false;
      }
    }
    if (ownLook) {
      m_pSkein->m_looks.push_back(look);
      pNode->pLook = &m_pSkein->m_looks.back();
    }
    return true;
  }

  // The element's own look attributes again, over a style met after some of them.
  static void ReapplyOwnLook(const gchar** ppNames, const gchar** ppValues, Look* pLook) {
    for (int i = 0; ppNames[i]; ++i) {
      bool known = false;
      ApplyLookAttribute(ppNames[i], ppValues[i], pLook, &known);
    }
  }

  static std::string BadAttribute(bool known, std::string_view name, std::string_view value) {
    return known ? "bad value \"" + std::string(value) + "\" for " + std::string(name)
                 : "unknown attribute " + std::string(name);
  }

  void End(GError** ppError) {
    --m_depth;
    if (m_inStyle) {
      m_inStyle = false;
      return;
    }
    if (m_level == Level::kSkein) {
      if (!m_stack.empty()) {
        m_stack.pop_back();
        return;
      }
      if (!m_hasRoot) return Fail(ppError, "a <skein> holds one root element");
      m_level = Level::kLayout;
    }
  }

  CSkein* m_pSkein;
  GMarkupParseContext* m_pContext = nullptr;
  Level m_level = Level::kDocument;
  int m_depth = 0;
  bool m_inStyle = false;
  bool m_hasRoot = false;
  std::vector<SkeinNode*> m_stack;
};

std::unique_ptr<CSkein> CSkein::Parse(const std::u16string& path, const std::string& text,
                                      std::string* pError) {
  std::unique_ptr<CSkein> pSkein(new CSkein());
  pSkein->m_path = path;
  CSkeinParser parser(pSkein.get());
  GMarkupParser callbacks{};
  callbacks.start_element = &CSkeinParser::StartElement;
  callbacks.end_element = &CSkeinParser::EndElement;
  callbacks.text = &CSkeinParser::Text;
  GMarkupParseContext* pContext =
      g_markup_parse_context_new(&callbacks, static_cast<GMarkupParseFlags>(0), &parser, nullptr);
  parser.SetContext(pContext);
  GError* pGError = nullptr;
  bool ok = g_markup_parse_context_parse(pContext, text.data(), static_cast<gssize>(text.size()),
                                         &pGError) &&
            g_markup_parse_context_end_parse(pContext, &pGError);
  int line = 0;
  int column = 0;
  g_markup_parse_context_get_position(pContext, &line, &column);
  if (!ok) {
    // GMarkup prefixes its own position to the message; ours comes first, in one form.
    std::string message = pGError ? pGError->message : "malformed layout";
    if (message.compare(0, 14, "Error on line ") == 0) {
      size_t colon = message.find(": ");
      if (colon != std::string::npos) message.erase(0, colon + 2);
    }
    *pError = Utf16ToUtf8(path) + ":" + std::to_string(line) + ":" + std::to_string(column) +
              ": " + message;
    if (pGError) g_error_free(pGError);
    g_markup_parse_context_free(pContext);
    return nullptr;
  }
  pSkein->m_lastLine = line;
  g_markup_parse_context_free(pContext);
  return pSkein;
}

const SkeinFrame* CSkein::FindFrame(const std::u16string& name) const {
  for (const SkeinFrame& frame : m_frames) {
    if (frame.name == name) return &frame;
  }
  return nullptr;
}

const Look* CSkein::FindStyle(const std::u16string& name) const {
  auto it = m_styles.find(name);
  return it == m_styles.end() ? nullptr : it->second;
}

}  // namespace lq
