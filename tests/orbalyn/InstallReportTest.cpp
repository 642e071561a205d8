// The installer's and the uninstaller's exports: each leaves one report in the statistics
// spool, and the calling program is an authorised application of the firewall exactly while
// the report is sent (the stand-in's registry history shows the add and the remove).

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "OrbalynTestSupport.h"
#include "win32/com.h"
#include "win32/module_name.h"
#include "win32/netfw.h"
#include "win32/oleauto.h"
#include "win32/profile.h"

namespace orbalyn_test {
namespace {

constexpr uint16_t kReportInstall = 5908;
constexpr uint16_t kReportUninstall = 5909;

class InstallReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_library.Load());
    m_doInstall = m_library.Export<DoInstallReportFn>(kDoInstallReportName);
    m_doUninstall = m_library.Export<DoUninstallReportFn>(kDoUninstallReportName);
    ASSERT_NE(m_doInstall, nullptr);
    ASSERT_NE(m_doUninstall, nullptr);
    win32::WCHAR path[4096] = {};
    win32::DWORD length = win32::GetModuleFileNameW(nullptr, path, 4096);
    ASSERT_GT(length, 0u);
    m_programPath.assign(path, length);
    m_domainBefore = FirewallHistory(u"Domain").size();
    m_standardBefore = FirewallHistory(u"Standard").size();
    m_reportsBefore = ReadSpool().size();
  }
  void TearDown() override { m_library.Unload(); }

  // The history entries each profile gained since SetUp.
  std::vector<std::u16string> NewEntries(const char16_t* pProfile, size_t before) {
    std::vector<std::u16string> history = FirewallHistory(pProfile);
    if (history.size() < before) return {};
    return std::vector<std::u16string>(history.begin() + static_cast<long>(before), history.end());
  }

  std::vector<SpoolReport> NewReports(uint16_t command) {
    std::vector<SpoolReport> all = ReadSpool();
    std::vector<SpoolReport> found;
    for (size_t i = m_reportsBefore; i < all.size(); ++i) {
      if (all[i].command == command) found.push_back(all[i]);
    }
    return found;
  }

  void ExpectAddedAndRemovedOnce() {
    std::vector<std::u16string> both = {u"add " + m_programPath, u"remove " + m_programPath};
    EXPECT_EQ(NewEntries(u"Domain", m_domainBefore), both);
    EXPECT_EQ(NewEntries(u"Standard", m_standardBefore), both);
    EXPECT_FALSE(FirewallLists(u"Domain", m_programPath));
    EXPECT_FALSE(FirewallLists(u"Standard", m_programPath));
  }

  static void WriteSettings(const std::u16string& section, const std::u16string& key,
                            const std::u16string& value) {
    std::filesystem::create_directories(std::filesystem::path(SettingsPath()).parent_path());
    std::u16string path = WindowsFromPosix(SettingsPath());
    ASSERT_TRUE(win32::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(),
                                                  path.c_str()));
  }

  CLoadedOrbalyn m_library;
  DoInstallReportFn m_doInstall = nullptr;
  DoUninstallReportFn m_doUninstall = nullptr;
  std::u16string m_programPath;
  size_t m_domainBefore = 0;
  size_t m_standardBefore = 0;
  size_t m_reportsBefore = 0;
};

TEST_F(InstallReportTest, InstallReportCarriesTwoZerosWithFirewallEntryAroundIt) {
  m_doInstall();
  std::vector<SpoolReport> reports = NewReports(kReportInstall);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(TrailingValues(reports[0], 2), (std::vector<uint32_t>{0, 0}));
  ExpectAddedAndRemovedOnce();
}

// Uninstall values: device count, 1 with a backup folder (2 without), 0.
TEST_F(InstallReportTest, UninstallReportCarriesTheSettingsFile) {
  std::error_code ignored;
  std::filesystem::remove(SettingsPath(), ignored);
  m_doUninstall();
  std::vector<SpoolReport> reports = NewReports(kReportUninstall);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(TrailingValues(reports[0], 3), (std::vector<uint32_t>{0, 2, 0}));
  ExpectAddedAndRemovedOnce();

  WriteSettings(u"Basic", u"DeviceCount", u"3");
  WriteSettings(u"Basic", u"WorkDir", WindowsFromPosix(SandboxRoot() + "/Backup"));
  m_doUninstall();
  reports = NewReports(kReportUninstall);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(TrailingValues(reports[1], 3), (std::vector<uint32_t>{3, 1, 0}));
  std::filesystem::remove(SettingsPath(), ignored);
}

