#include "Orbalyn.h"

#include "Logic/ClientCommMgr.h"
#include "Logic/FileUploadMgr.h"
#include "Logic/LocalServer.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/ADNSResolver.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOThread.h"
#include "machine-identity/ReportClientMgr.h"

using namespace win32;

COrbalyn::~COrbalyn() { m_started.store(0); }

HRESULT COrbalyn::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalyn) return E_NOINTERFACE;
  *ppObject = static_cast<IOrbalyn*>(this);  // static: no reference
  return S_OK;
}

ULONG COrbalyn::AddRef() { return 1; }

ULONG COrbalyn::Release() { return 1; }

// No step reports a failure here: each manager handles its own (a store without an
// application-data folder simply has no devices, a server that cannot be reached is retried).
HRESULT COrbalyn::Start() {
  if (m_started.load()) return S_OK;
  DLL_LOG("COrbalyn[%p]::Start", static_cast<void*>(this));

  // An empty path: the client loads its library from beside this module.
  GetReportClientMgr()->Init(u"", TRUE);
  if (CIOThread::Instance()->Start() != 0) DLL_LOG("COrbalyn::Start I/O thread not started");
  if (!CADNSResolver::Instance()->Start()) DLL_LOG("COrbalyn::Start resolver not started");
  if (CABConnectionThread::Instance()->Start() != 0) {
    DLL_LOG("COrbalyn::Start connect thread not started");
  }
  CPhotoDb::Instance()->Open();
  CClientCommMgr::Instance()->Start();
  if (CFileUploadMgr::Instance()->Start() != 0) {
    DLL_LOG("COrbalyn::Start upload thread not started");
  }
  // Creates the hidden window on this thread, so logic messages reach the host here.
  CLogicCenter::Instance()->Start();
  CLocalServer::Instance()->Start();

  m_started.store(1);
  return S_OK;
}

HRESULT COrbalyn::Stop() {
  if (!m_started.load()) return S_OK;
  DLL_LOG("COrbalyn[%p]::Stop", static_cast<void*>(this));

  CLocalServer::Instance()->Close();
  // The sink receives its last login-state message (stopped) on this thread.
  CLogicCenter::Instance()->Stop();
  CFileUploadMgr::Instance()->Stop(INFINITE);
  CClientCommMgr::Instance()->Stop();
  // Saved while the store still holds its devices: the file lists the bound phones.
  CPhotoDb::Instance()->Save();
  CPhotoDb::Instance()->ClearDevices();
  CABConnectionThread::Instance()->Stop(INFINITE);
  CADNSResolver::Instance()->Stop();
  CIOThread::Instance()->Stop(INFINITE);
  GetReportClientMgr()->UnInit(kReportClientUnInitMs);

  m_started.store(0);
  return S_OK;
}

HRESULT COrbalyn::GetLogic(IOrbalynLogic** ppLogic) {
  if (!ppLogic) return E_INVALIDARG;
  *ppLogic = nullptr;
  if (!m_started.load()) return E_ACCESSDENIED;
  *ppLogic = static_cast<IOrbalynLogic*>(CLogicCenter::Instance());
  return S_OK;
}

HRESULT COrbalyn::GetDB(IOrbalynDB** ppDb) {
  if (!ppDb) return E_INVALIDARG;
  *ppDb = nullptr;
  if (!m_started.load()) return E_ACCESSDENIED;
  *ppDb = static_cast<IOrbalynDB*>(CPhotoDb::Instance());
  return S_OK;
}

HRESULT COrbalyn::GetUploader(IOrbalynUploader** ppUploader) {
  if (!ppUploader) return E_INVALIDARG;
  *ppUploader = nullptr;
  if (!m_started.load()) return E_ACCESSDENIED;
  *ppUploader = static_cast<IOrbalynUploader*>(CFileUploadMgr::Instance());
  return S_OK;
}
