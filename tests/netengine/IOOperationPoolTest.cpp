#include <cstring>
#include <vector>

#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngineTestUtil.h"

using netengine_test::DrainIoThread;
using netengine_test::LogText;
using netengine_test::RecordingHandler;

namespace {

using Allocator = CIOOperation::Allocator;

class CIOOperationPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { m_inUseAtStart = Allocator::Instance()->InUseCountForTesting(); }
  // Every case gives back every block it took.
  void TearDown() override {
    EXPECT_EQ(Allocator::Instance()->InUseCountForTesting(), m_inUseAtStart);
  }

  size_t m_inUseAtStart = 0;
};

// Size classes: chosen by data size against the data capacity; larger requests get an exact
// block.
TEST_F(CIOOperationPoolTest, ClassBoundariesKeepTheDataCapacities) {
  const struct {
    uint32_t asked;
    uint32_t capacity;
  } kCases[] = {
      {0, 452},      {256, 452},     {452, 452},     {453, 964},       {964, 964},   {965, 1988},
      {1024, 1988},  {1988, 1988},   {1989, 4036},   {4036, 4036},     {4037, 8132}, {8132, 8132},
      {8133, 32708}, {32708, 32708}, {32709, 32709}, {100000, 100000},
  };
  for (const auto& c : kCases) {
    CIOOperation* pOp = Allocator::Instance()->Alloc(c.asked);
    ASSERT_NE(pOp, nullptr);
    EXPECT_EQ(pOp->Capacity(), c.capacity) << "asked " << c.asked;
    // The whole capacity is usable.
    memset(pOp->Data(), 0x5A, pOp->Capacity());
    EXPECT_EQ(CIOOperation::Release(pOp), 0);
  }
}

TEST_F(CIOOperationPoolTest, OverSizeBlocksAreNeverKept) {
  size_t freeBefore[Allocator::kClassCount];
  for (int c = 0; c < Allocator::kClassCount; ++c) {
    freeBefore[c] = Allocator::Instance()->FreeCountForTesting(c);
  }
  CIOOperation::Release(Allocator::Instance()->Alloc(32709));
  for (int c = 0; c < Allocator::kClassCount; ++c) {
    EXPECT_EQ(Allocator::Instance()->FreeCountForTesting(c), freeBefore[c]);
  }
}

// Free lists: bounded, first-in first-out, blocks re-initialised when handed out again.
TEST_F(CIOOperationPoolTest, FreeListsKeepAtMostTheirCap) {
  for (int c = 0; c < Allocator::kClassCount; ++c) {
    std::vector<CIOOperation*> ops;
    for (size_t i = 0; i < Allocator::kMaxFree[c] + 5; ++i) {
      ops.push_back(Allocator::Instance()->Alloc(Allocator::kClassCapacity[c]));
      ASSERT_NE(ops.back(), nullptr);
    }
    EXPECT_EQ(Allocator::Instance()->FreeCountForTesting(c), 0u);
    for (CIOOperation* pOp : ops) CIOOperation::Release(pOp);
    EXPECT_EQ(Allocator::Instance()->FreeCountForTesting(c), Allocator::kMaxFree[c]) << c;
  }
}

TEST_F(CIOOperationPoolTest, FreeBlocksAreReusedOldestFirstAndComeBackClean) {
  // Empty class 1's free list so the order below is ours alone.
  std::vector<CIOOperation*> held;
  for (size_t i = 0; i < Allocator::kMaxFree[1]; ++i)
    held.push_back(Allocator::Instance()->Alloc(964));

  CIOOperation* pA = Allocator::Instance()->Alloc(964);
  CIOOperation* pB = Allocator::Instance()->Alloc(964);
  CIOOperation* pC = Allocator::Instance()->Alloc(964);
  pB->SetCode(3);
  pB->SetError(10054);
  pB->SetBytesTransferred(17);
  pB->SetLength(100);
  ASSERT_TRUE(CIOOperation::SetAddress(pB, "0123456789abcdef", 16));
  CIOOperation::AddRef(pB);
  CIOOperation::Release(pB);
  CIOOperation::Release(pB);
  CIOOperation::Release(pA);
  CIOOperation::Release(pC);

  CIOOperation* pFirst = Allocator::Instance()->Alloc(900);
  CIOOperation* pSecond = Allocator::Instance()->Alloc(900);
  CIOOperation* pThird = Allocator::Instance()->Alloc(900);
  EXPECT_EQ(pFirst, pB);
  EXPECT_EQ(pSecond, pA);
  EXPECT_EQ(pThird, pC);
  EXPECT_EQ(pFirst->Code(), 0u);
  EXPECT_EQ(pFirst->Error(), 0u);
  EXPECT_EQ(pFirst->BytesTransferred(), 0u);
  EXPECT_EQ(pFirst->Length(), 0u);
  EXPECT_EQ(pFirst->Capacity(), 964u);
  EXPECT_EQ(pFirst->RefCountForTesting(), 1);
  EXPECT_EQ(CIOOperation::GetAddress(pFirst, nullptr), nullptr);

  for (CIOOperation* pOp : {pFirst, pSecond, pThird}) CIOOperation::Release(pOp);
  for (CIOOperation* pOp : held) CIOOperation::Release(pOp);
}

