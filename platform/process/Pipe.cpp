#include "platform/process/Pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform::process {

std::shared_ptr<Pipe> Pipe::make(base::Error& error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = base::posixError(errno, "pipe");
    return nullptr;
  }
  base::FileDescriptor reading(fds[0]);
  base::FileDescriptor writing(fds[1]);
  if (::fcntl(reading.get(), F_SETFL, O_NONBLOCK) != 0) {
    error = base::posixError(errno, "pipe");
    return nullptr;
  }
  return std::shared_ptr<Pipe>(
      new Pipe(FileHandle::make(std::move(reading)), FileHandle::make(std::move(writing))));
}

}  // namespace platform::process
