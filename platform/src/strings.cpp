#include "win32/strings.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

namespace win32 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one scalar value from [p, end). An ill-formed sequence yields U+FFFD for its maximal
// valid prefix (at least one byte), as Windows and the Unicode standard recommend, so the decoder
// resynchronises on the next byte that can start a character.
size_t DecodeUtf8(const unsigned char* p, const unsigned char* end, char32_t* pCp) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    *pCp = b0;
    return 1;
  }
  size_t need;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // UTF-16 surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    *pCp = kReplacement;
    return 1;
  }
  size_t used = 1;
  for (size_t i = 0; i < need; ++i) {
    if (p + used >= end || p[used] < lo || p[used] > hi) {
      *pCp = kReplacement;
      return used;
    }
    cp = (cp << 6) | (p[used] & 0x3F);
    ++used;
    lo = 0x80;
    hi = 0xBF;
  }
  *pCp = cp;
  return used;
}

// Decodes one scalar value from UTF-16; a lone surrogate yields U+FFFD.
size_t DecodeUtf16(const char16_t* p, const char16_t* end, char32_t* pCp) {
  const char16_t u = p[0];
  if (u >= 0xD800 && u <= 0xDBFF && p + 1 < end && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
    *pCp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (p[1] - 0xDC00);
    return 2;
  }
  *pCp = (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u;
  return 1;
}

// Converts [src, src+len) and returns the output length; writes only when dst is non-null.
size_t Utf8ToUtf16Into(const char* src, size_t len, char16_t* dst, bool* pInvalid) {
  const auto* p = reinterpret_cast<const unsigned char*>(src);
  const auto* end = p + len;
  size_t out = 0;
  while (p < end) {
    char32_t cp;
    size_t used = DecodeUtf8(p, end, &cp);
    if (cp == kReplacement && !(used == 3 && p[0] == 0xEF && p[1] == 0xBF && p[2] == 0xBD)) {
      *pInvalid = true;
    }
    p += used;
    if (cp >= 0x10000) {
      if (dst) {
        dst[out] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        dst[out + 1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      }
      out += 2;
    } else {
      if (dst) dst[out] = static_cast<char16_t>(cp);
      ++out;
    }
  }
  return out;
}

size_t Utf16ToUtf8Into(const char16_t* src, size_t len, char* dst, bool* pInvalid) {
  const char16_t* p = src;
  const char16_t* end = src + len;
  size_t out = 0;
  auto put = [&](unsigned v) {
    if (dst) dst[out] = static_cast<char>(v);
    ++out;
  };
  while (p < end) {
    char32_t cp;
    size_t used = DecodeUtf16(p, end, &cp);
    if (cp == kReplacement && *p != 0xFFFD) *pInvalid = true;
    p += used;
    if (cp < 0x80) {
      put(cp);
    } else if (cp < 0x800) {
      put(0xC0 | (cp >> 6));
      put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      put(0xE0 | (cp >> 12));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else {
      put(0xF0 | (cp >> 18));
      put(0x80 | ((cp >> 12) & 0x3F));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// CP_ACP and CP_OEMCP are UTF-8 here; no other code page is available.
bool IsUtf8CodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP ||
         codePage == CP_UTF8;
}

int FailZero(DWORD error) {
  SetLastError(error);
  return 0;
}

// Simple per-code-unit upper-casing: ASCII and the Latin-1 letters.
char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// --- Wide formatter ---

struct Spec {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  int width = -1;
  int precision = -1;
};

void AppendPadded(std::u16string* pOut, const Spec& spec, std::u16string_view prefix,
                  std::u16string_view body, bool zeroPadAllowed) {
  size_t len = prefix.size() + body.size();
  size_t pad = (spec.width > 0 && static_cast<size_t>(spec.width) > len) ? spec.width - len : 0;
  if (spec.left) {
    pOut->append(prefix);
    pOut->append(body);
    pOut->append(pad, u' ');
  } else if (spec.zero && zeroPadAllowed) {
    pOut->append(prefix);
    pOut->append(pad, u'0');
    pOut->append(body);
  } else {
    pOut->append(pad, u' ');
    pOut->append(prefix);
    pOut->append(body);
  }
}

void AppendInteger(std::u16string* pOut, const Spec& spec, bool negative, uint64_t magnitude,
                   unsigned base, bool upper, bool isSigned) {
  const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char16_t buf[32];
  size_t n = 0;
  while (magnitude != 0) {
    buf[n++] = static_cast<char16_t>(digitSet[magnitude % base]);
    magnitude /= base;
  }
  std::u16string digits;
  size_t minDigits = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : 1;
  if (n < minDigits) digits.append(minDigits - n, u'0');
  while (n > 0) digits.push_back(buf[--n]);
  std::u16string prefix;
  if (negative) {
    prefix = u"-";
  } else if (isSigned && spec.plus) {
    prefix = u"+";
  } else if (isSigned && spec.space) {
    prefix = u" ";
  }
  if (spec.alt && base == 16 && !digits.empty() && digits != u"0") prefix += upper ? u"0X" : u"0x";
  // An explicit precision turns zero padding off, as in C.
  AppendPadded(pOut, spec, prefix, digits, spec.precision < 0);
}

// %f, %e and %g as in C (the '#' flag aside), from the standard library's exact conversion.
void AppendFloating(std::u16string* pOut, const Spec& spec, char16_t conversion, double value) {
  std::chars_format format = std::chars_format::general;
  if (conversion == u'f' || conversion == u'F') format = std::chars_format::fixed;
  if (conversion == u'e' || conversion == u'E') format = std::chars_format::scientific;
  // Digits beyond a double's precision say nothing; the cap bounds the text.
  int precision = spec.precision >= 0 ? std::min(spec.precision, 100) : 6;
  if (format == std::chars_format::general && precision == 0) precision = 1;
  char text[512];
  std::to_chars_result result =
      std::to_chars(text, text + sizeof(text), std::fabs(value), format, precision);
  if (result.ec != std::errc()) return;
  std::u16string body;
  for (const char* p = text; p != result.ptr; ++p) {
    char c = *p;
    if (conversion >= u'A' && conversion <= u'Z' && c >= 'a' && c <= 'z') c -= 'a' - 'A';
    body.push_back(static_cast<char16_t>(c));
  }
  std::u16string prefix;
  if (std::signbit(value)) {
    prefix = u"-";
  } else if (spec.plus) {
    prefix = u"+";
  } else if (spec.space) {
    prefix = u" ";
  }
  AppendPadded(pOut, spec, prefix, body, std::isfinite(value));
}

void AppendText(std::u16string* pOut, const Spec& spec, std::u16string_view text) {
  if (spec.precision >= 0 && text.size() > static_cast<size_t>(spec.precision)) {
    text = text.substr(0, spec.precision);
  }
  AppendPadded(pOut, spec, u"", text, false);
}

enum class Length { kNone, kChar, kShort, kLong32, kLong64, kSize };

void FormatInto(std::u16string* pOut, const WCHAR* format, va_list args) {
  if (!format) return;
  const WCHAR* p = format;
  while (*p) {
    if (*p != u'%') {
      pOut->push_back(*p++);
      continue;
    }
    const WCHAR* start = p++;
    if (*p == u'%') {
      pOut->push_back(u'%');
      ++p;
      continue;
    }
    Spec spec;
    for (;; ++p) {
      if (*p == u'-') {
        spec.left = true;
      } else if (*p == u'0') {
        spec.zero = true;
      } else if (*p == u'+') {
        spec.plus = true;
      } else if (*p == u' ') {
        spec.space = true;
      } else if (*p == u'#') {
        spec.alt = true;
      } else {
        break;
      }
    }
    if (*p == u'*') {
      spec.width = va_arg(args, int);
      if (spec.width < 0) {
        spec.left = true;
        spec.width = -spec.width;
      }
      ++p;
    } else {
      while (*p >= u'0' && *p <= u'9') {
        spec.width = (spec.width < 0 ? 0 : spec.width) * 10 + (*p++ - u'0');
        if (spec.width > 65536) spec.width = 65536;
      }
    }
    if (*p == u'.') {
      ++p;
      spec.precision = 0;
      if (*p == u'*') {
        spec.precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') {
          spec.precision = spec.precision * 10 + (*p++ - u'0');
          if (spec.precision > 65536) spec.precision = 65536;
        }
      }
    }
    // Length: 'l' keeps its Windows meaning of 32 bits (LONG and DWORD are 32-bit); reading an
    // int from a 64-bit argument slot is harmless, the reverse is not.
    Length length = Length::kNone;
    bool narrowText = false;
    bool wideText = false;
    if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
      length = Length::kLong64;
      p += 3;
    } else if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2') {
      length = Length::kLong32;
      p += 3;
    } else if (p[0] == u'I' || p[0] == u'z') {
      length = Length::kSize;
      ++p;
    } else if (p[0] == u'l' && p[1] == u'l') {
      length = Length::kLong64;
      p += 2;
    } else if (p[0] == u'l' || p[0] == u'w') {
      length = Length::kLong32;
      wideText = true;
      ++p;
    } else if (p[0] == u'h' && p[1] == u'h') {
      length = Length::kChar;
      narrowText = true;
      p += 2;
    } else if (p[0] == u'h') {
      length = Length::kShort;
      narrowText = true;
      ++p;
    }
    const WCHAR conv = *p;
    if (conv == 0) {
      pOut->append(start, p);
      break;
    }
    ++p;
    switch (conv) {
      case u'd':
      case u'i': {
        int64_t v;
        switch (length) {
          case Length::kLong64:
            v = va_arg(args, long long);
            break;
          case Length::kSize:
            v = static_cast<int64_t>(va_arg(args, ptrdiff_t));
            break;
          case Length::kShort:
            v = static_cast<short>(va_arg(args, int));
            break;
          case Length::kChar:
            v = static_cast<signed char>(va_arg(args, int));
            break;
          default:
            v = va_arg(args, int);
            break;
        }
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        AppendInteger(pOut, spec, v < 0, magnitude, 10, false, true);
        break;
      }
      case u'u':
      case u'x':
      case u'X':
      case u'o': {
        uint64_t v;
        switch (length) {
          case Length::kLong64:
            v = va_arg(args, unsigned long long);
            break;
          case Length::kSize:
            v = va_arg(args, size_t);
            break;
          case Length::kShort:
            v = static_cast<unsigned short>(va_arg(args, unsigned));
            break;
          case Length::kChar:
            v = static_cast<unsigned char>(va_arg(args, unsigned));
            break;
          default:
            v = va_arg(args, unsigned);
            break;
        }
        unsigned base = conv == u'u' ? 10 : (conv == u'o' ? 8 : 16);
        AppendInteger(pOut, spec, false, v, base, conv == u'X', false);
        break;
      }
      case u'f':
      case u'F':
      case u'e':
      case u'E':
      case u'g':
      case u'G':
        AppendFloating(pOut, spec, conv, va_arg(args, double));
        break;
      case u'p': {
        Spec pointerSpec = spec;
        pointerSpec.precision = static_cast<int>(sizeof(void*) * 2);
        pointerSpec.alt = false;
        AppendInteger(pOut, pointerSpec, false, reinterpret_cast<uintptr_t>(va_arg(args, void*)),
                      16, true, false);
        break;
      }
      case u'c':
      case u'C': {
        int c = va_arg(args, int);
        char16_t ch;
        if ((conv == u'c' && !narrowText) || (conv == u'C' && wideText)) {
          ch = static_cast<char16_t>(c);
        } else {
          unsigned char b = static_cast<unsigned char>(c);
          ch = b < 0x80 ? b : static_cast<char16_t>(kReplacement);
        }
        AppendText(pOut, spec, std::u16string_view(&ch, 1));
        break;
      }
      case u's':
      case u'S': {
        // In a wide format %s is wide; %hs and %S are narrow (UTF-8 here); %ls is wide.
        bool narrow = (conv == u's' && narrowText) || (conv == u'S' && !wideText);
        if (narrow) {
          const char* s = va_arg(args, const char*);
          if (!s) s = "(null)";
          size_t n = spec.precision >= 0 ? strnlen(s, spec.precision) : strlen(s);
          AppendText(pOut, spec, Utf8ToUtf16(std::string_view(s, n)));
        } else {
          const WCHAR* s = va_arg(args, const WCHAR*);
          if (!s) s = u"(null)";
          std::u16string_view text(s);
          AppendText(pOut, spec, text);
        }
        break;
      }
      default:
        // Unknown conversion: shown as written, consuming no argument.
        pOut->append(start, p);
        break;
    }
  }
}

}  // namespace

UINT GetACP() { return CP_UTF8; }

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int cbSrc, LPWSTR dst, int cchDst) {
  if (!IsUtf8CodePage(codePage)) return FailZero(ERROR_INVALID_PARAMETER);
  if (!src || cbSrc == 0 || cbSrc < -1 || cchDst < 0 || (cchDst > 0 && !dst)) {
    return FailZero(ERROR_INVALID_PARAMETER);
  }
  size_t len = cbSrc == -1 ? strlen(src) + 1 : static_cast<size_t>(cbSrc);
  bool invalid = false;
  size_t needed = Utf8ToUtf16Into(src, len, nullptr, &invalid);
  if (invalid && (flags & MB_ERR_INVALID_CHARS)) return FailZero(ERROR_NO_UNICODE_TRANSLATION);
  if (needed > static_cast<size_t>(INT_MAX)) return FailZero(ERROR_INVALID_PARAMETER);
  if (cchDst == 0) return static_cast<int>(needed);
  if (needed > static_cast<size_t>(cchDst)) return FailZero(ERROR_INSUFFICIENT_BUFFER);
  Utf8ToUtf16Into(src, len, dst, &invalid);
  return static_cast<int>(needed);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int cchSrc, LPSTR dst, int cbDst,
                        LPCSTR defaultChar, BOOL* usedDefault) {
  if (!IsUtf8CodePage(codePage)) return FailZero(ERROR_INVALID_PARAMETER);
  if (!src || cchSrc == 0 || cchSrc < -1 || cbDst < 0 || (cbDst > 0 && !dst)) {
    return FailZero(ERROR_INVALID_PARAMETER);
  }
  // Windows refuses a default character for CP_UTF8; with CP_ACP (also UTF-8 here) it is never
  // used, and *usedDefault reports whether anything was replaced.
  if (codePage == CP_UTF8 && (defaultChar || usedDefault)) {
    return FailZero(ERROR_INVALID_PARAMETER);
  }
  size_t len = 0;
  if (cchSrc == -1) {
    while (src[len]) ++len;
    ++len;
  } else {
    len = static_cast<size_t>(cchSrc);
  }
  bool invalid = false;
  size_t needed = Utf16ToUtf8Into(src, len, nullptr, &invalid);
  if (usedDefault) *usedDefault = invalid ? TRUE : FALSE;
  if (invalid && (flags & WC_ERR_INVALID_CHARS)) return FailZero(ERROR_NO_UNICODE_TRANSLATION);
  if (needed > static_cast<size_t>(INT_MAX)) return FailZero(ERROR_INVALID_PARAMETER);
  if (cbDst == 0) return static_cast<int>(needed);
  if (needed > static_cast<size_t>(cbDst)) return FailZero(ERROR_INSUFFICIENT_BUFFER);
  Utf16ToUtf8Into(src, len, dst, &invalid);
  return static_cast<int>(needed);
}

