#include "ChooseDirFrameAdapter.h"

#include "win32/drive.h"

using namespace win32;

namespace {

constexpr int kDriveLetters = 26;

WCHAR Upper(WCHAR c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

}  // namespace

int FindDriveIndex(const std::vector<DriveEntry>& drives, const WCHAR* pPath) {
  if (!pPath || !pPath[0] || !pPath[1]) return -1;
  for (size_t i = 0; i < drives.size(); ++i) {
    if (Upper(drives[i].root[0]) == Upper(pPath[0]) && drives[i].root[1] == pPath[1]) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

CChooseDirFrameAdapter::~CChooseDirFrameAdapter() {
  if (m_pRoot) m_pRoot->Release();
}

void CChooseDirFrameAdapter::Init(ILqElement* pRoot, IPageHost* pHost) {
  if (pRoot) pRoot->AddRef();
  if (m_pRoot) m_pRoot->Release();
  m_pRoot = pRoot;
  m_pHost = pHost;
  EnumFixedDrives();
}

void CChooseDirFrameAdapter::ShowPage(bool hide) {
  if (m_pRoot) m_pRoot->SetHidden(hide);
}

void CChooseDirFrameAdapter::EnumFixedDrives() {
  m_drives.clear();
  UINT oldMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  DWORD letters = GetLogicalDrives();
  for (int i = 0; i < kDriveLetters; ++i) {
    if (!(letters & (1u << i))) continue;
    DriveEntry entry{{static_cast<WCHAR>(u'A' + i), u':', u'\\', 0}, 0, 0, 0};
    if (GetDriveTypeW(entry.root) != DRIVE_FIXED) continue;
    ULARGE_INTEGER freeToCaller{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER totalFree{};
    if (!GetDiskFreeSpaceExW(entry.root, &freeToCaller, &total, &totalFree)) continue;
    entry.freeToCaller = freeToCaller.QuadPart;
    entry.total = total.QuadPart;
    entry.totalFree = totalFree.QuadPart;
    m_drives.push_back(entry);
  }
  SetErrorMode(oldMode);
}
