#pragma once
// An owning file descriptor: closes what it holds when it goes out of scope or is given a new
// one, so error paths need no hand-written close(). Move-only; -1 means "holds nothing".
//
//   platform::base::FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
//   if (!fd) return failure(errno);   // errno is still the open's, nothing was closed
//   ::read(fd.get(), ...);            // borrowed for the call; fd still owns it

#include <utility>

namespace platform::base {

class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  // Takes ownership of `fd` (a negative value holds nothing).
  explicit FileDescriptor(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
  ~FileDescriptor() { reset(); }

  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives the descriptor up without closing it.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the current descriptor (if any) and takes `fd`. errno is left as it was, so a
  // caller can reset after a failed call and still report that call's error.
  void reset(int fd = -1) noexcept;

  // Closes now and returns close()'s outcome: 0, or the errno it failed with. The descriptor
  // is released either way: on Linux a close that fails (even with EINTR) has already freed
  // the number, and closing it again could close another thread's new descriptor.
  int close() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace platform::base