int lstrlenW(LPCWSTR s) {
  if (!s) return 0;
  int n = 0;
  while (s[n]) ++n;
  return n;
}

int lstrcmpW(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return Sign(static_cast<int>(*a) - static_cast<int>(*b));
}

int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
  while (*a && FoldCase(*a) == FoldCase(*b)) {
    ++a;
    ++b;
  }
  return Sign(static_cast<int>(FoldCase(*a)) - static_cast<int>(FoldCase(*b)));
}

int lstrcmpiA(LPCSTR a, LPCSTR b) {
  if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
  auto fold = [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') ? u - 0x20 : u;
  };
  while (*a && fold(*a) == fold(*b)) {
    ++a;
    ++b;
  }
  return Sign(static_cast<int>(fold(*a)) - static_cast<int>(fold(*b)));
}

std::u16string Utf8ToUtf16(std::string_view s) {
  bool invalid = false;
  std::u16string out(Utf8ToUtf16Into(s.data(), s.size(), nullptr, &invalid), u'\0');
  Utf8ToUtf16Into(s.data(), s.size(), out.data(), &invalid);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  bool invalid = false;
  std::string out(Utf16ToUtf8Into(s.data(), s.size(), nullptr, &invalid), '\0');
  Utf16ToUtf8Into(s.data(), s.size(), out.data(), &invalid);
  return out;
}

