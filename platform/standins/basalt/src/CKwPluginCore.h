#pragma once
// The core handed to a plug-in: nothing but its name here.

#include <string>

#include "Basalt/KwInterfaces.h"
#include "CKwUnknown.h"

class CKwPluginCore final : public CKwUnknown<IKwPluginCore, IID_IKwPluginCore> {
 public:
  explicit CKwPluginCore(std::u16string name) : m_name(std::move(name)) {}

  // IKwPluginCore:
  win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) override;

 private:
  const std::u16string m_name;
};
