#include "platform/base/FileDescriptor.h"

#include <unistd.h>

#include <cerrno>

namespace platform::base {

void FileDescriptor::reset(int fd) noexcept {
  const int old = std::exchange(fd_, fd < 0 ? -1 : fd);
  if (old >= 0 && old != fd_) {
    const int savedErrno = errno;
    ::close(old);
    errno = savedErrno;
  }
}

int FileDescriptor::close() noexcept {
  const int old = release();
  if (old < 0) return 0;
  return ::close(old) == 0 ? 0 : errno;
}

}  // namespace platform::base
