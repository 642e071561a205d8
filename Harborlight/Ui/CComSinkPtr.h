#pragma once
// Owns one sink: makes it with new, holds one reference, sets the owner as its host, and on
// destruction clears the host before dropping the reference, so a sink the framework still holds
// answers 0 from then on.

#include "Basalt/KwDiag.h"

template <class TSink>
class CComSinkPtr {
 public:
  explicit CComSinkPtr(typename TSink::Host* pHost) : m_p(new TSink()) {
    m_p->AddRef();
    m_p->SetHost(pHost);
  }
  CComSinkPtr(const CComSinkPtr&) = delete;
  CComSinkPtr& operator=(const CComSinkPtr&) = delete;
  ~CComSinkPtr() {
    m_p->SetHost(nullptr);
    m_p->Release();
  }

  TSink* Get() const {
    if (!m_p) KwAssert("CComPtr<CComSink>::p!=NULL", "ComSinkPtr", 54);
    if (m_p && !m_p->GetHost()) KwAssert("CComPtr<CComSink>::p->GetHost() != NULL", "ComSinkPtr", 55);
    return m_p;
  }
  // The sink as its callback interface (no reference added), for KwTimer and the framework.
  template <class TInterface>
  TInterface* GetInterface() const {
    return static_cast<TInterface*>(Get());
  }
  TSink* operator->() const { return Get(); }

 private:
  TSink* m_p;  // one reference
};
