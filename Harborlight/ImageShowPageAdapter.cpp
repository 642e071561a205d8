#include "ImageShowPageAdapter.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "BackupFolder.h"
#include "Basalt/CKwStringW.h"
#include "Basalt/KwTimer.h"
#include "CUnBindMsgBox.h"
#include "CachedOrbalynDB.h"
#include "FolderScanner.h"
#include "Lq/Lq.h"
#include "OrbalynBinding.h"
#include "PageElements.h"
#include "ThumbDecoder.h"
#include "TrayTipsBase.h"
#include "WindowHelpers.h"
#include "win32/file.h"
#include "win32/oleauto.h"
#include "win32/profile.h"
#include "win32/shellui.h"
#include "win32/time.h"
#include "win32/toplevel.h"

using namespace win32;
using namespace page_elements;

namespace {

constexpr DWORD kBusyFrameMs = 30;
constexpr DWORD kBatchDoneMs = 3000;
constexpr int kBusyFrames = 30;

constexpr int kStripItemWidth = 275;
constexpr int kStripItemHeight = 108;
constexpr int kStripFirstX = 200;
constexpr int kStripScrollFrom = 810;
constexpr int kStripSelectReach = 670;
constexpr int kStripSelectPlace = 500;

constexpr WCHAR kPhoneImage[] = u"platformres:image\\rightBarPhone.png";
constexpr WCHAR kPhoneImageSelected[] = u"platformres:image\\rightBarPhoneColor.png";
constexpr WCHAR kBusyFrameFormat[] = u"platformres:loadinganimation\\%d.png";
constexpr WCHAR kStripItemLayout[] = u"platformskein:Harborlight.xml|RightBarItem";
constexpr WCHAR kUnbindBoxLayout[] = u"platformskein:Harborlight.xml|UnBindMsgBox";
constexpr WCHAR kUnbindNoticeLayout[] = u"platformskein:Harborlight.xml|NotifyUnBindMsgNew";
constexpr WCHAR kBackingUpFormat[] = u"有%d张照片正在备份...";
constexpr WCHAR kBackupDone[] = u"备份完成";
constexpr WCHAR kUnbindText[] = u"解除绑定";
// The name a phone goes by when the store has none for it.
constexpr WCHAR kDefaultPhoneName[] = u"手机";

constexpr WCHAR kIniSection[] = u"LastBackupTime";
constexpr WCHAR kLastBackupFormat[] = u"最近备份时间：%d-%02d-%02d %02d:%02d";
constexpr WCHAR kLastBackupUnknown[] = u"最后一次备份时间：未知";
constexpr DWORD kLastBackupChars = 59;

// The busy sign's state and frame are the process's, as the sign is.
int g_busyOn = 0;
int g_busyFrame = 0;

void SetText(ILqElement* pElement, const std::u16string& text) {
  if (pElement) pElement->SetText(text.c_str());
}

// A phone name as an info.ini key. Names that would read back as themselves stay as they are;
// in the others '%', '=', control characters, a leading '[' or ';' and blanks at either end
// become "%XX", so no name can start a section, a comment or a second key, and no two names
// share a key.
std::u16string IniKey(const std::u16string& name) {
  auto isBlank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  auto needsEscape = [&](size_t i) {
    char16_t c = name[i];
    if (c == u'%' || c == u'=' || c < 0x20) return true;
    if (i == 0 && (c == u'[' || c == u';')) return true;
    bool atEnd = true;
    for (size_t j = i; j < name.size() && atEnd; ++j) atEnd = isBlank(name[j]);
    bool atStart = true;
    for (size_t j = 0; j <= i && atStart; ++j) atStart = isBlank(name[j]);
    return isBlank(c) && (atStart || atEnd);
  };
  std::u16string key;
  for (size_t i = 0; i < name.size(); ++i) {
    if (!needsEscape(i)) {
      key += name[i];
      continue;
    }
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    key += u'%';
    key += kHex[(name[i] >> 4) & 0xF];
    key += kHex[name[i] & 0xF];
  }
  return key;
}

std::u16string WindowsForm(std::string posix) {
  for (char& c : posix) {
    if (c == '/') c = '\\';
  }
  return Utf8ToUtf16(posix);
}

// Where info.ini lives: inside the sandbox root when one is set, beside the program when that
// folder takes files, else in the user's state folder.
std::u16string InfoIniPath() {
  if (const char* pRoot = getenv("LUMIDOCK_ROOT"); pRoot && *pRoot) {
    return WindowsForm(std::string(pRoot) + "/info.ini");
  }
  static const std::u16string s_path = [] {
    std::u16string dir;
    if (GetModuleDir(&dir)) {
      std::u16string probe = dir + u".info.ini.probe";
      HANDLE hFile = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
      if (hFile != INVALID_HANDLE_VALUE) {
        CloseHandle(hFile);
        DeleteFileW(probe.c_str());
        return dir + u"info.ini";
      }
    }
    std::string state;
    if (const char* pState = getenv("XDG_STATE_HOME"); pState && *pState) {
      state = std::string(pState) + "/lumidock";
    } else if (const char* pHome = getenv("HOME"); pHome && *pHome) {
      state = std::string(pHome) + "/.local/state/lumidock";
    } else {
      return std::u16string(u"info.ini");
    }
    backup_folder::CreateDirectoryTree(WindowsForm(state));
    return WindowsForm(state + "/info.ini");
  }();
  return s_path;
}

}  // namespace

