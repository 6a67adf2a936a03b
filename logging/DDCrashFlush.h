#pragma once
// Crash-safe flush: when the process is about to die of SIGSEGV, SIGBUS, SIGFPE, SIGILL or
// SIGABRT, the records already queued still reach the file loggers' files, and then the signal's
// default action runs (the exit status and the core dump are those of the signal). Off until
// DDCrashFlush::install() is called once; logging pays almost nothing for it either way.
//
// What the handler does, on the crashing thread, using only async-signal-safe calls (atomics,
// futex, nanosleep, write, sigaction, raise):
// 1. Cooperative flush. Unless the crash happened on the logging pipeline itself (the global
//    logging queue or a logger's work), it wakes a flush thread started by install(), which runs
//    every dispatcher's flushLog(): every record queued before the crash is formatted and written
//    by the loggers as usual, write buffers included. The handler waits as long as the pipeline
//    makes progress, and gives up after `patience` without any (the crashed thread may hold a
//    lock the pipeline needs: the allocator's, a logger's).
// 2. Takeover, when the cooperative flush did not finish. Every file logger keeps in a slot of a
//    never-freed table the descriptor of its open file and, behind a write buffer, the buffer's
//    formatted bytes. The handler stops the file loggers (a logger thread that next touches its
//    file or buffer parks for good), waits for the one that is busy with them to finish, and
//    writes the buffered bytes itself with write(2). Records not yet formatted are lost then:
//    formatting is not async-signal-safe.
// 3. Default disposition restored, signal raised again: the process dies of it.
//
// The flush thread takes no asynchronous signal, so install() may come before or after a program
// blocks the signals it reads from a signalfd.
//
// A second thread that crashes while the first one flushes waits for the process to die. A
// crash on a stack overflow dies at once (no alternate signal stack is installed). install()
// replaces any handler already installed for the five signals.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>

class DDCrashFlush {
 public:
  static constexpr std::chrono::milliseconds kDefaultPatience{3000};

  // Installs the handlers and starts the flush thread. Later calls only change the patience.
  // False when a handler or the thread could not be installed (nothing is installed then).
  static bool install(std::chrono::milliseconds patience = kDefaultPatience);
  static bool isInstalled() noexcept;

  // What a file logger shows the handler. Written on the file logger's queue, read by the
  // handler only after takeover, when no section is open.
  struct Slot {
    std::atomic<bool> used{false};
    std::atomic<int> busy{0};  // a section is open
    std::atomic<int> fd{-1};   // the open log file
    // The formatted bytes a write buffer holds, and the buffer that owns the right to say so.
    std::atomic<const void*> pendingOwner{nullptr};
    std::atomic<const char*> pending{nullptr};
    std::atomic<std::size_t> pendingLength{0};
  };
  // A free slot, or null when all are taken (that logger then has no takeover).
  static Slot* acquireSlot() noexcept;
  static void releaseSlot(Slot* slot) noexcept;

  // Brackets every change of a slot's descriptor or buffer, and every write through them: once
  // the handler has taken over, a thread entering a section parks until the process dies. A
  // section nested in one of the same slot is free. Does nothing before install().
  class Section {
   public:
    explicit Section(Slot* slot) noexcept;
    ~Section();
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

   private:
    Slot* slot_ = nullptr;
    Slot* outer_ = nullptr;
  };
};
