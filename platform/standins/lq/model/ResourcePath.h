#pragma once
// Where the framework finds its files: layouts in the platform core's layout folder, pictures
// ("platformres:<path>") in its resource folder. Paths are in Windows form; backslashes and
// slashes both separate.

#include <string>

namespace lq {

// The full path behind a picture reference: "platformres:" references resolve in the resource
// folder, anything else is taken as a path. Empty for an empty reference.
std::u16string ResolvePicturePath(const std::u16string& reference);
// The platform core's layout or resource folder, ending with a separator; "<program folder>
// layout\" and "res\" when no core runs.
std::u16string CoreLayoutFolder();
std::u16string CoreResourceFolder();
// Reads a whole file through the layer; false when it cannot be read.
bool ReadWholeFile(const std::u16string& path, std::string* pBytes);

}  // namespace lq
