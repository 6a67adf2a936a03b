#pragma once
// An open file or pipe end, owned: closed by closeFile() or when the last reference goes away.
//
// Readability: with a handler installed, the handle watches its descriptor (a dispatch read
// source) and calls the handler on the handle's own serial queue each time data can be read;
// the handler reads it with availableData(). A handler that does not read is called again at
// once, so it must read. At end of file the handler is called once more (availableData() then
// returns nothing) and the handle stops watching.
//
// setReadabilityHandler(nullptr) removes the handler: when it returns, no call of the old handler
// is running or will start (unless it is called from inside that handler, which then finishes
// normally). So a reader that removes the handler may then read what the handler collected
// without racing it.
//
// Thread safety: every operation may be called from any thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/base/Error.h"
#include "platform/base/FileDescriptor.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

namespace platform::process {

class FileHandle : public std::enable_shared_from_this<FileHandle> {
 public:
  using ReadabilityHandler = std::function<void(FileHandle&)>;

  // Takes ownership of `fd`.
  static std::shared_ptr<FileHandle> make(base::FileDescriptor fd);
  // Opens the existing file at `path` for writing, at offset 0; never creates it. Null with
  // `error` set when it cannot be opened.
  static std::shared_ptr<FileHandle> forWritingAtPath(const std::filesystem::path& path,
                                                      base::Error& error);

  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // The descriptor, borrowed; -1 after closeFile().
  int fileDescriptor() const;

  std::optional<base::Error> seekToEndOfFile();
  // Sets the file's size to `offset` and moves to it.
  std::optional<base::Error> truncateAtOffset(std::uint64_t offset);

  void setReadabilityHandler(ReadabilityHandler handler);
  // Reads what can be read now without waiting (a regular file: up to its end). Empty at end of
  // file, when nothing is waiting, or after closeFile().
  std::vector<std::uint8_t> availableData();

  // Stops watching and closes the descriptor. Later calls do nothing.
  void closeFile();

  // Calls the readability handler, on its queue, for as long as data is waiting in the
  // descriptor, and returns when that is done. A process runner calls this when its child has
  // exited, so that everything the child wrote reaches the handler before the runner reports
  // the exit.
  void deliverWaitingData();

 private:
  explicit FileHandle(base::FileDescriptor fd);
  void handleReadable();
  // Stops the read source; returns it so that the caller can finish it outside the lock.
  std::shared_ptr<dispatch::ReadSource> stopWatchingLocked();

  mutable std::mutex mutex_;
  base::FileDescriptor fd_;
  std::shared_ptr<ReadabilityHandler> handler_;
  std::shared_ptr<dispatch::ReadSource> source_;
  dispatch::QueuePtr queue_;  // made with the first handler
  bool atEnd_ = false;
};

}  // namespace platform::process
