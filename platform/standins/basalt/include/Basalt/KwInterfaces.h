#pragma once
// The interfaces of the platform library: its core object, data objects, timer call-backs and
// plug-in cores. COM layout (IUnknown first); objects count references and free themselves in
// their last Release.

#include "win32/base.h"
#include "win32/com.h"
#include "win32/oleauto.h"

// {2289D8B7-C29A-47AE-9A7E-7B784E502B30}: the platform core, made from "Basalt.dll".
inline constexpr win32::CLSID CLSID_KwCore = {
    0x2289D8B7, 0xC29A, 0x47AE, {0x9A, 0x7E, 0x7B, 0x78, 0x4E, 0x50, 0x2B, 0x30}};
// {65A51D9F-1A1F-40D4-932A-43BE5FF86E39}
inline constexpr win32::IID IID_IKwCore = {
    0x65A51D9F, 0x1A1F, 0x40D4, {0x93, 0x2A, 0x43, 0xBE, 0x5F, 0xF8, 0x6E, 0x39}};
// {885D0005-4D52-4E08-B19A-28A09A3B0B60}
inline constexpr win32::IID IID_IKwBuffer = {
    0x885D0005, 0x4D52, 0x4E08, {0xB1, 0x9A, 0x28, 0xA0, 0x9A, 0x3B, 0x0B, 0x60}};
// {03816EB5-4F33-4AA1-8188-92FABE070EC2}
inline constexpr win32::IID IID_IKwData = {
    0x03816EB5, 0x4F33, 0x4AA1, {0x81, 0x88, 0x92, 0xFA, 0xBE, 0x07, 0x0E, 0xC2}};
// {C2BC6FAB-F141-4A80-8D34-9C49E9A519EA}
inline constexpr win32::IID IID_IKwTimerCallback = {
    0xC2BC6FAB, 0xF141, 0x4A80, {0x8D, 0x34, 0x9C, 0x49, 0xE9, 0xA5, 0x19, 0xEA}};
// {863C193E-9668-4FC3-AD0A-E6ADFFCC8252}
inline constexpr win32::IID IID_IKwPluginCore = {
    0x863C193E, 0x9668, 0x4FC3, {0xAD, 0x0A, 0xE6, 0xAD, 0xFF, 0xCC, 0x82, 0x52}};

// A byte buffer. SetData copies the bytes; Attach takes a block from malloc and frees it once,
// when the buffer is given other bytes or destroyed.
struct IKwBuffer : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE SetData(const win32::BYTE* pData, win32::DWORD size) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Attach(win32::BYTE* pMallocBlock, win32::DWORD size) = 0;
  // The bytes stay valid until the buffer changes or dies.
  virtual win32::HRESULT STDMETHODCALLTYPE GetData(const win32::BYTE** ppData) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetSize(win32::DWORD* pSize) = 0;
};

// A set of named strings and buffers (one value per name).
struct IKwData : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE SetString(const win32::WCHAR* pName,
                                                     const win32::WCHAR* pValue) = 0;
  // S_FALSE and a null string when the name holds no string. The caller frees the string.
  virtual win32::HRESULT STDMETHODCALLTYPE GetString(const win32::WCHAR* pName,
                                                     win32::BSTR* pValue) = 0;
  // The set holds a reference to the buffer.
  virtual win32::HRESULT STDMETHODCALLTYPE SetBuffer(const win32::WCHAR* pName,
                                                     IKwBuffer* pBuffer) = 0;
  // S_FALSE and null when the name holds no buffer; otherwise one reference for the caller.
  virtual win32::HRESULT STDMETHODCALLTYPE GetBuffer(const win32::WCHAR* pName,
                                                     IKwBuffer** ppBuffer) = 0;
};

// The receiver of KwTimer's timers. The timer holds one reference while it is set.
struct IKwTimerCallback : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE OnTimer(win32::UINT timerId) = 0;
};

// The core a plug-in runs on.
struct IKwPluginCore : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) = 0;
};

// The platform core: the object factory over the registered classes, and the folders the UI
// framework reads layouts and resources from.
struct IKwCore : win32::IUnknown {
  // REGDB_E_CLASSNOTREG for a class nobody registered, E_UNEXPECTED after Shutdown.
  virtual win32::HRESULT STDMETHODCALLTYPE CreateObject(win32::REFCLSID clsid, win32::REFIID riid,
                                                        void** ppObject) = 0;
  // The core's name, the program's file name without its extension.
  virtual win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) = 0;
  // Folders in Windows form, each ending with a backslash.
  virtual win32::HRESULT STDMETHODCALLTYPE GetLayoutFolder(win32::BSTR* pFolder) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetResourceFolder(win32::BSTR* pFolder) = 0;
  // Ends the core; it stops being the running core.
  virtual win32::HRESULT STDMETHODCALLTYPE Shutdown() = 0;
};
