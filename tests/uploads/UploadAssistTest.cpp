// The program's upload assistant on real files: where a file goes, what counts as taken, the
// answers of every failure, and that nothing a phone sends leads outside the backup folder. The
// backup folder is "D:\Lumidock", with D: a folder of the sandbox (LUMIDOCK_DRIVES).

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "BackupFolder.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoMessage.h"
#include "UploadAssistCore.h"
#include "UploadBeginRecords.h"
#include "UploadTestSupport.h"
#include "uimsg.pb.h"
#include "win32/file.h"

namespace upload_test {
namespace {

constexpr int64_t kTimeStamp = 1600000000789;
constexpr char16_t kWorkDir[] = u"D:\\Lumidock";

struct Question {
  int fileId = 1;
  std::string devicePath = "DCIM/a.jpg";
  int64_t size = 10;
  std::string album = "Camera";
  std::string subPath;
  int64_t deviceId = kPhoneA;
  int64_t timeStamp = kTimeStamp;
  std::string filePath;
};

std::string Payload(const Question& q) {
  protocol::UIUploadFileInfo info;
  info.set_device_id(q.deviceId);
  info.set_file_id(q.fileId);
  info.set_file_device_path(q.devicePath);
  info.set_file_device_subpath(q.subPath);
  info.set_file_timestamp(q.timeStamp);
  info.set_file_size(q.size);
  info.set_file_scrc64(0);
  info.set_album_name(q.album);
  if (!q.filePath.empty()) info.set_file_path(q.filePath);
  return Serialize(info);
}

class CUploadAssistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = test_files::MakeTempFolder("upload-assist");
    ASSERT_FALSE(m_root.empty());
    m_drive = m_root + "/drives/D";
    std::filesystem::create_directories(m_root + "/drives/C");
    std::filesystem::create_directories(m_drive);
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    setenv("LUMIDOCK_DRIVES", ("C=" + m_root + "/drives/C;D=" + m_drive).c_str(), 1);
    m_work = m_drive + "/Lumidock";
    WriteWholeFile(m_root + "/sibling/keep.txt", "keep");
    CPhotoDb::Instance()->ResetForTesting();
    NamePhone(kPhoneA, u"Phone");
    m_pAssist = std::make_unique<CUploadAssistCore>(kWorkDir, [this] { return m_pStore; });
  }
  void TearDown() override {
    m_pAssist.reset();
    EXPECT_EQ(ListFiles(m_root + "/sibling"), std::vector<std::string>{"keep.txt"});
    CPhotoDb::Instance()->ResetForTesting();
    unsetenv("LUMIDOCK_DRIVES");
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }

