#include "ProcessorBrand.h"

#include <cstring>

#include "win32/sysinfo.h"

namespace ZyMacID {

bool GetProcessorBrand(std::string* pBrand) {
  char brand[49] = {};
  for (int i = 0; i < 3; ++i) {
    int regs[4];
    win32::CpuId(regs, static_cast<int>(0x80000002u + static_cast<unsigned>(i)));
    memcpy(brand + i * 16, regs, 16);  // EAX, EBX, ECX, EDX in order
  }
  pBrand->assign(brand, strnlen(brand, 48));
  return brand[0] != 0;
}

}  // namespace ZyMacID
