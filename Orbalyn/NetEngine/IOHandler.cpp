#include "NetEngine/IOHandler.h"

#include "Common/ObjectLifecycleMgr.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/IOTimerTable.h"

CIOHandler::CIOHandler() {
  // Built before the first handler, so they are destroyed after the last one at exit.
  CIOThread::Instance();
  CIOOperation::Allocator::Instance();
  CObjectLifecycleMgr::Instance()->Register(this);
}

CIOHandler::~CIOHandler() {
  CIOThread::Instance()->TimerTable()->RemoveHandler(this);
  CIOOperation::Allocator::Instance()->DetachOwner(this);
  CObjectLifecycleMgr::Instance()->Unregister(this);
}

void CIOHandler::OnIoComplete(CIOOperation* /*pOp*/) {}

void CIOHandler::OnTimer(unsigned int /*timerId*/) {}
