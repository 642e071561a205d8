// The main window as the logic library's sink: status texts, login retries, binding, the photos
// that arrive, and the statistics about binding and upload speed.

#include <algorithm>
#include <limits>

#include "ImageShowPageAdapter.h"
#include "MainWnd.h"
#include "OrbalynBinding.h"
#include "QrCodePageAdapter.h"
#include "UiReports.h"
#include "UploadAssist.h"
#include "win32/strings.h"
#include "win32/time.h"
#include "win32/toplevel.h"

using namespace win32;

HRESULT CMainWnd::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  if (riid != IID_IUnknown && riid != IID_IOrbalynLogicSink) return E_NOINTERFACE;
  *ppObject = static_cast<IOrbalynLogicSink*>(this);
  return S_OK;
}

HRESULT CMainWnd::OnLogicMessage(IOrbalynMessage* pMessage) {
  if (!pMessage) return 0;
  int type = 0;
  int value = 0;
  int64_t id = 0;
  int param1 = 0;
  int param2 = 0;
  if (FAILED(pMessage->GetType(&type))) type = 0;
  pMessage->GetValue(&value);
  pMessage->GetId(&id);
  pMessage->GetParam1(&param1);
  pMessage->GetParam2(&param2);
  switch (type) {
    case UIMsg_login_result:
      OnLoginResult(value);
      break;
    case UIMsg_login_state:
      OnLoginState(value);
      break;
    case UIMsg_device_remote_state:
    case UIMsg_device_local_state:
      OnDeviceState(id, value);
      break;
    case UIMsg_bind_state:
      OnBindState(id, value);
      break;
    case UIMsg_unbind:
      OnUnbindNotice(id);
      break;
    case UIMsg_upload_batch:
      if (m_pImageShowPage) {
        // The phone's numbers: kept inside an int whatever they are.
        int64_t count = static_cast<int64_t>(value) - param1;
        count = std::clamp<int64_t>(count, std::numeric_limits<int>::min(),
                                    std::numeric_limits<int>::max());
        m_pImageShowPage->OnBackupProgress(id, 1, static_cast<int>(count));
      }
      OnUploadBatch(id);
      break;
    case UIMsg_upload_begin:
      OnUploadBegin(pMessage);
      break;
    case UIMsg_upload_result:
      OnUploadResult(param1, value);
      m_uploadBytes += static_cast<uint32_t>(param2);
      break;
    case UIMsg_upload_finish:
      if (m_pImageShowPage) m_pImageShowPage->OnBackupProgress(id, 0, value);
      OnUploadFinish(id);
      break;
    default:
      break;
  }
  return 0;
}

void CMainWnd::OnLoginState(int state) {
  if (!IsRootAlive()) return;
  switch (state) {
    case LoginState_stopped:
      SetStatusText(u"Lumidock-PC当前状态：停止");
      break;
    case LoginState_logging_in:
      SetStatusText(u"Lumidock-PC当前状态：正在登陆中");
      break;
    case LoginState_online:
      SetStatusText(u"Lumidock-PC当前状态：在线");
      m_offline = 0;
      m_loginRetries = 0;
      break;
    case LoginState_offline:
      SetStatusText(u"Lumidock-PC当前状态：离线");
      m_offline = 1;
      if (m_pLogic && m_loginRetries < kMaxLoginRetries) {
        ++m_loginRetries;
        m_pLogic->Login();
      }
      break;
    default:
      SetStatusText(u"Lumidock-PC当前状态：未知");
      break;
  }
}

void CMainWnd::OnLoginResult(int result) {
  if (!IsRootAlive()) return;
  switch (result) {
    case LoginResult_ok:
      if (m_pQrCodePage) m_pQrCodePage->RefreshBindQrCode();
      SetStatusText(u"Lumidock-PC当前状态：登陆成功");
      break;
    case LoginResult_resolve_failed:
      SetStatusText(u"Lumidock-PC当前状态：登陆失败, DNS解析失败");
      break;
    case LoginResult_register_failed:
      SetStatusText(u"Lumidock-PC当前状态：登陆失败, 自动注册失败");
      break;
    case LoginResult_redirect_failed:
      SetStatusText(u"Lumidock-PC当前状态：登陆失败, 重定向失败");
      break;
    case LoginResult_comm_failed:
      SetStatusText(u"Lumidock-PC当前状态：登陆失败, 服务器不可用");
      break;
    case LoginResult_timed_out:
      SetStatusText(u"Lumidock-PC当前状态：登陆失败, 超时");
      break;
    default:
      break;
  }
}

void CMainWnd::OnDeviceState(int64_t id, int value) {
  if (!m_pImageShowPage) return;
  if (value == Presence_away) {
    m_pImageShowPage->OnDeviceState(id, 0);
  } else if (value == Presence_here) {
    m_pImageShowPage->OnDeviceState(id, 1);
  }
}

