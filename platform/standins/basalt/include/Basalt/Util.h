#pragma once
// The platform library's free functions: boot and exit, the core object, plug-ins, files and
// paths, data objects, the UI framework's object factory and performance transactions.
// Boot and exit calls return a result nobody examines; each is recorded (BasaltTesting.h).
// Threading: boot, exit and plug-in calls run on the main thread during start-up and shutdown;
// the rest may be called from any thread.

#include <cstdint>

#include "Basalt/CKwBSTR.h"
#include "Basalt/CKwBuffer.h"
#include "Basalt/CKwStringW.h"
#include "Basalt/KwInterfaces.h"

namespace Util {

namespace Misc {
// The ids KwTimer and the UI framework check their callers against.
void SetMainAndLogicThreadId(win32::DWORD mainThreadId, win32::DWORD logicThreadId);
win32::DWORD GetMainThreadId();
void OnExitCoreCenter();
void OnExitWinMain();
void OnUninitCom();
}  // namespace Misc

namespace Com {
// "Basalt.dll" is built in: CLSID_KwCore gives the platform core (the running one, once made),
// any other class REGDB_E_CLASSNOTREG. Another library name gives HRESULT_FROM_WIN32(126); an
// outer object CLASS_E_NOAGGREGATION. *ppObject is null on failure.
win32::HRESULT CreateObjectFromDllFile(const win32::WCHAR* pDllName, win32::REFCLSID clsid,
                                       win32::REFIID riid, void** ppObject,
                                       win32::IUnknown* pOuter);
}  // namespace Com

namespace CoreCenter {
// Reads the configuration file: "key=value" lines, `layout=` and `res=` naming the UI
// framework's folders. Missing keys (or file) leave "<program folder>layout\" and "res\".
// TRUE when the file was read.
win32::BOOL InitPlatform(const CKwBSTR& configPath);
// Plug-ins: every call succeeds and is recorded.
win32::BOOL AddPlugin(const win32::WCHAR* pName, IKwData* pData);
win32::BOOL QueryPluginCore(const win32::WCHAR* pName, IKwPluginCore** ppCore);
win32::BOOL EnablePlugin(const win32::WCHAR* pName);
}  // namespace CoreCenter

namespace Boot {
// Settles the layout and resource folders of the running core.
win32::BOOL InitPlatformFileSystem();
win32::BOOL InitPlatformI18NConfig();
win32::BOOL InitPlatformCoreConfig();
// Registers the UI framework's classes with the core's class table.
win32::BOOL InitPlatformLqConfig();
win32::BOOL InitPluginFileSystem(const win32::WCHAR* pName);
win32::BOOL InitPluginI18NConfig(const win32::WCHAR* pName);
win32::BOOL InitPluginCoreConfig(const win32::WCHAR* pName);
win32::BOOL InitPluginLqConfig(const win32::WCHAR* pName);
win32::BOOL InitPluginModeConfig(const win32::WCHAR* pName);
}  // namespace Boot

namespace Core {
// The running core with one reference for the caller; null (E_FAIL) before it is made and after
// it shut down.
win32::HRESULT GetPlatformCore(IKwCore** ppCore);
// How a registered class makes its object: the interface asked for, with one reference.
using ObjectClassFactory = win32::HRESULT (*)(win32::REFIID riid, void** ppObject);
// Makes `clsid` known to IKwCore::CreateObject (a second registration replaces the first). The
// UI framework and the picture object register their classes this way.
void RegisterObjectClass(win32::REFCLSID clsid, ObjectClassFactory factory);
// The factory registered last for `clsid`, or null.
ObjectClassFactory FindObjectClass(win32::REFCLSID clsid);
}  // namespace Core

namespace Sys {
// The program's folder in Windows form, ending with a backslash.
CKwStringW GetExeDir();
}  // namespace Sys

namespace FS {
// The path cut after its last backslash (or slash): a folder path ending with a separator is
// its own parent. No separator gives the empty string.
CKwStringW GetParentDir(const win32::WCHAR* pPath);
// Whether a file (not a folder) is there.
win32::BOOL IsFileExist(const win32::WCHAR* pPath);
// The MD5 of the file's bytes (16 bytes in a new buffer) and the file's size.
win32::BOOL GetFileHash(const win32::WCHAR* pPath, CKwBuffer& hash, uint64_t& size);
}  // namespace FS

namespace Data {
win32::HRESULT CreateKwBuffer(IKwBuffer** ppBuffer);
win32::HRESULT CreateKwData(IKwData** ppData);
}  // namespace Data

namespace Lq {
// The program's factory for the UI framework's custom objects: non-zero when it made one.
using CustomObjectFactory = win32::BOOL (*)(win32::REFCLSID clsid, win32::REFIID riid,
                                            void** ppObject);
void SetCustomObjectFactory(CustomObjectFactory factory);
// What the UI framework calls; null before the program set it.
CustomObjectFactory GetCustomObjectFactory();
}  // namespace Lq

namespace Perf {
// A transaction's handle (never 0); the end logs one line when it took longer than
// `thresholdMs`.
uint64_t RecordTransBegin(const char* pFile, int line, int level, const char* pFunction,
                          const win32::WCHAR* pText);
void RecordTransEnd(uint64_t handle, const char* pFile, int line, int level, const char* pFunction,
                    const win32::WCHAR* pText, win32::DWORD thresholdMs);
}  // namespace Perf

}  // namespace Util
