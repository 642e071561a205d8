#pragma once
// COM basics: IUnknown, apartments per thread, object creation from a process-wide class table,
// GUID helpers and the task allocator. Nothing talks to another process: a class exists only
// when something in this process registered it (the layer's stand-ins at load, tests' fakes).

#include "win32/base.h"

namespace win32 {

using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using LPCLSID = CLSID*;
using REFGUID = const GUID&;

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000001-0000-0000-C000-000000000046}
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr CLSID CLSID_NULL = IID_NULL;

// No destructor in the table: objects delete themselves in Release.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                   void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};

constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3);
constexpr HRESULT CO_E_OBJNOTREG = static_cast<HRESULT>(0x800401FB);

// --- Apartments (per thread, counted) ---
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;

// S_OK the first time on a thread, S_FALSE again in the same mode (both counted: each needs a
// CoUninitialize), RPC_E_CHANGED_MODE in the other mode (not counted).
WIN32_API HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
// Apartment-threaded.
WIN32_API HRESULT CoInitialize(LPVOID reserved);
WIN32_API void CoUninitialize();

// --- Object creation ---
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;
constexpr DWORD REGCLS_MULTI_SEPARATE = 2;

// Needs an apartment on the calling thread (else CO_E_NOTINITIALIZED). Looks the class up in the
// process's class table among registrations whose context overlaps `clsContext` (latest first);
// none: REGDB_E_CLASSNOTREG. *ppv is null on every failure.
WIN32_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD clsContext,
                                   REFIID riid, LPVOID* ppv);
// Adds a class factory (`unknown` must answer IClassFactory; the table holds a reference) for
// the given contexts; the cookie revokes it. Works without an apartment, so stand-ins can
// register while the layer loads. Flags are accepted and ignored (every registration is
// multiple-use).
WIN32_API HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* unknown, DWORD clsContext,
                                        DWORD flags, LPDWORD cookie);
WIN32_API HRESULT CoRevokeClassObject(DWORD cookie);
// Nothing is ever loaded on demand, so there is nothing to free.
WIN32_API void CoFreeUnusedLibrariesEx(DWORD unloadDelay, DWORD reserved);
// No ProgIDs are registered in this process: CO_E_CLASSSTRING.
WIN32_API HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid);

// --- GUIDs ---
// A random (version 4) GUID from the kernel's generator.
WIN32_API HRESULT CoCreateGuid(GUID* guid);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case; returns the characters written with the
// NUL (39), or 0 when `cchMax` is too small.
WIN32_API int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int cchMax);

// --- Task allocator ---
WIN32_API LPVOID CoTaskMemAlloc(SIZE_T size);
WIN32_API void CoTaskMemFree(LPVOID pv);

}  // namespace win32
