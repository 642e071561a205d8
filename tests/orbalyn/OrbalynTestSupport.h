#pragma once
// Shared by the tests of the whole library: the real Orbalyn.so loaded through the layer, one
// sandbox root per test process, child processes (the simulators) with their output lines, a
// pump for the test's own thread, which is the library's UI thread, and a recording logic sink.
//
// The library can be loaded only once per process for real (it stays mapped until exit), and
// its store keeps the PC's identity in memory across Start and Stop; so every process gets one
// sandbox and one server simulator, shared by its tests. CTest runs each case in a process of
// its own.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/TestFiles.h"
#include "Orbalyn/Interface/IOrbalyn.h"
#include "Orbalyn/LibraryEntry.h"
#include "win32/base.h"
#include "win32/module.h"

namespace orbalyn_test {

constexpr std::chrono::seconds kOnlineTimeout{60};

using test_files::PosixFromWindows;
using test_files::ReadWholeFile;
using test_files::WindowsFromPosix;

// The process's sandbox root (LUMIDOCK_ROOT), made before the first test.
const std::string& SandboxRoot();
std::string SettingsPath();
std::string SpoolPath();
// Where the tests load the library from: links to the built modules inside the sandbox.
std::string RuntimeFolder();

// The library, loaded by its path through the layer the way the GUI program loads it.
// Lifetime: Load and Unload pair up like LoadLibraryW and FreeLibrary.
class CLoadedOrbalyn {
 public:
  CLoadedOrbalyn() = default;
  CLoadedOrbalyn(const CLoadedOrbalyn&) = delete;
  CLoadedOrbalyn& operator=(const CLoadedOrbalyn&) = delete;
  ~CLoadedOrbalyn() { Unload(); }

  bool Load();
  void Unload();

  win32::HMODULE Module() const { return m_hModule; }
  IOrbalyn* Root() const { return m_pRoot; }
  template <class TFn>
  TFn Export(const char* pName) const;

 private:
  win32::HMODULE m_hModule = nullptr;
  IOrbalyn* m_pRoot = nullptr;
};

// A program of the build run with its standard output read line by line on a thread of its
// own; standard input is /dev/null. Killed (SIGTERM) at destruction.
class CChildProcess {
 public:
  CChildProcess() = default;
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;
  ~CChildProcess();

  // `program` is a file name in the build's bin folder; `environment` entries are added to
  // this process's own.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& environment = {});
  // The first line from index `from` on that starts with `prefix`, waiting at most `timeout`.
  // Empty on time-out. *pIndex (optional) receives the line's index.
  std::string WaitForLine(const std::string& prefix, size_t from, std::chrono::milliseconds timeout,
                          size_t* pIndex = nullptr);
  size_t LineCount();
  std::vector<std::string> Lines();
  // Waits (bounded) for the end; the exit status, or -1 when it had to be killed.
  int Wait(std::chrono::milliseconds timeout);

 private:
  void ReadOutput(int fd);

  pid_t m_pid = -1;
  std::thread m_reader;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_lines;
};

// The server simulator of this process, on 127.0.0.1 with a relay port, started on first use.
// ORBALYN_ENTRY_SERVER points at it from then on.
CChildProcess& ServerSim();
int ServerRelayPort();

// Runs the calling thread's messages (the library's hidden window lives on it) until `done`
// holds or the time is up. Whether `done` held.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Runs whatever messages are waiting, for about `duration`.
void PumpFor(std::chrono::milliseconds duration);

// Threads of this process, from /proc. A thread whose handle is signalled may still be listed
// for a moment, so the settled count waits (bounded) until it has not changed for a while.
size_t ThreadCount();
size_t SettledThreadCount();

// Records every logic message it is handed.
// Lifetime: counted, starting at 1 for the creator; heap only.
// Threading: OnLogicMessage runs on the UI thread; the accessors anywhere.
class CRecordingSink final : public IOrbalynLogicSink {
 public:
  struct Record {
    int type;
    int value;
    int64_t id;
  };

  CRecordingSink() = default;
  CRecordingSink(const CRecordingSink&) = delete;
  CRecordingSink& operator=(const CRecordingSink&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynLogicSink:
  win32::HRESULT STDMETHODCALLTYPE OnLogicMessage(IOrbalynMessage* pMessage) override;

  std::vector<Record> Records();
  bool Saw(int type, int value);

 private:
  ~CRecordingSink() = default;

  std::atomic<win32::ULONG> m_refCount{1};
  std::mutex m_lock;
  std::vector<Record> m_records;
};

// One report of the statistics spool: the 18 header bytes, the machine record and the data.
struct SpoolReport {
  uint16_t command;
  std::string bytes;
};
std::vector<SpoolReport> ReadSpool();
// The last `count` big-endian 32-bit values of a report (its data block).
std::vector<uint32_t> TrailingValues(const SpoolReport& report, size_t count);

// The firewall stand-in's history of one profile ("Domain" or "Standard"), oldest first.
std::vector<std::u16string> FirewallHistory(const char16_t* pProfile);
bool FirewallLists(const char16_t* pProfile, const std::u16string& path);

template <class TFn>
TFn CLoadedOrbalyn::Export(const char* pName) const {
  return reinterpret_cast<TFn>(win32::GetProcAddress(m_hModule, pName));
}

}  // namespace orbalyn_test
