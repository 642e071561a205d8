#include "CSkeinCache.h"

#include <memory>
#include <vector>

#include "Basalt/KwDiag.h"
#include "ResourcePath.h"
#include "win32/strings.h"

using namespace win32;

namespace lq {

namespace {

struct Cache {
  std::vector<std::unique_ptr<CSkein>> skeins;
  std::string lastError;
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

}  // namespace

const CSkein* CSkeinCache::Load(const std::u16string& path) {
  Cache& cache = TheCache();
  for (const auto& pSkein : cache.skeins) {
    if (pSkein->Path() == path) return pSkein.get();
  }
  std::string text;
  if (!ReadWholeFile(path, &text)) {
    ReportError(Utf16ToUtf8(path) + ":0:0: cannot read the layout file");
    return nullptr;
  }
  std::string error;
  std::unique_ptr<CSkein> pSkein = CSkein::Parse(path, text, &error);
  if (!pSkein) {
    ReportError(error);
    return nullptr;
  }
  cache.skeins.push_back(std::move(pSkein));
  return cache.skeins.back().get();
}

const Look* CSkeinCache::FindStyle(const std::u16string& name) {
  Cache& cache = TheCache();
  for (auto it = cache.skeins.rbegin(); it != cache.skeins.rend(); ++it) {
    if (const Look* pLook = (*it)->FindStyle(name)) return pLook;
  }
  return nullptr;
}

void CSkeinCache::ReportError(const std::string& text) {
  TheCache().lastError = text;
  KwLogW(u"Lq", u"layout: %hs", text.c_str());
}

std::string CSkeinCache::LastError() { return TheCache().lastError; }

}  // namespace lq
