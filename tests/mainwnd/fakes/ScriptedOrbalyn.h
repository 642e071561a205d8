#pragma once
// What the scripted stand-in for Orbalyn.so answers and what it was asked, shared by the module
// and the tests that load it (through the export kScriptedStateName).

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Orbalyn/Interface/IOrbalyn.h"

namespace scripted_orbalyn {

inline constexpr char kScriptedStateName[] = "ScriptedOrbalynState";

struct Device {
  int64_t id = 0;
  std::u16string name;
  int remoteState = Presence_here;  // below 0: GetRemoteState leaves its answer unset
  bool bound = true;
};

struct State {
  // Answers.
  int loginState = LoginState_stopped;
  std::vector<Device> devices;
  std::map<int64_t, int64_t> matches;                                    // GetMatchDeviceId
  std::map<int64_t, std::pair<std::u16string, win32::HRESULT>> renames;  // AutoRenameDevice
  std::u16string workDir;
  // What was asked.
  int loginCalls = 0;
  std::vector<int64_t> unbound;
  std::vector<std::u16string> workDirsSet;
  IOrbalynLogicSink* pSink = nullptr;
  int stops = 0;
};

using ScriptedStateFn = State* (*)();

}  // namespace scripted_orbalyn