int VFormatW(WCHAR* dst, size_t cchDst, const WCHAR* format, va_list args) {
  std::u16string text;
  FormatInto(&text, format, args);
  if (!dst || cchDst == 0) return -1;
  if (text.size() < cchDst) {
    std::memcpy(dst, text.data(), text.size() * sizeof(WCHAR));
    dst[text.size()] = 0;
    return static_cast<int>(text.size());
  }
  // Cut, but always terminated: a caller that ignores -1 still holds a valid string.
  std::memcpy(dst, text.data(), (cchDst - 1) * sizeof(WCHAR));
  dst[cchDst - 1] = 0;
  return -1;
}

int FormatW(WCHAR* dst, size_t cchDst, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = VFormatW(dst, cchDst, format, args);
  va_end(args);
  return n;
}

std::u16string FormatW(const WCHAR* format, ...) {
  std::u16string text;
  va_list args;
  va_start(args, format);
  FormatInto(&text, format, args);
  va_end(args);
  return text;
}

std::u16string VFormatW(const WCHAR* format, va_list args) {
  std::u16string text;
  FormatInto(&text, format, args);
  return text;
}

int wsprintfW(LPWSTR dst, LPCWSTR format, ...) {
  // wsprintfW never writes more than 1024 characters, terminator included.
  constexpr size_t kWsprintfLimit = 1024;
  va_list args;
  va_start(args, format);
  int n = VFormatW(dst, kWsprintfLimit, format, args);
  va_end(args);
  return n < 0 ? static_cast<int>(kWsprintfLimit - 1) : n;
}

bool PathsEqual(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return a == b;
  auto sep = [](WCHAR c) { return c == u'/' ? u'\\' : c; };
  // Drive letters name the same drive in either case.
  auto upper = [](WCHAR c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - 0x20) : c; };
  if (a[0] && a[1] == u':' && b[0] && b[1] == u':') {
    if (upper(a[0]) != upper(b[0])) return false;
    a += 2;
    b += 2;
  }
  while (*a && sep(*a) == sep(*b)) {
    ++a;
    ++b;
  }
  return *a == *b;
}

}  // namespace win32
