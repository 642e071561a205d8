#include "ChooseDirFrameAdapter.h"

#include <cstdio>

#include "BackupFolder.h"
#include "CachedOrbalynDB.h"
#include "FolderBrowseDialog.h"
#include "Lq/Lq.h"
#include "UploadAssist.h"
#include "WindowHelpers.h"
#include "win32/drive.h"
#include "win32/module_name.h"
#include "win32/strings.h"
#include "win32/toplevel.h"

using namespace win32;

namespace {

constexpr char16_t kProductFolder[] = u"Lumidock";
constexpr int kLabelStep = 138;

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c; }

// The system drive's letter, read once per process (C when it cannot be told).
char16_t SystemDriveLetter() {
  static const char16_t letter = [] {
    WCHAR dir[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(dir, MAX_PATH);
    return length > 0 && length < MAX_PATH && dir[0] ? Upper(dir[0]) : u'C';
  }();
  return letter;
}

std::u16string Format(const char* pFormat, double value) {
  char text[260];
  std::snprintf(text, sizeof(text), pFormat, value);
  return Utf8ToUtf16(text);
}

std::u16string DiskLabel(char16_t letter) { return std::u16string(u"本地磁盘") + letter; }

template <class TInterface>
TInterface* Face(ILqElement* pElement, REFIID riid) {
  TInterface* pFace = nullptr;
  if (pElement) pElement->QueryInterface(riid, reinterpret_cast<void**>(&pFace));
  return pFace;
}

void SetLabelText(ILqElement* pLabel, char16_t letter) {
  ILqElement* pText = nullptr;
  if (pLabel->FindChild(u"dirNameText", &pText) == S_OK && pText) {
    pText->SetText(DiskLabel(letter).c_str());
    pText->Release();
  }
}

}  // namespace

CChooseDirFrameAdapter::CChooseDirFrameAdapter() : m_listener(this) {}

CChooseDirFrameAdapter::~CChooseDirFrameAdapter() {
  m_listener.RemoveAll();
  ReleaseElements();
}

void CChooseDirFrameAdapter::Init(ILqElement* pRoot, IPageHost* pHost) {
  if (!pRoot) return;
  m_pRoot = pRoot;
  m_pRoot->AddRef();
  m_pRoot->FindChild(u"dirEdit", &m_pDirEdit);
  m_pRoot->FindChild(u"chooseDirTabCtrl", &m_pTabCtrl);
  m_pRoot->FindChild(u"selectDirBtn", &m_pSelectDirBtn);
  m_pRoot->FindChild(u"nextStep", &m_pNextStep);
  m_pRoot->FindChild(u"scrollToRightBtn", &m_pScrollRightBtn);
  m_pRoot->FindChild(u"scrollToLeftBtn", &m_pScrollLeftBtn);
  m_pRoot->FindChild(u"errorText", &m_pErrorText);

  using Self = CChooseDirFrameAdapter;
  if (m_pScrollRightBtn)
    m_listener.AddListener(m_pScrollRightBtn, LqEvent::kClick, &Self::OnScrollRight);
  if (m_pScrollLeftBtn)
    m_listener.AddListener(m_pScrollLeftBtn, LqEvent::kClick, &Self::OnScrollLeft);
  if (m_pSelectDirBtn) m_listener.AddListener(m_pSelectDirBtn, LqEvent::kClick, &Self::OnSelectDir);
  if (m_pTabCtrl)
    m_listener.AddListener(m_pTabCtrl, LqEvent::kTabChanged, &Self::OnDriveTabChanged);
  if (m_pNextStep) m_listener.AddListener(m_pNextStep, LqEvent::kClick, &Self::OnNextStep);
  if (m_pDirEdit)
    m_listener.AddListener(m_pDirEdit, LqEvent::kTextChanged, &Self::OnDirTextChanged);

  if (m_pDirEdit) {
    m_pDirEdit->SetSetting(LqSetting::kEditBorder, 0, 0, 0, 0);
    m_pDirEdit->SetSetting(LqSetting::kEditPadding, 5, 2, 0, 0);
  }
  EnumFixedDrives();
  FillDriveButtons();
  m_pHost = pHost;
}

