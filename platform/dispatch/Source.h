#pragma once
// Dispatch sources: kernel events turned into items on a target queue. One event thread (epoll)
// watches every source; it only turns kernel events into items on the source's queue.
//
// Common rules:
// - A source is created suspended: nothing is delivered before the first resume().
// - Handlers run on the target queue; a source's event handler never runs concurrently with
//   itself. Events that arrive while a handler is pending are merged (data() accumulates).
// - cancel() stops further deliveries; the cancel handler runs once, on the target queue, after
//   any running event handler has returned. Dropping the last reference cancels the source.
//   Once cancel() has returned, the source no longer looks at the descriptor it watches (a read
//   or file source), so its owner may close that descriptor at once.
// - Handlers usually capture their owner weakly; the source holds its handlers until cancelled.

#include <sys/types.h>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Time.h"

namespace platform::dispatch {

class SourceImpl;

class Source : public std::enable_shared_from_this<Source> {
 public:
  virtual ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  void setEventHandler(std::function<void()> handler);
  void setCancelHandler(std::function<void()> handler);
  void resume();
  void suspend();
  void cancel();
  bool isCancelled() const;
  // Data of the event being handled, valid inside the event handler: timers: the number of
  // expirations merged; signals: the number of deliveries merged; file events: the FileEvent
  // bits seen; readable descriptors: an estimate of the bytes available; writable descriptors: 1
  // when an error or hang-up came with it; process exit: the ProcessEvent bits.
  std::uint64_t data() const;
  const std::shared_ptr<Queue>& queue() const;

 protected:
  explicit Source(std::unique_ptr<SourceImpl> impl);
  std::unique_ptr<SourceImpl> impl_;
};

// Timers on the monotonic or the wall clock (chosen by the start deadline's clock).
class TimerSource : public Source {
 public:
  enum Flags : unsigned { None = 0, Strict = 1 };  // Strict: fire on time, ignoring leeway
  static std::shared_ptr<TimerSource> make(std::shared_ptr<Queue> queue, unsigned flags = None);
  // First fire at `start`, then every `interval` (zero or negative: one-shot). `leeway` is how
  // late the system may fire to batch wake-ups. A wall-clock timer fires at once when the clock
  // is set forward past its deadline. Calling it again re-arms the timer.
  void schedule(Time start, std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway);

 private:
  using Source::Source;
};

// A signal delivered through a signalfd. Arming blocks the signal in the calling thread (threads
// of this layer block all asynchronous signals already) and re-applies an ignoring disposition
// when the signal is ignored, so an instance that arrived before arming is discarded and one
// that arrives after is delivered here.
class SignalSource : public Source {
 public:
  static std::shared_ptr<SignalSource> make(int signo, std::shared_ptr<Queue> queue);
  int signal() const;

 private:
  using Source::Source;
};

// Changes to an open file: deleted (including an unlink while open), renamed, or revoked
// (its file system unmounted).
enum FileEvent : std::uint64_t {
  FileDelete = 0x1,
  FileWrite = 0x2,
  FileExtend = 0x4,
  FileAttrib = 0x8,
  FileLink = 0x10,
  FileRename = 0x20,
  FileRevoke = 0x40,
};
class FileSource : public Source {
 public:
  // Watches the file open as `fd` (the descriptor is not owned and must stay open while the
  // source is active) for the events in `mask`.
  static std::shared_ptr<FileSource> make(int fd, std::uint64_t mask, std::shared_ptr<Queue> queue);

 private:
  using Source::Source;
};

// A readable descriptor (pipe, socket, eventfd...). The descriptor is not owned.
class ReadSource : public Source {
 public:
  static std::shared_ptr<ReadSource> make(int fd, std::shared_ptr<Queue> queue);
  int fd() const;

 private:
  using Source::Source;
};

// A writable descriptor: a socket whose non-blocking connect has finished (either way), a pipe
// with room. The descriptor is not owned. data() is 1 when the descriptor also reported an error
// or a hang-up (for a connecting socket: the connect failed; read SO_ERROR for the reason).
class WriteSource : public Source {
 public:
  static std::shared_ptr<WriteSource> make(int fd, std::shared_ptr<Queue> queue);
  int fd() const;

 private:
  using Source::Source;
};

enum ProcessEvent : std::uint64_t { ProcessExit = 0x80000000ULL };
// The exit of a process, through a pidfd.
class ProcessSource : public Source {
 public:
  // nullptr when the process cannot be watched (no such process).
  static std::shared_ptr<ProcessSource> make(pid_t pid, std::shared_ptr<Queue> queue);
  pid_t pid() const;

 private:
  using Source::Source;
};

}  // namespace platform::dispatch
