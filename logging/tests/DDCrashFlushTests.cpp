// A process that crashes with records still queued for its file logger leaves them in its file
// and dies of the signal that crashed it. Each case runs in a child process (this test binary
// again), which sets up logging, logs, crashes, and is judged by its parent.

#include "logging/DDCrashFlush.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "logging/DDBufferedProxy.h"
#include "logging/DDFileLogger.h"
#include "logging/DDLogFileManagerDefault.h"
#include "logging/DDLogFrontEnd.h"
#include "logging/tests/LogTestSupport.h"

using namespace logtest;

namespace {

constexpr int kRecords = 1000;

// A real fault where the machine has one for the signal, raise() elsewhere.
[[noreturn]] void crash(int signal) {
  ::prctl(PR_SET_DUMPABLE, 0);  // no core file from a test
  switch (signal) {
    case SIGSEGV: {
      volatile std::uintptr_t unmapped = 8;
      *reinterpret_cast<volatile int*>(unmapped) = 1;
      break;
    }
    case SIGBUS: {
      // A page beyond the end of an empty file.
      const int fd = ::memfd_create("empty", 0);
      void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
      if (page != MAP_FAILED) (void)*static_cast<volatile char*>(page);
      break;
    }
    case SIGFPE: {
#if defined(__x86_64__)
      int dividend = 1;
      volatile int zero = 0;
      const int divisor = zero;
      asm volatile("cltd\n\tidivl %[d]" : "+a"(dividend) : [d] "r"(divisor) : "edx", "cc");
#endif
      break;
    }
    case SIGILL:
#if defined(__x86_64__)
      __builtin_trap();
#endif
      break;
    case SIGABRT:
      std::abort();
  }
  ::raise(signal);
  std::_Exit(3);
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::vector<std::string> expectedRecords(int count) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i)
    lines.push_back("record " + std::to_string(i));
  return lines;
}

// Every line of every file in `dir`, oldest file first.
std::vector<std::string> linesIn(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
    files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> lines;
  for (const auto& f : files) {
    std::istringstream in(readFile(f));
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
  }
  return lines;
}

// Runs the test `name` as a child with `variables`; returns its wait status. `childLog` gets
// the child's standard error.
int runChild(const std::string& name, const std::vector<std::string>& variables,
             const std::string& childLog) {
  return runSelf("DDCrashFlush." + name, variables, childLog);
}

