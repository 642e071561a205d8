#pragma once
// How a device that went offline both ways reaches the upload manager, which gives up that
// device's uploads. The upload manager installs its handler when it is built; until then the
// call does nothing.

#include <atomic>
#include <cstdint>

using DeviceOfflineHandler = void (*)(int64_t deviceId);

inline std::atomic<DeviceOfflineHandler> g_deviceOfflineHandler{nullptr};

inline void NotifyDeviceOfflineHandler(int64_t deviceId) {
  if (DeviceOfflineHandler pHandler = g_deviceOfflineHandler.load()) pHandler(deviceId);
}
