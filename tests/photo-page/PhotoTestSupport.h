#pragma once
// Shared by the photo page's tests: pictures written with gdk-pixbuf, file times set in local
// time (the tests pin TZ), the UI thread's queue pumped until a condition holds, and an
// in-process device store and logic on the library's interfaces.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "Orbalyn/Interface/IOrbalyn.h"
#include "win32/oleauto.h"
#include "win32/window.h"

namespace photo_test {

inline void PinTimeZone() {
  setenv("TZ", "Asia/Shanghai", 1);
  tzset();
}

// A picture of `width` x `height` whose pixel (x, y) has the colour `paint` gives (0xRRGGBB),
// saved as "jpeg", "png" or "bmp".
inline bool WritePicture(const std::string& path, int width, int height, const char* pType,
                         const std::function<uint32_t(int, int)>& paint) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  GdkPixbuf* pPixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  if (!pPixbuf) return false;
  guchar* pPixels = gdk_pixbuf_get_pixels(pPixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pPixbuf);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t rgb = paint(x, y);
      guchar* p = pPixels + static_cast<size_t>(y) * stride + x * 3;
      p[0] = static_cast<guchar>(rgb >> 16);
      p[1] = static_cast<guchar>(rgb >> 8);
      p[2] = static_cast<guchar>(rgb);
    }
  }
  GError* pError = nullptr;
  const bool saved = gdk_pixbuf_save(pPixbuf, path.c_str(), pType, &pError, nullptr);
  g_clear_error(&pError);
  g_object_unref(pPixbuf);
  return saved;
}

inline bool WriteSolid(const std::string& path, uint32_t rgb, const char* pType = "png",
                       int width = 40, int height = 30) {
  return WritePicture(path, width, height, pType, [rgb](int, int) { return rgb; });
}

// Sets the file's last write to the local time given (TZ pinned first).
inline bool SetLocalTime(const std::string& path, int year, int month, int day, int hour,
                         int minute, int second, int millisecond = 0) {
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  timespec times[2];
  times[1].tv_sec = mktime(&parts);
  times[1].tv_nsec = static_cast<long>(millisecond) * 1000000;
  times[0] = times[1];
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Runs the UI thread's messages until `done` holds or `timeoutMs` passed.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    win32::MSG msg;
    bool any = false;
    while (win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_REMOVE)) {
      win32::DispatchMessageW(&msg);
      any = true;
    }
    if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Counted objects handed out by the fake store: every one taken must be given back.
inline std::atomic<int>& LiveFakes() {
  static std::atomic<int> s_live{0};
  return s_live;
}

template <class TInterface>
class CCounted : public TInterface {
 public:
  CCounted() { ++LiveFakes(); }
  virtual ~CCounted() { --LiveFakes(); }
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID, void**) override {
    return win32::E_NOINTERFACE;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  win32::ULONG STDMETHODCALLTYPE Release() override {
    win32::ULONG count = --m_refs;
    if (count == 0) delete this;
    return count;
  }

 private:
  std::atomic<win32::ULONG> m_refs{1};
};

struct FakePhone {
  int64_t id;
  std::u16string name;  // empty: the store has no name for it
  int offline = 0;
};

