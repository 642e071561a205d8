#pragma once
// Byte-order, text and address helpers shared by the engine and the logic centre. Narrow
// strings are byte strings; wide strings are UTF-16.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace win32 {
enum class SOCKET : uintptr_t;
}

// A 64-bit value in network (big-endian) order. Its own inverse: it serves both directions.
constexpr uint64_t HostToNet64(uint64_t value) {
  if constexpr (std::endian::native == std::endian::big) {
    return value;
  } else {
    return __builtin_bswap64(value);
  }
}

// Two lowercase hexadecimal digits per byte, high nibble first.
std::string BytesToHex(const void* pData, size_t length);

// A new 16-character key: 8 bytes from the kernel's random source as lowercase hex. The keys
// encrypt phone traffic, so they must not be guessable from the time they were made. Empty
// when no random source answers.
std::string MakeRandomKey();

// An IPv4 address held in network order, as dotted decimal.
std::string IpToString(uint32_t addressNetOrder);

// Code-page conversions of a NUL-terminated text (the system code page, or UTF-8, to UTF-16 and
// back). A null or empty text, or one the system cannot convert, gives an empty result.
std::u16string AnsiToWide(const char* pText);
std::string WideToAnsi(const char16_t* pText);
std::u16string Utf8ToWide(const char* pText);
std::string WideToUtf8(const char16_t* pText);
inline std::u16string AnsiToWide(const std::string& text) { return AnsiToWide(text.c_str()); }
inline std::string WideToAnsi(const std::u16string& text) { return WideToAnsi(text.c_str()); }
inline std::u16string Utf8ToWide(const std::string& text) { return Utf8ToWide(text.c_str()); }
inline std::string WideToUtf8(const std::u16string& text) { return WideToUtf8(text.c_str()); }

// Binds the socket to 0.0.0.0 port 0 (the system picks the port); false when the bind fails.
bool BindAnyAddress(win32::SOCKET socket);
