#pragma once
// The machine GUID: 16 bytes derived from the network adapter's address, the first disk's
// identity and the processor's brand text, kept in the cache file shared with the maker's other
// products, and shared by every running process of this image.

#include <cstdint>
#include <string>

#include "DiskIdentity.h"
#include "GuidCacheFile.h"

namespace ZyMacID {

// One per GUID request, made on the stack; it carries no state of its own.
class CSeqIDGenerator {
 public:
  CSeqIDGenerator() = default;
  CSeqIDGenerator(const CSeqIDGenerator&) = delete;
  CSeqIDGenerator& operator=(const CSeqIDGenerator&) = delete;
  virtual ~CSeqIDGenerator();
};

// The three facts the GUID rests on.
struct MachineInputs {
  uint8_t address[6] = {};
  bool diskOk = false;
  DiskIdentity disk;
  bool brandOk = false;
  std::string brand;
};

// Fills the GUID: once per image, derived by the first caller of any of its processes and
// shared with the others. Always true.
bool GetMachineGuid(uint8_t guid[16]);

// Reads the adapter address, the disk identity and the processor brand of this machine.
MachineInputs ReadMachineInputs();
// The hashes the cache keeps for these inputs.
CacheHashes HashInputs(const MachineInputs& inputs);
// One derivation from the given inputs: the cached GUID when the cache validates, else the MD5
// of the inputs' texts, written back to the cache. Does not touch the shared section.
void DeriveMachineGuid(const MachineInputs& inputs, uint8_t guid[16]);

}  // namespace ZyMacID
