#pragma once
// The diagnostic channel: how the logging subsystem and the platform layer report their own
// failures and contract violations. It never goes through the logging subsystem (which may be the
// thing that is failing): each report is one line on standard error,
//   "2026-12-05 15:16:49.123 coreserviced[1234:1240] DDFileLogger: Failed to ..."
// with the local time, the process name, the pid and the thread id. When standard error is a
// stream to the journal (systemd says so through JOURNAL_STREAM), which stamps every line with
// time, process and pid of its own, the line is instead the text behind a syslog priority:
//   "<3>DDFileLogger: Failed to ..."
// Reports are errors (3); contract violations are critical (2), being faults in the program.
//
// Contract violations (programming errors such as waiting on a queue from itself) are reported
// on this channel with the prefix "Contract violation: " and the offending operation is refused;
// the process goes on.

#include <cstdarg>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::diagnostics {

// Reports one line (a trailing newline in `text` is not doubled).
void report(std::string_view text);
// printf-style convenience; a format and arguments that disagree are the caller's bug, as with
// printf itself, so callers pass literal formats only.
void reportf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports a contract violation with its exact text.
void contractViolation(std::string_view text);

// Where reports go. The default writes the full line to standard error. A writer receives the
// bare text (without the time/process prefix) and the full line. Returns the previous writer.
using Writer = std::function<void(std::string_view text, std::string_view line)>;
Writer setWriter(Writer writer);

// Restores the previous writer when it goes out of scope; collects reports while alive.
class ScopedCapture {
 public:
  ScopedCapture();
  ~ScopedCapture();
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  // Bare texts reported so far, in order.
  std::vector<std::string> texts() const;
  bool contains(std::string_view needle) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  Writer previous_;
};

}  // namespace platform::diagnostics
