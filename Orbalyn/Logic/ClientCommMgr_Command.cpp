// The phone commands that the phone command manager handles itself on the I/O thread: login,
// logout, the three steps of binding, report, data channel and heartbeat.

#include <cinttypes>
#include <string>

#include "msg.pb.h"

#include "Interface/UploadFiles.h"
#include "Logic/ClientCommMgr.h"
#include "Logic/ClientCommand.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/NetHelpers.h"
#include "win32/strings.h"
#include "win32/sysinfo.h"

using namespace win32;

namespace {

// Keys shorter than this are treated as missing.
constexpr size_t kMinKeyLength = 10;
// The computer name is read into a buffer of this many characters.
constexpr DWORD kComputerNameChars = 30;

const char* RouteText(CClientCommand* pCommand) {
  return pCommand->IsRelayed() ? "互联网" : "局域网";
}

// Takes the body and parses it as the request; a parse failure (a required field missing
// included) or a wrong check code logs the handler's line.
template <class Request>
bool ParseRequest(CClientCommand* pCommand, Request* pRequest, const char* pHandlerName) {
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (!pCommand->GetBody(&pBody, &length)) return false;
  if (!pRequest->ParseFromArray(pBody, static_cast<int>(length)) ||
      pRequest->check_code() != CClientCommMgr::kCheckCode) {
    DLL_LOG("%s failed because of decode, cmd=%u, src=%" PRId64, pHandlerName,
            pCommand->GetCommandId(), pCommand->GetSourceId());
    return false;
  }
  return true;
}

// The phone of the frame's source id, with a reference; none is made.
CPhotoDevice* FindSender(CClientCommand* pCommand) {
  return CPhotoDb::Instance()->FindOrCreateDevice(pCommand->GetSourceId(), false);
}

// Builds the reply with the check code set, and sends it enciphered as the request was. A
// failure here changes nothing else.
template <class Reply>
void SendReply(CClientCommMgr* pMgr, CClientCommand* pRequest, Reply* pReply) {
  pReply->set_check_code(CClientCommMgr::kCheckCode);
  std::string body;
  // Partial: a reply is sent as built, never aborted over a field left unset.
  if (!pReply->SerializePartialToString(&body)) return;
  CClientCommand* pCommand = CClientCommand::CreateReply(pRequest);
  if (!pCommand) return;
  if (pCommand->SetBody(body.data(), static_cast<uint32_t>(body.size()))) {
    pMgr->SendCommand(pCommand, true);
  }
  pCommand->Release();
}

// The handlers whose only effect is the reply.
template <class Request, class Reply>
int ReplyOnly(CClientCommMgr* pMgr, CClientCommand* pCommand, const char* pHandlerName) {
  Request request;
  if (!ParseRequest(pCommand, &request, pHandlerName)) return -1;
  CPhotoDevice* pDevice = FindSender(pCommand);
  if (!pDevice) return -1;
  Reply reply;
  SendReply(pMgr, pCommand, &reply);
  pDevice->Release();
  return 0;
}

// A phone-given text, whole (a NUL inside does not end it), without the characters no name
// keeps: the phone's name becomes a folder name.
std::u16string PhoneText(const std::string& utf8) {
  std::u16string text = Utf8ToUtf16(utf8);
  std::erase_if(text, upload_files::IsDroppedFromNames);
  return text;
}

std::string ComputerNameUtf8() {
  WCHAR name[kComputerNameChars] = {};
  DWORD size = kComputerNameChars;
  if (!GetComputerNameW(name, &size)) return {};
  name[kComputerNameChars - 1] = 0;
  return WideToUtf8(name);
}

}  // namespace

int CClientCommMgr::OnCommand_Login(CClientCommMgr* pMgr, CClientCommand* pCommand) {
  protocol::C2CPhoneLoginReq request;
  if (!ParseRequest(pCommand, &request, "OnCommand_Login")) return -1;
  CPhotoDevice* pDevice = FindSender(pCommand);
  if (!pDevice) return -1;
  protocol::C2CPhoneLoginResp reply;
  SendReply(pMgr, pCommand, &reply);
  DLL_LOG("Device[%" PRId64 "] Login from %s", pDevice->Id(), RouteText(pCommand));
  pDevice->Release();
  return 0;
}

int CClientCommMgr::OnCommand_Logout(CClientCommMgr* pMgr, CClientCommand* pCommand) {
  protocol::C2CPhoneLogoutReq request;
  if (!ParseRequest(pCommand, &request, "OnCommand_Logout")) return -1;
  CPhotoDevice* pDevice = FindSender(pCommand);
  if (!pDevice) return -1;
  protocol::C2CPhoneLogoutResp reply;
  SendReply(pMgr, pCommand, &reply);
  DLL_LOG("Device[%" PRId64 "] Logout", pDevice->Id());
  pDevice->Release();
  return 0;
}