// The corner tip of an unbind notice: it tells the page when its window is gone, so the page
// can let it go.
class CImageShowPageAdapter::CUnbindTip final : public CTrayTipsBase {
 public:
  explicit CUnbindTip(CImageShowPageAdapter* pPage) : m_pPage(pPage) {}
  bool IsClosed() const { return m_closed; }

  // CTrayTipsBase:
  void OnTipDestroyed() override {
    m_closed = true;
    m_pPage->OnTipClosed(this);
  }

 private:
  CImageShowPageAdapter* const m_pPage;
  bool m_closed = false;
};

CImageShowPageAdapter::CImageShowPageAdapter()
    : m_timerSink(this), m_tileSink(this), m_listener(this) {
  m_timerSink->SetCallback(&CImageShowPageAdapter::OnTimer);
  m_tileSink->SetCallback(&CImageShowPageAdapter::OnTileEvent);
  Pictor::RegisterClasses();
  m_pScanner = &CFolderScanner::Instance();
  m_pScanner->SetSink(this);
  m_pDecoder = std::make_unique<CThumbDecoder>(DefaultPicturePath(), [this] { OnDecodesReady(); });
}

CImageShowPageAdapter::~CImageShowPageAdapter() {
  // Walks that end from now on find no page to call; decodes running end first.
  m_pScanner->SetSink(nullptr);
  m_pDecoder.reset();
  m_tips.clear();
  KwTimer::EraseTimerCallback(m_timerSink.GetInterface<IKwTimerCallback>(), 0);
  // The busy sign goes with the page.
  g_busyOn = 0;
  m_listener.RemoveAll();
  for (PendingThumb& pending : m_pending) {
    pending.pGroup->Release();
    if (pending.pTile) pending.pTile->Release();
  }
  m_pending.clear();
  m_pendingByGroup.clear();
  while (!m_textures.empty()) FreeTextures(m_textures.front().deviceId);
  for (std::unique_ptr<PhoneEntry>& pEntry : m_phones) {
    Release(pEntry->pStripItem);
    Release(pEntry->pContainer);
  }
  m_phones.clear();
  if (m_pUnbindBox) m_pUnbindBox->Release();
  if (m_pNoticeBox) m_pNoticeBox->Release();
  for (ILqElement** ppElement :
       {&m_pCurrentContainer, &m_pRoot, &m_pPhotoScrollView, &m_pExpandBtn, &m_pPackBtn,
        &m_pRightPackupFrame, &m_pPhoneName, &m_pStatusText, &m_pOpenDirPath, &m_pCurrentPhoneUi,
        &m_pLoadingAniImg, &m_pTopPackupFrame, &m_pStrip, &m_pAddDeviceBtn, &m_pLoading}) {
    Release(*ppElement);
  }
}

