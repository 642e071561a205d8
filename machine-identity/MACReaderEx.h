#pragma once
// The adapter reader behind the hardware id: the adapter list, else ipconfig's report, else
// NetBIOS, each narrowed by the same filter to the one adapter that best identifies the machine.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "win32/iphlpapi.h"
#include "win32/module.h"

namespace MACReader3GEx {

struct AdapterEntry {
  uint8_t address[8] = {};               // bytes beyond the adapter's address length stay 0
  std::string name;                      // at most 256 characters
  std::string description;               // at most 128 characters
  win32::IP_ADDR_STRING ipAddress = {};  // one IP record of the adapter (Next cleared)
  uint32_t type = 0;
};

// Lifetime: made on the stack for one reading; the destructor frees the raw list, unloads
// "iphlpapi.dll" and empties the entries.
// Threading: one thread.
class CMACReaderEx {
 public:
  // Diagnostic flags: recorded for whoever inspects the reader, never acted on.
  static constexpr uint32_t kLibraryNotLoaded = 0x1;
  static constexpr uint32_t kExportMissing = 0x2;
  static constexpr uint32_t kSizeQueryFailed = 0x4;
  static constexpr uint32_t kSizeQueryNoLibrary = 0x8;
  static constexpr uint32_t kSizeStepFailed = 0x10;
  static constexpr uint32_t kNoMemory = 0x20;
  static constexpr uint32_t kListCallFailed = 0x40;
  static constexpr uint32_t kListCallNoLibrary = 0x80;
  static constexpr uint32_t kListCallNoExport = 0x100;
  static constexpr uint32_t kAnswerBufferOverflow = 0x200;
  static constexpr uint32_t kAnswerInvalidParameter = 0x400;
  static constexpr uint32_t kAnswerNoData = 0x800;
  static constexpr uint32_t kAnswerNotSupported = 0x1000;
  static constexpr uint32_t kAnswerOther = 0x2000;
  static constexpr uint32_t kAdapterListStepFailed = 0x4000;
  static constexpr uint32_t kFilterLeftNothing = 0x8000;
  static constexpr uint32_t kSizeBelowOneRecord = 0x10000;

  CMACReaderEx();
  CMACReaderEx(const CMACReaderEx&) = delete;
  CMACReaderEx& operator=(const CMACReaderEx&) = delete;
  virtual ~CMACReaderEx();

  // Tries the adapter list, then ipconfig, then NetBIOS, each only when the one before did not
  // run. True when an adapter remains; its address is the first entry's.
  bool Read();

  // The three steps. Each returns true when it counts as done (see the .cpp) and leaves its
  // filtered entries in Entries().
  bool ReadFromAdapterList();
  bool ReadFromIpconfig();
  bool ReadFromNetbios();

  // Entries {address, description} for each "Description" line followed by a "Physical
  // Address" line of ipconfig's report.
  static std::vector<AdapterEntry> ParseIpconfigOutput(std::string_view output);
  // Drops virtual and dial-up adapters, then keeps the first that is not wireless, USB or
  // mobile (or the first of all). Each stage runs only on two entries or more.
  static void Filter(std::vector<AdapterEntry>* pEntries, uint32_t* pFlags);

  const std::vector<AdapterEntry>& Entries() const { return m_entries; }
  uint32_t Flags() const { return m_flags; }

 private:
  using GetAdaptersInfoFn = win32::DWORD (*)(win32::PIP_ADAPTER_INFO, win32::ULONG*);

  bool LoadLibraryOnce();
  void RecordAnswer(win32::DWORD answer);

  win32::HMODULE m_hIphlpapi = nullptr;  // loaded by ReadFromAdapterList, freed by the destructor
  GetAdaptersInfoFn m_pGetAdaptersInfo = nullptr;
  std::unique_ptr<uint8_t[]> m_rawList;  // the adapter list as the last list call left it
  std::vector<AdapterEntry> m_entries;
  uint32_t m_flags = 0;
};

}  // namespace MACReader3GEx
