#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PeerTcpClient.h"
#include "PhoneFrame.h"

// A stand-in for the PC's phone road over a real loopback socket, for testing the phone
// simulator before the PC exists: it answers the bind steps, the check-code-only commands and
// uploads (resuming each file from the bytes it holds), records what it saw, and can break one
// reply on purpose. Connections are served one at a time.
// Threading: one serving thread; the accessors may be called from the test thread at any time.
class CScriptedPc {
 public:
  enum class Fault {
    kNone,
    kWrongSequence,
    kWrongEcho,
    kWrongDest,
    kWrongEncode,
    kBadCheckCode,
    kBadPad
  };

  CScriptedPc(int64_t pcId, std::string bindKey, std::string issuedKey);
  CScriptedPc(const CScriptedPc&) = delete;
  CScriptedPc& operator=(const CScriptedPc&) = delete;
  ~CScriptedPc();

  uint16_t Port() const { return m_port; }
  // Answers chunks only once this many wait, the last chunk of a file has come, or the phone
  // has gone quiet: this shows how many chunks a phone keeps in flight.
  void SetHoldChunks(int count);
  void BreakNextReply(Fault fault);
  // The next chunk starting at `position` gets result 11001 and is not kept.
  void RefuseChunkAt(int64_t position);

  // A file as last announced, with the bytes held for it (empty when never announced).
  struct File {
    int64_t size = 0;
    int64_t timestamp = 0;
    std::string subPath;  // "<absent>" when the announcement had none
    std::string bytes;
    int32_t id = 0;
    uint32_t session = 0;
  };

  std::vector<uint16_t> EncodeTypesOf(uint16_t command) const;
  File FileAt(const std::string& phonePath) const;
  std::vector<size_t> ChunkSizes() const;
  int MaxChunksWaiting() const;
  int32_t BatchValue(int field) const;  // a field of the last 6006, by number
  std::vector<std::string> Errors() const;
  // Waits until `count` connections have ended.
  bool WaitForDisconnects(int count, int timeoutMs);

 private:
  void Serve();
  void ServeConnection(peer::CPeerTcpClient* connection);
  bool IsLastChunk(const std::string& frame) const;
  void Handle(peer::CPeerTcpClient* connection, const std::string& frame);
  void Reply(peer::CPeerTcpClient* connection, const peer::PhoneFrameHeader& request,
             const std::string& plainBody, uint16_t result);
  std::string KeyFor(uint16_t encodeType) const;

  const int64_t m_pcId;
  const std::string m_bindKey;
  const std::string m_issuedKey;
  int m_hListen = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  // Guarded by m_lock.
  int m_holdChunks = 1;
  int64_t m_refuseAt = -1;
  Fault m_fault = Fault::kNone;
  std::map<uint16_t, std::vector<uint16_t>> m_encodeTypes;
  std::map<std::string, File> m_files;
  std::vector<size_t> m_chunkSizes;
  std::vector<std::string> m_errors;
  std::string m_lastBatch;
  int m_maxWaiting = 0;
  int m_disconnects = 0;
  int32_t m_nextFileId = 100;

  std::thread m_thread;
};