void CImageShowPageAdapter::Init(ILqElement* pPageRoot, IPageHost* pHost) {
  if (!pPageRoot) return;
  m_pRoot = pPageRoot;
  m_pRoot->AddRef();
  m_pHost = pHost;
  m_pPhotoScrollView = FindIn(m_pRoot, u"photoScrollView");
  m_pExpandBtn = FindIn(m_pRoot, u"exproseBtn");
  m_pPackBtn = FindIn(m_pRoot, u"packBtn");
  m_pRightPackupFrame = FindIn(m_pRoot, u"rightPackupFrame");
  m_pOpenDirPath = FindIn(m_pRoot, u"openDirPath");
  m_pCurrentPhoneUi = FindIn(m_pRoot, u"curshowPhoneUI");
  // The selected phone's panel holds the name, status line and busy sign the page updates.
  ILqElement* pPanel = m_pCurrentPhoneUi ? m_pCurrentPhoneUi : m_pRoot;
  m_pPhoneName = FindIn(pPanel, u"phonename");
  m_pStatusText = FindIn(pPanel, u"statusText");
  m_pLoadingAniImg = FindIn(pPanel, u"loadingAniImg");
  m_pTopPackupFrame = FindIn(m_pRoot, u"topPackupFrame");
  m_pStrip = FindIn(m_pRoot, u"topPackupFrameScrollView");
  m_pAddDeviceBtn = FindIn(m_pRoot, u"addnewDeviceBtn");
  m_pLoading = FindIn(m_pRoot, u"loading");

  if (m_pExpandBtn) {
    m_listener.AddListener(m_pExpandBtn, LqEvent::kClick, &CImageShowPageAdapter::OnExpandClick);
  }
  if (m_pPackBtn) {
    m_listener.AddListener(m_pPackBtn, LqEvent::kClick, &CImageShowPageAdapter::OnPackClick);
  }
  if (m_pOpenDirPath) {
    m_listener.AddListener(m_pOpenDirPath, LqEvent::kTextClick,
                           &CImageShowPageAdapter::OnOpenDirClick);
  }
  if (m_pAddDeviceBtn) {
    m_listener.AddListener(m_pAddDeviceBtn, LqEvent::kClick,
                           &CImageShowPageAdapter::OnAddDeviceClick);
  }
  SetHidden(m_pTopPackupFrame, true);
}

void CImageShowPageAdapter::Show(int hidden) { SetHidden(m_pRoot, hidden == 1); }

void CImageShowPageAdapter::OnDeviceState(int64_t id, int connected) {
  int online = connected;
  if (!connected) {
    // Gone from one road, the phone may still be reachable on the other.
    IOrbalynDeviceContainer* pDevices = nullptr;
    IOrbalynDB* pDB = DeviceStore();
    if (pDB && SUCCEEDED(pDB->GetBoundDevices(&pDevices)) && pDevices) {
      int count = 0;
      pDevices->GetCount(&count);
      for (int i = 0; i < count; ++i) {
        IOrbalynDevice* pDevice = nullptr;
        if (FAILED(pDevices->GetAt(i, &pDevice)) || !pDevice) continue;
        int64_t deviceId = 0;
        int offline = 1;
        pDevice->GetId(&deviceId);
        if (deviceId == id && SUCCEEDED(pDevice->IsOffline(&offline)) && offline == 0) {
          online = 1;
        }
        pDevice->Release();
      }
      pDevices->Release();
    }
  }
  PhoneEntry* pEntry = FindEntry(id);
  if (!pEntry) return;
  pEntry->online = online;
  if (pEntry->selected) {
    ShowStatus(pEntry);
    ShowBusy(0);
  }
}

void CImageShowPageAdapter::OnBackupProgress(int64_t id, int busy, int count) {
  PhoneEntry* pEntry = FindEntry(id);
  if (busy == 0 && count == 0 && pEntry) {
    pEntry->done = 1;
    KwTimer::SetTimeout(kBatchDoneMs, m_timerSink.GetInterface<IKwTimerCallback>(),
                        kBatchDoneTimer);
  }
  if (!pEntry) return;
  // A phone that reports more done than announced has none left, not fewer than none.
  if (busy) count = std::max(count, 0);
  if (pEntry->selected) {
    // A batch that ended with files left shows when the last one arrived.
    ShowBackupState(pEntry, busy, count);
  }
  pEntry->backingUp = busy;
  if (busy) pEntry->count = count;
}