void CChooseDirFrameAdapter::ShowPage(bool hide) {
  if (m_pRoot) m_pRoot->SetHidden(hide ? TRUE : FALSE);
}

void CChooseDirFrameAdapter::EnumFixedDrives() {
  m_drives.clear();
  const UINT previousMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  const DWORD present = GetLogicalDrives();
  for (int bit = 2; bit <= 25; ++bit) {
    if (!(present & (1u << bit))) continue;
    DriveEntry drive;
    drive.root[0] = static_cast<WCHAR>(u'A' + bit);
    drive.root[1] = u':';
    drive.root[2] = u'\\';
    drive.root[3] = 0;
    ULARGE_INTEGER freeToCaller{}, total{}, totalFree{};
    if (GetDriveTypeW(drive.root) == DRIVE_FIXED &&
        GetDiskFreeSpaceExW(drive.root, &freeToCaller, &total, &totalFree)) {
      drive.freeToCaller = freeToCaller.QuadPart;
      drive.total = total.QuadPart;
      drive.totalFree = totalFree.QuadPart;
      m_drives.push_back(drive);
    }
  }
  SetErrorMode(previousMode);
}

void CChooseDirFrameAdapter::FillDriveButtons() {
  if (!m_pRoot || !m_pTabCtrl) return;
  const char16_t systemLetter = SystemDriveLetter();
  int defaultIndex = -1;
  ILqElement* pDefaultItem = nullptr;  // one reference while held
  for (size_t i = 0; i < m_drives.size(); ++i) {
    const DriveEntry& drive = m_drives[i];
    ILqTabItem* pItem = nullptr;
    if (FAILED(Util::Lq::CreateObject(CLSID_LqTabItem, IID_ILqTabItem,
                                      reinterpret_cast<void**>(&pItem)))) {
      continue;
    }
    // Whole MiB, shown in GiB.
    const double gigabytes = static_cast<double>(drive.freeToCaller >> 20) / 1024;
    pItem->SetText(Format("%.2fGB可用", gigabytes).c_str());
    pItem->SetSetting(LqSetting::kTabItemTextTop, 83, 0, 0, 0);
    pItem->SetId(drive.root);
    m_pTabCtrl->AddChild(pItem);
    pItem->SetStyleName(u"dirButtonTab");
    const RECT spacing{0, 0, 28, 0};
    pItem->SetSpacing(&spacing);

    // A later drive replaces the choice only with strictly more room.
    if (Upper(drive.root[0]) != systemLetter &&
        (defaultIndex < 0 || drive.freeToCaller > m_drives[defaultIndex].freeToCaller)) {
      defaultIndex = static_cast<int>(i);
      if (pDefaultItem) pDefaultItem->Release();
      pDefaultItem = pItem;
      pDefaultItem->AddRef();
    }
    pItem->Release();
  }
  if (defaultIndex < 0 && !m_drives.empty()) {
    defaultIndex = 0;
    ILqElement* pFirst = nullptr;
    if (m_pTabCtrl->GetChild(0, &pFirst) == S_OK) pDefaultItem = pFirst;
  }
  if (defaultIndex >= 0) {
    const std::u16string folder =
        std::u16string(1, m_drives[defaultIndex].root[0]) + u":\\" + kProductFolder;
    if (m_pDirEdit) m_pDirEdit->SetText(folder.c_str());
    if (pDefaultItem) pDefaultItem->SetState(LqSetting::kStateSelected);
  }
  if (pDefaultItem) pDefaultItem->Release();

  const int count = static_cast<int>(m_drives.size());
  if (m_pScrollLeftBtn) m_pScrollLeftBtn->SetHidden(TRUE);
  if (count > kMaxLabels) {
    m_firstShown = 0;
    if (m_pScrollRightBtn) m_pScrollRightBtn->SetHidden(FALSE);
  } else if (m_pScrollRightBtn) {
    m_pScrollRightBtn->SetHidden(TRUE);
  }

  static constexpr LONG kStripLeft[] = {325, 255, 185, 115};
  if (count >= 1 && count <= 4) {
    const RECT strip{kStripLeft[count - 1], 88, 876, 228};
    m_pTabCtrl->SetRect(&strip);
  }
  if (ILqScrollView* pScroll = Face<ILqScrollView>(m_pTabCtrl, IID_ILqScrollView)) {
    const POINT origin{0, 0};
    pScroll->SetScrollPos(&origin);
    pScroll->Release();
  }

  LONG left = count >= 1 && count <= 4 ? kStripLeft[count - 1] : 45;
  for (int i = 0; i < count && i < kMaxLabels; ++i, left += kLabelStep) {
    ILqElement* pLabel = nullptr;
    if (FAILED(CreateLqElementFromLayout(u"platformskein:Harborlight.xml|DirButtonFrame",
                                         IID_ILqElement, reinterpret_cast<void**>(&pLabel), nullptr,
                                         nullptr))) {
      continue;
    }
    pLabel->SetId((u"dirnametext" + Utf8ToUtf16(std::to_string(i))).c_str());
    const RECT place{left, 214, left + 110, 238};
    pLabel->SetRect(&place);
    SetLabelText(pLabel, m_drives[i].root[0]);
    m_pRoot->AddChild(pLabel);
    pLabel->Release();
  }
}