TEST_F(CIOOperationPoolTest, BlockGivenBackTwiceIsIgnored) {
  CIOOperation* pOp = Allocator::Instance()->Alloc(10);
  size_t freeCount = Allocator::Instance()->FreeCountForTesting(0);
  ASSERT_EQ(Allocator::Instance()->Free(pOp), 1);
  size_t freeAfter = Allocator::Instance()->FreeCountForTesting(0);
  EXPECT_EQ(Allocator::Instance()->Free(pOp), 0);
  EXPECT_EQ(Allocator::Instance()->FreeCountForTesting(0), freeAfter);
  EXPECT_LE(freeAfter, freeCount + 1);
}

// Thousands of blocks out at once and back in a scrambled order: each is found exactly once,
// whatever its neighbours in the in-use set did before it.
TEST_F(CIOOperationPoolTest, ManyBlocksOutAndBackInAnyOrderAreEachTakenBackOnce) {
  std::vector<CIOOperation*> ops;
  for (int i = 0; i < 3000; ++i) ops.push_back(Allocator::Instance()->Alloc(i % 2 ? 40 : 40000));
  EXPECT_EQ(Allocator::Instance()->InUseCountForTesting(), m_inUseAtStart + ops.size());
  uint32_t state = 7;
  for (size_t i = ops.size() - 1; i > 0; --i) {
    state = state * 1103515245u + 12345u;
    std::swap(ops[i], ops[state % (i + 1)]);
  }
  for (size_t i = 0; i < ops.size(); ++i) {
    ASSERT_EQ(Allocator::Instance()->Free(ops[i]), 1) << i;
    // Every block still out is still known.
    if (i % 500 == 0) {
      EXPECT_EQ(Allocator::Instance()->InUseCountForTesting(), m_inUseAtStart + ops.size() - i - 1);
    }
  }
  // A block that went onto a free list is not taken back a second time.
  CIOOperation* pKept = Allocator::Instance()->Alloc(40);
  ASSERT_EQ(Allocator::Instance()->Free(pKept), 1);
  EXPECT_EQ(Allocator::Instance()->Free(pKept), 0);
}

// Data and address.
TEST_F(CIOOperationPoolTest, AppendCopiesOnlyWhatFits) {
  CIOOperation* pOp = CIOOperation::Create(nullptr, 2, 452);
  pOp->SetLength(412);
  std::vector<uint8_t> bytes(100, 0xC3);
  EXPECT_EQ(CIOOperation::Append(pOp, bytes.data(), 100), 40u);
  EXPECT_EQ(pOp->Length(), 452u);
  EXPECT_EQ(pOp->Data()[451], 0xC3);
  EXPECT_EQ(CIOOperation::Append(pOp, bytes.data(), 100), 0u);
  pOp->SetLength(5000);
  EXPECT_EQ(pOp->Length(), 452u);
  CIOOperation::Release(pOp);
}

TEST_F(CIOOperationPoolTest, AddressAttachmentGrowsAndHandsOutItsLength) {
  CIOOperation* pOp = CIOOperation::Create(nullptr, 3, 100);
  int* pLength = nullptr;
  EXPECT_EQ(CIOOperation::GetAddress(pOp, &pLength), nullptr);
  EXPECT_EQ(pLength, nullptr);

  ASSERT_TRUE(CIOOperation::SetAddress(pOp, nullptr, 16));
  auto* pAddress = static_cast<uint8_t*>(CIOOperation::GetAddress(pOp, &pLength));
  ASSERT_NE(pAddress, nullptr);
  EXPECT_EQ(*pLength, 16);
  EXPECT_EQ(std::vector<uint8_t>(pAddress, pAddress + 16), std::vector<uint8_t>(16, 0));

  std::vector<uint8_t> big(200);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(CIOOperation::SetAddress(pOp, big.data(), 200));
  pAddress = static_cast<uint8_t*>(CIOOperation::GetAddress(pOp, &pLength));
  EXPECT_EQ(*pLength, 200);
  EXPECT_EQ(std::vector<uint8_t>(pAddress, pAddress + 200), big);
  // A receive-from writes the sender's length through the pointer.
  *pLength = 16;
  int* pLengthAgain = nullptr;
  CIOOperation::GetAddress(pOp, &pLengthAgain);
  EXPECT_EQ(*pLengthAgain, 16);
  CIOOperation::Release(pOp);
}

