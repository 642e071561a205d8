// The upload manager driven with phone commands: whole files, resume after each way an upload
// can stop, chunks that do not belong, impossible values, two phones with one file name, and
// what the user interface, the assistant and the statistics hear.

#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>

#include "../common/ChildCase.h"
#include "../common/TickWrap.h"
#include "Logic/ClientCommMgr.h"
#include "Logic/DeviceOfflineHook.h"
#include "Logic/FileUploadMgr.h"
#include "NetEngine/NetHelpers.h"
#include "UploadTestSupport.h"
#include "machine-identity/ReportClientMgr.h"
#include "uimsg.pb.h"
#include "win32/time.h"

namespace upload_test {
namespace {

constexpr int64_t kTimeStamp = 1650000000456;

class CFileUploadMgrTest : public UploadFixture {
 protected:
  // Announces and sends a whole file; its file id.
  int32_t Upload(int64_t phone, uint32_t sequence, const std::string& devicePath,
                 const std::string& content, int64_t timeStamp = kTimeStamp,
                 const std::string& subPath = "") {
    Reply raw;
    auto first = Announce(phone, sequence, devicePath, static_cast<int64_t>(content.size()),
                          timeStamp, &raw, "Camera", subPath);
    EXPECT_EQ(raw.result, 0);
    EXPECT_TRUE(first.need_upload());
    EXPECT_EQ(first.start_position(), 0);
    EXPECT_TRUE(SendRest(phone, sequence, first.file_id(), content, 0));
    return first.file_id();
  }
  // No further reply arrives.
  static bool Quiet() {
    Reply extra;
    return !NextReply(&extra, std::chrono::milliseconds(200));
  }
};

TEST_F(CFileUploadMgrTest, SeveralFilesArriveWholeWithThePhonesTime) {
  protocol::C2CPhoneUploadFilesReq batch;
  batch.set_check_code(CClientCommMgr::kCheckCode);
  batch.set_files_total(3);
  batch.set_files_ok(0);
  batch.set_f_pic_total(2);
  batch.set_f_video_ok(1);
  batch.set_files_failed(0);
  Enqueue(MakeCommand(kPhoneA, 6006, 1, Serialize(batch), 0x1234));
  Reply raw;
  ASSERT_TRUE(NextReply(&raw));
  EXPECT_EQ(raw.command, 6006);
  EXPECT_EQ(raw.result, 0);
  EXPECT_EQ(raw.destId, kPhoneA);
  EXPECT_EQ(raw.echo, 0x1234u);

  struct File {
    std::string devicePath;
    std::string subPath;
    std::string content;
    int64_t timeStamp;
    std::string expected;
  } files[] = {
      {"DCIM/Camera/IMG_1.jpg", "", RandomBytes(200000, 1), kTimeStamp,
       "/Phone A/Camera/IMG_1.jpg"},
      {"DCIM\\Camera\\VID_2.mp4", "Trip/Day 1", RandomBytes(2 * kChunk, 2), kTimeStamp + 1,
       "/Phone A/Camera/Trip/Day 1/VID_2.mp4"},
      {"x.png", "", RandomBytes(1, 3), 1000, "/Phone A/Camera/x.png"},
  };
  std::vector<int32_t> ids;
  for (size_t i = 0; i < std::size(files); ++i) {
    ids.push_back(Upload(kPhoneA, static_cast<uint32_t>(10 + i), files[i].devicePath,
                         files[i].content, files[i].timeStamp, files[i].subPath));
  }
  // Ids start at a random point well inside the phone's positive int32, then count up.
  EXPECT_GE(ids[0], 0x10000);
  EXPECT_LT(ids[0], 0x40010000);
  EXPECT_EQ(ids[1], ids[0] + 1);
  for (size_t i = 0; i < std::size(files); ++i) {
    SCOPED_TRACE(files[i].devicePath);
    const std::string path = EndedPath(i);
    EXPECT_EQ(path, m_work + files[i].expected);
    EXPECT_EQ(Sha256(ReadWholeFile(path)), Sha256(files[i].content));
    EXPECT_EQ(LastWriteMs(path), files[i].timeStamp);
    EXPECT_EQ(m_pAssist->Ends()[i].error, 0);
    EXPECT_EQ(m_pAssist->Ends()[i].fileId, ids[i]);
  }
  EXPECT_EQ(ListFiles(m_work).size(), std::size(files));  // no partial file left
  EXPECT_EQ(m_pAssist->JobCount(), 0u);

  // The user interface: the batch, then begin, progress and result of each file.
  Barrier();
  std::vector<UiMessage> ui = TakeUiMessages();
  std::erase_if(ui,
                [](const UiMessage& m) { return m.type == UIMsg_upload_batch && m.value == 0; });
  ASSERT_FALSE(ui.empty());
  EXPECT_EQ(ui[0].type, UIMsg_upload_batch);
  EXPECT_EQ(ui[0].value, 3);
  EXPECT_EQ(ui[0].id, kPhoneA);
  EXPECT_EQ(ui[0].param3, 2);
  EXPECT_EQ(ui[0].param4, 1);
  protocol::C2CPhoneUploadFilesReq batchRecord;
  EXPECT_TRUE(batchRecord.ParseFromString(ui[0].payload));  // the phone's own batch record
  EXPECT_EQ(batchRecord.files_total(), 3);
  size_t at = 1;
  for (size_t i = 0; i < std::size(files); ++i) {
    ASSERT_LT(at, ui.size());
    ASSERT_EQ(ui[at].type, UIMsg_upload_begin);
    protocol::UIUploadFileInfo info;
    ASSERT_TRUE(info.ParseFromString(ui[at].payload));
    EXPECT_EQ(info.file_id(), ids[i]);
    EXPECT_EQ(ui[at].param1, static_cast<int>(ids[i]));
    EXPECT_EQ(info.file_path(), WideToUtf8(WindowsFromPosix(m_work + files[i].expected)));
    int lastPermille = -1;
    for (++at; at < ui.size() && ui[at].type == UIMsg_upload_progress; ++at) {
      EXPECT_GT(ui[at].value, lastPermille);
      EXPECT_LT(ui[at].value, 1000);
      lastPermille = ui[at].value;
    }
    ASSERT_LT(at, ui.size());
    EXPECT_EQ(ui[at].type, UIMsg_upload_result);
    EXPECT_EQ(ui[at].value, 0);
    EXPECT_EQ(ui[at].param1, ids[i]);
    EXPECT_EQ(ui[at].param2, static_cast<int>(files[i].content.size()));
    ++at;
  }
  EXPECT_EQ(at, ui.size());
}

TEST_F(CFileUploadMgrTest, EmptyFileCompletesInItsAnnouncementAndAKnownFileIsSkipped) {
  Reply raw;
  auto first = Announce(kPhoneA, 1, "DCIM/empty.txt", 0, kTimeStamp, &raw);
  EXPECT_EQ(raw.result, 0);
  EXPECT_TRUE(first.need_upload());
  EXPECT_EQ(first.start_position(), 0);
  const std::string empty = EndedPath(0);
  EXPECT_EQ(ReadWholeFile(empty), "");
  EXPECT_EQ(LastWriteMs(empty), kTimeStamp);
  Upload(kPhoneA, 2, "DCIM/full.bin", RandomBytes(1000, 4));
  EndedPath(1);

  for (auto [path, size] :
       {std::pair<const char*, int64_t>{"DCIM/empty.txt", 0}, {"DCIM/full.bin", 1000}}) {
    SCOPED_TRACE(path);
    auto again = Announce(kPhoneA, 3, path, size, kTimeStamp, &raw);
    EXPECT_EQ(raw.result, 0);
    EXPECT_FALSE(again.need_upload());
  }
  EXPECT_EQ(ListFiles(m_work),
            (std::vector<std::string>{"Phone A/Camera/empty.txt", "Phone A/Camera/full.bin"}));
}

// Each way an upload stops half-way keeps its partial file; the next announcement gets a new
// file id and resumes at the bytes held, under the same name.
TEST_F(CFileUploadMgrTest, ResumesAfterFinishIdleOfflineAndUnbind) {
  const std::string content = RandomBytes(5 * kChunk + 17, 7);
  const int64_t size = static_cast<int64_t>(content.size());
  const uint32_t expectedErrors[] = {10054, 258, 10053, 10049};
  int64_t held = 0;
  int32_t lastId = 0;
  for (uint32_t way = 0; way < std::size(expectedErrors); ++way) {
    SCOPED_TRACE(way);
    Reply raw;
    auto first = Announce(kPhoneA, 100 + way, "DCIM/big.bin", size, kTimeStamp, &raw);
    ASSERT_EQ(raw.result, 0);
    EXPECT_NE(first.file_id(), lastId);
    lastId = first.file_id();
    ASSERT_EQ(first.start_position(), held);
    ASSERT_EQ(
        SendChunk(kPhoneA, 100 + way, first.file_id(), size, held, content.substr(held, kChunk)),
        0);
    held += kChunk;
    TakeUiMessages();
    switch (way) {
      case 0: {
        protocol::C2CPhoneUploadFinishReq finish;
        finish.set_check_code(CClientCommMgr::kCheckCode);
        finish.set_files_total(1);
        finish.set_files_ok(0);
        finish.set_files_left(1);
        Enqueue(MakeCommand(kPhoneA, 6012, 900, Serialize(finish)));
        ASSERT_TRUE(NextReply(&raw));
        EXPECT_EQ(raw.command, 6012);
        break;
      }
      case 1:
        CFileUploadMgr::Instance()->SetPeriodsForTesting(20, 100);
        break;
      case 2:
        NotifyDeviceOfflineHandler(kPhoneA);
        break;
      case 3:
        CFileUploadMgr::Instance()->NotifyDeviceUnbound(kPhoneA);
        break;
    }
    ASSERT_EQ(EndedPath(way), m_work + "/Phone A/Camera/big.bin");
    EXPECT_EQ(m_pAssist->Ends()[way].error, static_cast<int32_t>(expectedErrors[way]));
    CFileUploadMgr::Instance()->SetPeriodsForTesting(0, 0);
    Barrier();
    std::vector<UiMessage> ui = TakeUiMessages();
    bool resultTold = false;
    for (const UiMessage& message : ui) {
      if (message.type == UIMsg_upload_result) {
        resultTold = true;
        EXPECT_EQ(message.value, static_cast<int>(expectedErrors[way]));
        EXPECT_EQ(message.param2, static_cast<int>(kChunk));
      }
      if (message.type == UIMsg_upload_finish) {
        EXPECT_EQ(message.value, 1);
      }
    }
    EXPECT_TRUE(resultTold);
    EXPECT_TRUE(FileExists(m_work + "/Phone A/Camera/big.bin.pdl"));
  }
  Reply raw;
  auto last = Announce(kPhoneA, 200, "DCIM/big.bin", size, kTimeStamp, &raw);
  ASSERT_EQ(last.start_position(), held);
  ASSERT_TRUE(SendRest(kPhoneA, 200, last.file_id(), content, held));
  const std::string path = EndedPath(4);
  EXPECT_EQ(path, m_work + "/Phone A/Camera/big.bin");
  EXPECT_EQ(Sha256(ReadWholeFile(path)), Sha256(content));
  EXPECT_EQ(ListFiles(m_work), std::vector<std::string>{"Phone A/Camera/big.bin"});
}

TEST_F(CFileUploadMgrTest, ALiveFileAnnouncedAgainKeepsItsIdAndRefusesTheOldSession) {
  const std::string content = RandomBytes(3 * kChunk, 8);
  const int64_t size = static_cast<int64_t>(content.size());
  Reply raw;
  auto first = Announce(kPhoneA, 5, "a.bin", size, kTimeStamp, &raw);
  ASSERT_EQ(SendChunk(kPhoneA, 5, first.file_id(), size, 0, content.substr(0, kChunk)), 0);
  auto again = Announce(kPhoneA, 6, "a.bin", size, kTimeStamp, &raw);
  EXPECT_EQ(again.file_id(), first.file_id());
  EXPECT_EQ(again.start_position(), static_cast<int64_t>(kChunk));
  EXPECT_EQ(SendChunk(kPhoneA, 5, first.file_id(), size, kChunk, content.substr(kChunk, kChunk)),
            11001);
  ASSERT_TRUE(SendRest(kPhoneA, 6, first.file_id(), content, kChunk));
  EXPECT_EQ(Sha256(ReadWholeFile(EndedPath(0))), Sha256(content));
}

// A chunk with a wrong session, size or file id is answered 11001 and the file goes on; one
// from another phone is dropped without an answer.
TEST_F(CFileUploadMgrTest, ChunksThatDoNotBelongChangeNothing) {
  const std::string content = RandomBytes(2 * kChunk, 9);
  const int64_t size = static_cast<int64_t>(content.size());
  Reply raw;
  auto first = Announce(kPhoneA, 9, "a.bin", size, kTimeStamp, &raw);
  const int32_t id = first.file_id();
  const std::string junk(kChunk, 'j');
  EXPECT_EQ(SendChunk(kPhoneA, 8, id, size, 0, junk), 11001);
  EXPECT_EQ(SendChunk(kPhoneA, 9, id, size + 1, 0, junk), 11001);
  EXPECT_EQ(SendChunk(kPhoneA, 9, id + 1, size, 0, junk), 11001);
  SendChunk(kPhoneB, 9, id, size, 0, junk, /*expectReply=*/false);
  ASSERT_TRUE(SendRest(kPhoneA, 9, id, content, 0));
  EXPECT_TRUE(Quiet());
  EXPECT_EQ(Sha256(ReadWholeFile(EndedPath(0))), Sha256(content));
}

// Impossible values are refused with 11001 before anything is written.
TEST_F(CFileUploadMgrTest, ImpossibleValuesAreRefusedWithNothingWritten) {
  Reply raw;
  auto negative = Announce(kPhoneA, 1, "neg.bin", -5, kTimeStamp, &raw);
  EXPECT_EQ(raw.result, 11001);
  EXPECT_TRUE(negative.need_upload());
  // Time stamps no file time can hold.
  for (int64_t stamp : {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(),
                        int64_t{-11644473600001}, int64_t{-11644473600000}}) {
    SCOPED_TRACE(stamp);
    auto refused = Announce(kPhoneA, 1, "time.bin", 10, stamp, &raw);
    EXPECT_EQ(raw.result, 11001);
    EXPECT_TRUE(refused.need_upload());
  }
  EXPECT_FALSE(std::filesystem::exists(m_work));
  EXPECT_EQ(m_pAssist->JobCount(), 0u);

  const std::string content = RandomBytes(1000, 10);
  const std::string partial = m_work + "/Phone A/Camera/ok.bin.pdl";
  struct Bad {
    int64_t position;
    size_t length;
  } bad[] = {{100, 901}, {-1, 10}, {std::numeric_limits<int64_t>::max() - 10, 100}, {200, 10}};
  uint32_t sequence = 2;
  int64_t held = 0;
  for (const Bad& chunk : bad) {
    SCOPED_TRACE(chunk.position);
    auto first = Announce(kPhoneA, sequence, "ok.bin", 1000, kTimeStamp, &raw);
    ASSERT_EQ(first.start_position(), held);
    if (held == 0) {
      ASSERT_EQ(SendChunk(kPhoneA, sequence, first.file_id(), 1000, 0, content.substr(0, 100)), 0);
      held = 100;
    }
    const std::string before = ReadWholeFile(partial);
    EXPECT_EQ(SendChunk(kPhoneA, sequence, first.file_id(), 1000, chunk.position,
                        std::string(chunk.length, 'z')),
              11001);
    EXPECT_EQ(ReadWholeFile(partial), before);
    EXPECT_EQ(before.substr(0, 100), content.substr(0, 100));
    ++sequence;
  }
  EXPECT_EQ(m_pAssist->Ends().size(), std::size(bad));
}

// Two live uploads that would get one name: the assistant hands out a numbered one, so no
// partial file is ever shared, and another phone's live file is never taken over.
TEST_F(CFileUploadMgrTest, TwoLiveUploadsWithOneNameGetTwoFiles) {
  NamePhone(kPhoneB, u"Phone A");  // both phones write into one folder
  const std::string content = RandomBytes(2 * kChunk, 11);
  const std::string other = RandomBytes(kChunk + 5, 12);
  const int64_t size = static_cast<int64_t>(content.size());
  Reply raw;
  auto a = Announce(kPhoneA, 1, "DCIM/a.jpg", size, kTimeStamp, &raw);
  ASSERT_EQ(SendChunk(kPhoneA, 1, a.file_id(), size, 0, content.substr(0, kChunk)), 0);
  auto b = Announce(kPhoneB, 1, "DCIM/a.jpg", size, kTimeStamp, &raw);
  EXPECT_NE(b.file_id(), a.file_id());
  EXPECT_EQ(b.start_position(), 0);
  auto c =
      Announce(kPhoneA, 2, "Other/a.jpg", static_cast<int64_t>(other.size()), kTimeStamp, &raw);
  ASSERT_TRUE(SendRest(kPhoneB, 1, b.file_id(), content, 0));
  ASSERT_TRUE(SendRest(kPhoneA, 2, c.file_id(), other, 0));
  ASSERT_TRUE(SendRest(kPhoneA, 1, a.file_id(), content, kChunk));
  EXPECT_EQ(EndedPath(0), m_work + "/Phone A/Camera/a(1).jpg");
  EXPECT_EQ(EndedPath(1), m_work + "/Phone A/Camera/a(2).jpg");
  EXPECT_EQ(EndedPath(2), m_work + "/Phone A/Camera/a.jpg");
  EXPECT_EQ(ReadWholeFile(m_work + "/Phone A/Camera/a.jpg"), content);
  EXPECT_EQ(ReadWholeFile(m_work + "/Phone A/Camera/a(1).jpg"), content);
  EXPECT_EQ(ReadWholeFile(m_work + "/Phone A/Camera/a(2).jpg"), other);
}

// ".pdl" belongs to partial files: a phone's own file of that name is kept under "name.pdl_",
// never cut by the next upload of its stem and never resumed with the bytes it holds; a file of
// someone else's at a partial path (no trailer) keeps its name too.
TEST_F(CFileUploadMgrTest, FilesNamedLikePartialFilesAreNeverCutOrResumed) {
  NamePhone(kPhoneB, u"Phone A");  // both phones write into one folder
  const std::string folder = m_work + "/Phone A/Camera/";
  const std::string own = RandomBytes(3000, 20);
  const std::string photo = RandomBytes(5000, 21);
  Upload(kPhoneA, 1, "DCIM/X.jpg.pdl", own);
  Upload(kPhoneA, 2, "DCIM/X.jpg", photo);
  EXPECT_EQ(ReadWholeFile(folder + "X.jpg.pdl_"), own);
  EXPECT_EQ(ReadWholeFile(folder + "X.jpg"), photo);

  // Another phone plants a partial file with a trailer forged for phone A's next file.
  const std::string forged = RandomBytes(100, 22) + Trailer(photo.size(), kTimeStamp + 9, 100, 0);
  Upload(kPhoneB, 3, "DCIM/IMG_9.jpg.PDL", forged);
  EXPECT_EQ(ReadWholeFile(folder + "IMG_9.jpg.PDL_"), forged);
  Upload(kPhoneA, 4, "DCIM/IMG_9.jpg", photo, kTimeStamp + 9);  // expects start position 0
  EXPECT_EQ(ReadWholeFile(folder + "IMG_9.jpg"), photo);

  WriteWholeFile(folder + "Y.jpg.pdl", "the user's notes");
  Upload(kPhoneA, 5, "DCIM/Y.jpg", photo);
  EXPECT_EQ(ReadWholeFile(folder + "Y.jpg.pdl"), "the user's notes");
  EXPECT_EQ(ReadWholeFile(folder + "Y(1).jpg"), photo);
  EXPECT_EQ(ListFiles(folder).size(), 6u);

  // Except the file's own, killed between its last chunk and the rename (no trailer, its size):
  // sent again from the start under its name, nothing left behind.
  WriteWholeFile(folder + "W.jpg.pdl", RandomBytes(photo.size(), 24));
  Upload(kPhoneA, 6, "DCIM/W.jpg", photo);
  EXPECT_EQ(ReadWholeFile(folder + "W.jpg"), photo);
  EXPECT_EQ(ListFiles(folder).size(), 7u);
}

// A complete file whose name another file took meanwhile takes the next free numbered name: it
// counts as done, and the assistant hears the name it got.
TEST_F(CFileUploadMgrTest, ACompleteFileWhoseNameWasTakenGetsTheNextNumber) {
  const std::string content = RandomBytes(2 * kChunk, 23);
  const int64_t size = static_cast<int64_t>(content.size());
  const std::string folder = m_work + "/Phone A/Camera/";
  Reply raw;
  auto first = Announce(kPhoneA, 1, "DCIM/Z.jpg", size, kTimeStamp, &raw);
  ASSERT_EQ(SendChunk(kPhoneA, 1, first.file_id(), size, 0, content.substr(0, kChunk)), 0);
  WriteWholeFile(folder + "Z.jpg", "arrived meanwhile");
  EXPECT_EQ(SendChunk(kPhoneA, 1, first.file_id(), size, kChunk, content.substr(kChunk)), 0);
  EXPECT_EQ(EndedPath(0), folder + "Z(1).jpg");
  EXPECT_EQ(m_pAssist->Ends()[0].error, 0);
  EXPECT_EQ(ReadWholeFile(folder + "Z(1).jpg"), content);
  EXPECT_EQ(ReadWholeFile(folder + "Z.jpg"), "arrived meanwhile");
  EXPECT_FALSE(FileExists(folder + "Z.jpg.pdl"));
  // Announced again, it is there already.
  auto again = Announce(kPhoneA, 2, "DCIM/Z.jpg", size, kTimeStamp, &raw);
  EXPECT_EQ(raw.result, 0);
  EXPECT_FALSE(again.need_upload());
}

// An assistant that answers with a path the library cannot use still hears the end of it.
class NulPathAssist final : public IOrbalynUploadAssist {
 public:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID, void**) override {
    return win32::E_NOINTERFACE;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return 1; }
  win32::HRESULT STDMETHODCALLTYPE QuerySavePath(IOrbalynMessage*,
                                                 win32::BSTR* pSavePath) override {
    *pSavePath = win32::SysAllocStringLen(u"\\tmp\\a\0b.jpg", 12);
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE OnUploadEnd(int, win32::BSTR savePath,
                                               win32::HRESULT error) override {
    ends.push_back({std::u16string(savePath, win32::SysStringLen(savePath)), error});
    return win32::S_OK;
  }
  std::vector<std::pair<std::u16string, win32::HRESULT>> ends;
};

TEST_F(CFileUploadMgrTest, EveryPathHandedOutHearsItsEnd) {
  CFileUploadMgr* pMgr = CFileUploadMgr::Instance();
  NulPathAssist assist;
  pMgr->Unadvise();
  ASSERT_EQ(pMgr->Advise(&assist), win32::S_OK);
  Reply raw;
  auto first = Announce(kPhoneA, 1, "a.jpg", 10, kTimeStamp, &raw);
  EXPECT_EQ(raw.result, 11001);
  EXPECT_TRUE(first.need_upload());
  Barrier();
  pMgr->Unadvise();
  ASSERT_EQ(assist.ends.size(), 1u);
  EXPECT_EQ(assist.ends[0].first, std::u16string(u"\\tmp\\a\0b.jpg", 12));
  EXPECT_EQ(assist.ends[0].second, 123);
  ASSERT_EQ(pMgr->Advise(m_pAssist), win32::S_OK);
}

// Stopping the library tells the assistant of every path it handed out, so a restart names the
// file the same way and resumes it.
TEST_F(CFileUploadMgrTest, StopEndsLiveUploadsAndARestartResumesThem) {
  const std::string content = RandomBytes(3 * kChunk, 13);
  const int64_t size = static_cast<int64_t>(content.size());
  Reply raw;
  auto first = Announce(kPhoneA, 1, "DCIM/a.mov", size, kTimeStamp, &raw);
  ASSERT_EQ(SendChunk(kPhoneA, 1, first.file_id(), size, 0, content.substr(0, kChunk)), 0);
  CFileUploadMgr::Instance()->Stop();
  ASSERT_EQ(m_pAssist->Ends().size(), 1u);
  EXPECT_EQ(m_pAssist->Ends()[0].error, 995);
  EXPECT_EQ(m_pAssist->JobCount(), 0u);
  ASSERT_EQ(CFileUploadMgr::Instance()->Start(), 0);
  auto again = Announce(kPhoneA, 2, "DCIM/a.mov", size, kTimeStamp, &raw);
  EXPECT_EQ(again.start_position(), static_cast<int64_t>(kChunk));
  ASSERT_TRUE(SendRest(kPhoneA, 2, again.file_id(), content, kChunk));
  EXPECT_EQ(EndedPath(1), m_work + "/Phone A/Camera/a.mov");
  EXPECT_EQ(ReadWholeFile(EndedPath(1)), content);
}

// Idle time is measured on a 64-bit clock: the 32-bit tick count wrapping in the middle of an
// upload neither ends it early nor keeps it alive.
TEST(CFileUploadMgrWrapTest, IdleEndAcrossTheTickWrap) {
  const test_common::ProgramResult child =
      test_common::RunChildCase("CFileUploadMgrWrapChildProcess.DISABLED_IdleEndAcrossTheTickWrap",
                                {test_common::TickAtLoadShortOfWrap(5000)});
  EXPECT_TRUE(child.Passed()) << child.output;
}

class CFileUploadMgrWrapChildProcess : public CFileUploadMgrTest {};

TEST_F(CFileUploadMgrWrapChildProcess, DISABLED_IdleEndAcrossTheTickWrap) {
  ASSERT_TRUE(test_common::WaitUntilWrapIn(150));
  CFileUploadMgr::Instance()->SetPeriodsForTesting(20, 1000);
  const std::string content = RandomBytes(30, 14);
  Reply raw;
  auto first = Announce(kPhoneA, 1, "w.bin", 30, kTimeStamp, &raw);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  for (int64_t at = 0; std::chrono::steady_clock::now() < until; ++at) {
    ASSERT_EQ(SendChunk(kPhoneA, 1, first.file_id(), 30, at, content.substr(at, 1)), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // pacing, not waiting
  }
  EXPECT_LT(win32::GetTickCount(), 0x80000000u) << "the counter did not wrap during the upload";
  EXPECT_EQ(m_pAssist->Ends().size(), 0u);
  EndedPath(0);
  EXPECT_EQ(m_pAssist->Ends()[0].error, 258);
}

TEST_F(CFileUploadMgrTest, AssistantRegistrationRules) {
  CFileUploadMgr* pMgr = CFileUploadMgr::Instance();
  EXPECT_EQ(pMgr->Advise(m_pAssist), win32::S_OK);
  EXPECT_EQ(m_pAssist->References(), 2u);
  auto* pOther = new test_common::RecordingUploadAssist(u"\\nowhere", nullptr);
  EXPECT_EQ(pMgr->Advise(pOther), win32::E_FAIL);
  EXPECT_EQ(pMgr->Advise(nullptr), win32::E_FAIL);
  pOther->Release();
  EXPECT_EQ(pMgr->Unadvise(), win32::S_OK);
  EXPECT_EQ(m_pAssist->References(), 1u);
  // Without an assistant nothing is received.
  Reply raw;
  auto first = Announce(kPhoneA, 1, "x.jpg", 10, kTimeStamp, &raw);
  EXPECT_EQ(raw.result, 11001);
  EXPECT_FALSE(first.need_upload());
  EXPECT_TRUE(ListFiles(m_work).empty());
}

// A finished file is reported to the statistics as report 5891.
TEST_F(CFileUploadMgrTest, AFinishedFileIsReported) {
  const std::string library = std::string(LUMIDOCK_BIN_DIR) + "/dadovo.so";
  if (!std::filesystem::exists(library)) GTEST_SKIP() << "dadovo.so not built";
  CReportClientMgr* pClient = GetReportClientMgr();
  ASSERT_EQ(pClient->Init(WindowsFromPosix(std::string(LUMIDOCK_BIN_DIR) + "/dadovo.dll").c_str(),
                          win32::TRUE),
            1);
  Upload(kPhoneA, 1, "DCIM/x.jpg", "abc");
  EndedPath(0);
  while (pClient->UserCountForTesting() > 0) pClient->UnInit(0);

  const std::string spool = ReadWholeFile(m_root + "/statistics/spool.bin");
  std::string tail;
  for (uint64_t value : {uint64_t{3}}) {
    for (int i = 7; i >= 0; --i) tail.push_back(static_cast<char>(value >> (8 * i)));
  }
  for (std::string text : {"x.jpg", "Camera", "DCIM/x.jpg"}) {
    tail.push_back(0);
    tail.push_back(static_cast<char>(text.size() + 1));
    tail += text;
    tail.push_back(0);
  }
  for (int i = 7; i >= 0; --i) tail.push_back(static_cast<char>(uint64_t(kPhoneA) >> (8 * i)));
  ASSERT_GE(spool.size(), tail.size() + 24);
  EXPECT_EQ(spool.substr(spool.size() - tail.size()), tail);
  std::string head("\0\0\0\x02\0\0\0\0", 8);  // relayed, no error
  for (int i = 7; i >= 0; --i) head.push_back(static_cast<char>(uint64_t(kTimeStamp) >> (8 * i)));
  EXPECT_EQ(spool.substr(spool.size() - tail.size() - 24, 16), head);
}

}  // namespace
}  // namespace upload_test
