#include "MACReaderEx.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "NetbiosQuery.h"
#include "win32/file.h"
#include "win32/netbios.h"
#include "win32/process.h"
#include "win32/sync.h"

using namespace win32;

namespace MACReader3GEx {

namespace {

// STARTUPINFOW.wShowWindow for a hidden window.
constexpr WORD kShowHidden = 0;
// ipconfig's report is a few kilobytes; a child that never stops writing is cut off here.
constexpr size_t kMaxIpconfigOutput = 1 << 20;
constexpr DWORD kIpconfigExitWaitMs = 10000;

// Descriptions are UTF-8 here (the platform's code page), so the two Chinese words are matched
// in UTF-8 rather than in code page 936.
const char* const kSecondaryWords[] = {
    "usb",
    "wifi",
    "wi-fi",
    "wireless",
    "\xE6\x97\xA0\xE7\xBA\xBF",  // "wireless" in Chinese
    "bluetooth",
    "\xE8\x93\x9D\xE7\x89\x99",  // "bluetooth" in Chinese
    "cdma",
    "ev-do",
    " 3g ",
    "gmcc",
};

std::string Lowered(const std::string& text) {
  std::string lowered = text;
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

bool Contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

bool ShouldDrop(const AdapterEntry& entry) {
  std::string description = Lowered(entry.description);
  if (Contains(description, "vmware") || Contains(description, "ppp/slip")) return true;
  const uint8_t* a = entry.address;
  if (memcmp(a, "DEST", 4) == 0) return true;
  if (a[0] == 0x00 && a[1] == 0x53 && a[2] == 0x45) return true;
  if (std::all_of(a, a + 8, [](uint8_t b) { return b == 0; })) return true;
  std::string_view asText(reinterpret_cast<const char*>(a), 8);
  return asText.find("RAS") != std::string_view::npos;
}

bool IsSecondary(const AdapterEntry& entry) {
  std::string description = Lowered(entry.description);
  for (const char* word : kSecondaryWords) {
    if (Contains(description, word)) return true;
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "00-1C-42-AB-CD-EF": exactly six groups of two hexadecimal digits.
bool ParsePhysicalAddress(std::string_view text, uint8_t address[6]) {
  text = TrimBlanks(text);
  if (text.size() != 17) return false;
  for (int i = 0; i < 6; ++i) {
    int high = HexDigit(text[i * 3]);
    int low = HexDigit(text[i * 3 + 1]);
    if (high < 0 || low < 0) return false;
    if (i < 5 && text[i * 3 + 2] != '-') return false;
    address[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

std::string CutTo(const char* text, size_t maxLength) {
  return std::string(text, strnlen(text, maxLength));
}

}  // namespace

CMACReaderEx::CMACReaderEx() = default;

CMACReaderEx::~CMACReaderEx() {
  m_rawList.reset();
  if (m_hIphlpapi) FreeLibrary(m_hIphlpapi);
  m_hIphlpapi = nullptr;
  m_entries.clear();
}

bool CMACReaderEx::Read() {
  if (!ReadFromAdapterList() && !ReadFromIpconfig()) ReadFromNetbios();
  return !m_entries.empty();
}

// Done when the list call succeeded with at least one adapter.
bool CMACReaderEx::ReadFromAdapterList() {
  m_entries.clear();
  LoadLibraryOnce();

  // Size query: must answer 111 with the size needed.
  ULONG size = 0;
  bool sized = false;
  if (!m_hIphlpapi) {
    m_flags |= kSizeQueryNoLibrary;
  } else if (m_pGetAdaptersInfo) {
    DWORD answer = m_pGetAdaptersInfo(nullptr, &size);
    if (answer == ERROR_BUFFER_OVERFLOW && size != 0) {
      sized = true;
    } else {
      m_flags |= kSizeQueryFailed;
      RecordAnswer(answer);
    }
  }
  if (!sized) {
    m_flags |= kSizeStepFailed | kAdapterListStepFailed;
    return false;
  }
  if (size < sizeof(IP_ADAPTER_INFO)) {
    m_flags |= kSizeBelowOneRecord;
    size = sizeof(IP_ADAPTER_INFO);
  }

  ULONG bufferSize = size + 100;
  m_rawList.reset(new (std::nothrow) uint8_t[bufferSize]());
  if (!m_rawList) {
    m_flags |= kNoMemory | kAdapterListStepFailed;
    return false;
  }
  auto* pList = reinterpret_cast<PIP_ADAPTER_INFO>(m_rawList.get());
  if (!m_hIphlpapi) {
    m_flags |= kListCallNoLibrary | kAdapterListStepFailed;
    return false;
  }
  if (!m_pGetAdaptersInfo) {
    m_flags |= kListCallNoExport | kAdapterListStepFailed;
    return false;
  }
  DWORD answer = m_pGetAdaptersInfo(pList, &bufferSize);
  if (answer != ERROR_SUCCESS || bufferSize < sizeof(IP_ADAPTER_INFO)) {
    m_flags |= kListCallFailed | kAdapterListStepFailed;
    RecordAnswer(answer);
    return false;
  }

  int adapters = 0;
  for (const IP_ADAPTER_INFO* p = pList; p; p = p->Next) {
    ++adapters;
    for (const IP_ADDR_STRING* ip = &p->IpAddressList; ip; ip = ip->Next) {
      AdapterEntry entry;
      memcpy(entry.address, p->Address, std::min<size_t>(p->AddressLength, sizeof(entry.address)));
      entry.name = CutTo(p->AdapterName, MAX_ADAPTER_NAME_LENGTH);
      entry.description = CutTo(p->Description, MAX_ADAPTER_DESCRIPTION_LENGTH);
      entry.ipAddress = *ip;
      entry.ipAddress.Next = nullptr;
      entry.type = p->Type;
      m_entries.push_back(entry);
    }
  }
  Filter(&m_entries, &m_flags);
  if (adapters == 0) {
    m_flags |= kAdapterListStepFailed;
    return false;
  }
  return true;
}

// Done once ipconfig could be started, whatever it printed.
bool CMACReaderEx::ReadFromIpconfig() {
  m_entries.clear();
  SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE hOutRead = nullptr;
  HANDLE hOutWrite = nullptr;
  HANDLE hInRead = nullptr;
  HANDLE hInWrite = nullptr;
  if (!CreatePipe(&hOutRead, &hOutWrite, &attributes, 0)) return false;
  if (!CreatePipe(&hInRead, &hInWrite, &attributes, 0)) {
    CloseHandle(hOutRead);
    CloseHandle(hOutWrite);
    return false;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = kShowHidden;
  startup.hStdInput = hInRead;
  startup.hStdOutput = hOutWrite;
  startup.hStdError = hOutWrite;
  PROCESS_INFORMATION process = {};
  std::u16string commandLine = u"\"ipconfig\" /all";
  BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  // The child holds its own copies now. Ours must go at once: while the parent keeps a write
  // end of the output pipe, reading it never sees the end of the child's report.
  CloseHandle(hOutWrite);
  CloseHandle(hInRead);
  CloseHandle(hInWrite);
  if (!started) {
    CloseHandle(hOutRead);
    return false;
  }

  std::string output;
  char chunk[1024];
  DWORD read = 0;
  while (output.size() < kMaxIpconfigOutput &&
         ReadFile(hOutRead, chunk, sizeof(chunk), &read, nullptr) && read != 0) {
    output.append(chunk, read);
  }
  CloseHandle(hOutRead);
  WaitForSingleObject(process.hProcess, kIpconfigExitWaitMs);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  m_entries = ParseIpconfigOutput(output);
  Filter(&m_entries, &m_flags);
  return true;
}

// Done when the adapters could be enumerated.
bool CMACReaderEx::ReadFromNetbios() {
  m_entries.clear();
  LANA_ENUM lanas;
  if (!NetbiosQuery::EnumLanas(&lanas)) return false;
  for (UCHAR i = 0; i < lanas.length; ++i) {
    AdapterEntry entry;
    if (NetbiosQuery::QueryLanaAddress(lanas.lana[i], entry.address)) m_entries.push_back(entry);
  }
  Filter(&m_entries, &m_flags);
  return true;
}

std::vector<AdapterEntry> CMACReaderEx::ParseIpconfigOutput(std::string_view output) {
  std::string text;
  text.reserve(output.size());
  for (size_t i = 0; i < output.size(); ++i) {
    if (output[i] == '\r') {
      text.push_back('\n');
      if (i + 1 < output.size() && output[i + 1] == '\n') ++i;
    } else {
      text.push_back(output[i]);
    }
  }

  std::vector<AdapterEntry> entries;
  bool pending = false;
  std::string description;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + begin, end - begin);
    begin = end + 1;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view label = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    if (!pending) {
      if (label.find("Description") != std::string_view::npos) {
        description.assign(TrimBlanks(value));
        pending = true;
      }
    } else if (label.find("Physical Address") != std::string_view::npos) {
      AdapterEntry entry;
      if (ParsePhysicalAddress(value, entry.address)) {
        entry.description = description.substr(0, MAX_ADAPTER_DESCRIPTION_LENGTH);
        entries.push_back(entry);
      }
      pending = false;
      description.clear();
    }
  }
  return entries;
}

void CMACReaderEx::Filter(std::vector<AdapterEntry>* pEntries, uint32_t* pFlags) {
  if (pEntries->size() >= 2) {
    std::vector<AdapterEntry> kept;
    for (const AdapterEntry& entry : *pEntries) {
      if (!ShouldDrop(entry)) kept.push_back(entry);
    }
    if (kept.empty()) {
      *pFlags |= kFilterLeftNothing;
    } else {
      *pEntries = std::move(kept);
    }
  }
  if (pEntries->size() >= 2) {
    auto primary = std::find_if(pEntries->begin(), pEntries->end(),
                                [](const AdapterEntry& e) { return !IsSecondary(e); });
    AdapterEntry chosen = primary != pEntries->end() ? *primary : pEntries->front();
    pEntries->assign(1, chosen);
  }
}

bool CMACReaderEx::LoadLibraryOnce() {
  if (!m_hIphlpapi) {
    m_hIphlpapi = LoadLibraryW(u"iphlpapi.dll");
    if (!m_hIphlpapi) {
      m_flags |= kLibraryNotLoaded;
      return false;
    }
    m_pGetAdaptersInfo =
        reinterpret_cast<GetAdaptersInfoFn>(GetProcAddress(m_hIphlpapi, "GetAdaptersInfo"));
    if (!m_pGetAdaptersInfo) m_flags |= kExportMissing;
  }
  return m_pGetAdaptersInfo != nullptr;
}

void CMACReaderEx::RecordAnswer(DWORD answer) {
  switch (answer) {
    case ERROR_SUCCESS:
      break;
    case ERROR_BUFFER_OVERFLOW:
      m_flags |= kAnswerBufferOverflow;
      break;
    case ERROR_INVALID_PARAMETER:
      m_flags |= kAnswerInvalidParameter;
      break;
    case ERROR_NO_DATA:
      m_flags |= kAnswerNoData;
      break;
    case ERROR_NOT_SUPPORTED:
      m_flags |= kAnswerNotSupported;
      break;
    default:
      m_flags |= kAnswerOther;
      break;
  }
}

}  // namespace MACReader3GEx