// A program already authorised and enabled is not added again, but is removed at the end.
TEST_F(InstallReportTest, AlreadyAuthorisedProgramIsNotAddedButRemoved) {
  ASSERT_GE(win32::CoInitializeEx(nullptr, win32::COINIT_APARTMENTTHREADED), 0);
  {
    win32::INetFwMgr* pManager = nullptr;
    ASSERT_EQ(win32::CoCreateInstance(win32::CLSID_NetFwMgr, nullptr, win32::CLSCTX_INPROC_SERVER,
                                      win32::IID_INetFwMgr, reinterpret_cast<void**>(&pManager)),
              win32::S_OK);
    win32::INetFwPolicy* pPolicy = nullptr;
    win32::INetFwProfile* pProfile = nullptr;
    win32::INetFwAuthorizedApplications* pApps = nullptr;
    win32::INetFwAuthorizedApplication* pApp = nullptr;
    ASSERT_EQ(pManager->get_LocalPolicy(&pPolicy), win32::S_OK);
    ASSERT_EQ(pPolicy->GetProfileByType(win32::NET_FW_PROFILE_STANDARD, &pProfile), win32::S_OK);
    ASSERT_EQ(pProfile->get_AuthorizedApplications(&pApps), win32::S_OK);
    ASSERT_EQ(win32::CoCreateInstance(
                  win32::CLSID_NetFwAuthorizedApplication, nullptr, win32::CLSCTX_INPROC_SERVER,
                  win32::IID_INetFwAuthorizedApplication, reinterpret_cast<void**>(&pApp)),
              win32::S_OK);
    win32::BSTR path = win32::SysAllocString(m_programPath.c_str());
    win32::BSTR name = win32::SysAllocString(u"set up by hand");
    EXPECT_EQ(pApp->put_ProcessImageFileName(path), win32::S_OK);
    EXPECT_EQ(pApp->put_Name(name), win32::S_OK);
    EXPECT_EQ(pApps->Add(pApp), win32::S_OK);
    win32::SysFreeString(path);
    win32::SysFreeString(name);
    pApp->Release();
    pApps->Release();
    pProfile->Release();
    pPolicy->Release();
    pManager->Release();
  }
  win32::CoUninitialize();
  m_standardBefore = FirewallHistory(u"Standard").size();

  m_doInstall();
  EXPECT_EQ(NewEntries(u"Standard", m_standardBefore),
            std::vector<std::u16string>{u"remove " + m_programPath});
  EXPECT_EQ(NewEntries(u"Domain", m_domainBefore),
            (std::vector<std::u16string>{u"add " + m_programPath, u"remove " + m_programPath}));
  EXPECT_EQ(NewReports(kReportInstall).size(), 1u);
}

// A caller in the multithreaded apartment still gets the entry added and removed, and its
// apartment is left as it was.
TEST_F(InstallReportTest, CallerInOtherApartmentStillGetsTheEntry) {
  DoInstallReportFn doInstall = m_doInstall;
  std::future<win32::HRESULT> afterwards = std::async(std::launch::async, [doInstall] {
    if (win32::CoInitializeEx(nullptr, win32::COINIT_MULTITHREADED) != win32::S_OK) {
      return win32::E_FAIL;
    }
    doInstall();
    // Still in the multithreaded apartment: joining it again only counts.
    win32::HRESULT again = win32::CoInitializeEx(nullptr, win32::COINIT_MULTITHREADED);
    win32::CoUninitialize();
    win32::CoUninitialize();
    return again;
  });
  EXPECT_EQ(afterwards.get(), win32::S_FALSE);
  ExpectAddedAndRemovedOnce();
  EXPECT_EQ(NewReports(kReportInstall).size(), 1u);
}

}  // namespace
}  // namespace orbalyn_test