void CImageShowPageAdapter::AddPhoto(int64_t id, const WCHAR* pPath) {
  PhoneEntry* pEntry = FindEntry(id);
  std::u16string path = pPath ? pPath : u"";
  if (!pEntry || path.size() <= 4) return;
  WIN32_FIND_DATAW data;
  HANDLE hFind = FindFirstFileW(path.c_str(), &data);
  if (hFind == INVALID_HANDLE_VALUE) return;
  FindClose(hFind);
  WriteLastBackupTime(pEntry->name);
  // The local date, as the walk files it: a photo keeps its day across a restart.
  FILETIME local;
  SYSTEMTIME time{};
  if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
      !FileTimeToSystemTime(&local, &time)) {
    return;
  }
  const int dayKey = time.wYear * 10000 + time.wMonth * 100 + time.wDay;
  const int32_t ms = ((time.wHour * 3600 + time.wMinute * 60 + time.wSecond) * 1000) +
                     time.wMilliseconds;
  ScanDevice* pRecord = nullptr;
  if (!pEntry->pContainer || pEntry->building ||
      m_pScanner->FindDevice(pEntry->deviceId, &pRecord) != CFolderScanner::kComplete) {
    // The walk may have passed the photo's folder already, or the container's older days are
    // still to be placed: kept until the container is built.
    pEntry->arrivals.push_back(path);
    return;
  }
  PlaceArrival(pEntry, path, dayKey, ms);
}

void CImageShowPageAdapter::ChangeDeviceId(int64_t newId, int64_t oldId) {
  PhoneEntry* pEntry = FindEntry(oldId);
  if (!pEntry) return;
  pEntry->deviceId = newId;
  for (PendingThumb& pending : m_pending) {
    if (pending.deviceId == oldId) pending.deviceId = newId;
  }
  for (DeviceTextures& textures : m_textures) {
    if (textures.deviceId == oldId) textures.deviceId = newId;
  }
  m_pScanner->ChangeDeviceId(newId, oldId);
}

void CImageShowPageAdapter::RefreshPhoneList(int select, int64_t id) {
  IOrbalynDB* pDB = DeviceStore();
  if (!pDB) return;
  IOrbalynDeviceContainer* pDevices = nullptr;
  int count = 0;
  if (SUCCEEDED(pDB->GetBoundDevices(&pDevices)) && pDevices) pDevices->GetCount(&count);
  if (count <= 0) {
    if (pDevices) pDevices->Release();
    if (m_pHost) m_pHost->Command(4, nullptr);
    return;
  }
  int x = kStripFirstX;
  for (int i = 0; i < count; ++i) {
    IOrbalynDevice* pDevice = nullptr;
    if (FAILED(pDevices->GetAt(i, &pDevice)) || !pDevice) continue;
    int64_t deviceId = 0;
    pDevice->GetId(&deviceId);
    PhoneEntry* pEntry = FindEntry(deviceId);
    if (!pEntry) {
      auto pNew = std::make_unique<PhoneEntry>();
      pNew->deviceId = deviceId;
      BSTR name = nullptr;
      pNew->name = SUCCEEDED(pDevice->GetName(&name)) && name && *name ? std::u16string(name)
                                                                        : kDefaultPhoneName;
      SysFreeString(name);
      Util::Lq::RawCreateLqElementBySkein(kStripItemLayout, &pNew->pStripItem, m_pStrip, nullptr,
                                          0);
      if (pNew->pStripItem) {
        ILqElement* pPhoneName = FindIn(pNew->pStripItem, u"phoneName");
        ILqElement* pBreakLink = FindIn(pNew->pStripItem, u"breakLink");
        if (pPhoneName) {
          pPhoneName->SetText(pNew->name.c_str());
          m_listener.AddGenericListener(pPhoneName, LqEvent::kTextClick,
                                        &CImageShowPageAdapter::OnElementClick);
          pPhoneName->Release();
        }
        if (pBreakLink) {
          pBreakLink->SetName(pNew->name.c_str());
          m_listener.AddGenericListener(pBreakLink, LqEvent::kTextClick,
                                        &CImageShowPageAdapter::OnElementClick);
          pBreakLink->Release();
        }
      }
      pEntry = pNew.get();
      m_phones.push_back(std::move(pNew));
      // Through SelectPhone, so the new phone is current as well as marked: the next one met
      // then finds a phone selected, whatever the length of this one's name.
      if (m_currentPhone.empty()) SelectPhone(pEntry->name);
    }
    if (select == 1 && deviceId == id) {
      SelectPhone(pEntry->name);
      m_selectFirst = 0;
      CollapseStrip();
    }
    if (pEntry->pStripItem) {
      RECT rect{x, 0, x + kStripItemWidth, kStripItemHeight};
      pEntry->pStripItem->SetRect(&rect);
    }
    x += kStripItemWidth;
    if (m_selectFirst == 1) {
      SelectPhone(pEntry->name);
      m_selectFirst = 0;
    }
    pDevice->Release();
  }
  pDevices->Release();
  EnableScroll(m_pStrip, false, x > kStripScrollFrom);
}