void CMainWnd::OnBindState(int64_t id, int state) {
  switch (state) {
    case BindState_none:
      if (m_pQrCodePage) m_pQrCodePage->SetBindResult(false);
      break;
    case BindState_waiting:
      if (m_pQrCodePage) m_pQrCodePage->OnPhoneScanned();
      if (GetMainRunState().bindProgress == MainRunState::kNoPhone) {
        GetMainRunState().bindProgress = MainRunState::kBindBegun;
      }
      break;
    case BindState_bound:
      OnPhoneBound(id);
      break;
    default:
      break;
  }
}

void CMainWnd::OnPhoneBound(int64_t id) {
  IOrbalynDB* pDB = GetOrbalynDB();
  if (pDB) {
    int64_t olderId = 0;
    pDB->GetMatchDeviceId(id, &olderId);
    if (olderId != 0) {
      if (m_pLogic) m_pLogic->UnbindDevice(olderId);
      if (m_pImageShowPage) m_pImageShowPage->ChangeDeviceId(id, olderId);
    }
    // A name that was unique already comes back with E_FAIL: any name that came back counts.
    BSTR name = nullptr;
    pDB->AutoRenameDevice(id, &name);
    (void)SendUiReport(CPhoneBoundReport{1, id, Utf16ToUtf8(name ? name : u""), 0});
    SysFreeString(name);
  }
  if (m_pQrCodePage) {
    m_pQrCodePage->SetBindResult(false);
    m_pQrCodePage->ShowPage(true);
    m_pQrCodePage->ReportBound();
  }
  if (m_pImageShowPage) {
    m_pImageShowPage->Show(0);
    m_pImageShowPage->RefreshPhoneList(1, id);
  }
  SetBackground(true);
  GetMainRunState().bindProgress = MainRunState::kPhoneBound;
  if (pDB) pDB->Release();
}

void CMainWnd::OnUnbindNotice(int64_t id) {
  HWND hwnd = nullptr;
  if (m_pRoot) m_pRoot->GetWindowHandle(&hwnd);
  int inFront = hwnd && IsWindow(hwnd) && hwnd == GetForegroundWindow() ? 1 : 0;
  if (m_pImageShowPage) m_pImageShowPage->OnUnbindNotice(id, inFront);
}

void CMainWnd::OnUploadBegin(IOrbalynMessage* pMessage) { m_uploadBegins.OnUploadBegin(pMessage); }

void CMainWnd::OnUploadResult(int32_t fileId, int32_t error) {
  // The record and the assistant's final path go in every case; only a file that arrived
  // reaches the photo page, under the name it was stored under: the library numbers it when
  // another file took the name handed out at the begin.
  const std::u16string finalPath = Singleton<CUploadAssist>::Instance()->TakeFinalPath(fileId);
  UploadBeginRecord record;
  if (m_uploadBegins.OnUploadResult(fileId, error, &record) && m_pImageShowPage) {
    const std::u16string& path = finalPath.empty() ? record.filePath : finalPath;
    m_pImageShowPage->AddPhoto(record.deviceId, path.c_str());
  }
}

void CMainWnd::OnUploadBatch(int64_t id) {
  if (std::find(m_uploadingPhones.begin(), m_uploadingPhones.end(), id) !=
      m_uploadingPhones.end()) {
    return;
  }
  m_uploadingPhones.push_back(id);
  ++m_uploadingCount;
  if (!m_clockRunning) {
    m_clockRunning = 1;
    m_clockStartTick = GetTickCount();
  }
}

void CMainWnd::OnUploadFinish(int64_t id) {
  auto it = std::find(m_uploadingPhones.begin(), m_uploadingPhones.end(), id);
  if (it == m_uploadingPhones.end()) return;
  m_uploadingPhones.erase(it);
  --m_uploadingCount;

  IOrbalynDB* pDB = GetOrbalynDB();
  if (!pDB) return;
  IOrbalynDevice* pDevice = nullptr;
  pDB->FindDevice(id, &pDevice);
  if (!pDevice) {
    pDB->Release();
    return;
  }
  int remoteState = Presence_here;
  pDevice->GetRemoteState(&remoteState);
  uint16_t offServer = remoteState != Presence_here ? 1 : 0;

  // Wrap-safe, and never 0; the speed is clamped before it becomes 32 bits (a large file that
  // ends just after another phone's finish would overflow it).
  DWORD now = GetTickCount();
  DWORD elapsed = now - m_clockStartTick;
  if (elapsed == 0) elapsed = 1;
  double speed = static_cast<double>(m_uploadBytes) / elapsed * 1000.0;
  uint32_t bytesPerSecond = speed >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(speed);

  if (m_uploadingCount == 0) {
    m_clockRunning = 0;
    m_clockStartTick = 0;
  } else {
    m_clockStartTick = now;
  }
  (void)SendUiReport(
      CUploadSpeedReport{bytesPerSecond, offServer, static_cast<uint32_t>(m_uploadingCount + 1)});
  m_uploadBytes = 0;
  pDevice->Release();
  pDB->Release();
}

void CMainWnd::SetStatusText(const WCHAR* pText) {
  if (m_pRoot) m_pRoot->SetText(pText);
}
