#include "DiskIdentity.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

#include "win32/devio.h"
#include "win32/file.h"
#include "win32/sysinfo.h"

using namespace win32;

namespace ZyMacID {

namespace {

constexpr int kMaxDrives = 16;

// Identify data needs the driver's 47-byte minimum before its fields mean anything.
constexpr DWORD kMinIdentifySize = 46;

std::u16string DrivePath(const char* pattern, int drive) {
  char narrow[32];
  snprintf(narrow, sizeof(narrow), pattern, drive);
  return std::u16string(narrow, narrow + strlen(narrow));
}

HANDLE OpenDrive(const char* pattern, int drive, DWORD access, DWORD share) {
  std::u16string path = DrivePath(pattern, drive);
  return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsPrintable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int HexValue(char c) {
  if (c == ' ') return 0;
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Trim(std::string text) {
  size_t begin = 0;
  while (begin < text.size() && IsBlank(text[begin])) ++begin;
  size_t end = text.size();
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Strategy 1: ATA identify through SMART with the command the device map calls for.
bool ReadBySmart(DiskIdentity* pIdentity) {
  for (int drive = 0; drive < kMaxDrives; ++drive) {
    HANDLE device = OpenDrive("\\\\.\\PhysicalDrive%d", drive, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (device == INVALID_HANDLE_VALUE) continue;
    bool found = false;
    GETVERSIONINPARAMS version = {};
    DWORD returned = 0;
    if (DeviceIoControl(device, SMART_GET_VERSION, nullptr, 0, &version, sizeof(version), &returned,
                        nullptr) &&
        version.bIDEDeviceMap != 0) {
      SENDCMDINPARAMS request = {};
      request.cBufferSize = IDENTIFY_BUFFER_SIZE;
      request.irDriveRegs.bSectorCountReg = 1;
      request.irDriveRegs.bDriveHeadReg = (drive & 1) ? 0xB0 : 0xA0;
      request.irDriveRegs.bCommandReg =
          ((version.bIDEDeviceMap >> drive) & 0x10) ? ATAPI_ID_CMD : ID_CMD;
      request.bDriveNumber = static_cast<BYTE>(drive);
      const DWORD answerSize = sizeof(SENDCMDOUTPARAMS) - 1 + IDENTIFY_BUFFER_SIZE;
      std::unique_ptr<uint8_t[]> answer(new uint8_t[answerSize]());
      auto* pOut = reinterpret_cast<SENDCMDOUTPARAMS*>(answer.get());
      if (DeviceIoControl(device, SMART_RCV_DRIVE_DATA, &request, sizeof(SENDCMDINPARAMS) - 1,
                          answer.get(), answerSize, &returned, nullptr) &&
          pOut->cBufferSize > kMinIdentifySize) {
        ParseIdentifyData(answer.get() + offsetof(SENDCMDOUTPARAMS, bBuffer), pIdentity);
        found = true;
      }
    }
    CloseHandle(device);
    if (found) return true;
  }
  return false;
}

// Strategy 2: identify through the SCSI miniport of each controller, targets 0 and 1.
bool ReadByScsi(DiskIdentity* pIdentity) {
  constexpr DWORD kReplyLength = sizeof(SENDCMDOUTPARAMS) + IDENTIFY_BUFFER_SIZE;
  constexpr DWORD kRequestSize = sizeof(SRB_IO_CONTROL) + sizeof(SENDCMDINPARAMS) - 1;
  constexpr DWORD kAnswerSize = sizeof(SRB_IO_CONTROL) + kReplyLength;
  for (int controller = 0; controller < kMaxDrives; ++controller) {
    HANDLE device = OpenDrive("\\\\.\\Scsi%d:", controller, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (device == INVALID_HANDLE_VALUE) continue;
    bool found = false;
    for (int target = 0; target < 2; ++target) {
      std::unique_ptr<uint8_t[]> buffer(new uint8_t[kAnswerSize]());
      auto* pControl = reinterpret_cast<SRB_IO_CONTROL*>(buffer.get());
      pControl->HeaderLength = sizeof(SRB_IO_CONTROL);
      memcpy(pControl->Signature, "SCSIDISK", 8);
      pControl->Timeout = 10000;
      pControl->ControlCode = IOCTL_SCSI_MINIPORT_IDENTIFY;
      pControl->Length = kReplyLength;
      auto* pRequest = reinterpret_cast<SENDCMDINPARAMS*>(buffer.get() + sizeof(SRB_IO_CONTROL));
      pRequest->irDriveRegs.bCommandReg = ID_CMD;
      pRequest->bDriveNumber = static_cast<BYTE>(target);
      DWORD returned = 0;
      if (!DeviceIoControl(device, IOCTL_SCSI_MINIPORT, buffer.get(), kRequestSize, buffer.get(),
                           kAnswerSize, &returned, nullptr)) {
        continue;
      }
      const uint8_t* pIdentify =
          buffer.get() + sizeof(SRB_IO_CONTROL) + offsetof(SENDCMDOUTPARAMS, bBuffer);
      if (pIdentify[54] != 0) {  // the model's first byte
        ParseIdentifyData(pIdentify, pIdentity);
        found = true;
      }
    }
    CloseHandle(device);
    if (found) return true;
  }
  return false;
}

// Strategy 3: the storage property query, which needs no access rights.
bool ReadByStorageQuery(DiskIdentity* pIdentity) {
  for (int drive = 0; drive < kMaxDrives; ++drive) {
    std::vector<uint8_t> answer;
    if (QueryStorageDescriptor(drive, 2048, &answer) && ParseStorageIdentity(answer, pIdentity)) {
      return true;
    }
  }
  return false;
}

// Strategy 4: SMART identify in its second form (full-size request, identify command only).
bool ReadBySmartSecondForm(DiskIdentity* pIdentity) {
  for (int drive = 0; drive < kMaxDrives; ++drive) {
    HANDLE device = OpenDrive("\\\\.\\PhysicalDrive%d", drive, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (device == INVALID_HANDLE_VALUE) continue;
    bool found = false;
    GETVERSIONINPARAMS version = {};
    DWORD returned = 0;
    if (DeviceIoControl(device, SMART_GET_VERSION, nullptr, 0, &version, sizeof(version), &returned,
                        nullptr)) {
      SENDCMDINPARAMS request = {};
      request.irDriveRegs.bCommandReg = ID_CMD;
      const DWORD answerSize = sizeof(SENDCMDINPARAMS) + IDENTIFY_BUFFER_SIZE;
      std::unique_ptr<uint8_t[]> answer(new uint8_t[answerSize]());
      auto* pOut = reinterpret_cast<SENDCMDOUTPARAMS*>(answer.get());
      if (DeviceIoControl(device, SMART_RCV_DRIVE_DATA, &request, sizeof(request), answer.get(),
                          answerSize, &returned, nullptr) &&
          pOut->cBufferSize > kMinIdentifySize) {
        ParseIdentifyData(answer.get() + offsetof(SENDCMDOUTPARAMS, bBuffer), pIdentity);
        found = true;
      }
    }
    CloseHandle(device);
    if (found) return true;
  }
  return false;
}

}  // namespace

bool GetDiskIdentity(DiskIdentity* pIdentity) {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExW(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return false;
  DiskIdentity identity;
  if (ReadBySmart(&identity) || ReadByScsi(&identity) || ReadByStorageQuery(&identity) ||
      ReadBySmartSecondForm(&identity)) {
    *pIdentity = identity;
    return true;
  }
  return false;
}

bool QueryStorageDescriptor(int drive, uint32_t bufferSize, std::vector<uint8_t>* pAnswer) {
  HANDLE device = OpenDrive("\\\\.\\PhysicalDrive%d", drive, 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (device == INVALID_HANDLE_VALUE) return false;
  STORAGE_PROPERTY_QUERY query = {};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::vector<uint8_t> answer(bufferSize);
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query),
                            answer.data(), bufferSize, &returned, nullptr);
  CloseHandle(device);
  if (!ok || returned < sizeof(STORAGE_DESCRIPTOR_HEADER) || returned > bufferSize) {
    return false;
  }
  answer.resize(returned);
  *pAnswer = std::move(answer);
  return true;
}

std::string StorageTextAt(const std::vector<uint8_t>& answer, uint32_t offset) {
  // The descriptor is the device's (or a driver's) answer: its offsets are checked, never trusted.
  if (offset == 0 || offset >= answer.size()) return std::string();
  const char* pBegin = reinterpret_cast<const char*>(answer.data()) + offset;
  size_t length = strnlen(pBegin, answer.size() - offset);
  return std::string(pBegin, length);
}

std::string DecodeStorageText(std::string_view text, bool swapPairs) {
  std::string result;
  bool decoded = text.size() % 2 == 0;
  for (size_t i = 0; decoded && i < text.size(); i += 2) {
    int high = HexValue(text[i]);
    int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) {
      decoded = false;
      break;
    }
    unsigned char byte = static_cast<unsigned char>(high << 4 | low);
    if (byte != 0 && !IsPrintable(byte)) {
      decoded = false;
      break;
    }
    result.push_back(static_cast<char>(byte));
  }
  if (decoded) {
    result.resize(strnlen(result.c_str(), result.size()));  // a decoded 0 ends the text
  } else {
    result.assign(text.data(), text.size());
    for (char c : result) {
      if (!IsPrintable(static_cast<unsigned char>(c))) return std::string();
    }
  }
  if (swapPairs) {
    for (size_t i = 0; i + 1 < result.size(); i += 2) std::swap(result[i], result[i + 1]);
  }
  return Trim(std::move(result));
}

bool ParseStorageIdentity(const std::vector<uint8_t>& answer, DiskIdentity* pIdentity) {
  STORAGE_DEVICE_DESCRIPTOR descriptor = {};
  if (answer.size() < offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) + sizeof(DWORD)) {
    return false;
  }
  memcpy(&descriptor, answer.data(), std::min(answer.size(), sizeof(descriptor)));
  std::string serial =
      DecodeStorageText(StorageTextAt(answer, descriptor.SerialNumberOffset), true);
  bool ok =
      (serial.size() > 0 && IsAlnum(serial[0])) || (serial.size() > 19 && IsAlnum(serial[19]));
  if (!ok) return false;
  pIdentity->serial = serial;
  pIdentity->model = DecodeStorageText(StorageTextAt(answer, descriptor.ProductIdOffset), false);
  pIdentity->revision =
      DecodeStorageText(StorageTextAt(answer, descriptor.ProductRevisionOffset), false);
  return true;
}

void ParseIdentifyData(const uint8_t* pData, DiskIdentity* pIdentity) {
  auto words = [pData](int first, int last) {
    std::string text;
    for (int w = first; w <= last; ++w) {
      text.push_back(static_cast<char>(pData[2 * w + 1]));
      text.push_back(static_cast<char>(pData[2 * w]));
    }
    text.resize(strnlen(text.c_str(), text.size()));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  };
  pIdentity->serial = words(10, 19);
  pIdentity->model = words(27, 46);
  pIdentity->revision = words(23, 26);
}

}  // namespace ZyMacID
