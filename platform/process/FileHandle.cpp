#include "platform/process/FileHandle.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace platform::process {

namespace {

// Readability calls in a row that may find data at exit before giving up on a handler that
// does not read.
constexpr int kMaxDeliveriesAtExit = 64;

}  // namespace

std::shared_ptr<FileHandle> FileHandle::make(base::FileDescriptor fd) {
  return std::shared_ptr<FileHandle>(new FileHandle(std::move(fd)));
}

std::shared_ptr<FileHandle> FileHandle::forWritingAtPath(const std::filesystem::path& path,
                                                         base::Error& error) {
  base::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd) {
    error = base::posixError(errno, path.string());
    return nullptr;
  }
  return make(std::move(fd));
}

FileHandle::FileHandle(base::FileDescriptor fd) : fd_(std::move(fd)) {}

FileHandle::~FileHandle() {
  if (source_) source_->cancel();
}

int FileHandle::fileDescriptor() const {
  std::lock_guard lock(mutex_);
  return fd_.get();
}

std::optional<base::Error> FileHandle::seekToEndOfFile() {
  std::lock_guard lock(mutex_);
  if (::lseek(fd_.get(), 0, SEEK_END) < 0) return base::posixError(errno);
  return std::nullopt;
}

std::optional<base::Error> FileHandle::truncateAtOffset(std::uint64_t offset) {
  std::lock_guard lock(mutex_);
  const auto at = static_cast<off_t>(offset);
  if (::ftruncate(fd_.get(), at) != 0 || ::lseek(fd_.get(), at, SEEK_SET) < 0) {
    return base::posixError(errno);
  }
  return std::nullopt;
}

std::shared_ptr<dispatch::ReadSource> FileHandle::stopWatchingLocked() {
  return std::exchange(source_, nullptr);
}

void FileHandle::setReadabilityHandler(ReadabilityHandler handler) {
  std::shared_ptr<dispatch::ReadSource> stopped;
  dispatch::QueuePtr queue;
  {
    std::lock_guard lock(mutex_);
    if (!handler) {
      handler_.reset();
      stopped = stopWatchingLocked();
      queue = queue_;
    } else {
      handler_ = std::make_shared<ReadabilityHandler>(std::move(handler));
      if (!source_ && fd_ && !atEnd_) {
        if (!queue_) queue_ = dispatch::Queue::makeSerial("platform.process.file-handle");
        source_ = dispatch::ReadSource::make(fd_.get(), queue_);
        if (source_) {
          source_->setEventHandler([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->handleReadable();
          });
          source_->resume();
        }
      }
    }
  }
  if (stopped) stopped->cancel();
  // A call already running (or an item already queued) finishes before this returns, so the
  // caller may read what the handler collected.
  if (queue && !dispatch::Queue::isCurrentlyOn(*queue)) queue->sync([] {});
}

void FileHandle::handleReadable() {
  std::shared_ptr<ReadabilityHandler> handler;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
  }
  if (handler) (*handler)(*this);
  std::shared_ptr<dispatch::ReadSource> stopped;
  {
    std::lock_guard lock(mutex_);
    // At end of file the descriptor stays readable for good: stop watching it.
    if (atEnd_) stopped = stopWatchingLocked();
  }
  if (stopped) stopped->cancel();
}

std::vector<std::uint8_t> FileHandle::availableData() {
  std::vector<std::uint8_t> data;
  std::lock_guard lock(mutex_);
  if (!fd_) return data;
  std::uint8_t buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n > 0) {
      data.insert(data.end(), buffer, buffer + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // End of file, or an error that reading again would only repeat.
    atEnd_ = true;
    break;
  }
  return data;
}

void FileHandle::deliverWaitingData() {
  dispatch::QueuePtr queue;
  {
    std::lock_guard lock(mutex_);
    queue = queue_;
  }
  if (!queue) return;
  auto deliver = [this] {
    for (int i = 0; i < kMaxDeliveriesAtExit; ++i) {
      std::shared_ptr<ReadabilityHandler> handler;
      {
        std::lock_guard lock(mutex_);
        int waiting = 0;
        if (!handler_ || !fd_ || atEnd_ || ::ioctl(fd_.get(), FIONREAD, &waiting) != 0 ||
            waiting <= 0) {
          return;
        }
        handler = handler_;
      }
      (*handler)(*this);
    }
  };
  if (dispatch::Queue::isCurrentlyOn(*queue)) {
    deliver();
  } else {
    queue->sync(deliver);
  }
}

void FileHandle::closeFile() {
  std::shared_ptr<dispatch::ReadSource> stopped;
  dispatch::QueuePtr queue;
  base::FileDescriptor closing;
  {
    std::lock_guard lock(mutex_);
    handler_.reset();
    stopped = stopWatchingLocked();
    queue = queue_;
    closing = std::move(fd_);
  }
  if (stopped) stopped->cancel();
  if (stopped && queue && !dispatch::Queue::isCurrentlyOn(*queue)) queue->sync([] {});
}

}  // namespace platform::process
