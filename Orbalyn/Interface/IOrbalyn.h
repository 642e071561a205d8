#pragma once
// The interfaces between Orbalyn and the program that loads it, in COM layout: QueryInterface,
// AddRef and Release first, then each interface's methods in table order, HRESULT results.
// Both sides compile this one header, so the tables match by construction.
//
// Reference rules:
// - The root, logic, store and uploader objects are static: QueryInterface hands out the object
//   without a reference, AddRef and Release return 1 and count nothing.
// - Message, device and device-list objects are counted: QueryInterface adds a reference, and
//   every such pointer Orbalyn hands out carries one reference that the receiver releases.
// - A returned BSTR belongs to the caller, who frees it with SysFreeString (one allocator per
//   process, so either side may free what the other allocated).
// No interface declares a destructor: a counted object frees itself in its last Release, and
// nothing ever deletes through an interface pointer.

#include <cstdint>

#include "win32/com.h"
#include "win32/oleauto.h"

// {6BADC501-B595-4B5E-BE98-20673CB67204}
inline constexpr win32::IID IID_IOrbalyn = {
    0x6BADC501, 0xB595, 0x4B5E, {0xBE, 0x98, 0x20, 0x67, 0x3C, 0xB6, 0x72, 0x04}};
// {EFDD0E0F-08EC-499A-8807-9D8CA0C228A4}; the logic sink answers to it as well.
inline constexpr win32::IID IID_IOrbalynLogic = {
    0xEFDD0E0F, 0x08EC, 0x499A, {0x88, 0x07, 0x9D, 0x8C, 0xA0, 0xC2, 0x28, 0xA4}};
inline constexpr win32::IID IID_IOrbalynLogicSink = IID_IOrbalynLogic;
// {052944F3-ACD7-4BCD-9164-94478B718838}
inline constexpr win32::IID IID_IOrbalynDB = {
    0x052944F3, 0xACD7, 0x4BCD, {0x91, 0x64, 0x94, 0x47, 0x8B, 0x71, 0x88, 0x38}};
// {D8AACC84-B231-4973-BCA1-8F93816C187F}
inline constexpr win32::IID IID_IOrbalynUploader = {
    0xD8AACC84, 0xB231, 0x4973, {0xBC, 0xA1, 0x8F, 0x93, 0x81, 0x6C, 0x18, 0x7F}};
// {EEB2E570-1994-454A-B789-C31F4D2DF2E0}
inline constexpr win32::IID IID_IOrbalynDevice = {
    0xEEB2E570, 0x1994, 0x454A, {0xB7, 0x89, 0xC3, 0x1F, 0x4D, 0x2D, 0xF2, 0xE0}};
// {FEC1AC91-AFCB-4870-A8E4-80E085F58DD3}
inline constexpr win32::IID IID_IOrbalynDeviceContainer = {
    0xFEC1AC91, 0xAFCB, 0x4870, {0xA8, 0xE4, 0x80, 0xE0, 0x85, 0xF5, 0x8D, 0xD3}};
// {EE8BDAC2-39CC-4B6A-9E0B-9470EE0BA9B4}
inline constexpr win32::IID IID_IOrbalynMessage = {
    0xEE8BDAC2, 0x39CC, 0x4B6A, {0x9E, 0x0B, 0x94, 0x70, 0xEE, 0x0B, 0xA9, 0xB4}};
// {EDF5E694-8454-4FC4-8F90-3F6347518377}
inline constexpr win32::IID IID_IOrbalynUploadAssist = {
    0xEDF5E694, 0x8454, 0x4FC4, {0x8F, 0x90, 0x3F, 0x63, 0x47, 0x51, 0x83, 0x77}};

// What a UI message tells (IOrbalynMessage::GetType). Value, id, params and payload of each
// type are listed beside it.
enum UIMsgType : int {
  UIMsg_bind_info = 0,            // value 2, PC id, payload UIBindInfo (returned, never queued)
  UIMsg_login_result = 1,         // LoginResult
  UIMsg_login_state = 2,          // LoginState
  UIMsg_device_remote_state = 3,  // device: Presence through the server
  UIMsg_device_local_state = 4,   // device: Presence on the local network
  UIMsg_bind_state = 5,           // device: BindState (none, requested, waiting, bound)
  UIMsg_unbind = 6,               // 1 with the device id, or the number of phones without id
  UIMsg_upload_batch = 7,         // files_total; params files_ok, files_failed, pictures, videos
  UIMsg_upload_begin = 8,         // param1 file id, payload UIUploadFileInfo
  UIMsg_upload_progress = 9,      // per mille written; param1 file id
  UIMsg_upload_result = 10,       // error (0 success); param1 file id, param2 bytes
  UIMsg_upload_finish = 11,       // files_left or -1; payload the phone's finish request
};

// Values of UIMsg_login_state, and IOrbalynLogic::GetLoginState's answer.
enum LoginState : int {
  LoginState_stopped = 0,
  LoginState_logging_in = 1,
  LoginState_online = 2,
  LoginState_offline = 3,
};

