#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "win32/sync.h"

// Base of every process-wide object, in the library and in the GUI program: built on first use
// in static storage, destroyed at process exit in the reverse order of construction.
// A derived class keeps its constructor private and befriends Singleton<T>.
// Threading: Instance may be called from any thread at any time. The state word is 0 (not
// built), 1 (being built) or the instance's address; it is pointer-sized because it holds an
// address. The losers of the first-use race yield while the winner constructs.
template <class T>
class Singleton {
 public:
  Singleton(const Singleton&) = delete;
  Singleton& operator=(const Singleton&) = delete;
  virtual ~Singleton() = default;

  static T* Instance();

 protected:
  Singleton() = default;

 private:
  static constexpr uintptr_t kBuilding = 1;

  static void* Storage();
  static void DestroyInstance();

  static inline std::atomic<uintptr_t> s_state{0};
};

template <class T>
T* Singleton<T>::Instance() {
  uintptr_t state = s_state.load();
  if (state > kBuilding) return reinterpret_cast<T*>(state);

  uintptr_t expected = 0;
  if (!s_state.compare_exchange_strong(expected, kBuilding)) {
    while ((state = s_state.load()) == kBuilding) win32::Sleep(0);
    return reinterpret_cast<T*>(state);
  }
  T* pInstance = new (Storage()) T();
  std::atexit(&Singleton<T>::DestroyInstance);
  s_state.exchange(reinterpret_cast<uintptr_t>(pInstance));
  return pInstance;
}

template <class T>
void* Singleton<T>::Storage() {
  // In the function, so sizeof(T) is taken where T is complete.
  alignas(T) static unsigned char storage[sizeof(T)];
  return storage;
}

template <class T>
void Singleton<T>::DestroyInstance() {
  reinterpret_cast<T*>(s_state.load())->~T();
}