// The child died of `signal`, and no sanitizer reported anything in it on the way (a race or a
// bad access on the crash path shows only there: the signal ends the child before it could exit
// with the sanitizer's status).
::testing::AssertionResult diedOf(int signal, int status, const std::string& childLog) {
  const std::string log = readFile(childLog);
  if (WIFSIGNALED(status) && WTERMSIG(status) == signal &&
      log.find("Sanitizer") == std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  std::string what = WIFSIGNALED(status) ? "died of signal " + std::to_string(WTERMSIG(status))
                     : WIFEXITED(status) ? "exited with " + std::to_string(WEXITSTATUS(status))
                                         : "status " + std::to_string(status);
  return ::testing::AssertionFailure() << what << "; its standard error:\n" << log;
}

// True while thread `tid` of this process runs the crash handler: it alone blocks SIGBUS and
// SIGILL together (the handler blocks all five crash signals while it runs).
bool runsCrashHandler(pid_t tid) {
  std::istringstream in(readFile("/proc/self/task/" + std::to_string(tid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("SigBlk:", 0) != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return ((mask >> (SIGBUS - 1)) & 1) != 0 && ((mask >> (SIGILL - 1)) & 1) != 0;
  }
  return false;
}

// Each record's bare text; the first is held back until `crashing` runs the crash handler, so
// that every record is still queued when the process starts to die.
class HoldingFormatter : public DDLogFormatter {
 public:
  explicit HoldingFormatter(pid_t crashing) : crashing_(crashing) {}
  std::optional<std::string> formatLogMessage(const DDLogMessage& m) override {
    if (!released_) released_ = eventually([&] { return runsCrashHandler(crashing_); }, 60s);
    return std::string(m.message());
  }

 private:
  const pid_t crashing_;
  bool released_ = false;  // only the logger's queue touches it
};

struct ChildLogging {
  std::shared_ptr<DDFileLogger> fileLogger;
  std::shared_ptr<DDBufferedProxy> buffer;
};

ChildLogging startFileLogging(bool buffered, DDLogFormatterPtr formatter) {
  ChildLogging logging;
  auto manager = std::make_shared<DDLogFileManagerDefault>(env("DDCRASH_DIR"));
  logging.fileLogger = std::make_shared<DDFileLogger>(manager);
  logging.fileLogger->setLogFormatter(std::move(formatter));
  if (buffered) {
    logging.buffer = logging.fileLogger->wrapWithBuffer();
    DDLog::sharedAddLogger(logging.buffer);
  } else {
    DDLog::sharedAddLogger(logging.fileLogger);
  }
  return logging;
}

// The main thread crashes while its records wait for the file logger: the flush thread gets
// them all written, through the write buffer or straight to the file, whatever the signal.
TEST(DDCrashFlush, RecordsQueuedWhenAThreadCrashesReachTheFile) {
  if (isChildRun()) {
    ASSERT_TRUE(DDCrashFlush::install(std::chrono::seconds(60)));
    auto logging = startFileLogging(env("DDCRASH_BUFFERED") == "1",
                                    std::make_shared<HoldingFormatter>(::gettid()));
    for (int i = 0; i < kRecords; ++i)
      DDLogInfo("record %d", i);
    crash(std::atoi(env("DDCRASH_SIGNAL").c_str()));
  }
  struct Case {
    int signal;
    bool buffered;
  } cases[] = {{SIGSEGV, true}, {SIGBUS, true},  {SIGFPE, true},
               {SIGILL, true},  {SIGABRT, true}, {SIGSEGV, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE("signal " + std::to_string(c.signal) + (c.buffered ? ", buffered" : ", plain"));
    TempDir dir;
    const std::string logs = dir / "logs";
    const int status =
        runChild("RecordsQueuedWhenAThreadCrashesReachTheFile",
                 {"DDCRASH_DIR=" + logs, "DDCRASH_SIGNAL=" + std::to_string(c.signal),
                  std::string("DDCRASH_BUFFERED=") + (c.buffered ? "1" : "0")},
                 dir / "stderr");
    ASSERT_TRUE(diedOf(c.signal, status, dir / "stderr"));
    EXPECT_EQ(linesIn(logs), expectedRecords(kRecords));
  }
}

// A program that installs the crash flush first and blocks a signal afterwards, to read it from
// a signalfd or sigwait, still gets the signal there: the flush thread never takes one (if it
// did, the signal's default action would end the process).
TEST(DDCrashFlush, ASignalBlockedAfterInstallWaitsForItsReader) {
  if (isChildRun()) {
    sigset_t set;
    sigemptyset(&set);
    ::pthread_sigmask(SIG_SETMASK, &set, nullptr);
    if (!DDCrashFlush::install()) std::_Exit(5);
    // A new thread takes signals only once it runs: until then it has them all blocked.
    const auto flushThreadRuns = [] {
      std::error_code ec;
      for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec))
        if (readFile(task.path() / "comm") == "crash-flush\n") return true;
      return false;
    };
    if (!eventually(flushThreadRuns, 60s)) std::_Exit(6);
    sigaddset(&set, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ::kill(::getpid(), SIGUSR1);
    const timespec patience{60, 0};
    std::_Exit(::sigtimedwait(&set, nullptr, &patience) == SIGUSR1 ? 0 : 7);
  }
  TempDir dir;
  const int status = runChild("ASignalBlockedAfterInstallWaitsForItsReader", {}, dir / "stderr");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "status " << status << "; its standard error:\n"
      << readFile(dir / "stderr");
}

// A formatter crashes on the logger's own queue, so nothing can be formatted any more: the
// handler writes the lines the write buffer holds itself, and the file ends with the last
// record before the crash.
TEST(DDCrashFlush, ACrashInsideTheLoggerStillWritesTheBufferedLines) {
  class CrashingFormatter : public DDLogFormatter {
   public:
    std::optional<std::string> formatLogMessage(const DDLogMessage& m) override {
      if (m.message() == "crash") crash(SIGSEGV);
      return std::string(m.message());
    }
  };
  if (isChildRun()) {
    ASSERT_TRUE(DDCrashFlush::install(std::chrono::seconds(60)));
    auto logging = startFileLogging(true, std::make_shared<CrashingFormatter>());
    for (int i = 0; i < kRecords; ++i)
      DDLogInfo("record %d", i);
    DDLogInfo("crash");
    DDLog::sharedFlushLog();  // the process dies in here
    std::_Exit(4);
  }
  TempDir dir;
  const std::string logs = dir / "logs";
  const int status = runChild("ACrashInsideTheLoggerStillWritesTheBufferedLines",
                              {"DDCRASH_DIR=" + logs}, dir / "stderr");
  ASSERT_TRUE(diedOf(SIGSEGV, status, dir / "stderr"));
  EXPECT_EQ(linesIn(logs), expectedRecords(kRecords));
}

// The crashed thread holds a lock that another logger needs, so the dispatcher is stuck on the
// first record: the handler gives up waiting after its patience, writes what the write buffer
// holds, and the process still dies of the signal.
TEST(DDCrashFlush, AStuckDispatcherDelaysTheDeathOnlyByThePatience) {
  class BlockedLogger : public DDAbstractLogger {
   public:
    explicit BlockedLogger(std::mutex& m) : m_(m) {}
    void logMessage(const DDLogMessagePtr&) override { std::lock_guard lock(m_); }

   private:
    std::mutex& m_;
  };
  if (isChildRun()) {
    ASSERT_TRUE(DDCrashFlush::install(std::chrono::milliseconds(300)));
    static std::mutex held;
    auto logging = startFileLogging(true, nullptr);
    DDLog::sharedAddLogger(std::make_shared<BlockedLogger>(held));
    std::lock_guard lock(held);
    for (int i = 0; i < kRecords; ++i)
      DDLogInfo("record %d", i);
    // The write buffer has the first record; the blocked logger holds up the rest.
    if (!eventually([&] { return logging.buffer->currentBufferSizeBytes() > 0; },
                    std::chrono::seconds(60))) {
      std::_Exit(5);
    }
    crash(SIGABRT);
  }
  TempDir dir;
  const std::string logs = dir / "logs";
  const int status = runChild("AStuckDispatcherDelaysTheDeathOnlyByThePatience",
                              {"DDCRASH_DIR=" + logs}, dir / "stderr");
  ASSERT_TRUE(diedOf(SIGABRT, status, dir / "stderr"));
  EXPECT_EQ(linesIn(logs), expectedRecords(1));
}

}  // namespace
