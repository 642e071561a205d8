// Util::Lq::CreateObject, Util::Lq::RawCreateLqElementBySkein and the class registration.

#include <string>
#include <string_view>

#include "Basalt/Util.h"
#include "CElement.h"
#include "CImageObject.h"
#include "CSkeinBuilder.h"
#include "CSkeinCache.h"
#include "LqThread.h"
#include "Lq/Lq.h"
#include "ResourcePath.h"
#include "win32/strings.h"

using namespace win32;

namespace {

constexpr std::u16string_view kSkeinPrefix = u"platformskein:";

// Hands out `riid` of a new object and drops the creation reference.
HRESULT HandOut(IUnknown* pObject, REFIID riid, void** ppObject) {
  if (!pObject) return E_OUTOFMEMORY;
  HRESULT hr = pObject->QueryInterface(riid, ppObject);
  pObject->Release();
  return hr;
}

HRESULT MakeElement(lq::ElementKind kind, REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  *ppObject = nullptr;
  if (!lq::OnUiThread(__func__)) return RPC_E_WRONG_THREAD;
  lq::CElement* pElement = lq::CElement::Create(kind);
  return HandOut(pElement ? static_cast<ILqElement*>(pElement) : nullptr, riid, ppObject);
}

HRESULT MakeMenu(REFIID riid, void** ppObject) {
  return MakeElement(lq::ElementKind::kMenu, riid, ppObject);
}
HRESULT MakeHostWindow(REFIID riid, void** ppObject) {
  return MakeElement(lq::ElementKind::kWindow, riid, ppObject);
}
HRESULT MakeContainer(REFIID riid, void** ppObject) {
  return MakeElement(lq::ElementKind::kContainer, riid, ppObject);
}
HRESULT MakeTabItem(REFIID riid, void** ppObject) {
  return MakeElement(lq::ElementKind::kTabItem, riid, ppObject);
}
HRESULT MakeImage(REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  *ppObject = nullptr;
  return HandOut(lq::CImageObject::Create(), riid, ppObject);
}

struct ClassEntry {
  const CLSID* pClsid;
  Util::Core::ObjectClassFactory factory;
};

constexpr ClassEntry kClasses[] = {
    {&CLSID_LqMenu, &MakeMenu},
    {&CLSID_LqHostWindow, &MakeHostWindow},
    {&CLSID_LqContainer, &MakeContainer},
    {&CLSID_LqTabItem, &MakeTabItem},
    {&CLSID_LqImage, &MakeImage},
};

bool IsFolder(std::u16string_view text) {
  return text.find_first_of(u"\\/") != std::u16string_view::npos;
}

}  // namespace

namespace Util::Lq {

HRESULT CreateObject(REFCLSID clsid, REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  *ppObject = nullptr;
  if (CustomObjectFactory factory = GetCustomObjectFactory()) {
    if (factory(clsid, riid, ppObject) && *ppObject) return S_OK;
    *ppObject = nullptr;
  }
  // A class registered with the platform core later than the framework's own (the picture
  // library's picture object) replaces the framework's.
  if (Util::Core::ObjectClassFactory factory = Util::Core::FindObjectClass(clsid)) {
    HRESULT hr = factory(riid, ppObject);
    if (FAILED(hr)) *ppObject = nullptr;
    return hr;
  }
  for (const ClassEntry& entry : kClasses) {
    if (*entry.pClsid == clsid) return entry.factory(riid, ppObject);
  }
  return REGDB_E_CLASSNOTREG;
}

HRESULT RawCreateLqElementBySkein(const WCHAR* pReference, ILqElement** ppElement,
                                  ILqElement* pParent, const WCHAR* pLayoutFolder, DWORD) {
  if (!ppElement) return E_POINTER;
  *ppElement = nullptr;
  if (!lq::OnUiThread(__func__)) return RPC_E_WRONG_THREAD;
  std::u16string_view reference = pReference ? pReference : u"";
  size_t bar = reference.find(u'|');
  if (reference.compare(0, kSkeinPrefix.size(), kSkeinPrefix) != 0 ||
      bar == std::u16string_view::npos || bar == kSkeinPrefix.size() ||
      bar + 1 == reference.size()) {
    lq::CSkeinCache::ReportError("bad layout reference \"" + Utf16ToUtf8(reference) + "\"");
    return E_INVALIDARG;
  }
  std::u16string file(reference.substr(kSkeinPrefix.size(), bar - kSkeinPrefix.size()));
  std::u16string frameName(reference.substr(bar + 1));
  std::u16string folder = pLayoutFolder && IsFolder(pLayoutFolder) ? std::u16string(pLayoutFolder)
                                                                    : lq::CoreLayoutFolder();
  if (folder.back() != u'\\' && folder.back() != u'/') folder += u'\\';

  lq::CElement* pParentElement = nullptr;
  if (pParent) {
    pParentElement = lq::CElement::FromInterface(pParent);
    if (!pParentElement || pParentElement->IsDestroyed()) return E_INVALIDARG;
  }
  const lq::CSkein* pSkein = lq::CSkeinCache::Load(folder + file);
  if (!pSkein) return E_FAIL;
  const lq::SkeinFrame* pFrame = pSkein->FindFrame(frameName);
  if (!pFrame) {
    lq::CSkeinCache::ReportError(Utf16ToUtf8(pSkein->Path()) + ":" +
                                 std::to_string(pSkein->LastLine()) + ":0: no frame \"" +
                                 Utf16ToUtf8(frameName) + "\"");
    return E_FAIL;
  }
  if (pParentElement && pFrame->root.kind == lq::ElementKind::kWindow) return E_INVALIDARG;
  lq::CElement* pRoot = lq::CSkeinBuilder::Build(*pFrame);
  if (!pRoot) return E_FAIL;
  if (pParentElement) {
    HRESULT hr = pParentElement->AddChild(pRoot);
    if (FAILED(hr)) {
      pRoot->Release();
      return hr;
    }
  }
  *ppElement = pRoot;
  return S_OK;
}

}  // namespace Util::Lq

namespace lq {

void RegisterClasses() {
  for (const ClassEntry& entry : kClasses) {
    Util::Core::RegisterObjectClass(*entry.pClsid, entry.factory);
  }
}

}  // namespace lq
