#pragma once
// The machine GUID shared by every running process of one image (the program, or the library),
// as a shared data section would share it: a named POSIX shared-memory object per image holding
// the 16-byte GUID, the state word (0 not made, 255 being made, 1 ready) and a robust
// process-shared mutex.
//
// The name is derived from the real path of the module that holds this code (and from
// LUMIDOCK_ROOT when set, so sandboxes never share), so the program and the library each have
// their own, like two images with their own sections. A process that dies while deriving leaves
// the mutex "owner died": the next caller takes it over and derives again instead of waiting for
// a state that will never change. The last process of the image to exit removes the object, so a
// new run starts from the cache as a fresh image would.

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "win32/base.h"

namespace ZyMacID {

// Lifetime: one per process, attached on first use, detached at exit.
// Threading: GetGuid from any thread; the shared mutex serialises derivations across threads and
//   processes.
class CSharedGuidSection {
 public:
  using DeriveFn = void (*)(uint8_t guid[16]);

  static CSharedGuidSection& Get();

  CSharedGuidSection(const CSharedGuidSection&) = delete;
  CSharedGuidSection& operator=(const CSharedGuidSection&) = delete;

  // Copies the section's GUID out, calling `derive` first when no process of this image has.
  void GetGuid(uint8_t guid[16], DeriveFn derive);

  // Tests only. The shared-memory name, empty when the process fell back to a private section.
  const std::string& NameForTesting() const { return m_name; }
  // Takes the mutex and marks the GUID as being made, then returns holding it, as a process
  // that is about to die mid-derivation would.
  void BeginDeriveForTesting();

 private:
  struct SharedData {
    uint8_t guid[16];
    volatile win32::LONG state;  // the section's 20 bytes end here
    uint32_t ready;              // kReadyMark once the mutex below is initialised
    pthread_mutex_t mutex;       // robust, process-shared
  };

  CSharedGuidSection();
  ~CSharedGuidSection();

  bool Attach();
  bool Lock();
  void DeriveLocked(uint8_t guid[16], DeriveFn derive);

  SharedData* m_pData = nullptr;  // mapped shared object, or &m_private
  int m_fd = -1;                  // keeps a shared flock: "this process uses the section"
  pid_t m_ownerPid = 0;           // the process that attached
  std::string m_name;
  SharedData m_private = {};  // used when shared memory cannot be had
  std::mutex m_privateLock;   // guards m_private
};

}  // namespace ZyMacID