void CChooseDirFrameAdapter::RelabelDriveButtons() {
  if (!m_pRoot) return;
  const int count = static_cast<int>(m_drives.size());
  for (int i = 0; i < kMaxLabels && m_firstShown + i < count; ++i) {
    ILqElement* pLabel = nullptr;
    const std::u16string id = u"dirnametext" + Utf8ToUtf16(std::to_string(i));
    if (m_pRoot->FindChild(id.c_str(), &pLabel) != S_OK || !pLabel) continue;
    SetLabelText(pLabel, m_drives[m_firstShown + i].root[0]);
    pLabel->Release();
  }
}

HRESULT CChooseDirFrameAdapter::OnScrollRight(ILqEvent*) {
  const int count = static_cast<int>(m_drives.size());
  if (m_firstShown + kMaxLabels < count) {
    ++m_firstShown;
    if (ILqTabStrip* pStrip = Face<ILqTabStrip>(m_pTabCtrl, IID_ILqTabStrip)) {
      pStrip->ScrollItems(1);
      pStrip->Release();
    }
  }
  if (m_firstShown + kMaxLabels >= count && m_pScrollRightBtn) m_pScrollRightBtn->SetHidden(TRUE);
  if (m_pScrollLeftBtn) m_pScrollLeftBtn->SetHidden(FALSE);
  RelabelDriveButtons();
  return 0;
}

HRESULT CChooseDirFrameAdapter::OnScrollLeft(ILqEvent*) {
  if (m_firstShown > 0) {
    --m_firstShown;
    if (ILqTabStrip* pStrip = Face<ILqTabStrip>(m_pTabCtrl, IID_ILqTabStrip)) {
      pStrip->ScrollItems(-1);
      pStrip->Release();
    }
  }
  if (m_pScrollRightBtn) m_pScrollRightBtn->SetHidden(FALSE);
  if (m_firstShown == 0 && m_pScrollLeftBtn) m_pScrollLeftBtn->SetHidden(TRUE);
  RelabelDriveButtons();
  return 0;
}

HRESULT CChooseDirFrameAdapter::OnSelectDir(ILqEvent*) {
  std::u16string initial = EditText().substr(0, 3);
  if (initial.empty()) initial = u"C:\\";
  CFolderBrowseDialog dialog(&m_drives, initial.c_str(), false);
  if (dialog.Run(GetActiveWindow()) != CFolderBrowseDialog::kChosen) return 0;
  const std::u16string chosen = dialog.GetPath();
  if (chosen.size() <= 1) return 0;
  const std::u16string folder = AppendProductFolder(chosen);
  if (m_pDirEdit) m_pDirEdit->SetText(folder.c_str());
  for (size_t i = 0; i < m_drives.size(); ++i) {
    if (m_drives[i].root[0] != chosen[0]) continue;
    if (ILqTabStrip* pStrip = Face<ILqTabStrip>(m_pTabCtrl, IID_ILqTabStrip)) {
      pStrip->SelectIndex(static_cast<INT>(i));
      pStrip->Release();
    }
    break;
  }
  return 0;
}

