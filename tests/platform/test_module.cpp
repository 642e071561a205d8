#include "win32/module.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "builtin_modules.h"
#include "win32/iphlpapi.h"
#include "win32/strings.h"
#include "win32/sysinfo.h"

using namespace win32;

namespace {

constexpr const WCHAR* kTestModule = u"LoaderTestModule.dll";

// The runtime folder in Windows form, where libwin32.so and the test module are built.
std::u16string RuntimeFolder() {
  Dl_info info;
  EXPECT_NE(dladdr(reinterpret_cast<void*>(&LoadLibraryW), &info), 0);
  char* pReal = realpath(info.dli_fname, nullptr);
  std::string path = pReal ? pReal : "";
  free(pReal);
  std::u16string folder = Utf8ToUtf16(path.substr(0, path.rfind('/')));
  for (char16_t& c : folder) {
    if (c == u'/') c = u'\\';
  }
  return folder;
}

int CallAnswer(HMODULE module) {
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "LoaderTestAnswer"));
  return answer ? answer() : -1;
}

// Names map to built files: "X.dll" by bare name from the runtime folder, or by full path.
TEST(ModuleLoadingTest, DllNamesMapToBuiltModules) {
  HMODULE byName = LoadLibraryW(kTestModule);
  ASSERT_NE(byName, nullptr) << GetLastError();
  EXPECT_EQ(CallAnswer(byName), 42);

  std::u16string fullPath = RuntimeFolder() + u"\\LoaderTestModule.DLL";
  HMODULE byPath = LoadLibraryW(fullPath.c_str());
  EXPECT_EQ(byPath, byName);
  EXPECT_FALSE(IsMainExecutable(byName));

  // The handle is the one GetModuleFileNameW knows.
  WCHAR file[1024];
  DWORD n = GetModuleFileNameW(byName, file, 1024);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::u16string(file, n), RuntimeFolder() + u"\\LoaderTestModule.so");
  EXPECT_EQ(GetModuleHandleW(kTestModule), byName);

  EXPECT_TRUE(FreeLibrary(byPath));
  EXPECT_TRUE(FreeLibrary(byName));
}

// 126 for a module that is not there, 127 for a name it does not export itself.
TEST(ModuleLoadingTest, MissingModulesAndExportsFailWithTheirNumbers) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(u"NoSuchModule.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  std::u16string elsewhere = RuntimeFolder() + u"\\absent\\LoaderTestModule.dll";
  EXPECT_EQ(LoadLibraryW(elsewhere.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  HMODULE module = LoadLibraryW(kTestModule);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  // The module calls getpid from libc; a Windows module would not export it, nor does this one.
  EXPECT_NE(GetProcAddress(module, "LoaderTestProcessId"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "getpid"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(1)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(module));
}

// Each load needs its own FreeLibrary; the last one unloads the module.
TEST(ModuleLoadingTest, FreeLibraryIsReferenceCounted) {
  HMODULE first = LoadLibraryW(kTestModule);
  HMODULE second = LoadLibraryA("LoaderTestModule.dll");
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(first, second);
  ASSERT_TRUE(FreeLibrary(first));
  EXPECT_EQ(GetModuleHandleW(kTestModule), first);
  EXPECT_EQ(CallAnswer(first), 42);
  ASSERT_TRUE(FreeLibrary(second));
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleW(kTestModule), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(dlopen((Utf16ToUtf8(RuntimeFolder()) + "/LoaderTestModule.so").c_str(),
                   RTLD_LAZY | RTLD_NOLOAD),
            nullptr);
}

int TestExport() { return 7; }

// Built-in modules load by name or system path and answer with the layer's functions.
TEST(ModuleLoadingTest, BuiltInModulesResolveToLayerFunctions) {
  HMODULE kernel = LoadLibraryW(u"kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  WCHAR system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  std::u16string systemPath = std::u16string(system) + u"\\KERNEL32.DLL";
  EXPECT_EQ(LoadLibraryW(systemPath.c_str()), kernel);
  EXPECT_EQ(GetModuleHandleW(u"Kernel32.dll"), kernel);
  EXPECT_EQ(GetProcAddress(kernel, "GetNativeSystemInfo"),
            reinterpret_cast<FARPROC>(&GetNativeSystemInfo));
  EXPECT_EQ(GetProcAddress(kernel, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

  std::u16string iphlpapiPath = std::u16string(system) + u"\\iphlpapi.dll";
  HMODULE iphlpapi = LoadLibraryW(iphlpapiPath.c_str());
  ASSERT_NE(iphlpapi, nullptr);
  EXPECT_EQ(GetProcAddress(iphlpapi, "GetAdaptersInfo"),
            reinterpret_cast<FARPROC>(&GetAdaptersInfo));
  EXPECT_TRUE(FreeLibrary(iphlpapi));
  EXPECT_EQ(GetModuleHandleW(u"iphlpapi.dll"), nullptr);

  ASSERT_TRUE(detail::RegisterBuiltinExport("NETAPI32.dll", "LoaderTestExport", &TestExport));
  EXPECT_FALSE(detail::RegisterBuiltinExport("user32.dll", "LoaderTestExport", &TestExport));
  HMODULE netapi = LoadLibraryA("netapi32");
  ASSERT_NE(netapi, nullptr);
  auto fn = reinterpret_cast<int (*)()>(GetProcAddress(netapi, "LoaderTestExport"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 7);
  EXPECT_TRUE(FreeLibrary(netapi));
  EXPECT_TRUE(FreeLibrary(kernel));
  EXPECT_TRUE(FreeLibrary(kernel));
}

// Tests can make a built-in module missing to reach the callers' fallbacks.
TEST(ModuleLoadingTest, BuiltInCanBeMadeMissing) {
  setenv("LUMIDOCK_MISSING_MODULES", "netapi32.dll, IPHLPAPI.DLL", 1);
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(u"iphlpapi.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryW(u"netapi32.dll"), nullptr);
  HMODULE kernel = LoadLibraryW(u"kernel32.dll");
  EXPECT_NE(kernel, nullptr);
  FreeLibrary(kernel);
  unsetenv("LUMIDOCK_MISSING_MODULES");
  HMODULE iphlpapi = LoadLibraryW(u"iphlpapi.dll");
  EXPECT_NE(iphlpapi, nullptr);
  FreeLibrary(iphlpapi);
}

// The program is told apart from libraries without relying on a file extension.
TEST(ModuleLoadingTest, MainExecutableIsRecognised) {
  HMODULE program = GetModuleHandleW(nullptr);
  ASSERT_NE(program, nullptr);
  EXPECT_TRUE(IsMainExecutable(program));
  EXPECT_FALSE(IsMainExecutable(nullptr));
  HMODULE layer = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&LoadLibraryW), &layer));
  EXPECT_FALSE(IsMainExecutable(layer));
  HMODULE self = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&CallAnswer), &self));
  EXPECT_EQ(self, program);
  // The program's own exports resolve (none here by that name) without touching libraries.
  EXPECT_EQ(GetProcAddress(program, "LoaderTestAnswer"), nullptr);
}

}  // namespace
