#include "platform/diagnostics/Diagnostics.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <errno.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/base/NoDestructor.h"
#include "platform/diagnostics/RateLimiter.h"

namespace platform::diagnostics {
namespace {

constexpr std::string_view kContractViolation = "Contract violation: ";

std::mutex& writerMutex() {
  static std::mutex m;
  return m;
}

// Never destroyed: reports may come from exit handlers (the logging exit flush) after static
// destructors ran.
Writer& currentWriter() {
  static platform::base::NoDestructor<Writer> w;  // empty: standard error
  return *w;
}

const char* processName() {
  // glibc's short program name (declared by <errno.h> with _GNU_SOURCE).
  return ::program_invocation_short_name ? ::program_invocation_short_name : "?";
}

// Whether standard error is the journal: JOURNAL_STREAM holds "<device>:<inode>" of the stream
// systemd connected, which a redirection by the process or its parent would have replaced.
bool standardErrorIsJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st {};
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
  }();
  return journal;
}

std::string formatLine(std::string_view text) {
  if (standardErrorIsJournal()) {
    // Syslog priorities: a contract violation is a fault in the program itself (critical, 2);
    // every other report is an operation that failed (error, 3).
    std::string line = text.starts_with(kContractViolation) ? "<2>" : "<3>";
    line.append(text);
    line.push_back('\n');
    return line;
  }
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  char stamp[64];
  std::size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", ts.tv_nsec / 1000000);
  char prefix[160];
  std::snprintf(prefix, sizeof prefix, "%s %s[%d:%ld] ", stamp, processName(), getpid(),
                static_cast<long>(syscall(SYS_gettid)));
  std::string line(prefix);
  line.append(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  return line;
}

// One write per line so that concurrent reports never interleave within a line.
void writeToStandardError(const std::string& line) {
  std::size_t off = 0;
  while (off < line.size()) {
    ssize_t r = ::write(STDERR_FILENO, line.data() + off, line.size() - off);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    off += static_cast<std::size_t>(r);
  }
}

// Guarded by the writer mutex. Never destroyed: reports may come from exit handlers.
RateLimiter& standardErrorLimiter() {
  static platform::base::NoDestructor<RateLimiter> limiter;
  return *limiter;
}

// `kind` groups reports for rate limiting on standard error: the format of a formatted report,
// else the text itself. A writer set by setWriter() sees every report.
void reportOfKind(std::string_view kind, std::string_view text) {
  while (!text.empty() && text.back() == '\n')
    text.remove_suffix(1);
  const int savedErrno = errno;
  std::string line = formatLine(text);
  std::lock_guard lock(writerMutex());
  if (auto& w = currentWriter()) {
    w(text, line);
  } else {
    const auto decision = standardErrorLimiter().admit(kind, text, RateLimiter::Clock::now());
    if (decision.summary) writeToStandardError(formatLine(*decision.summary));
    if (decision.show) writeToStandardError(line);
  }
  errno = savedErrno;
}

}  // namespace

void report(std::string_view text) {
  reportOfKind(text, text);
}

void reportf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, ap2);
    text.resize(static_cast<std::size_t>(n));
  }
  va_end(ap2);
  reportOfKind(format, text);
}

void contractViolation(std::string_view text) {
  std::string t(kContractViolation);
  t.append(text);
  report(t);
}

Writer setWriter(Writer writer) {
  std::lock_guard lock(writerMutex());
  Writer old = std::move(currentWriter());
  currentWriter() = std::move(writer);
  return old;
}

struct ScopedCapture::State {
  mutable std::mutex m;
  std::vector<std::string> texts;
};

ScopedCapture::ScopedCapture() : state_(std::make_shared<State>()) {
  previous_ = setWriter([s = state_](std::string_view text, std::string_view) {
    std::lock_guard lock(s->m);
    s->texts.emplace_back(text);
  });
}

ScopedCapture::~ScopedCapture() {
  setWriter(std::move(previous_));
}

std::vector<std::string> ScopedCapture::texts() const {
  std::lock_guard lock(state_->m);
  return state_->texts;
}

bool ScopedCapture::contains(std::string_view needle) const {
  std::lock_guard lock(state_->m);
  for (const auto& t : state_->texts)
    if (t.find(needle) != std::string::npos) return true;
  return false;
}

}  // namespace platform::diagnostics
