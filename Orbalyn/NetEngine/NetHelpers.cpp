#include "NetEngine/NetHelpers.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>

#include "NetEngine/DllLog.h"
#include "win32/strings.h"
#include "win32/winsock.h"

using namespace win32;

namespace {

bool FillRandom(uint8_t* pBytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t got = getrandom(pBytes + done, length - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

std::u16string MultiToWide(UINT codePage, const char* pText) {
  if (!pText || !*pText) return {};
  int count = MultiByteToWideChar(codePage, 0, pText, -1, nullptr, 0);
  if (count <= 0) return {};
  std::u16string wide(static_cast<size_t>(count), u'\0');
  count = MultiByteToWideChar(codePage, 0, pText, -1, wide.data(), count);
  if (count <= 0) return {};
  wide.resize(static_cast<size_t>(count - 1));  // the NUL
  return wide;
}

std::string WideToMulti(UINT codePage, const char16_t* pText) {
  if (!pText || !*pText) return {};
  int count = WideCharToMultiByte(codePage, 0, pText, -1, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return {};
  std::string narrow(static_cast<size_t>(count), '\0');
  count = WideCharToMultiByte(codePage, 0, pText, -1, narrow.data(), count, nullptr, nullptr);
  if (count <= 0) return {};
  narrow.resize(static_cast<size_t>(count - 1));
  return narrow;
}

}  // namespace

std::string BytesToHex(const void* pData, size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* pBytes = static_cast<const uint8_t*>(pData);
  std::string text;
  text.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    text.push_back(kDigits[pBytes[i] >> 4]);
    text.push_back(kDigits[pBytes[i] & 0x0F]);
  }
  return text;
}

std::string MakeRandomKey() {
  uint8_t bytes[8];
  if (!FillRandom(bytes, sizeof(bytes))) {
    DLL_LOG("MakeRandomKey: no random source: %d", errno);
    return {};
  }
  return BytesToHex(bytes, sizeof(bytes));
}

std::string IpToString(uint32_t addressNetOrder) {
  const auto* p = reinterpret_cast<const uint8_t*>(&addressNetOrder);
  char text[16];
  snprintf(text, sizeof(text), "%u.%u.%u.%u", unsigned{p[0]}, unsigned{p[1]}, unsigned{p[2]},
           unsigned{p[3]});
  return text;
}

std::u16string AnsiToWide(const char* pText) { return MultiToWide(CP_ACP, pText); }

std::string WideToAnsi(const char16_t* pText) { return WideToMulti(CP_ACP, pText); }

std::u16string Utf8ToWide(const char* pText) { return MultiToWide(CP_UTF8, pText); }

std::string WideToUtf8(const char16_t* pText) { return WideToMulti(CP_UTF8, pText); }

bool BindAnyAddress(SOCKET socket) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = 0;
  return win32::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
         SOCKET_ERROR;
}
