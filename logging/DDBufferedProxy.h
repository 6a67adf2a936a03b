#pragma once
// A write buffer in front of a file logger: formatted records collect in memory and reach the
// file in one write once a file-system block (or the chosen size) is full, on flush, and when
// the buffer goes away. Until then records live only in memory.
//
// The proxy stands in for the file logger towards the dispatcher: every operation it does not
// handle itself (and every question whether an operation is offered) goes to the wrapped
// logger, so the proxy is driven on the wrapped logger's queue, under its name and formatter.
// Removing the proxy from the dispatcher first sends what is buffered, then lets the wrapped
// logger roll, so no record is left behind in memory when the file is archived.
//
// The buffered bytes are shown to the crash handler (DDCrashFlush.h) through the wrapped
// logger's slot, so that a crash does not lose them; one proxy per file logger has that right
// (the first made). Every change of the buffer is a section of that slot.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "logging/DDCrashFlush.h"
#include "logging/DDLogger.h"

class DDFileLogger;

class DDBufferedProxy : public DDLogger, public std::enable_shared_from_this<DDBufferedProxy> {
 public:
  explicit DDBufferedProxy(std::shared_ptr<DDFileLogger> fileLogger);
  // Sends what is buffered, on the wrapped logger's queue, then lets the logger go.
  ~DDBufferedProxy() override;
  DDBufferedProxy(const DDBufferedProxy&) = delete;
  DDBufferedProxy& operator=(const DDBufferedProxy&) = delete;

  // The block size of the file system mounted at "/" (4096 when it cannot be read): the default
  // buffer size. Taken once per process.
  static std::uint64_t defaultBufferSize();
  // Its optimal transfer size (1048576 when it cannot be read): the largest buffer allowed.
  static std::uint64_t maximumBufferSize();

  // ---- handled here ----
  void logMessage(const DDLogMessagePtr& message) override;
  void flush() override;
  void willRemoveLogger() override;
  // Starts a new, empty buffer (whatever was in it is dropped).
  void flushBuffer();
  void lt_sendBufferedDataToFileLogger();
  // Stores the smaller of `bytes` and the largest allowed size.
  void setMaxBufferSizeBytes(std::uint64_t bytes);
  std::uint64_t maxBufferSizeBytes() const { return maxBufferSizeBytes_.load(); }
  std::uint64_t currentBufferSizeBytes() const { return currentBufferSizeBytes_.load(); }
  const std::shared_ptr<DDFileLogger>& fileLogger() const { return fileLogger_; }
  std::shared_ptr<DDBufferedProxy> wrapWithBuffer();
  std::shared_ptr<DDFileLogger> unwrapFromBuffer() { return fileLogger_; }

  // ---- forwarded to the wrapped logger ----
  DDLogFormatterPtr logFormatter() override;
  void setLogFormatter(DDLogFormatterPtr formatter) override;
  unsigned offeredOperations() const override;
  void didAddLogger() override;
  void didAddLoggerInQueue(const platform::dispatch::QueuePtr& queue) override;
  platform::dispatch::QueuePtr loggerQueue() override;
  std::string loggerName() const override;

 private:
  // Runs `work` on the wrapped logger's queue: inline there, else synchronously through the
  // global logging queue.
  template <class F>
  void onLoggerQueue(F&& work);
  // Tells the crash handler where the buffered bytes are now; inside a section.
  void publishBuffer();

  const std::shared_ptr<DDFileLogger> fileLogger_;
  // The wrapped logger's crash slot when this proxy owns its buffered bytes, else null.
  DDCrashFlush::Slot* crashSlot_ = nullptr;
  // Written only on the wrapped logger's queue.
  std::string buffer_;
  // The record being added, formatted outside the buffer: a formatter that crashes then leaves
  // the buffer whole for the crash handler.
  std::string line_;
  std::atomic<std::uint64_t> maxBufferSizeBytes_{0};
  std::atomic<std::uint64_t> currentBufferSizeBytes_{0};
};
