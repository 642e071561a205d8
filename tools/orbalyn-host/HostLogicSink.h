#pragma once

#include <atomic>
#include <string>

#include "Orbalyn/Interface/IOrbalyn.h"

// The host's logic sink: prints every logic message as one readable line ("logic ...") and,
// once the login is online, the bind information the QR page would show: "bind-info <hex>" on
// a line of its own (scripts read it), a readable summary, and the QR symbol of the hex text.
// Lifetime: counted, starting at 1 for the creator. The logic holds one reference from Advise
//   on; it releases it at process exit, so the object must live on the heap.
// Threading: everything runs on the host's user-interface thread, where the library delivers
//   logic messages and where the host's loop calls TryBindInfo.
class CHostLogicSink final : public IOrbalynLogicSink {
 public:
  explicit CHostLogicSink(bool drawQr);
  CHostLogicSink(const CHostLogicSink&) = delete;
  CHostLogicSink& operator=(const CHostLogicSink&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynLogicSink:
  win32::HRESULT STDMETHODCALLTYPE OnLogicMessage(IOrbalynMessage* pMessage) override;

  // The logic interface the bind information is asked of (static: not counted).
  void SetLogic(IOrbalynLogic* pLogic);
  // The login state as the host last read or was told it.
  void SetLoginState(int state);
  // While online, asks for the bind information and prints it when it holds a local port and
  // differs from what was printed last. Before the PC is registered the logic answers 1 and
  // nothing is printed.
  void TryBindInfo();
  bool BindInfoPrinted() const { return !m_lastBindHex.empty(); }

  // One line describing the message, without the line end.
  static std::string Describe(IOrbalynMessage* pMessage);
  // What a message's value means, for the types whose values are named; null for the others.
  static const char* ValueName(int type, int value);

 private:
  ~CHostLogicSink() = default;

  std::atomic<win32::ULONG> m_refCount{1};
  const bool m_drawQr;
  // UI thread only.
  IOrbalynLogic* m_pLogic = nullptr;
  int m_loginState = LoginState_stopped;
  std::string m_lastBindHex;
};