HRESULT CChooseDirFrameAdapter::OnDriveTabChanged(ILqEvent* pEvent) {
  INT_PTR byUser = 0;
  if (!pEvent || FAILED(pEvent->GetArgument(&byUser)) || byUser == 0) return 0;
  ILqTabStrip* pStrip = Face<ILqTabStrip>(m_pTabCtrl, IID_ILqTabStrip);
  if (!pStrip) return 0;
  INT index = -1;
  pStrip->GetSelectedIndex(&index);
  pStrip->Release();
  if (index < 0 || index >= static_cast<INT>(m_drives.size())) return 0;
  std::u16string text = EditText();
  if (text.empty()) text = std::u16string(u"X:\\") + kProductFolder;
  text[0] = m_drives[index].root[0];
  if (m_pDirEdit) m_pDirEdit->SetText(text.c_str());
  return 0;
}

HRESULT CChooseDirFrameAdapter::OnNextStep(ILqEvent*) {
  const std::u16string text = EditText();
  if (text.size() <= 1) {
    ShowChoiceState(false);
    return 0;
  }
  const std::u16string folder = AppendProductFolder(text);
  if (!backup_folder::CreateDirectoryTree(folder)) {
    ShowChoiceState(false);
    return 0;
  }
  if (IOrbalynDB* pDB = CachedOrbalynDB::Get()) {
    pDB->SetWorkDir(folder.c_str());
    Singleton<CUploadAssist>::Instance()->SetWorkDir(folder.c_str());
  }
  if (m_pRoot) m_pRoot->SetHidden(TRUE);
  if (m_pHost) m_pHost->Command(2, nullptr);
  return 0;
}

HRESULT CChooseDirFrameAdapter::OnDirTextChanged(ILqEvent*) {
  ShowChoiceState(IsUsableDir(EditText()));
  return 0;
}

bool CChooseDirFrameAdapter::IsUsableDir(const std::u16string& path) const {
  if (path.size() < 3 || path[1] != u':' || (path[2] != u'\\' && path[2] != u'/')) return false;
  for (const DriveEntry& drive : m_drives) {
    if (drive.root[0] == path[0] && drive.freeToCaller > kMinFreeBytes) return true;
  }
  return false;
}

int CChooseDirFrameAdapter::FindDriveIndex(const std::u16string& path) const {
  return ::FindDriveIndex(m_drives, path.c_str());
}

std::u16string CChooseDirFrameAdapter::AppendProductFolder(const std::u16string& path) {
  if (path.size() <= 5) {
    return path + (!path.empty() && path.back() == u'\\' ? u"" : u"\\") + kProductFolder;
  }
  if (path.ends_with(kProductFolder)) return path;
  return path + u"\\" + kProductFolder;
}

std::u16string CChooseDirFrameAdapter::EditText() const { return ElementText(m_pDirEdit); }

void CChooseDirFrameAdapter::ShowChoiceState(bool usable) {
  if (m_pErrorText) m_pErrorText->SetHidden(usable ? TRUE : FALSE);
  if (m_pNextStep) m_pNextStep->Enable(usable ? TRUE : FALSE);
}

void CChooseDirFrameAdapter::ReleaseElements() {
  for (ILqElement** ppElement :
       {&m_pRoot, &m_pSelectDirBtn, &m_pNextStep, &m_pDirEdit, &m_pErrorText, &m_pTabCtrl,
        &m_pScrollRightBtn, &m_pScrollLeftBtn}) {
    if (*ppElement) (*ppElement)->Release();
    *ppElement = nullptr;
  }
}
