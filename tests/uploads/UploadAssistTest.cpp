// The test upload assistant: where a file goes, what counts as taken, and that nothing a phone
// sends leads outside the backup folder.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "Logic/PhotoMessage.h"
#include "UploadTestSupport.h"
#include "uimsg.pb.h"

namespace upload_test {
namespace {

constexpr int64_t kTimeStamp = 1600000000789;

class CUploadAssistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "upload-assist-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    m_work = m_root + "/backup";
    WriteWholeFile(m_root + "/sibling/keep.txt", "keep");
    m_pAssist = new CUploadAssist(WindowsFromPosix(m_work), nullptr);
    m_pAssist->SetDeviceName(kPhoneA, u"Phone");
  }
  void TearDown() override {
    EXPECT_EQ(ListFiles(m_root + "/sibling"), std::vector<std::string>{"keep.txt"});
    EXPECT_EQ(m_pAssist->Release(), 0u);
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }

  // QuerySavePath for one file; the answer's path in POSIX form.
  win32::HRESULT Ask(int fileId, const std::string& devicePath, int64_t size, std::string* pPath,
                     const std::string& album = "Camera", const std::string& subPath = "",
                     int64_t deviceId = kPhoneA) {
    protocol::UIUploadFileInfo info;
    info.set_device_id(deviceId);
    info.set_file_id(fileId);
    info.set_file_device_path(devicePath);
    info.set_file_device_subpath(subPath);
    info.set_file_timestamp(kTimeStamp);
    info.set_file_size(size);
    info.set_file_scrc64(0);
    info.set_album_name(album);
    const std::string payload = Serialize(info);
    CPhotoMessage* pMessage =
        new CPhotoMessage(UIMsg_upload_begin, 0, deviceId, payload.data(), payload.size());
    win32::BSTR path = nullptr;
    win32::HRESULT result = m_pAssist->QuerySavePath(pMessage, &path);
    pMessage->Release();
    *pPath = path ? PosixFromWindows(std::u16string(path)) : "<null>";
    win32::SysFreeString(path);
    return result;
  }
  // A finished file with the time stamp of the tests.
  void PutFile(const std::string& path, const std::string& content) {
    WriteWholeFile(path, content);
    struct timespec times[2] = {{0, UTIME_OMIT},
                                {kTimeStamp / 1000, (kTimeStamp % 1000) * 1000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  std::string m_root;
  std::string m_work;
  CUploadAssist* m_pAssist = nullptr;
};

// Every phone-given part is cleaned on its own: the file always lands below
// <backup>/<phone>/..., and the sub-path keeps its folders.
TEST_F(CUploadAssistTest, PhoneGivenNamesStayInsideTheBackupFolder) {
  struct Case {
    std::string album;
    std::string subPath;
    std::string devicePath;
    std::string expected;  // below m_work
  } cases[] = {
      {"../../sibling", "", "a.jpg", "/Phone/.._.._sibling/a.jpg"},
      {"..", "../../sibling/x", "DCIM/a.jpg", "/Phone/sibling/x/a.jpg"},
      {"Camera", "..\\..\\y/./z", "DCIM\\b.jpg", "/Phone/Camera/y/z/b.jpg"},
      {"Camera", "/abs", "c.jpg", "/Phone/Camera/abs/c.jpg"},
      {"Camera", "C:\\x", "d.jpg", "/Phone/Camera/C_/x/d.jpg"},
      {"", "",
       std::string("e\x01"
                   "f\0g.jpg",
                   9),
       "/Phone/e_fg.jpg"},
      // NULs and bidirectional controls go; ".pdl" names are not partial files.
      {"Cam\u202Eera", "a\u2066b", "x\u202Egpj.exe", "/Phone/Camera/ab/xgpj.exe"},
      {"", "", "DCIM/X.jpg.pdl", "/Phone/X.jpg.pdl_"},
      {"", "", "Y.PdL", "/Phone/Y.PdL_"},
      {"", "", "Z.pdl_", "/Phone/Z.pdl_"},
      {"A/B", "", "../../../h.jpg", "/Phone/A_B/h.jpg"},
  };
  int fileId = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    std::string path;
    EXPECT_EQ(Ask(fileId++, c.devicePath, 10, &path, c.album, c.subPath), win32::S_OK);
    EXPECT_EQ(path, m_work + c.expected);
  }
  m_pAssist->SetDeviceName(kPhoneB, u"../p");
  std::string path;
  EXPECT_EQ(Ask(fileId++, "i.jpg", 10, &path, "Camera", "", kPhoneB), win32::S_OK);
  EXPECT_EQ(path, m_work + "/.._p/Camera/i.jpg");

  // No file name left, no phone name: refused with an empty path.
  for (const char* devicePath : {"DCIM/..", "DCIM/", ".", ""}) {
    SCOPED_TRACE(devicePath);
    EXPECT_EQ(Ask(fileId++, devicePath, 10, &path), win32::E_FAIL);
    EXPECT_EQ(path, "");
  }
  EXPECT_EQ(Ask(fileId++, "j.jpg", 10, &path, "Camera", "", 42), win32::E_FAIL);
}

TEST_F(CUploadAssistTest, NeverFollowsALinkOutOfTheBackupFolder) {
  std::filesystem::create_directories(m_work + "/Phone");
  std::filesystem::create_directory_symlink(m_root + "/sibling", m_work + "/Phone/Linked");
  std::string path;
  EXPECT_EQ(Ask(1, "a.jpg", 10, &path, "Linked"), 5);  // access denied
  EXPECT_EQ(path, "");
  // A link in place of the file or its partial file is taken, never written through.
  std::filesystem::create_directories(m_work + "/Phone/Camera");
  std::filesystem::create_symlink(m_root + "/sibling/keep.txt", m_work + "/Phone/Camera/b.jpg");
  std::filesystem::create_symlink(m_root + "/sibling/keep.txt",
                                  m_work + "/Phone/Camera/b(1).jpg.pdl");
  EXPECT_EQ(Ask(2, "b.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, m_work + "/Phone/Camera/b(2).jpg");
}

// Taken: another file, a name handed out for a live upload, another file's partial file. Not
// taken: this file's own partial file (a resume). The same file already there is skipped.
TEST_F(CUploadAssistTest, NumbersNamesWhileTheyAreTaken) {
  const std::string folder = m_work + "/Phone/Camera/";
  std::string path;
  EXPECT_EQ(Ask(1, "DCIM/a.jpg", 10, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a.jpg");
  EXPECT_EQ(Ask(2, "DCIM/a.jpg", 20, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a(1).jpg");
  WriteWholeFile(folder + "a(2).jpg.pdl", RandomBytes(50, 1) + Trailer(99, kTimeStamp, 50, 0));
  EXPECT_EQ(Ask(3, "DCIM/a.jpg", 30, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a(3).jpg");
  // A file without a trailer at a partial path is not ours to cut: its name is taken.
  WriteWholeFile(folder + "t.jpg.pdl", RandomBytes(80, 3));
  EXPECT_EQ(Ask(9, "DCIM/t.jpg", 60, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "t(1).jpg");
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
  EXPECT_EQ(path, "");  // the same file: skipped
  EXPECT_EQ(Ask(6, "b.jpg", 6, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "b(1).jpg");
  PutFile(folder + "README", "x");
  PutFile(folder + "a.b.jpg", "x");
  EXPECT_EQ(Ask(7, "README", 9, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "README(1)");
  EXPECT_EQ(Ask(8, "a.b.jpg", 9, &path), win32::S_OK);
  EXPECT_EQ(path, folder + "a.b(1).jpg");
  EXPECT_EQ(m_pAssist->JobCount(), 8u);
}

TEST_F(CUploadAssistTest, ShortensALongNameSoNumberAndPartialSuffixStillFit) {
  const std::string longName = std::string(250, 'n') + ".jpeg";
  std::string path;
  EXPECT_EQ(Ask(1, longName, 10, &path), win32::S_OK);
  const std::string name = std::filesystem::path(path).filename().string();
  EXPECT_EQ(name.size(), 255u - CUploadAssist::kFileNameReserve);
  EXPECT_EQ(name.substr(name.size() - 5), ".jpeg");
  EXPECT_EQ(Ask(2, longName, 11, &path), win32::S_OK);
  PutFile(path + ".pdl", "x");  // the longest file name the uploads make
  EXPECT_TRUE(FileExists(path + ".pdl"));
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
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  const std::string name = std::filesystem::path(path).filename().string();
  EXPECT_LE(name.size() + 4, 255u);  // room for ".pdl"
  EXPECT_EQ(name.substr(0, 3), "_xx");
  EXPECT_EQ(name.substr(name.size() - 8), "(19).jpg");
}

TEST_F(CUploadAssistTest, BadQuestionsAreRefused) {
  win32::BSTR path = reinterpret_cast<win32::BSTR>(0x1);
  EXPECT_EQ(m_pAssist->QuerySavePath(nullptr, &path), 13);
  CPhotoMessage* pGarbage = new CPhotoMessage(UIMsg_upload_begin, 0, kPhoneA, "\x08", 1);
  EXPECT_EQ(m_pAssist->QuerySavePath(pGarbage, &path), 13);
  pGarbage->Release();
  EXPECT_EQ(path, reinterpret_cast<win32::BSTR>(0x1));  // untouched
  EXPECT_EQ(m_pAssist->OnUploadEnd(77, nullptr, 0), win32::E_FAIL);
  void* pObject = nullptr;
  EXPECT_EQ(m_pAssist->QueryInterface(IID_IOrbalynUploader, &pObject), win32::E_NOINTERFACE);
  EXPECT_EQ(m_pAssist->QueryInterface(IID_IOrbalynUploadAssist, &pObject), win32::S_OK);
  EXPECT_EQ(pObject, static_cast<IOrbalynUploadAssist*>(m_pAssist));
  EXPECT_EQ(m_pAssist->Release(), 1u);
}

}  // namespace
}  // namespace upload_test