void CImageShowPageAdapter::OnUnbindNotice(int64_t id, int mainWindowInFront) {
  PhoneEntry* pEntry = FindEntry(id);
  IOrbalynLogic* pLogic = GetOrbalynLogic();
  if (!pEntry || !pLogic) {
    if (pLogic) pLogic->Release();
    return;
  }
  pLogic->Release();
  std::u16string text = std::u16string(u"手机") + pEntry->name + u"解除了与此电脑的绑定。";
  if (mainWindowInFront == 1) {
    // The box runs modally: messages (another notice among them) keep coming meanwhile.
    if (m_pNoticeBox && m_noticeShowing) m_pNoticeBox->Close();
    if (m_pNoticeBox) m_pNoticeBox->Release();
    CUnBindMsgBox* pBox = new CUnBindMsgBox();
    m_pNoticeBox = pBox;
    m_noticeShowing = 1;
    pBox->DoModal(kUnbindNoticeLayout, OwnerWindow(), text.c_str());
    if (m_pNoticeBox == pBox) m_noticeShowing = 0;
    // The phone's entry may have gone while the box ran.
    pEntry = FindEntry(id);
    if (!pEntry) return;
  } else {
    auto pTip = std::make_unique<CUnbindTip>(this);
    pTip->SetText(text.c_str());
    RECT rect{};
    if (SUCCEEDED(pTip->GetTipRect(&rect))) {
      PlaceAtWorkAreaCorner(&rect);
      pTip->ShowTip(4, &rect);
      m_tips.push_back(std::move(pTip));
    }
  }
  // Another phone's going leaves the selection as it is: its entry stays marked.
  if (pEntry->name == m_currentPhone) {
    m_selectFirst = 1;
    m_currentPhone.clear();
  }
  RemoveEntry(id);
  RefreshPhoneList(0, 0);
}

void CImageShowPageAdapter::ClosePopups() {
  if (m_pUnbindBox && m_unbindBoxShowing) m_pUnbindBox->Close();
  if (m_pNoticeBox && m_noticeShowing) m_pNoticeBox->Close();
  for (std::unique_ptr<CUnbindTip>& pTip : m_tips) {
    if (!pTip->IsClosed()) pTip->Close();
  }
  KwTimer::EraseTimerCallback(m_timerSink.GetInterface<IKwTimerCallback>(), kTileTimer);
  m_tileTimerInterval = 0;
}

void CImageShowPageAdapter::OnScanDone(int64_t id) {
  PhoneEntry* pEntry = CurrentEntry();
  if (!pEntry || pEntry->deviceId != id) return;
  ShowPhonePhotos();
  PrioritizePending(id);
}

CImageShowPageAdapter::PhoneEntry* CImageShowPageAdapter::FindEntry(int64_t id) {
  for (std::unique_ptr<PhoneEntry>& pEntry : m_phones) {
    if (pEntry->deviceId == id) return pEntry.get();
  }
  return nullptr;
}

CImageShowPageAdapter::PhoneEntry* CImageShowPageAdapter::FindEntryByName(
    const std::u16string& name) {
  for (std::unique_ptr<PhoneEntry>& pEntry : m_phones) {
    if (pEntry->name == name) return pEntry.get();
  }
  return nullptr;
}

