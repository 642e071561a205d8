#include "NetEngine/Command.h"

#include "NetEngine/IOOperation.h"

CCommand::CCommand(uint32_t kind) : m_kind(kind), m_refCount(1), m_pBuffer(nullptr) {}

CCommand::~CCommand() { Free(); }

int32_t CCommand::AddRef() { return m_refCount.fetch_add(1) + 1; }

int32_t CCommand::Release() {
  int32_t count = m_refCount.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}

bool CCommand::IsValid() { return m_pBuffer && m_pBuffer->Length() > 0; }

CIOOperation* CCommand::Alloc(uint32_t size) {
  Free();
  m_pBuffer = CIOOperation::Create(nullptr, 0, size);
  return m_pBuffer;
}

void CCommand::Free() {
  if (!m_pBuffer) return;
  CIOOperation::Release(m_pBuffer);
  m_pBuffer = nullptr;
}

bool CCommand::Reserve(uint32_t size) {
  if (!m_pBuffer) return Alloc(size) != nullptr;
  if (m_pBuffer->Capacity() >= size) return true;
  CIOOperation* pLarger = CIOOperation::Create(nullptr, 0, size);
  if (!pLarger) return false;
  CIOOperation::Append(pLarger, m_pBuffer->Data(), m_pBuffer->Length());
  CIOOperation::Release(m_pBuffer);
  m_pBuffer = pLarger;
  return true;
}
