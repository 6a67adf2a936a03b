#pragma once
// Storage for the process-wide single instances (the dispatcher, the worker pool, the event
// thread, the settings registry, the daemon's objects): the object is built in place and never
// destroyed. Work submitted from exit handlers, static destructors or threads still running at
// exit therefore always finds it intact, and memory it holds stays reachable from static
// storage, so leak checkers do not report it.
//
// Meant for function-local statics, which C++ initialises exactly once even when threads race:
//   Registry& registry() { static platform::base::NoDestructor<Registry> r; return *r; }

#include <new>
#include <utility>

namespace platform::base {

template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  ~NoDestructor() = default;  // deliberately leaves the object alone

  T& operator*() { return *get(); }
  const T& operator*() const { return *get(); }
  T* operator->() { return get(); }
  const T* operator->() const { return get(); }
  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  const T* get() const { return std::launder(reinterpret_cast<const T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform::base
