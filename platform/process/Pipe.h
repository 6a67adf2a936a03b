#pragma once
// A one-way channel between processes: a pipe whose two ends are file handles. The read end is
// non-blocking (it is read through readability handlers); the write end stays blocking, as a
// child that writes to it expects. Both are closed on exec, so only a process that is handed an
// end explicitly (a task's standard stream) inherits it.

#include <memory>

#include "platform/base/Error.h"
#include "platform/process/FileHandle.h"

namespace platform::process {

class Pipe {
 public:
  // Null with `error` set when the process is out of descriptors.
  static std::shared_ptr<Pipe> make(base::Error& error);

  const std::shared_ptr<FileHandle>& fileHandleForReading() const { return reading_; }
  const std::shared_ptr<FileHandle>& fileHandleForWriting() const { return writing_; }

 private:
  Pipe(std::shared_ptr<FileHandle> reading, std::shared_ptr<FileHandle> writing)
      : reading_(std::move(reading)), writing_(std::move(writing)) {}

  std::shared_ptr<FileHandle> reading_;
  std::shared_ptr<FileHandle> writing_;
};

}  // namespace platform::process