void CImageShowPageAdapter::SelectPhone(const std::u16string& name) {
  if (name == m_currentPhone) return;
  PhoneEntry* pNew = FindEntryByName(name);
  if (!pNew) return;
  if (PhoneEntry* pOld = CurrentEntry()) {
    if (ILqElement* pImage = FindIn(pOld->pStripItem, u"phoneImage")) {
      pImage->SetPicture(kPhoneImage);
      pImage->Release();
    }
    SetPhoneSelected(pOld, 0);
  }
  SetPhoneSelected(pNew, 1);
  m_currentPhone = name;
  // What was being decoded for the phone left is asked again when it is seen again.
  DropDecodesExcept(pNew->deviceId);
  ShowPhonePhotos();
  PrioritizePending(pNew->deviceId);
}

void CImageShowPageAdapter::SetPhoneSelected(PhoneEntry* pEntry, int on) {
  if (!pEntry) return;
  ILqElement* pItem = pEntry->pStripItem;
  if (on && pItem) {
    ILqScrollView* pScroll = nullptr;
    RECT rect{};
    POINT position{};
    if (m_pStrip &&
        SUCCEEDED(m_pStrip->QueryInterface(IID_ILqScrollView, reinterpret_cast<void**>(&pScroll)))) {
      pItem->GetRect(&rect);
      pScroll->GetScrollPos(&position);
      if (rect.left - position.x > kStripSelectReach) {
        // The content moves by (position - left + 500): the item comes to lie 500 px in.
        pScroll->ScrollBy(rect.left - position.x - kStripSelectPlace, 0);
        m_pStrip->Refresh();
      }
      pScroll->Release();
    }
  }
  pEntry->selected = on;
  ILqElement* pBackground = FindIn(pItem, u"downbkg");
  ILqElement* pImage = FindIn(pItem, u"phoneImage");
  if (!on) {
    if (pImage) pImage->SetPicture(kPhoneImage);
    SetHidden(pBackground, true);
  } else {
    SetHidden(pBackground, false);
    if (pImage) pImage->SetPicture(kPhoneImageSelected);
    SetText(m_pPhoneName, pEntry->name);
    ShowBackupState(pEntry, pEntry->backingUp && pEntry->online, pEntry->count);
  }
  if (pBackground) pBackground->Release();
  if (pImage) pImage->Release();
}

void CImageShowPageAdapter::ShowStatus(PhoneEntry* pEntry) {
  SetText(m_pStatusText, pEntry->done ? std::u16string(kBackupDone) : LastBackupText(pEntry->name));
}

// The status line of the selected phone: the count being backed up with the busy sign, or its
// last backup.
void CImageShowPageAdapter::ShowBackupState(PhoneEntry* pEntry, bool busy, int count) {
  if (busy) {
    CKwStringW text;
    text.Format(kBackingUpFormat, count);
    SetText(m_pStatusText, text.Text());
  } else {
    ShowStatus(pEntry);
  }
  ShowBusy(busy ? 1 : 0);
}

void CImageShowPageAdapter::ShowBusy(int on) {
  m_busyShown = on ? 1 : 0;
  if ((on != 0) == (g_busyOn != 0) || !m_pLoadingAniImg) return;
  g_busyOn = on;
  if (on) {
    SetHidden(m_pLoadingAniImg, false);
    KwTimer::SetInterval(kBusyFrameMs, m_timerSink.GetInterface<IKwTimerCallback>(), kBusyTimer);
  } else {
    SetHidden(m_pLoadingAniImg, true);
    KwTimer::EraseTimerCallback(m_timerSink.GetInterface<IKwTimerCallback>(), kBusyTimer);
  }
}

