#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPacketBuffer;

// The install and uninstall reports that the product's installer and uninstaller send through
// this library's exports. While one is sent, the calling program is an authorised application
// of the firewall (domain, standard and current profiles), so its report connection is let
// through; the entry is removed again before the export returns.
// Lifetime: one object per export call, on the caller's stack; Begin and End bracket the send.
// Threading: runs entirely on the caller's thread. The statistics client's own lock serialises
//   the sending; the firewall lists are the layer's, which guards them itself.
class CInstallReport {
 public:
  // The name the firewall entry is shown under.
  static constexpr char16_t kFirewallEntryName[] = u"Lumidock安装程序";
  // Enough for any program path on the file systems here: a cut path would authorise some
  // other program.
  static constexpr uint32_t kProgramPathChars = 32768;

  CInstallReport() = default;
  CInstallReport(const CInstallReport&) = delete;
  CInstallReport& operator=(const CInstallReport&) = delete;

  // What the exports do. Every failure is silent; both always complete.
  static void DoInstallReport();
  static void DoUninstallReport();

  // Takes the calling program's path, authorises it in the firewall, and sets up the
  // statistics client with the report library beside this module.
  void Begin();
  // Shuts the statistics client down, then removes the firewall entry of the same path.
  void End();

  // Sends one report whose data block is `values`, each a big-endian 32-bit integer; only when
  // the statistics client is set up, enabled and has the id switched on. Whether it was
  // committed.
  static bool SendValues(uint16_t reportId, const std::vector<uint32_t>& values);

  // The values of the uninstall report from the settings file: device count (0 when missing),
  // 1 with a backup folder or 2 without, then 0. False when the application-data folder cannot
  // be had, and nothing is to be sent.
  static bool ReadUninstallValues(std::vector<uint32_t>* pValues);

  // Adds `path` to the authorised applications of each profile unless it is there and enabled
  // already; RemoveProgram removes it from each. Errors of one profile are ignored and the
  // next is tried. The calling thread's apartment may be of either kind.
  static void AuthorizeProgram(const std::u16string& path);
  static void RemoveProgram(const std::u16string& path);

  // The full path of the calling program (Windows form); empty when it cannot be had whole.
  static std::u16string ProgramPath();
  // "dadovo.dll" in the folder of the module holding this code.
  static std::u16string ReportLibraryPath();

 private:
  // The data block: the values, each big-endian.
  struct Values {
    [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const;
    std::vector<uint32_t> values;
  };

  // Set by Begin.
  std::u16string m_programPath;
};
