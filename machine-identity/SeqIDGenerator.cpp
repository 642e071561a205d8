#include "SeqIDGenerator.h"

#include <cstdio>
#include <cstring>

#include "AdapterAddress.h"
#include "ChannelLog.h"
#include "Md5.h"
#include "ProcessorBrand.h"
#include "SharedGuidSection.h"

namespace ZyMacID {

namespace {

std::string AddressText(const uint8_t address[6]) {
  char text[13];
  snprintf(text, sizeof(text), "%02x%02x%02x%02x%02x%02x", address[0], address[1], address[2],
           address[3], address[4], address[5]);
  return text;
}

std::string DiskText(const DiskIdentity& disk) { return disk.serial + disk.model + disk.revision; }

void DeriveFromThisMachine(uint8_t guid[16]) { DeriveMachineGuid(ReadMachineInputs(), guid); }

}  // namespace

CSeqIDGenerator::~CSeqIDGenerator() = default;

bool GetMachineGuid(uint8_t guid[16]) {
  CSeqIDGenerator generator;
  CSharedGuidSection::Get().GetGuid(guid, &DeriveFromThisMachine);
  return true;
}

MachineInputs ReadMachineInputs() {
  MachineInputs inputs;
  GetAdapterAddress(inputs.address);
  inputs.diskOk = GetDiskIdentity(&inputs.disk);
  inputs.brandOk = GetProcessorBrand(&inputs.brand);
  return inputs;
}

CacheHashes HashInputs(const MachineInputs& inputs) {
  CacheHashes hashes;
  hashes.address = CMd5::HexDigest(AddressText(inputs.address));
  if (inputs.diskOk) hashes.disk = CMd5::HexDigest(DiskText(inputs.disk));
  if (inputs.brandOk) hashes.processor = CMd5::HexDigest(inputs.brand);
  return hashes;
}

void DeriveMachineGuid(const MachineInputs& inputs, uint8_t guid[16]) {
  CacheHashes hashes = HashInputs(inputs);
  CGuidCacheFile cache;
  bool haveCache = cache.Open();
  bool raiseProcessor = false;
  if (haveCache && cache.Existed()) {
    CacheVerdict verdict =
        CGuidCacheFile::Validate(cache.Read(), hashes, inputs.diskOk, inputs.brandOk);
    if (verdict.valid) {
      memcpy(guid, verdict.guid, sizeof(verdict.guid));
      if (GetCoreLogSwitch() != 0) WriteChannelLog(kChannelCommon, u"GetCacheGuid success, return");
      return;
    }
    raiseProcessor = verdict.raiseProcessor;
  }

  CMd5 md5;
  md5.Update(AddressText(inputs.address));
  if (inputs.diskOk) md5.Update(DiskText(inputs.disk));
  if (raiseProcessor) md5.Update(inputs.brand);
  md5.Final(guid);
  if (GetCoreLogSwitch() != 0) {
    WriteChannelLog(kChannelCommon, u"Get MAC success, Get GUID from MAC & PhysicsDrive");
  }
  if (haveCache) cache.Rewrite(guid, hashes);
}

}  // namespace ZyMacID
