#include "ExitReason1.h"

#include "UiReports.h"
#include "WindowHelpers.h"
#include "win32/strings.h"

using namespace win32;

namespace {

// The text in the thread's ANSI code page, as the report carries it.
std::string AnsiOf(const std::u16string& text) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string ansi(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, ansi.data(), bytes, nullptr, nullptr);
  return ansi;
}

}  // namespace

const char16_t* const CExitReason1::kReasonIds[kReasonCount] = {
    u"hasnophone", u"nodownlaod", u"scanfailed",        u"nowantdown",   u"noinstall",
    u"linkfailed", u"other",      u"scansucdownfailed", u"nolikeproduct"};

CExitReason1::CExitReason1() : m_listener(this) {}

CExitReason1::~CExitReason1() {
  m_listener.RemoveAll();
  ReleaseElements();
}

int CExitReason1::Run(const WCHAR* pLayout, HWND parent, const WCHAR*) {
  m_listener.RemoveAll();
  ReleaseElements();
  m_answered = false;
  if (FAILED(CreateLqElementFromLayout(pLayout, IID_ILqWindow, reinterpret_cast<void**>(&m_pWindow),
                                       nullptr, nullptr))) {
    return 0;
  }
  m_pWindow->FindChild(u"ok", &m_pOk);
  m_pWindow->FindChild(u"cancle", &m_pCancel);
  m_pWindow->FindChild(u"unChoose", &m_pUnChoose);
  for (int i = 0; i < kReasonCount; ++i) {
    m_pWindow->FindChild(kReasonIds[i], &m_pReasons[i]);
    if (m_pReasons[i]) {
      m_listener.AddListener(m_pReasons[i], LqEvent::kCheckToggled, &CExitReason1::OnReasonToggled);
    }
  }
  m_pWindow->FindChild(u"reasonEdit", &m_pReasonEdit);
  m_pWindow->FindChild(u"wexEdit", &m_pContactEdit);
  if (m_pOk) m_listener.AddListener(m_pOk, LqEvent::kClick, &CExitReason1::OnSubmit);
  if (m_pCancel) m_listener.AddListener(m_pCancel, LqEvent::kTextClick, &CExitReason1::OnCancel);

  INT result = -1;
  HRESULT hr = m_pWindow->RunModal(parent, 1, &result);
  // Closed without an answer (the window manager's close button, the program ending): the
  // report is still owed, as a cancel.
  if (SUCCEEDED(hr) && !m_answered) Answer(kReportCancel, u"", u"");
  m_listener.RemoveAll();
  return SUCCEEDED(hr) && result >= 0 ? 1 : 0;
}

HRESULT CExitReason1::OnReasonToggled(ILqEvent*) {
  if (m_pUnChoose) m_pUnChoose->SetHidden(TRUE);
  return 0;
}

HRESULT CExitReason1::OnSubmit(ILqEvent*) {
  const int code = GetChosenReason();
  if (code == 0) {
    ShowPrompt(u"请选择原因");
    return 0;
  }
  std::u16string text;
  if (code == kCodeOther) {
    text = ElementText(m_pReasonEdit);
    if (text.empty()) {
      ShowPrompt(u"请填写原因");
      return 0;
    }
  }
  Answer(kReportCancel + code, text, ElementText(m_pContactEdit));
  return 0;
}

HRESULT CExitReason1::OnCancel(ILqEvent*) {
  Answer(kReportCancel, u"", u"");
  return 0;
}

int CExitReason1::GetChosenReason() {
  for (int i = 0; i < kReasonCount; ++i) {
    ILqCheck* pCheck = nullptr;
    if (!m_pReasons[i] ||
        FAILED(m_pReasons[i]->QueryInterface(IID_ILqCheck, reinterpret_cast<void**>(&pCheck)))) {
      continue;
    }
    BOOL checked = FALSE;
    pCheck->GetChecked(&checked);
    pCheck->Release();
    if (checked) return i + 1;
  }
  return 0;
}

void CExitReason1::ShowPrompt(const char16_t* pText) {
  if (!m_pUnChoose) return;
  m_pUnChoose->SetText(pText);
  m_pUnChoose->SetHidden(FALSE);
}

void CExitReason1::Answer(int reason, const std::u16string& text, const std::u16string& contact) {
  if (!m_answered) {
    m_answered = true;
    CExitSurveyReport record;
    record.reason = reason;
    record.reasonText = AnsiOf(text);
    record.contact = AnsiOf(contact);
    SendUiReport(record);  // dropped when the client is not ready or the report is off
  }
  if (m_pWindow) m_pWindow->EndModal(m_closeResult);
}

void CExitReason1::ReleaseElements() {
  auto release = [](ILqElement** ppElement) {
    if (*ppElement) (*ppElement)->Release();
    *ppElement = nullptr;
  };
  release(&m_pOk);
  release(&m_pCancel);
  release(&m_pUnChoose);
  for (ILqElement*& pReason : m_pReasons) release(&pReason);
  release(&m_pReasonEdit);
  release(&m_pContactEdit);
  release(&m_pWindow);
}