class CFakeDevice final : public CCounted<IOrbalynDevice> {
 public:
  explicit CFakeDevice(FakePhone phone) : m_phone(std::move(phone)) {}
  win32::HRESULT STDMETHODCALLTYPE GetId(int64_t* pId) override {
    *pId = m_phone.id;
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) override {
    if (m_phone.name.empty()) {
      *pName = nullptr;
      return win32::E_FAIL;
    }
    *pName = win32::SysAllocString(m_phone.name.c_str());
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE GetGuid(win32::BSTR*) override { return win32::E_NOTIMPL; }
  win32::HRESULT STDMETHODCALLTYPE GetZelid(win32::BSTR*) override { return win32::E_NOTIMPL; }
  win32::HRESULT STDMETHODCALLTYPE GetBindState(int*) override { return win32::E_NOTIMPL; }
  win32::HRESULT STDMETHODCALLTYPE GetRemoteState(int*) override { return win32::E_NOTIMPL; }
  win32::HRESULT STDMETHODCALLTYPE GetLocalState(int*) override { return win32::E_NOTIMPL; }
  win32::HRESULT STDMETHODCALLTYPE IsOnline(int* pOnline) override {
    *pOnline = !m_phone.offline;
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE IsOffline(int* pOffline) override {
    *pOffline = m_phone.offline;
    return win32::S_OK;
  }

 private:
  FakePhone m_phone;
};

class CFakeDevices final : public CCounted<IOrbalynDeviceContainer> {
 public:
  explicit CFakeDevices(std::vector<FakePhone> phones) : m_phones(std::move(phones)) {}
  win32::HRESULT STDMETHODCALLTYPE GetCount(int* pCount) override {
    *pCount = static_cast<int>(m_phones.size());
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE GetAt(int index, IOrbalynDevice** ppDevice) override {
    if (index < 0 || index >= static_cast<int>(m_phones.size())) {
      *ppDevice = nullptr;
      return 1;
    }
    *ppDevice = new CFakeDevice(m_phones[index]);
    return win32::S_OK;
  }

 private:
  std::vector<FakePhone> m_phones;
};

// The root, store and logic: static objects whose counts do nothing, as the library's.
template <class TInterface>
class CStatic : public TInterface {
 public:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID, void**) override {
    return win32::E_NOINTERFACE;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class CFakeStore final : public CStatic<IOrbalynDB> {
 public:
  std::vector<FakePhone> m_bound;
  std::u16string m_workDir;

  win32::HRESULT STDMETHODCALLTYPE SetWorkDir(const win32::WCHAR* pDir) override {
    m_workDir = pDir ? pDir : u"";
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE GetWorkDir(win32::BSTR* pDir) override {
    *pDir = win32::SysAllocString(m_workDir.c_str());
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE GetDeviceId(int64_t* pId) override {
    *pId = 1;
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE FindDevice(int64_t, IOrbalynDevice** ppDevice) override {
    *ppDevice = nullptr;
    return 1;
  }
  win32::HRESULT STDMETHODCALLTYPE GetBoundDevices(IOrbalynDeviceContainer** ppDevices) override {
    *ppDevices = new CFakeDevices(m_bound);
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE GetAllDevices(IOrbalynDeviceContainer** ppDevices) override {
    return GetBoundDevices(ppDevices);
  }
  win32::HRESULT STDMETHODCALLTYPE AutoRenameDevice(int64_t, win32::BSTR*) override {
    return win32::E_NOTIMPL;
  }
  win32::HRESULT STDMETHODCALLTYPE GetMatchDeviceId(int64_t, int64_t* pMatch) override {
    *pMatch = 0;
    return win32::S_OK;
  }

  void Unbind(int64_t id) {
    std::erase_if(m_bound, [id](const FakePhone& phone) { return phone.id == id; });
  }
};

// UnbindDevice records the id and takes the phone out of the store, as the library does.
class CFakeLogic final : public CStatic<IOrbalynLogic> {
 public:
  explicit CFakeLogic(CFakeStore* pStore) : m_pStore(pStore) {}
  std::vector<int64_t> m_unbound;

  win32::HRESULT STDMETHODCALLTYPE Advise(IOrbalynLogicSink*) override { return win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE Unadvise(IOrbalynLogicSink*) override { return win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE Login() override { return win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE Logout() override { return win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE GetLoginState(int* pState) override {
    *pState = 0;
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE GetBindInfo(IOrbalynMessage**) override {
    return win32::E_NOTIMPL;
  }
  win32::HRESULT STDMETHODCALLTYPE UnbindDevice(int64_t id) override {
    m_unbound.push_back(id);
    m_pStore->Unbind(id);
    return win32::S_OK;
  }

 private:
  CFakeStore* m_pStore;
};

class CFakeRoot final : public CStatic<IOrbalyn> {
 public:
  CFakeRoot() : m_logic(&m_store) {}
  CFakeStore m_store;
  CFakeLogic m_logic;

  win32::HRESULT STDMETHODCALLTYPE Start() override { return win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE Stop() override { return win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE GetLogic(IOrbalynLogic** ppLogic) override {
    *ppLogic = &m_logic;
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE GetDB(IOrbalynDB** ppDb) override {
    *ppDb = &m_store;
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE GetUploader(IOrbalynUploader** ppUploader) override {
    *ppUploader = nullptr;
    return win32::E_NOTIMPL;
  }
};

}  // namespace photo_test
