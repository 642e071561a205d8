#pragma once
// How an element looks: what the layout file's style and the element's own attributes say, read
// once by the parser and shared by every element made from the same layout node. The model keeps
// it only for the painters; nothing in the model's behaviour depends on it.

#include <cstdint>

namespace lq {

enum class TextAlign : uint8_t { kLeft, kCenter, kRight };
// What a part of a top-level does for the window: a caption area moves it, a title label shows
// the window's text, system buttons close or minimise it.
enum class WindowRole : uint8_t { kNone, kCaption, kTitle, kCloseButton, kMinimizeButton };

struct Look {
  // Colours are 0xAARRGGBB; alpha 0 means none.
  uint32_t textColor = 0xFF333333;
  uint32_t disabledTextColor = 0xFFAAAAAA;
  uint32_t background = 0;
  uint32_t hoverBackground = 0;
  uint32_t selectedBackground = 0;
  uint32_t disabledBackground = 0;
  uint32_t border = 0;
  float fontSize = 12.0f;  // pixels
  int16_t padding = 0;
  int16_t radius = 0;
  int16_t quietZone = 0;  // white margin around a picture shown at its own size
  int16_t width = 0;      // size of items a style describes (tab items); 0: the default
  int16_t height = 0;
  TextAlign align = TextAlign::kLeft;
  WindowRole role = WindowRole::kNone;
  bool bold = false;
  bool underline = false;
  bool multiline = false;
  bool stretchPicture = true;  // false: the picture at its own size, centred
};

}  // namespace lq