// Owners: detaching touches only that handler's operations.
TEST_F(CIOOperationPoolTest, DetachOwnerClearsOnlyThatHandlersOperations) {
  RecordingHandler first;
  RecordingHandler second;
  CIOOperation* pFirst = CIOOperation::Create(&first, 3, 10);
  CIOOperation* pSecond = CIOOperation::Create(&second, 3, 10);
  Allocator::Instance()->DetachOwner(&first);
  EXPECT_EQ(pFirst->Owner(), nullptr);
  EXPECT_EQ(pSecond->Owner(), &second);
  CIOOperation::Release(pFirst);
  CIOOperation::Release(pSecond);
}

using CIOOperationPoolDeathTest = CIOOperationPoolTest;

TEST_F(CIOOperationPoolDeathTest, ReleaseBelowZeroTraps) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        CIOOperation* pOp = Allocator::Instance()->Alloc(10);
        CIOOperation::Release(pOp);  // pooled: the block stays mapped
        CIOOperation::Release(pOp);
      },
      "");
}

// Reference rules through the I/O thread: Post adds one, the loop drops it after delivery.
class CIOOperationDeliveryTest : public CIOOperationPoolTest {
 protected:
  void SetUp() override {
    CIOOperationPoolTest::SetUp();
    ASSERT_EQ(CIOThread::Instance()->Start(), 0);
  }
  void TearDown() override {
    EXPECT_TRUE(DrainIoThread());
    EXPECT_EQ(CIOThread::Instance()->Stop(5000), 0);
    CIOOperationPoolTest::TearDown();
  }
};

TEST_F(CIOOperationDeliveryTest, PostHoldsItsOwnReferenceUntilDelivered) {
  RecordingHandler handler;
  ASSERT_EQ(CIOThread::Instance()->Stop(5000), 0);  // hold the delivery back
  CIOOperation* pOp = CIOOperation::Create(&handler, 77, 10);
  ASSERT_EQ(CIOOperation::Post(pOp), 1);
  EXPECT_EQ(pOp->RefCountForTesting(), 2);
  ASSERT_EQ(CIOThread::Instance()->Start(), 0);
  ASSERT_TRUE(handler.WaitCompletions(1));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(pOp->RefCountForTesting(), 1);

  auto completions = handler.Completions();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].code, 77u);
  EXPECT_EQ(completions[0].refCount, 2);
  EXPECT_EQ(completions[0].threadId, CIOThread::Instance()->ThreadId());
  CIOOperation::Release(pOp);
}

TEST_F(CIOOperationDeliveryTest, CreatorMayReleaseBeforeDelivery) {
  RecordingHandler handler;
  ASSERT_EQ(CIOThread::Instance()->Stop(5000), 0);  // so the release surely comes first
  CIOOperation* pOp = CIOOperation::Create(&handler, 78, 10);
  ASSERT_EQ(CIOOperation::Post(pOp), 1);
  EXPECT_EQ(CIOOperation::Release(pOp), 1);
  ASSERT_EQ(CIOThread::Instance()->Start(), 0);
  ASSERT_TRUE(handler.WaitCompletions(1));
  EXPECT_EQ(handler.Completions()[0].refCount, 1);
  // TearDown checks that the block went back after delivery.
}

TEST_F(CIOOperationDeliveryTest, CompletionOfDetachedOwnerIsLoggedAndDropped) {
  RecordingHandler handler;
  CIOOperation* pOp = CIOOperation::Create(&handler, 79, 10);
  pOp->SetError(995);
  Allocator::Instance()->DetachOwner(&handler);
  ASSERT_EQ(CIOOperation::Post(pOp), 1);
  CIOOperation::Release(pOp);
  ASSERT_TRUE(DrainIoThread());
  EXPECT_TRUE(handler.Completions().empty());
  EXPECT_NE(LogText().find("IOOperation NotifyIoComplete [" + netengine_test::PointerText(nullptr) +
                           "] abort: OpType=79, Error=995"),
            std::string::npos);
}

TEST_F(CIOOperationDeliveryTest, OperationsPostedWhileStoppedWaitOnThePort) {
  ASSERT_EQ(CIOThread::Instance()->Stop(5000), 0);
  RecordingHandler handler;
  CIOOperation* pOp = CIOOperation::Create(&handler, 80, 10);
  ASSERT_EQ(CIOOperation::Post(pOp), 1);
  CIOOperation::Release(pOp);
  EXPECT_TRUE(handler.Completions().empty());
  ASSERT_EQ(CIOThread::Instance()->Start(), 0);
  ASSERT_TRUE(handler.WaitCompletions(1));
  EXPECT_EQ(handler.Completions()[0].code, 80u);
}

}  // namespace
