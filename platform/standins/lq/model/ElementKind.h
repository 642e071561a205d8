#pragma once
// The kinds of element the layout file knows, by the tag that makes them.

#include <cstdint>
#include <string_view>

namespace lq {

enum class ElementKind : uint8_t {
  kFrame,
  kText,
  kLink,
  kButton,
  kPicture,
  kEdit,
  kCheck,
  kTabStrip,
  kTabItem,
  kScroll,
  kContainer,
  kWindow,
  kMenu,
  kMenuItem,
};

// The tag ("frame", "button", ...); false for an unknown one.
bool ElementKindFromTag(std::string_view tag, ElementKind* pKind);
const char16_t* ElementKindTag(ElementKind kind);

}  // namespace lq