// Values of UIMsg_login_result: success, or the login step that failed.
enum LoginResult : int {
  LoginResult_ok = 0,
  LoginResult_resolve_failed = 1,      // the entry server's name
  LoginResult_register_failed = 2,     // registering the PC
  LoginResult_server_time_failed = 3,  // the server time
  LoginResult_redirect_failed = 4,     // asking for a communication server
  LoginResult_comm_failed = 5,         // the communication server
  LoginResult_timed_out = 6,           // a step got no answer in time
};

// Values of UIMsg_bind_state, and IOrbalynDevice::GetBindState's answer. Bound and loaded both
// count as bound; loaded (read from the settings file) is never a message value.
enum BindState : int {
  BindState_none = 0,
  BindState_requested = 1,
  BindState_waiting = 2,
  BindState_bound = 3,
  BindState_loaded = 4,
};

// Values of UIMsg_device_remote_state (reachable through the server) and
// UIMsg_device_local_state (connected on the local network), and IOrbalynDevice's
// GetRemoteState and GetLocalState answers. Unknown is never a message value.
enum Presence : int {
  Presence_unknown = 0,
  Presence_away = 1,
  Presence_here = 2,
};

// A logic event or answer. Counted.
struct IOrbalynMessage : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE GetType(int* pType) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetId(int64_t* pId) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetValue(int* pValue) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetParam1(int* pParam) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetParam2(int* pParam) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetParam3(int* pParam) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetParam4(int* pParam) = 0;
  // The bytes stay owned by the message and live as long as it does; they are followed by a
  // NUL, so an empty payload is an empty string. Either out-pointer may be null.
  virtual win32::HRESULT STDMETHODCALLTYPE GetPayload(const win32::BYTE** ppData, int* pLength) = 0;
};

// Implemented by the program; called on its user-interface thread, one message at a time.
// The message is released by Orbalyn after the call; the sink adds a reference to keep it.
struct IOrbalynLogicSink : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE OnLogicMessage(IOrbalynMessage* pMessage) = 0;
};

// One phone. Counted.
struct IOrbalynDevice : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE GetId(int64_t* pId) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetGuid(win32::BSTR* pGuid) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetZelid(win32::BSTR* pZelid) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetBindState(int* pState) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetRemoteState(int* pState) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetLocalState(int* pState) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE IsOnline(int* pOnline) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE IsOffline(int* pOffline) = 0;
};

// A snapshot list of phones. Counted.
struct IOrbalynDeviceContainer : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE GetCount(int* pCount) = 0;
  // 1 and a null device for an index out of range.
  virtual win32::HRESULT STDMETHODCALLTYPE GetAt(int index, IOrbalynDevice** ppDevice) = 0;
};

// The settings and device store. Static.
struct IOrbalynDB : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE SetWorkDir(const win32::WCHAR* pDir) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetWorkDir(win32::BSTR* pDir) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetDeviceId(int64_t* pId) = 0;
  // 1 and null when the id is unknown.
  virtual win32::HRESULT STDMETHODCALLTYPE FindDevice(int64_t id, IOrbalynDevice** ppDevice) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetBoundDevices(IOrbalynDeviceContainer** ppDevices) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetAllDevices(IOrbalynDeviceContainer** ppDevices) = 0;
  // pName may be null.
  virtual win32::HRESULT STDMETHODCALLTYPE AutoRenameDevice(int64_t id, win32::BSTR* pName) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetMatchDeviceId(int64_t id, int64_t* pMatchId) = 0;
};

// Implemented by the program; called on Orbalyn's upload thread, which waits for each answer.
struct IOrbalynUploadAssist : win32::IUnknown {
  // The save path of the file that the message (type UIMsg_upload_begin) describes; an empty
  // path skips the file. Orbalyn frees the returned string.
  virtual win32::HRESULT STDMETHODCALLTYPE QuerySavePath(IOrbalynMessage* pMessage,
                                                         win32::BSTR* pSavePath) = 0;
  // Orbalyn frees savePath after the call.
  virtual win32::HRESULT STDMETHODCALLTYPE OnUploadEnd(int fileId, win32::BSTR savePath,
                                                       win32::HRESULT error) = 0;
};

// The upload manager. Static.
struct IOrbalynUploader : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE Advise(IOrbalynUploadAssist* pAssist) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Unadvise() = 0;
};

// The server session and binding. Static.
struct IOrbalynLogic : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE Advise(IOrbalynLogicSink* pSink) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Unadvise(IOrbalynLogicSink* pSink) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Login() = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Logout() = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetLoginState(int* pState) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetBindInfo(IOrbalynMessage** ppMessage) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE UnbindDevice(int64_t deviceId) = 0;
};

// The root object that GetIOrbalyn returns. Static.
struct IOrbalyn : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE Start() = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetLogic(IOrbalynLogic** ppLogic) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetDB(IOrbalynDB** ppDb) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetUploader(IOrbalynUploader** ppUploader) = 0;
};
