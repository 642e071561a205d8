// Text conversion, the wide formatter, Windows-form paths and module file names.

#include "win32/strings.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <limits>
#include <string>

#include "paths.h"
#include "win32/module_name.h"

using namespace win32;

namespace {

std::u16string Widen(const std::string& bytes) {
  int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::u16string out(n, u'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::u16string& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string RealPath(const std::string& path) {
  char* p = realpath(path.c_str(), nullptr);
  std::string out = p ? p : "";
  free(p);
  return out;
}

// Ill-formed UTF-8: one U+FFFD per maximal ill-formed prefix, and decoding resumes at the next
// byte that can start a character.
TEST(Utf8Decoding, IllFormedSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(Widen("\xC0\x80"), u"\uFFFD\uFFFD");  // overlong NUL
  EXPECT_EQ(Widen("\xE2\x82"
                  "A"),
            u"\uFFFDA");                                              // cut 3-byte sequence
  EXPECT_EQ(Widen("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // encoded surrogate
  EXPECT_EQ(Widen("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(Widen("\xFF"
                  "a\x80"),
            u"\uFFFDa\uFFFD");
  EXPECT_EQ(Widen("\xF0\x9F\x98"), u"\uFFFD");  // cut 4-byte sequence at the end
  EXPECT_EQ(Widen("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(Widen("\xEF\xBF\xBD"), u"\uFFFD");  // a real U+FFFD is not an error
}

TEST(Utf16Encoding, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(Narrow(std::u16string(u"a") + char16_t(0xD800) + u"b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Narrow(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
  EXPECT_EQ(Narrow(std::u16string{char16_t(0xDC00), char16_t(0xD800)}),
            "\xEF\xBF\xBD\xEF\xBF\xBD");                                   // reversed pair
  EXPECT_EQ(Narrow(std::u16string(1, char16_t(0xD83D))), "\xEF\xBF\xBD");  // high at the end
  EXPECT_EQ(Narrow(u"\U0001F600\u65E0"), "\xF0\x9F\x98\x80\xE6\x97\xA0");
}

TEST(Utf8Decoding, ErrorFlagsRefuseInsteadOfReplacing) {
  WCHAR out[8];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC0", 2, out, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  const char16_t lone[] = {0xD800, 0};
  char narrow[8];
  EXPECT_EQ(
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, narrow, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

// Callers measure with an output size of 0, then convert the whole input, NUL included.
TEST(CodePageConversion, MeasureThenConvertIncludesTerminator) {
  const char* text = "Ab\xE6\x97\xA0\xF0\x9F\x98\x80";  // A, b, one BMP, one non-BMP character
  int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  ASSERT_EQ(needed, 6);  // 2 + 1 + 2 (surrogate pair) + NUL
  std::u16string wide(needed + 2, u'#');
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), needed), needed);
  EXPECT_EQ(wide[needed - 1], u'\0');
  EXPECT_EQ(wide[needed], u'#');  // nothing written past the measured size

  int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  ASSERT_EQ(bytes, static_cast<int>(strlen(text)) + 1);
  std::string back(bytes, '\0');
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, back.data(), bytes, nullptr, nullptr),
            bytes);
  EXPECT_STREQ(back.c_str(), text);

  // Empty input with -1 is just the terminator.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "", -1, nullptr, 0), 1);
  EXPECT_EQ(GetACP(), CP_UTF8);
}

TEST(CodePageConversion, ShortBufferAndBadArgumentsFail) {
  WCHAR out[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, out, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(out[3], u'#');
  char narrow[2];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u65E0", -1, narrow, 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, out, 4), 0);  // zero length
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(936, 0, "abc", -1, out, 4), 0);  // no other code page here
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  BOOL used = TRUE;
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", -1, narrow, 2, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a", -1, narrow, 2, nullptr, &used), 2);
  EXPECT_EQ(used, FALSE);
}

TEST(CodePageConversion, WholeStringHelpersRoundTripNonBmp) {
  const std::string text = "Foto \xF0\x9F\x93\xB7 \xE8\x93\x9D\xE7\x89\x99";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
  EXPECT_EQ(Utf8ToUtf16(""), u"");
}

// The wide formatter: %s is wide, %hs and %S narrow UTF-8; 'l' is 32-bit as on Windows.
TEST(FormatW, ConversionsFollowWindowsMeaning) {
  EXPECT_EQ(FormatW(u"%s(%d)%s", u"IMG", 2, u".jpg"), u"IMG(2).jpg");
  EXPECT_EQ(FormatW(u"[%hs|%S]", "\xE6\x97\xA0", "x"), u"[\u65E0|x]");
  EXPECT_EQ(FormatW(u"PhotoDevice%d", -7), u"PhotoDevice-7");
  EXPECT_EQ(FormatW(u"%5d|%-5d|%05d", 42, 42, -42), u"   42|42   |-0042");
  EXPECT_EQ(FormatW(u"%02x%02X %x", 0x0A, 0xBC, 0xDEADBEEFu), u"0aBC deadbeef");
  EXPECT_EQ(FormatW(u"%u %lu %ld", 0xFFFFFFFFu, 4000000000u, -1), u"4294967295 4000000000 -1");
  EXPECT_EQ(FormatW(u"%I64d %lld %I64u", int64_t{-9000000000}, 1LL << 40, ~0ULL),
            u"-9000000000 1099511627776 18446744073709551615");
  EXPECT_EQ(FormatW(u"%.3s|%6.2s|%c|%%", u"abcdef", u"xyz", u'Z'), u"abc|    xy|Z|%");
  EXPECT_EQ(
      FormatW(u"%s %hs", static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr)),
      u"(null) (null)");
  EXPECT_EQ(FormatW(u"%*d|%.*d", 4, 7, 3, 7), u"   7|007");
  EXPECT_EQ(FormatW(u"%p", reinterpret_cast<void*>(0xABC)), u"0000000000000ABC");
}

TEST(FormatW, FloatingConversionsRoundAsC) {
  // Free space in GB with two decimals: a byte short of 1 GB still shows 1.00.
  EXPECT_EQ(FormatW(u"%.2fGB可用", 5368709120.0 / 1073741824.0), u"5.00GB可用");
  EXPECT_EQ(FormatW(u"%.2f", 1073741823.0 / 1073741824.0), u"1.00");
  EXPECT_EQ(FormatW(u"%f|%.0f|%.1f", 0.5, 2.5, 0.05), u"0.500000|2|0.1");
  EXPECT_EQ(FormatW(u"%8.3f|%-8.1f|%08.2f|%+.1f", -1.5, 2.25, 3.14159, 7.0),
            u"  -1.500|2.2     |00003.14|+7.0");
  EXPECT_EQ(FormatW(u"%e|%E|%g|%G", 12345.678, 0.00012, 0.0001, 1e20),
            u"1.234568e+04|1.200000E-04|0.0001|1E+20");
  EXPECT_EQ(FormatW(u"%f|%5.1f|%F", -0.0, std::numeric_limits<double>::infinity(),
                    std::numeric_limits<double>::quiet_NaN()),
            u"-0.000000|  inf|NAN");
  // Arguments after a floating one are read from their own slots.
  EXPECT_EQ(FormatW(u"%d %.1f %s %d", 1, 2.0, u"x", 3), u"1 2.0 x 3");
}

TEST(FormatW, CutOutputIsTerminatedAndReported) {
  WCHAR out[6];
  EXPECT_EQ(FormatW(out, 6, u"%d", 12345), 5);
  EXPECT_EQ(std::u16string(out), u"12345");
  EXPECT_EQ(FormatW(out, 6, u"%d", 123456), -1);
  EXPECT_EQ(std::u16string(out), u"12345");

  std::u16string big(2000, u'x');
  WCHAR limited[1100];
  EXPECT_EQ(wsprintfW(limited, u"%s", big.c_str()), 1023);
  EXPECT_EQ(lstrlenW(limited), 1023);
  EXPECT_EQ(FormatW(u"%s", big.c_str()).size(), 2000u);
}

TEST(StringCompare, CaseFoldingAndPathEquality) {
  EXPECT_EQ(lstrcmpiW(u"Corvane\u00E9", u"CORVANE\u00C9"), 0);
  EXPECT_LT(lstrcmpiW(u"abc", u"ABD"), 0);
  EXPECT_GT(lstrcmpW(u"b", u"a"), 0);
  EXPECT_EQ(lstrcmpiA("Kernel32.DLL", "kernel32.dll"), 0);
  // Folders differing only in case are different folders on this file system.
  EXPECT_FALSE(PathsEqual(u"\\home\\u\\Photos", u"\\home\\u\\photos"));
  EXPECT_TRUE(PathsEqual(u"\\home\\u/Photos", u"/home/u\\Photos"));
  EXPECT_FALSE(PathsEqual(u"\\home\\u", u"\\home\\u\\"));
}

// Paths: Windows form inside, POSIX at the system call; a backslash never reaches a file name.
TEST(Paths, WindowsAndPosixFormsRoundTrip) {
  std::string posix;
  ASSERT_TRUE(detail::ToPosixPath(u"\\home\\u\\.config\\Corvane\\Orbalyn\\Orbalyn.dat", &posix));
  EXPECT_EQ(posix, "/home/u/.config/Corvane/Orbalyn/Orbalyn.dat");
  EXPECT_EQ(detail::FromPosixPath(posix), u"\\home\\u\\.config\\Corvane\\Orbalyn\\Orbalyn.dat");
  EXPECT_EQ(detail::FromPosixPathUtf8("/tmp/a b/\xE6\x97\xA0"), "\\tmp\\a b\\\xE6\x97\xA0");

  // A drive letter maps through the drive table.
  setenv("LUMIDOCK_DRIVES", "C=/x/c;D=/x/d", 1);
  ASSERT_TRUE(detail::ToPosixPath(u"C:\\data/mixed\\x.txt", &posix));
  EXPECT_EQ(posix, "/x/c/data/mixed/x.txt");
  ASSERT_TRUE(detail::ToPosixPath(u"\\\\?\\D:\\long\\path", &posix));
  EXPECT_EQ(posix, "/x/d/long/path");
  unsetenv("LUMIDOCK_DRIVES");
  ASSERT_TRUE(detail::ToPosixPath(std::string_view("relative\\name"), &posix));
  EXPECT_EQ(posix, "relative/name");
  EXPECT_FALSE(detail::ToPosixPath(u"", &posix));
  EXPECT_FALSE(detail::ToPosixPath(std::string_view("a\0b", 3), &posix));
}

TEST(Paths, SystemFolderHostsFileIsVirtual) {
  WCHAR dir[MAX_PATH];
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(GetSystemDirectoryW(dir, 3), n + 1);  // too small: the size needed

  std::u16string hosts = std::u16string(dir) + u"\\drivers\\etc\\hosts";
  std::string posix;
  unsetenv("LUMIDOCK_HOSTS_FILE");
  ASSERT_TRUE(detail::ToPosixPath(hosts, &posix));
  EXPECT_EQ(posix, "/etc/hosts");
  setenv("LUMIDOCK_HOSTS_FILE", "/tmp/test-hosts", 1);
  ASSERT_TRUE(detail::ToPosixPath(u"C:\\WINDOWS\\system32\\Drivers\\ETC\\HOSTS", &posix));
  EXPECT_EQ(posix, "/tmp/test-hosts");
  unsetenv("LUMIDOCK_HOSTS_FILE");

  char narrow[MAX_PATH];
  EXPECT_EQ(GetSystemDirectoryA(narrow, MAX_PATH), n);
}

// Module names: the module holding an address, its real path in Windows form, truncation.
TEST(ModuleFileName, LayerLibraryAndProgram) {
  HMODULE layer = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&GetModuleFileNameW), &layer));
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&GetModuleFileNameW), &info), 0);
  EXPECT_EQ(reinterpret_cast<void*>(layer), info.dli_fbase);

  WCHAR path[1024];
  DWORD n = GetModuleFileNameW(layer, path, 1024);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  std::u16string windowsPath(path, n);
  EXPECT_EQ(windowsPath[0], u'\\');
  EXPECT_TRUE(windowsPath.ends_with(u"\\libwin32.so"));
  std::string posix;
  ASSERT_TRUE(detail::ToPosixPath(windowsPath, &posix));
  EXPECT_EQ(posix, RealPath(info.dli_fname));

  // The program itself (null), as /proc/self/exe names it.
  n = GetModuleFileNameW(nullptr, path, 1024);
  ASSERT_GT(n, 0u);
  ASSERT_TRUE(detail::ToPosixPath(std::u16string_view(path, n), &posix));
  EXPECT_EQ(posix, RealPath("/proc/self/exe"));

  // Cut: NUL-terminated, returns the size, 122.
  WCHAR small[6];
  EXPECT_EQ(GetModuleFileNameW(layer, small, 6), 6u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small[5], u'\0');
  EXPECT_EQ(std::u16string(small), windowsPath.substr(0, 5));

  char narrow[1024];
  DWORD bytes = GetModuleFileNameA(layer, narrow, sizeof(narrow));
  EXPECT_EQ(std::string(narrow, bytes), Utf16ToUtf8(windowsPath));
}

TEST(ModuleFileName, OtherModulesByAddressAndName) {
  // libc, loaded under its soname, still reports its real path.
  HMODULE libc = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&getpid), &libc));
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&getpid), &info), 0);
  WCHAR path[1024];
  DWORD n = GetModuleFileNameW(libc, path, 1024);
  ASSERT_GT(n, 0u);
  std::string posix;
  ASSERT_TRUE(detail::ToPosixPath(std::u16string_view(path, n), &posix));
  EXPECT_EQ(posix, RealPath(info.dli_fname));

  // By name: matched against the built file name, ignoring case.
  HMODULE byName = nullptr;
  ASSERT_TRUE(
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, u"LIBWIN32.SO", &byName));
  HMODULE byAddress = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&GetModuleFileNameW), &byAddress));
  EXPECT_EQ(byName, byAddress);

  HMODULE missing = reinterpret_cast<HMODULE>(1);
  EXPECT_FALSE(GetModuleHandleExW(0, u"NoSuchModule.dll", &missing));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), path, 1024), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

}  // namespace
