#include "CSkeinBuilder.h"

#include "CCheckElement.h"
#include "CEditElement.h"
#include "CScrollElement.h"
#include "CWindowElement.h"

using namespace win32;

namespace lq {

CElement* CSkeinBuilder::Build(const SkeinFrame& frame) {
  CElement* pRoot = BuildNode(frame.root);
  if (!pRoot || pRoot->Kind() != ElementKind::kWindow) return pRoot;
  auto* pWindow = static_cast<CWindowElement*>(pRoot);
  pWindow->SetFrameName(frame.name);
  if (!pWindow->EnsureNativeWindow(0, frame.name)) {
    pWindow->Release();  // the last reference: destroyed and freed
    return nullptr;
  }
  return pWindow;
}

CElement* CSkeinBuilder::BuildNode(const SkeinNode& node) {
  CElement* pElement = CElement::Create(node.kind);
  if (!pElement) return nullptr;
  pElement->InitIdentity(node.id, node.name);
  pElement->InitText(node.text);
  pElement->InitRect(node.rect);
  bool roleClick = node.pLook && (node.pLook->role == WindowRole::kCloseButton ||
                                  node.pLook->role == WindowRole::kMinimizeButton);
  pElement->InitFlags(node.hidden || (node.kind == ElementKind::kWindow), node.enabled,
                      node.clickable || roleClick, node.handCursor);
  pElement->InitLook(node.pLook, node.kindName, node.styleName);
  if (!node.picture.empty()) pElement->InitPicture(node.picture);
  pElement->InitBackground(node.background);
  switch (node.kind) {
    case ElementKind::kEdit:
      static_cast<CEditElement*>(pElement)->InitMaxLength(node.maxLength);
      break;
    case ElementKind::kCheck:
      static_cast<CCheckElement*>(pElement)->InitChecked(node.checked);
      break;
    case ElementKind::kScroll:
      static_cast<CScrollElement*>(pElement)->InitScroll(node.scrollVertical,
                                                         node.scrollHorizontal);
      break;
    default:
      break;
  }
  for (const SkeinNode& childNode : node.children) {
    CElement* pChild = BuildNode(childNode);
    if (!pChild) {
      pElement->Release();
      return nullptr;
    }
    pElement->AppendBuiltChild(pChild);
  }
  return pElement;
}

}  // namespace lq
