#pragma once
// Storage for the dispatch layer's process-wide single instances (worker pool, event thread,
// main and global queues). They are never destroyed, so that work submitted from exit handlers
// or static destructors on any thread still finds them intact; memory they hold stays reachable
// from static storage, so leak checkers do not report it.

#include <new>
#include <utility>

namespace platform::dispatch::detail {

template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& operator*() { return *get(); }
  T* operator->() { return get(); }
  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform::dispatch::detail
