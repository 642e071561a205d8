#pragma once
// The processor's brand text: the 48 bytes of CPUID leaves 0x80000002 to 0x80000004.

#include <string>

namespace ZyMacID {

// The brand text up to its NUL (at most 48 characters, leading blanks kept). False, with an
// empty text, when the processor does not offer it (first byte 0).
bool GetProcessorBrand(std::string* pBrand);

}  // namespace ZyMacID