  // QuerySavePath for one file; the answer's path in POSIX form ("<null>" when none was
  // written, "<untouched>" when the out-string kept its value).
  win32::HRESULT Ask(const Question& q, std::string* pPath) {
    const std::string payload = Payload(q);
    CPhotoMessage* pMessage =
        new CPhotoMessage(UIMsg_upload_begin, 0, q.deviceId, payload.data(), payload.size());
    win32::BSTR path = kUntouched;
    win32::HRESULT result = m_pAssist->QuerySavePath(pMessage, &path);
    pMessage->Release();
    if (path == kUntouched) {
      *pPath = "<untouched>";
      return result;
    }
    *pPath = path ? PosixOf(std::u16string(path, win32::SysStringLen(path))) : "<null>";
    win32::SysFreeString(path);
    return result;
  }
  win32::HRESULT Ask(int fileId, const std::string& devicePath, int64_t size, std::string* pPath,
                     const std::string& album = "Camera", const std::string& subPath = "") {
    Question q;
    q.fileId = fileId;
    q.devicePath = devicePath;
    q.size = size;
    q.album = album;
    q.subPath = subPath;
    return Ask(q, pPath);
  }
  // "D:\x" as the file behind it; other paths as they are.
  std::string PosixOf(const std::u16string& path) const {
    std::string posix = PosixFromWindows(path);
    if (posix.rfind("D:/", 0) == 0) posix = m_drive + posix.substr(2);
    return posix;
  }
  // A finished file with the given last-write time.
  static void PutFile(const std::string& path, const std::string& content,
                      int64_t timeStamp = kTimeStamp) {
    WriteWholeFile(path, content);
    struct timespec times[2] = {{0, UTIME_OMIT}, {timeStamp / 1000, (timeStamp % 1000) * 1000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  static inline const win32::BSTR kUntouched = reinterpret_cast<win32::BSTR>(0x1);
  std::string m_root;
  std::string m_drive;
  std::string m_work;  // POSIX form of kWorkDir
  IOrbalynDB* m_pStore = CPhotoDb::Instance();
  std::unique_ptr<CUploadAssistCore> m_pAssist;
};

// Every phone-given part is cleaned on its own: the file always lands below
// <backup>\<phone>\..., the sub-path keeps its folders, an empty album leaves its separator.
TEST_F(CUploadAssistTest, PhoneGivenNamesStayInsideTheBackupFolder) {
  struct Case {
    std::string album;
    std::string subPath;
    std::string devicePath;
    std::string expected;  // below m_work
  } cases[] = {
      {"../../sibling", "", "a.jpg", "/Phone/.._.._sibling/a.jpg"},
      {"..", "../../sibling/x", "DCIM/a.jpg", "/Phone//sibling/x/a.jpg"},
      {"Camera", "..\\..\\y/./z", "DCIM\\b.jpg", "/Phone/Camera/y/z/b.jpg"},
      {"Camera", "/abs", "c.jpg", "/Phone/Camera/abs/c.jpg"},
      {"Camera", "C:\\x", "d.jpg", "/Phone/Camera/C_/x/d.jpg"},
      {"D:", "", "D:\\e.jpg", "/Phone/D_/e.jpg"},
      {"", "",
       std::string("e\x01"
                   "f\0g.jpg",
                   9),
       "/Phone//e_fg.jpg"},
      // NULs and bidirectional controls go; ".pdl" names are not partial files.
      {"Cam\u202Eera", "a\u2066b", "x\u202Egpj.exe", "/Phone/Camera/ab/xgpj.exe"},
      {"", "", "DCIM/X.jpg.pdl", "/Phone//X.jpg.pdl_"},
      {"", "", "Y.PdL", "/Phone//Y.PdL_"},
      {"", "", "Z.pdl_", "/Phone//Z.pdl_"},
      {"A/B", "", "../../../h.jpg", "/Phone/A_B/h.jpg"},
      {"Camera", "", "a/b\\c.jpg", "/Phone/Camera/b_c.jpg"},
  };
  int fileId = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    std::string path;
    EXPECT_EQ(Ask(fileId++, c.devicePath, 10, &path, c.album, c.subPath), win32::S_OK);
    EXPECT_EQ(path, m_work + c.expected);
  }
  NamePhone(kPhoneB, u"../p");
  Question q;
  q.fileId = fileId++;
  q.deviceId = kPhoneB;
  q.devicePath = "i.jpg";
  std::string path;
  EXPECT_EQ(Ask(q, &path), win32::S_OK);
  EXPECT_EQ(path, m_work + "/.._p/Camera/i.jpg");
  EXPECT_EQ(backup_folder::PhoneFolderName(u"../p"), u".._p");
  EXPECT_TRUE(FileExists(m_work + "/.._p/Camera"));
  // A name of dots alone is legal: its dots become "_", inside, the folder the photo page shows.
  for (const auto& [name, folder] : {std::pair{u"..", "/__"}, {u".", "/_"}, {u"\u202E..", "/__"}}) {
    NamePhone(kPhoneB, name);
    q.fileId = fileId++;
    EXPECT_EQ(Ask(q, &path), win32::S_OK);
    EXPECT_EQ(path, m_work + folder + "/Camera/i.jpg");
    EXPECT_EQ(m_pAssist->OnUploadEnd(q.fileId, nullptr, win32::S_OK), win32::S_OK);
    EXPECT_EQ(PosixOf(backup_folder::PhoneFolder(u"D:\\Lumidock\\", name)), m_work + folder);
  }

  // No file name left: refused with an empty path.
  for (const char* devicePath : {"DCIM/..", "DCIM/", ".", "", "\xE2\x80\xAE"}) {
    SCOPED_TRACE(devicePath);
    EXPECT_EQ(Ask(fileId++, devicePath, 10, &path), win32::E_FAIL);
    EXPECT_EQ(path, "");
  }
}

TEST_F(CUploadAssistTest, NeverFollowsALinkBelowTheBackupFolder) {
  std::filesystem::create_directories(m_work + "/Phone");
  std::filesystem::create_directory_symlink(m_root + "/sibling", m_work + "/Phone/Linked");
  std::string path;
  EXPECT_EQ(Ask(1, "a.jpg", 10, &path, "Linked"), 5);  // access denied
  EXPECT_EQ(path, "");
  EXPECT_EQ(Ask(2, "a.jpg", 10, &path, "Camera", "in/Linked/deeper"), win32::S_OK);
  EXPECT_EQ(path, m_work + "/Phone/Camera/in/Linked/deeper/a.jpg");
  std::filesystem::create_directory_symlink(m_root + "/sibling", m_work + "/Phone/Camera/s");
  EXPECT_EQ(Ask(3, "a.jpg", 10, &path, "Camera", "s/t"), 5);
  // A dangling link is a link too.
  std::filesystem::create_directory_symlink(m_root + "/nowhere", m_work + "/Phone/Gone");
  EXPECT_EQ(Ask(4, "a.jpg", 10, &path, "Gone"), 5);
  EXPECT_FALSE(FileExists(m_root + "/nowhere"));
  // A link in place of the file or its partial file is taken, never written through.
  std::filesystem::create_symlink(m_root + "/sibling/keep.txt", m_work + "/Phone/Camera/b.jpg");
  std::filesystem::create_symlink(m_root + "/sibling/keep.txt",
                                  m_work + "/Phone/Camera/b(1).jpg.pdl");
  std::filesystem::create_directories(m_work + "/Phone/Camera/b(2).jpg");
  EXPECT_EQ(Ask(5, "b.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, m_work + "/Phone/Camera/b(3).jpg");
  // The phone's own folder may not be a link either; the backup folder itself may.
  std::filesystem::create_directory_symlink(m_root + "/sibling", m_work + "/Other");
  NamePhone(kPhoneB, u"Other");
  Question q;
  q.fileId = 6;
  q.deviceId = kPhoneB;
  EXPECT_EQ(Ask(q, &path), 5);
  std::filesystem::create_directories(m_root + "/real");
  std::filesystem::create_directory_symlink(m_root + "/real", m_drive + "/Linked");
  m_pAssist->SetWorkDir(u"D:\\Linked");
  EXPECT_EQ(Ask(7, "c.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, m_drive + "/Linked/Phone/Camera/c.jpg");
  EXPECT_TRUE(FileExists(m_root + "/real/Phone/Camera"));
}

// Taken: another file, a name handed out for a live upload, another file's partial file, a file
// at the partial path without a trailer. Not taken: this file's own partial file (a resume),
// also one finished but not yet renamed.
// The same file already there is skipped.
TEST_F(CUploadAssistTest, NumbersNamesWhileTheyAreTaken) {
  const std::string folder = m_work + "/Phone/Camera/";
  std::string path;
  EXPECT_EQ(Ask(1, "DCIM/a.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a.jpg");
  EXPECT_EQ(Ask(2, "DCIM/a.jpg", 20, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a(1).jpg");
  // The same file id asked again replaces its job and keeps its name.
  EXPECT_EQ(Ask(2, "DCIM/a.jpg", 20, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a(1).jpg");
  WriteWholeFile(folder + "a(2).jpg.pdl", RandomBytes(50, 1) + Trailer(99, kTimeStamp, 50, 0));
  EXPECT_EQ(Ask(3, "DCIM/a.jpg", 30, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a(3).jpg");
  WriteWholeFile(folder + "t.jpg.pdl", RandomBytes(100, 3));
  EXPECT_EQ(Ask(9, "DCIM/t.jpg", 60, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "t(1).jpg");
  // The file's size (and what is left of an old trailer) without a trailer: this file's own,
  // finished before a kill took the rename; sent again under its name.
  WriteWholeFile(folder + "v.jpg.pdl", RandomBytes(60 + 16, 6));
  EXPECT_EQ(Ask(11, "DCIM/v.jpg", 60, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "v.jpg");
  // One a cut chunk write left (a whole trailer before a torn end) is this file's to resume.
  WriteWholeFile(folder + "u.jpg.pdl",
                 RandomBytes(50, 4) + Trailer(70, kTimeStamp, 50, 0) + RandomBytes(7, 5));
  EXPECT_EQ(Ask(10, "DCIM/u.jpg", 70, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "u.jpg");

  // Once the first upload ended, its partial file is resumed under its name.
  EXPECT_EQ(m_pAssist->OnUploadEnd(1, nullptr, 0), win32::S_OK);
  EXPECT_EQ(m_pAssist->OnUploadEnd(1, nullptr, 0), win32::E_FAIL);
  WriteWholeFile(folder + "a.jpg.pdl", RandomBytes(5, 2) + Trailer(10, kTimeStamp, 5, 0));
  EXPECT_EQ(Ask(4, "DCIM/a.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a.jpg");

  PutFile(folder + "b.jpg", "12345");
  EXPECT_EQ(Ask(5, "b.jpg", 5, &path), win32::S_OK);
  EXPECT_EQ(path, "");  // the same file: skipped, an empty string rather than none
  EXPECT_EQ(Ask(6, "b.jpg", 6, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "b(1).jpg");
  PutFile(folder + "README", "x");
  PutFile(folder + "a.b.jpg", "x");
  EXPECT_EQ(Ask(7, "README", 9, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "README(1)");
  EXPECT_EQ(Ask(8, "a.b.jpg", 9, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a.b(1).jpg");
  EXPECT_EQ(m_pAssist->JobCountForTesting(), 9u);

  // An empty album names the phone's folder with a doubled separator; the same file reached
  // either way is still held.
  EXPECT_EQ(Ask(11, "c.jpg", 10, &path, "", "Camera"), win32::S_OK);
  EXPECT_EQ(path, m_work + "/Phone//Camera/c.jpg");
  EXPECT_EQ(Ask(12, "c.jpg", 11, &path, "Camera"), win32::S_OK);
  EXPECT_EQ(path, folder + "c(1).jpg");
}

// The same file only with the size and the last-write time to the exact millisecond.
TEST_F(CUploadAssistTest, SameFileNeedsTheExactMillisecond) {
  const std::string folder = m_work + "/Phone/Camera/";
  std::filesystem::create_directories(folder);
  PutFile(folder + "early.jpg", "0123456789", kTimeStamp - 1);
  PutFile(folder + "late.jpg", "0123456789", kTimeStamp + 1);
  PutFile(folder + "same.jpg", "0123456789", kTimeStamp);
  PutFile(folder + "old.jpg", "0123456789", -1000);  // before 1970
  std::string path;
  EXPECT_EQ(Ask(1, "early.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "early(1).jpg");
  EXPECT_EQ(Ask(2, "late.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "late(1).jpg");
  EXPECT_EQ(Ask(3, "same.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, "");
  EXPECT_EQ(Ask(4, "same.jpg", 11, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "same(1).jpg");
  Question q;
  q.fileId = 5;
  q.devicePath = "old.jpg";
  q.timeStamp = -1000;
  EXPECT_EQ(Ask(q, &path), win32::S_OK);
  EXPECT_EQ(path, "");
  EXPECT_EQ(m_pAssist->JobCountForTesting(), 3u);
}

// The failure table: a bad question leaves the out-string alone; every other failure writes an
// empty string and keeps the jobs as they were.
TEST_F(CUploadAssistTest, FailuresAnswerAsTheTableSays) {
  win32::BSTR path = kUntouched;
  EXPECT_EQ(m_pAssist->QuerySavePath(nullptr, &path), 13);
  CPhotoMessage* pGarbage = new CPhotoMessage(UIMsg_upload_begin, 0, kPhoneA, "\x08", 1);
  EXPECT_EQ(m_pAssist->QuerySavePath(pGarbage, &path), 13);
  pGarbage->Release();
  protocol::UIUploadFileInfo partial;  // required fields missing
  partial.set_device_id(kPhoneA);
  partial.set_file_device_path("a.jpg");
  const std::string incomplete = partial.SerializePartialAsString();
  CPhotoMessage* pIncomplete =
      new CPhotoMessage(UIMsg_upload_begin, 0, kPhoneA, incomplete.data(), incomplete.size());
  EXPECT_EQ(m_pAssist->QuerySavePath(pIncomplete, &path), 13);
  pIncomplete->Release();
  EXPECT_EQ(path, kUntouched);

  std::string answer;
  EXPECT_EQ(Ask(1, "keep.jpg", 10, &answer), win32::S_OK);
  ASSERT_EQ(m_pAssist->JobCountForTesting(), 1u);

  Question unknown;
  unknown.fileId = 2;
  unknown.deviceId = 42;
  EXPECT_EQ(Ask(unknown, &answer), win32::E_FAIL);
  EXPECT_EQ(answer, "");
  NamePhone(kPhoneB, u"");
  Question unnamed;
  unnamed.fileId = 3;
  unnamed.deviceId = kPhoneB;
  EXPECT_EQ(Ask(unnamed, &answer), win32::E_FAIL);
  NamePhone(kPhoneB, u"\u202E");  // nothing left once cleaned
  EXPECT_EQ(Ask(unnamed, &answer), win32::E_FAIL);
  EXPECT_EQ(Ask(4, "", 10, &answer), win32::E_FAIL);

  // A file where a folder must go: the error the creation left.
  WriteWholeFile(m_work + "/Phone/Blocked", "x");
  EXPECT_EQ(Ask(5, "a.jpg", 10, &answer, "Blocked"), 183);
  EXPECT_EQ(answer, "");
  EXPECT_EQ(Ask(6, "a.jpg", 10, &answer, "Camera", "x/Blocked2/y"), win32::S_OK);
  // No usable work dir: a letter naming nothing, a relative folder, none at all.
  for (const char16_t* pFolder : {u"Q:\\Lumidock", u"D:", u"Lumidock", u"", u"\\"}) {
    m_pAssist->SetWorkDir(pFolder);
    EXPECT_NE(Ask(7, "a.jpg", 10, &answer), win32::S_OK);
    EXPECT_EQ(answer, "");
  }
  m_pAssist->SetWorkDir(nullptr);
  EXPECT_NE(Ask(7, "a.jpg", 10, &answer), win32::S_OK);
  EXPECT_FALSE(FileExists(m_root + "/drives/C/Phone"));
  EXPECT_FALSE(FileExists("/Phone"));
  // No store at all.
  m_pAssist->SetWorkDir(kWorkDir);
  m_pStore = nullptr;
  EXPECT_EQ(Ask(8, "a.jpg", 10, &answer), win32::E_FAIL);
  EXPECT_EQ(answer, "");
  EXPECT_EQ(m_pAssist->JobCountForTesting(), 2u);  // 1 and 6

  EXPECT_EQ(m_pAssist->OnUploadEnd(77, nullptr, 0), win32::E_FAIL);
  EXPECT_EQ(m_pAssist->QuerySavePath(nullptr, nullptr), 13);
  void* pObject = nullptr;
  EXPECT_EQ(m_pAssist->QueryInterface(IID_IOrbalynUploader, &pObject), win32::E_NOINTERFACE);
  EXPECT_EQ(m_pAssist->QueryInterface(IID_IOrbalynUploadAssist, &pObject), win32::S_OK);
  EXPECT_EQ(pObject, static_cast<IOrbalynUploadAssist*>(m_pAssist.get()));
  EXPECT_EQ(m_pAssist->QueryInterface(win32::IID_IUnknown, &pObject), win32::S_OK);
  EXPECT_EQ(m_pAssist->AddRef(), 1u);
  EXPECT_EQ(m_pAssist->Release(), 1u);
}

TEST_F(CUploadAssistTest, NumberedSearchEndsAtItsBound) {
  const std::string folder = m_work + "/Phone/Camera/";
  std::filesystem::create_directories(folder);
  auto touch = [](const std::string& path) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  };
  touch(folder + "a.jpg");
  for (int n = 1; n < CUploadAssistCore::kMaxNumber; ++n) {
    touch(folder + "a(" + std::to_string(n) + ").jpg");
  }
  std::string path;
  EXPECT_EQ(Ask(1, "a.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a(10000).jpg");
  touch(folder + "a(10000).jpg");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(2, "a.jpg", 10, &path), win32::E_FAIL);
  EXPECT_EQ(path, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(FileExists(folder + "a(10001).jpg"));
}

TEST_F(CUploadAssistTest, ShortensALongNameSoNumberAndPartialSuffixStillFit) {
  const std::string longName = std::string(250, 'n') + ".jpeg";
  std::string path;
  EXPECT_EQ(Ask(1, longName, 10, &path), win32::S_OK);
  const std::string name = std::filesystem::path(path).filename().string();
  EXPECT_EQ(name.size(), 255u - CUploadAssistCore::kFileNameReserve);
  EXPECT_EQ(name.substr(name.size() - 5), ".jpeg");
  EXPECT_EQ(Ask(2, longName, 11, &path), win32::S_OK);
  PutFile(path + ".pdl", "x");  // the longest file name the uploads make
  EXPECT_TRUE(FileExists(path + ".pdl"));
  // Multi-byte names are cut at a character, and a long album at its own limit.
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xE5\x9B\xBE";  // 600 bytes
  EXPECT_EQ(Ask(3, wide + ".jpg", 10, &path, wide), win32::S_OK);
  const std::filesystem::path saved(path);
  EXPECT_LE(saved.filename().string().size(), 255u - CUploadAssistCore::kFileNameReserve);
  EXPECT_LE(saved.parent_path().filename().string().size(), 255u);
  EXPECT_EQ(saved.filename().string().size() % 3, 4u % 3);  // whole characters and ".jpg"
}

// A hostile length is cut in one pass before anything else looks at it: no time grows with the
// square of the name.
TEST_F(CUploadAssistTest, AVeryLongNameIsCutAtOnce) {
  std::string longName(60000, 'x');
  for (size_t i = 0; i < longName.size(); i += 3) longName[i] = '\x01';
  longName = "\xE2\x80\xAE" + longName + ".jpg";
  const auto start = std::chrono::steady_clock::now();
  std::string path;
  for (int fileId = 1; fileId <= 20; ++fileId) {
    ASSERT_EQ(Ask(fileId, "DCIM/" + longName, 10 + fileId, &path, longName, longName), win32::S_OK);
  }
  // Linear, this takes well under a second (under 3 s with ASan at full load); the square of
  // 60,000 characters would take minutes.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  const std::string name = std::filesystem::path(path).filename().string();
  EXPECT_LE(name.size() + 4, 255u);  // room for ".pdl"
  EXPECT_EQ(name.substr(0, 3), "_xx");
  EXPECT_EQ(name.substr(name.size() - 8), "(19).jpg");
}

// The work dir changes on another thread while questions run: each answer lies wholly under
// one of the two folders.
TEST_F(CUploadAssistTest, WorkDirChangesWhileQuestionsRun) {
  std::atomic<bool> stop{false};
  m_pAssist->SetWorkDir(u"D:\\Two");
  std::thread changer([&] {
    for (int i = 0; !stop; ++i) m_pAssist->SetWorkDir(i % 2 ? u"D:\\One" : u"D:\\Two");
  });
  std::string path;
  for (int fileId = 1; fileId <= 100; ++fileId) {
    ASSERT_EQ(Ask(fileId, "f" + std::to_string(fileId) + ".jpg", 10, &path), win32::S_OK);
    const bool inOne = path.rfind(m_drive + "/One/Phone/Camera/f", 0) == 0;
    const bool inTwo = path.rfind(m_drive + "/Two/Phone/Camera/f", 0) == 0;
    EXPECT_TRUE(inOne || inTwo) << path;
  }
  stop = true;
  changer.join();
}

// The seam the photo page shares: folders made with their parents, a file in the way refused.
TEST_F(CUploadAssistTest, CreateDirectoryTreeMakesEveryParent) {
  using backup_folder::CreateDirectoryTree;
  EXPECT_TRUE(CreateDirectoryTree(u"D:\\a\\b\\c"));
  EXPECT_TRUE(FileExists(m_drive + "/a/b/c"));
  EXPECT_TRUE(CreateDirectoryTree(u"D:\\a\\b/c\\"));
  EXPECT_TRUE(CreateDirectoryTree(u"D:\\"));
  WriteWholeFile(m_drive + "/file", "x");
  EXPECT_FALSE(CreateDirectoryTree(u"D:\\file"));
  EXPECT_EQ(win32::GetLastError(), 183u);
  EXPECT_FALSE(CreateDirectoryTree(u"D:\\file\\below"));
  EXPECT_FALSE(CreateDirectoryTree(u"Q:\\x"));
  EXPECT_FALSE(CreateDirectoryTree(u""));
  std::u16string deep = u"D:\\deep";
  for (int i = 0; i < 1000; ++i) deep += u"\\d";
  EXPECT_TRUE(CreateDirectoryTree(deep));
}

// The main window's upload-begin records: one per file id, gone at the file's end whatever it
// was, handed back only for a file that arrived.
TEST(CUploadBeginRecordsTest, RecordsLiveFromBeginToEnd) {
  CUploadBeginRecords records;
  auto begin = [&](int fileId, const std::string& filePath) {
    Question q;
    q.fileId = fileId;
    q.filePath = filePath;
    const std::string payload = Payload(q);
    CPhotoMessage* pMessage =
        new CPhotoMessage(UIMsg_upload_begin, 0, kPhoneA, payload.data(), payload.size());
    records.OnUploadBegin(pMessage);
    pMessage->Release();
  };
  begin(1, "/x/1.jpg");
  begin(2, "/x/2.jpg");
  begin(1, "/x/1-again.jpg");
  CPhotoMessage* pGarbage = new CPhotoMessage(UIMsg_upload_begin, 0, kPhoneA, "\x08", 1);
  records.OnUploadBegin(pGarbage);
  pGarbage->Release();
  records.OnUploadBegin(nullptr);
  EXPECT_EQ(records.Count(), 2u);

  UploadBeginRecord record;
  EXPECT_FALSE(records.OnUploadResult(2, 995, &record));
  EXPECT_EQ(records.Count(), 1u);
  EXPECT_FALSE(records.OnUploadResult(2, 0, &record));
  EXPECT_TRUE(records.OnUploadResult(1, 0, &record));
  EXPECT_EQ(record.fileId, 1);
  EXPECT_EQ(record.deviceId, kPhoneA);
  EXPECT_EQ(record.filePath, u"/x/1-again.jpg");
  EXPECT_EQ(records.Count(), 0u);
}

}  // namespace
}  // namespace upload_test
