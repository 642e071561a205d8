#include "HardwareId.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DiskIdentity.h"
#include "MACReaderEx.h"
#include "Md5.h"
#include "ProcessorBrand.h"
#include "win32/devio.h"

namespace ZyMacID {

namespace {

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string ProductIdText() {
  std::vector<uint8_t> answer;
  if (QueryStorageDescriptor(0, 1024, &answer) &&
      answer.size() >=
          offsetof(win32::STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) + sizeof(win32::DWORD)) {
    win32::DWORD offset = 0;
    memcpy(&offset, answer.data() + offsetof(win32::STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset),
           sizeof(offset));
    std::string text = StorageTextAt(answer, offset);
    if (!text.empty() && IsAlnum(text[0])) return text;
  }
  return " ";
}

std::string ProcessorText() {
  std::string brand;
  return GetProcessorBrand(&brand) ? brand : std::string(" ");
}

std::string AdapterText() {
  MACReader3GEx::CMACReaderEx reader;
  if (!reader.Read()) return " ";
  const uint8_t* a = reader.Entries().front().address;
  char hex[17];
  snprintf(hex, sizeof(hex), "%02X%02X%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5],
           a[6], a[7]);
  return hex;
}

}  // namespace

bool GetHardwareId(uint8_t id[16]) {
  CMd5 md5;
  md5.Update(ProductIdText());
  md5.Update(ProcessorText());
  md5.Update(AdapterText());
  md5.Final(id);
  return true;
}

}  // namespace ZyMacID
