#include "HostLogicSink.h"

#include <cinttypes>
#include <cstdio>

#include "uimsg.pb.h"

#include "QrTerminal.h"

using namespace win32;

namespace {

const char* TypeName(int type) {
  static const char* const kNames[] = {
      "bind_info",          "login_result",    "login_state",   "device_remote_state",
      "device_local_state", "bind_state",      "unbind",        "upload_batch",
      "upload_begin",       "upload_progress", "upload_result", "upload_finish"};
  if (type < 0 || type >= static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) return "unknown";
  return kNames[type];
}

std::string ToHex(const BYTE* pData, int length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(static_cast<size_t>(length) * 2);
  for (int i = 0; i < length; ++i) {
    hex += kDigits[pData[i] >> 4];
    hex += kDigits[pData[i] & 0xF];
  }
  return hex;
}

}  // namespace

CHostLogicSink::CHostLogicSink(bool drawQr) : m_drawQr(drawQr) {}

HRESULT CHostLogicSink::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynLogicSink) return E_NOINTERFACE;
  AddRef();
  *ppObject = static_cast<IOrbalynLogicSink*>(this);
  return S_OK;
}

ULONG CHostLogicSink::AddRef() { return ++m_refCount; }

ULONG CHostLogicSink::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CHostLogicSink::OnLogicMessage(IOrbalynMessage* pMessage) {
  if (!pMessage) return E_INVALIDARG;
  std::printf("%s\n", Describe(pMessage).c_str());
  std::fflush(stdout);
  int type = -1;
  int value = 0;
  pMessage->GetType(&type);
  pMessage->GetValue(&value);
  if (type == UIMsg_login_state) {
    SetLoginState(value);
    TryBindInfo();
  }
  return S_OK;
}

void CHostLogicSink::SetLogic(IOrbalynLogic* pLogic) { m_pLogic = pLogic; }

void CHostLogicSink::SetLoginState(int state) { m_loginState = state; }

void CHostLogicSink::TryBindInfo() {
  if (!m_pLogic || m_loginState != LoginState_online) return;
  IOrbalynMessage* pMessage = nullptr;
  if (m_pLogic->GetBindInfo(&pMessage) != S_OK || !pMessage) return;
  const BYTE* pData = nullptr;
  int length = 0;
  pMessage->GetPayload(&pData, &length);
  protocol::UIBindInfo info;
  bool parsed = pData && length > 0 && info.ParseFromArray(pData, length);
  std::string hex = parsed ? ToHex(pData, length) : std::string();
  pMessage->Release();
  // A phone needs the port to dial; the local server may not be listening yet.
  if (!parsed || !info.has_local_port() || info.local_port() == 0 || hex == m_lastBindHex) return;
  m_lastBindHex = hex;
  std::printf("bind-info %s\n", hex.c_str());
  std::printf("bind pc=%" PRId64 " key=%s local=%s:%d\n", info.id_pc(), info.bind_key().c_str(),
              info.local_ip().c_str(), info.local_port());
  if (m_drawQr) std::fputs(CQrTerminal::Render(hex).c_str(), stdout);
  std::fflush(stdout);
}

std::string CHostLogicSink::Describe(IOrbalynMessage* pMessage) {
  int type = -1;
  int64_t id = 0;
  int value = 0;
  int params[4] = {};
  const BYTE* pData = nullptr;
  int length = 0;
  pMessage->GetType(&type);
  pMessage->GetId(&id);
  pMessage->GetValue(&value);
  pMessage->GetParam1(&params[0]);
  pMessage->GetParam2(&params[1]);
  pMessage->GetParam3(&params[2]);
  pMessage->GetParam4(&params[3]);
  pMessage->GetPayload(&pData, &length);

  char line[1024];
  int used =
      std::snprintf(line, sizeof(line), "logic %s value=%d id=%" PRId64, TypeName(type), value, id);
  std::string text(line, static_cast<size_t>(used < 0 ? 0 : used));
  if (const char* pName = ValueName(type, value)) {
    text += std::string(" (") + pName + ")";
  } else if (type == UIMsg_upload_begin) {
    protocol::UIUploadFileInfo info;
    if (pData && length > 0 && info.ParseFromArray(pData, length)) {
      std::snprintf(line, sizeof(line),
                    " file_id=%d path=%s album=%s size=%" PRId64 " time=%" PRId64, info.file_id(),
                    info.file_device_path().c_str(), info.album_name().c_str(), info.file_size(),
                    info.file_timestamp());
      text += line;
    }
  } else if (params[0] || params[1] || params[2] || params[3]) {
    std::snprintf(line, sizeof(line), " params=%d,%d,%d,%d", params[0], params[1], params[2],
                  params[3]);
    text += line;
  }
  if (length > 0 && type != UIMsg_upload_begin) text += " payload=" + std::to_string(length) + "B";
  return text;
}

const char* CHostLogicSink::ValueName(int type, int value) {
  switch (type) {
    case UIMsg_login_state:
      switch (value) {
        case LoginState_stopped:
          return "stopped";
        case LoginState_logging_in:
          return "logging in";
        case LoginState_online:
          return "online";
        case LoginState_offline:
          return "offline";
      }
      return "?";
    case UIMsg_login_result:
      switch (value) {
        case LoginResult_ok:
          return "ok";
        case LoginResult_resolve_failed:
          return "entry server name not found";
        case LoginResult_register_failed:
          return "registration failed";
        case LoginResult_server_time_failed:
          return "server time failed";
        case LoginResult_redirect_failed:
          return "redirect failed";
        case LoginResult_comm_failed:
          return "communication server failed";
        case LoginResult_timed_out:
          return "timed out";
      }
      return "?";
    case UIMsg_bind_state:
      switch (value) {
        case BindState_none:
          return "not bound";
        case BindState_requested:
          return "binding";
        case BindState_waiting:
          return "waiting";
        case BindState_bound:
          return "bound";
      }
      return "?";
    case UIMsg_device_remote_state:
      return value == Presence_here ? "reachable" : value == Presence_away ? "unreachable" : "?";
    case UIMsg_device_local_state:
      return value == Presence_here ? "connected" : value == Presence_away ? "disconnected" : "?";
    default:
      return nullptr;
  }
}