int CClientCommMgr::OnCommand_Bind(CClientCommMgr* pMgr, CClientCommand* pCommand) {
  protocol::C2CPhoneBindReq request;
  if (!ParseRequest(pCommand, &request, "OnCommand_Bind")) return -1;
  const int64_t phoneId = pCommand->GetSourceId();
  // A record under id 0 is never loaded again, and the PC's own id names no phone: either
  // would make a binding that is silently lost.
  const int64_t pcId = CPhotoDb::Instance()->DeviceId();
  if (phoneId == 0 || phoneId == pcId) {
    DLL_LOG("OnCommand_Bind refused: src=%" PRId64 ", pc=%" PRId64, phoneId, pcId);
    return -1;
  }
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(phoneId, true);
  if (!pDevice) return -1;

  if (pDevice->Key().size() < kMinKeyLength) pDevice->SetKey(MakeRandomKey());
  const std::string key = pDevice->Key();
  if (key.size() < kMinKeyLength) {
    DLL_LOG("OnCommand_Bind failed: no key for Device[%" PRId64 "]", phoneId);
    pDevice->Release();
    return -1;
  }
  pDevice->SetName(PhoneText(request.phone_name()));
  pDevice->SetGuid(PhoneText(request.phone_str()));
  pDevice->SetZelid(PhoneText(request.phone_zelid()));
  DLL_LOG("Device[%" PRId64 "] Bind Req from %s, Phone=%s, mei=%s, zelid=%s", phoneId,
          RouteText(pCommand), request.phone_name().c_str(), request.phone_str().c_str(),
          request.phone_zelid().c_str());

  protocol::C2CPhoneBindResp reply;
  reply.set_new_key(key);
  reply.set_pc_name(ComputerNameUtf8());
  SendReply(pMgr, pCommand, &reply);

  if (!pDevice->IsBound()) pDevice->SetBindState(CPhotoDevice::kBindRequested);
  CLogicCenter::Instance()->PostUiMessage(UIMsg_bind_state, CPhotoDevice::kBindRequested, phoneId,
                                          0, 0);
  pDevice->Release();
  return 0;
}

int CClientCommMgr::OnCommand_BingWait(CClientCommMgr* pMgr, CClientCommand* pCommand) {
  protocol::C2CPhoneBindWaitReq request;
  if (!ParseRequest(pCommand, &request, "OnCommand_BingWait")) return -1;
  CPhotoDevice* pDevice = FindSender(pCommand);
  if (!pDevice) return -1;
  protocol::C2CPhoneBindWaitResp reply;
  reply.set_wait_time(request.wait_time());
  SendReply(pMgr, pCommand, &reply);
  DLL_LOG("Device[%" PRId64 "] Bind Wait", pDevice->Id());
  if (!pDevice->IsBound()) pDevice->SetBindState(CPhotoDevice::kBindWaiting);
  CLogicCenter::Instance()->PostUiMessage(UIMsg_bind_state, CPhotoDevice::kBindWaiting,
                                          pDevice->Id(), 0, 0);
  pDevice->Release();
  return 0;
}

int CClientCommMgr::OnCommand_BindFinish(CClientCommMgr* pMgr, CClientCommand* pCommand) {
  protocol::C2CPhoneBindFinishReq request;
  if (!ParseRequest(pCommand, &request, "OnCommand_BindFinish")) return -1;
  CPhotoDevice* pDevice = FindSender(pCommand);
  if (!pDevice) return -1;
  // Saved before the phone hears that it is bound: a kill right after the reply must not leave
  // a phone that believes itself bound to a PC that forgot it.
  pDevice->BindFinish(request.check_bind());
  protocol::C2CPhoneBindFinishResp reply;
  reply.set_bind_result(request.check_bind());
  SendReply(pMgr, pCommand, &reply);
  DLL_LOG("Device[%" PRId64 "] Bind Finish, bind=%d", pDevice->Id(), request.check_bind() ? 1 : 0);
  pDevice->Release();
  return 0;
}

int CClientCommMgr::OnCommand_Report(CClientCommMgr* pMgr, CClientCommand* pCommand) {
  return ReplyOnly<protocol::C2CPhoneReportReq, protocol::C2CPhoneReportResp>(pMgr, pCommand,
                                                                              "OnCommand_Report");
}

int CClientCommMgr::OnCommand_DataChannel(CClientCommMgr* pMgr, CClientCommand* pCommand) {
  return ReplyOnly<protocol::C2CPhoneDataChannelReq, protocol::C2CPhoneDataChannelResp>(
      pMgr, pCommand, "OnCommand_DataChannel");
}

int CClientCommMgr::OnCommand_Heartbeat(CClientCommMgr* pMgr, CClientCommand* pCommand) {
  return ReplyOnly<protocol::C2CPhoneHeartbeatReq, protocol::C2CPhoneHeartbeatResp>(
      pMgr, pCommand, "OnCommand_Heartbeat");
}
