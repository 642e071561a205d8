// The reference rules of each interface, null out-pointers, and strings crossing a module
// boundary.

#include <dlfcn.h>

#include <string>

#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "Logic/PhotoDeviceContainer.h"
#include "Logic/PhotoMessage.h"
#include "LogicTestSupport.h"
#include "win32/oleauto.h"

namespace {

const win32::IID kOtherIid = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

class InterfaceRulesTest : public logic_test::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    CPhotoDb::Instance()->ResetForTesting();
  }
  void TearDown() override {
    CPhotoDb::Instance()->ResetForTesting();
    SandboxTest::TearDown();
  }
};

// Counted objects: QueryInterface adds a reference for IUnknown and their own id only.
template <class TObject>
void ExpectCountedRules(TObject* pObject, const win32::IID& ownIid) {
  void* pOut = nullptr;
  EXPECT_EQ(pObject->QueryInterface(win32::IID_IUnknown, &pOut), win32::S_OK);
  EXPECT_EQ(pOut, static_cast<void*>(pObject));
  EXPECT_EQ(pObject->QueryInterface(ownIid, &pOut), win32::S_OK);
  EXPECT_EQ(pObject->AddRef(), 4u);  // creator, two queries, this probe
  pOut = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(pObject->QueryInterface(kOtherIid, &pOut), win32::E_NOINTERFACE);
  EXPECT_EQ(pObject->QueryInterface(ownIid, nullptr), win32::E_INVALIDARG);
  EXPECT_EQ(pObject->Release(), 3u);
  EXPECT_EQ(pObject->Release(), 2u);
  EXPECT_EQ(pObject->Release(), 1u);
  EXPECT_EQ(pObject->Release(), 0u);  // freed here; ASan reports a leak or a double free
}

TEST_F(InterfaceRulesTest, CountedObjectsAddAReferenceInQueryInterface) {
  ExpectCountedRules(new CPhotoMessage(1, 0, 0, 0, 0, 0, 0), IID_IOrbalynMessage);
  ExpectCountedRules(new CPhotoDevice(1), IID_IOrbalynDevice);
  ExpectCountedRules(new CPhotoDeviceContainer(), IID_IOrbalynDeviceContainer);
}

TEST_F(InterfaceRulesTest, TheStoreIsStaticAndCountsNothing) {
  IOrbalynDB* pDb = CPhotoDb::Instance();
  void* pOut = nullptr;
  EXPECT_EQ(pDb->QueryInterface(win32::IID_IUnknown, &pOut), win32::S_OK);
  EXPECT_EQ(pOut, static_cast<void*>(pDb));
  pOut = nullptr;
  EXPECT_EQ(pDb->QueryInterface(IID_IOrbalynDB, &pOut), win32::S_OK);
  EXPECT_EQ(pOut, static_cast<void*>(pDb));
  EXPECT_EQ(pDb->AddRef(), 1u);
  EXPECT_EQ(pDb->AddRef(), 1u);
  EXPECT_EQ(pDb->Release(), 1u);
  pOut = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(pDb->QueryInterface(IID_IOrbalynDevice, &pOut), win32::E_NOINTERFACE);
  EXPECT_EQ(pOut, reinterpret_cast<void*>(0x1));  // left untouched
}

// Null out-pointers
TEST_F(InterfaceRulesTest, MessagePayloadSkipsNullOutPointers) {
  const char bytes[] = {'a', '\0', 'b'};
  CPhotoMessage* pMessage = new CPhotoMessage(8, 0, 1, bytes, sizeof(bytes));
  int length = -1;
  EXPECT_EQ(pMessage->GetPayload(nullptr, &length), win32::S_OK);
  EXPECT_EQ(length, 3);
  const win32::BYTE* pData = nullptr;
  EXPECT_EQ(pMessage->GetPayload(&pData, nullptr), win32::S_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pData), 3), std::string(bytes, 3));
  EXPECT_EQ(pMessage->GetPayload(nullptr, nullptr), win32::S_OK);
  EXPECT_EQ(pMessage->GetType(nullptr), win32::E_INVALIDARG);
  pMessage->Release();

  CPhotoMessage* pEmpty = new CPhotoMessage(2, 1, 0, 0, 0, 0, 0);
  pData = nullptr;
  EXPECT_EQ(pEmpty->GetPayload(&pData, &length), win32::S_OK);
  ASSERT_NE(pData, nullptr);
  EXPECT_EQ(pData[0], 0);
  EXPECT_EQ(length, 0);
  pEmpty->Release();
}

TEST_F(InterfaceRulesTest, NullOutPointersAreRefusedNotWrittenThrough) {
  CPhotoDevice* pDevice = new CPhotoDevice(4);
  EXPECT_EQ(pDevice->GetId(nullptr), win32::E_INVALIDARG);
  EXPECT_EQ(pDevice->GetName(nullptr), win32::E_INVALIDARG);
  EXPECT_EQ(pDevice->IsOnline(nullptr), win32::E_INVALIDARG);
  pDevice->Release();
  CPhotoDb* pDb = CPhotoDb::Instance();
  EXPECT_EQ(pDb->GetWorkDir(nullptr), win32::E_INVALIDARG);
  EXPECT_EQ(pDb->GetDeviceId(nullptr), win32::E_INVALIDARG);
  EXPECT_EQ(pDb->FindDevice(1, nullptr), win32::E_INVALIDARG);
  EXPECT_EQ(pDb->GetAllDevices(nullptr), win32::E_INVALIDARG);
  EXPECT_EQ(pDb->GetMatchDeviceId(1, nullptr), win32::E_INVALIDARG);
  EXPECT_EQ(pDb->SetWorkDir(nullptr), win32::E_INVALIDARG);
}

// BSTRs: one allocator per process, whichever module allocates or frees.
TEST_F(InterfaceRulesTest, StringsAreFreedAcrossModules) {
  void* pPeer = dlopen(BSTR_PEER_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(pPeer, nullptr) << dlerror();
  auto pAlloc = reinterpret_cast<win32::BSTR (*)(const char16_t*)>(dlsym(pPeer, "PeerAllocString"));
  auto pFree = reinterpret_cast<void (*)(win32::BSTR)>(dlsym(pPeer, "PeerFreeString"));
  ASSERT_NE(pAlloc, nullptr);
  ASSERT_NE(pFree, nullptr);

  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(3, true);
  pDevice->SetName(u"相机");
  win32::BSTR name = nullptr;
  ASSERT_EQ(pDevice->GetName(&name), win32::S_OK);
  EXPECT_EQ(win32::SysStringLen(name), 2u);
  EXPECT_EQ(std::u16string(name), u"相机");
  pFree(name);  // allocated by the library's code, freed by the other module
  pDevice->Release();

  win32::BSTR dir = nullptr;
  ASSERT_EQ(CPhotoDb::Instance()->GetWorkDir(&dir), win32::S_OK);
  ASSERT_NE(dir, nullptr);  // an empty folder is an empty string, not null
  EXPECT_EQ(win32::SysStringLen(dir), 0u);
  pFree(dir);

  win32::BSTR fromPeer = pAlloc(u"\\home\\u\\Photos");
  EXPECT_EQ(win32::SysStringLen(fromPeer), 14u);
  win32::SysFreeString(fromPeer);
  dlclose(pPeer);
}

}  // namespace