void CImageShowPageAdapter::OnClick(ILqElement* pElement) {
  if (!pElement) return;
  BSTR kind = nullptr;
  pElement->GetKindName(&kind);
  const bool isText = Take(kind) == u"text";
  if (isText && TextOf(pElement) == kUnbindText) {
    // The box runs modally, and the phone may unbind itself meanwhile: the name is copied and
    // the element held first, and the entry looked up again afterwards.
    const std::u16string name = NameOf(pElement);
    pElement->AddRef();
    if (!m_pUnbindBox) m_pUnbindBox = new CUnBindMsgBox();
    CUnBindMsgBox* pBox = m_pUnbindBox;
    pBox->AddRef();
    m_unbindBoxShowing = 1;
    pBox->DoModal(kUnbindBoxLayout, OwnerWindow(), nullptr);
    m_unbindBoxShowing = 0;
    const bool confirmed = pBox->Result() == 1;
    pBox->Release();
    pElement->Release();
    if (!confirmed || !FindEntryByName(name)) return;
    const bool wasCurrent = name == m_currentPhone;
    UnbindPhone(name);
    if (wasCurrent) {
      m_selectFirst = 1;
      m_currentPhone.clear();
    }
    RefreshPhoneList(0, 0);
    return;
  }
  if (isText) {
    SelectPhone(TextOf(pElement));
    CollapseStrip();
    return;
  }
  // A tile: its name is the file's path. Only a photo or video under the backup folder opens,
  // never another kind of file a phone sent (a program, a launcher).
  std::u16string path;
  for (char16_t c : NameOf(pElement)) {
    if (c != u'"') path += c;
  }
  std::u16string folder = WorkDir();
  if (folder.empty() || path.size() < 3) return;
  if (folder.back() != u'\\' && folder.back() != u'/') folder += u'\\';
  auto sameSeparators = [](std::u16string text) {
    for (char16_t& c : text) {
      if (c == u'/') c = u'\\';
    }
    return text;
  };
  const std::u16string normal = sameSeparators(path);
  if (normal.compare(0, folder.size(), sameSeparators(folder)) != 0 ||
      normal.find(u"\\..\\") != std::u16string::npos ||
      normal.find(u"\\.\\") != std::u16string::npos) {
    return;
  }
  std::u16string ending = path.substr(path.size() - 3);
  for (char16_t& c : ending) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  static constexpr std::u16string_view kOpened[] = {u"jpg", u"bmp", u"png", u"gif", u"peg",
                                                    u"avi", u"mvb", u"asf", u".rm", u"ivx",
                                                    u"wmv", u"mp4", u"mkv", u"vob", u"3gp"};
  bool listed = false;
  for (std::u16string_view suffix : kOpened) listed = listed || ending == suffix;
  if (!listed) return;
  std::u16string quoted = u"\"" + path + u"\"";
  ShellExecuteW(OwnerWindow(), u"open", quoted.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void CImageShowPageAdapter::UnbindPhone(const std::u16string& name) {
  PhoneEntry* pEntry = FindEntryByName(name);
  if (!pEntry) return;
  if (IOrbalynLogic* pLogic = GetOrbalynLogic()) {
    pLogic->UnbindDevice(pEntry->deviceId);
    pLogic->Release();
  }
  RemoveEntry(pEntry->deviceId);
  RefreshPhoneList(0, 0);
}

void CImageShowPageAdapter::RemoveEntry(int64_t id) {
  auto it = std::find_if(m_phones.begin(), m_phones.end(),
                         [id](const std::unique_ptr<PhoneEntry>& p) { return p->deviceId == id; });
  if (it == m_phones.end()) return;
  PhoneEntry* pEntry = it->get();
  if (pEntry->pStripItem && m_pStrip) m_pStrip->RemoveChild(pEntry->pStripItem);
  Release(pEntry->pStripItem);
  if (pEntry->pContainer) {
    SetHidden(pEntry->pContainer, true);
    if (m_pCurrentContainer == pEntry->pContainer) Release(m_pCurrentContainer);
    // Its thumbnails and the tiles still to be made go with it.
    FreeTextures(id);
    if (m_pPhotoScrollView) m_pPhotoScrollView->RemoveChild(pEntry->pContainer);
    Release(pEntry->pContainer);
  } else {
    FreeTextures(id);
  }
  m_phones.erase(it);
  ScheduleTileMaker();
}

void CImageShowPageAdapter::OpenBackupFolder() {
  std::u16string folder = WorkDir();
  bool opened = false;
  if (!folder.empty()) {
    if (folder.back() != u'\\' && folder.back() != u'/') folder += u'\\';
    if (!m_currentPhone.empty()) folder += backup_folder::PhoneFolderName(m_currentPhone);
    if (backup_folder::CreateDirectoryTree(folder)) {
      ShellExecuteW(OwnerWindow(), u"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      opened = true;
    }
  }
  if (!opened) MessageBoxW(OwnerWindow(), u"无法打开备份目录, 请确保磁盘可用!", u"警告", MB_OK);
}

void CImageShowPageAdapter::CollapseStrip() {
  SetHidden(m_pTopPackupFrame, true);
  SetHidden(m_pCurrentPhoneUi, false);
  SetHidden(m_pExpandBtn, false);
}

std::u16string CImageShowPageAdapter::LastBackupText(const std::u16string& name) {
  WCHAR text[kLastBackupChars] = {};
  GetPrivateProfileStringW(kIniSection, IniKey(name).c_str(), kLastBackupUnknown, text,
                           kLastBackupChars, InfoIniPath().c_str());
  return text;
}

void CImageShowPageAdapter::WriteLastBackupTime(const std::u16string& name) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  CKwStringW text;
  text.Format(kLastBackupFormat, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute);
  WritePrivateProfileStringW(kIniSection, IniKey(name).c_str(), text, InfoIniPath().c_str());
}

IOrbalynDB* CImageShowPageAdapter::DeviceStore() { return CachedOrbalynDB::Get(); }

std::u16string CImageShowPageAdapter::WorkDir() {
  std::u16string dir;
  ReadWorkDir(&dir);
  return dir;
}

HWND CImageShowPageAdapter::OwnerWindow() {
  HWND hwnd = nullptr;
  if (m_pRoot) m_pRoot->GetWindowHandle(&hwnd);
  return hwnd;
}

void CImageShowPageAdapter::OnTipClosed(CUnbindTip*) {
  // Let go on the next turn, not from inside the tip's own call.
  KwTimer::SetTimeout(0, m_timerSink.GetInterface<IKwTimerCallback>(), kTipReapTimer);
}

HRESULT CImageShowPageAdapter::OnTimer(UINT timerId) {
  switch (timerId) {
    case kTileTimer:
      OnTileMakerTick();
      break;
    case kBusyTimer: {
      g_busyFrame = (g_busyFrame + 1) % kBusyFrames;
      CKwStringW picture;
      picture.Format(kBusyFrameFormat, g_busyFrame);
      if (m_pLoadingAniImg) m_pLoadingAniImg->SetPicture(picture);
      break;
    }
    case kBatchDoneTimer:
      for (std::unique_ptr<PhoneEntry>& pEntry : m_phones) {
        if (pEntry->done && pEntry->selected && !pEntry->backingUp) {
          SetText(m_pStatusText, LastBackupText(pEntry->name));
          ShowBusy(0);
        }
      }
      for (std::unique_ptr<PhoneEntry>& pEntry : m_phones) pEntry->done = 0;
      break;
    case kBuildTimer:
      OnBuildTick();
      break;
    case kTipReapTimer:
      std::erase_if(m_tips, [](const std::unique_ptr<CUnbindTip>& p) { return p->IsClosed(); });
      break;
    default:
      break;
  }
  return 0;
}

HRESULT CImageShowPageAdapter::OnExpandClick(ILqEvent*) {
  SetHidden(m_pTopPackupFrame, false);
  SetHidden(m_pCurrentPhoneUi, true);
  SetHidden(m_pExpandBtn, true);
  return 0;
}

HRESULT CImageShowPageAdapter::OnPackClick(ILqEvent*) {
  CollapseStrip();
  return 0;
}

HRESULT CImageShowPageAdapter::OnOpenDirClick(ILqEvent*) {
  OpenBackupFolder();
  return 0;
}

HRESULT CImageShowPageAdapter::OnAddDeviceClick(ILqEvent*) {
  if (m_pHost) m_pHost->Command(3, nullptr);
  return 0;
}

HRESULT CImageShowPageAdapter::OnElementClick(UINT, ILqElement* pElement, ILqEvent*) {
  OnClick(pElement);
  return 0;
}
