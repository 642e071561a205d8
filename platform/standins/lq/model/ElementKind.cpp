#include "ElementKind.h"

namespace lq {

namespace {

struct KindTag {
  ElementKind kind;
  std::string_view tag;
  const char16_t* pWideTag;
};

constexpr KindTag kKindTags[] = {
    {ElementKind::kFrame, "frame", u"frame"},
    {ElementKind::kText, "text", u"text"},
    {ElementKind::kLink, "link", u"link"},
    {ElementKind::kButton, "button", u"button"},
    {ElementKind::kPicture, "picture", u"picture"},
    {ElementKind::kEdit, "edit", u"edit"},
    {ElementKind::kCheck, "check", u"check"},
    {ElementKind::kTabStrip, "tabstrip", u"tabstrip"},
    {ElementKind::kTabItem, "tabitem", u"tabitem"},
    {ElementKind::kScroll, "scroll", u"scroll"},
    {ElementKind::kContainer, "container", u"container"},
    {ElementKind::kWindow, "window", u"window"},
    {ElementKind::kMenu, "menu", u"menu"},
    {ElementKind::kMenuItem, "menuitem", u"menuitem"},
};

}  // namespace

bool ElementKindFromTag(std::string_view tag, ElementKind* pKind) {
  for (const KindTag& entry : kKindTags) {
    if (entry.tag == tag) {
      *pKind = entry.kind;
      return true;
    }
  }
  return false;
}

const char16_t* ElementKindTag(ElementKind kind) {
  for (const KindTag& entry : kKindTags) {
    if (entry.kind == kind) return entry.pWideTag;
  }
  return u"frame";
}

}  // namespace lq
