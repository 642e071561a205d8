#include "E2eLogicSink.h"

#include <cinttypes>
#include <cstdio>

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

}  // namespace

HRESULT CE2eLogicSink::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynLogicSink) return E_NOINTERFACE;
  AddRef();
  *ppObject = static_cast<IOrbalynLogicSink*>(this);
  return S_OK;
}

ULONG CE2eLogicSink::AddRef() { return ++m_refCount; }

ULONG CE2eLogicSink::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CE2eLogicSink::OnLogicMessage(IOrbalynMessage* pMessage) {
  if (!pMessage) return E_INVALIDARG;
  int type = -1;
  int value = 0;
  int64_t id = 0;
  int params[4] = {};
  pMessage->GetType(&type);
  pMessage->GetValue(&value);
  pMessage->GetId(&id);
  pMessage->GetParam1(&params[0]);
  pMessage->GetParam2(&params[1]);
  pMessage->GetParam3(&params[2]);
  pMessage->GetParam4(&params[3]);
  std::printf("logic %s value=%d id=%" PRId64 " params=%d,%d,%d,%d\n", TypeName(type), value, id,
              params[0], params[1], params[2], params[3]);
  return S_OK;
}
