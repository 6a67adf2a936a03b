#pragma once
// A journald of the test's own: the calling process moves into a private mount namespace with
// empty /run and /var/log, and starts systemd-journald there. Entries sent through the journal's
// socket then reach that journald alone, and sd_journal_open() reads only what it stored; the
// host's journal is never touched.
//
// Must be made while the process has a single thread (a mount namespace is per thread; threads
// started later inherit it), i.e. first thing in a child run of the test binary.
//
// The sandbox is ready once an entry it sent itself can be read back with this process's _PID:
// journald binds its socket before it asks for the senders' credentials, and a datagram sent in
// between is stored without them, so that it is never found among this process's entries; and a
// test must not count journald's start-up against its own deadline.
//
// journald logs at debug level to a file in the private /run; diagnostics() shows that log,
// whether journald still runs and the last entries it stored, for the message of a failed
// expectation.

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/Eventually.h"

namespace journaltest {

using Fields = std::map<std::string, std::string>;

inline int threadCount() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

class JournalSandbox {
 public:
  static constexpr const char* kJournald = "/lib/systemd/systemd-journald";
  static constexpr const char* kSocket = "/run/systemd/journal/socket";
  static constexpr const char* kLog = "/run/journald.log";
  static constexpr const char* kProbeIdentifier = "journal-sandbox-probe";

  JournalSandbox() {
    if (::access(kJournald, X_OK) != 0) {
      skipReason_ = std::string(kJournald) + " is not installed";
      return;
    }
    if (threadCount() != 1) {
      skipReason_ = "the process already runs several threads";
      return;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
      skipReason_ = "no private mount namespace (needs root)";
      return;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
        ::mount("tmpfs", "/var/log", "tmpfs", 0, "mode=0755") != 0) {
      skipReason_ = "cannot mount the private /run and /var/log";
      return;
    }
    // Only what is sent here is stored: the host's kernel messages would make the start-up
    // slower and the journal longer, and no entry must leave the sandbox.
    std::filesystem::create_directories("/run/systemd/journald.conf.d");
    std::ofstream("/run/systemd/journald.conf.d/sandbox.conf")
        << "[Journal]\nStorage=volatile\nReadKMsg=no\nRateLimitBurst=0\nForwardToSyslog=no\n"
           "ForwardToKMsg=no\nForwardToConsole=no\nForwardToWall=no\n";
    journald_ = start();
    if (journald_ < 0) {
      error_ = std::string("cannot start ") + kJournald + ": " + std::strerror(errno);
      return;
    }
    if (!testsupport::eventually([] { return std::filesystem::exists(kSocket); })) {
      error_ = "journald did not open its socket\n" + diagnostics();
      return;
    }
    // One probe at a time, each once journald stored the one before, until one has our _PID.
    const std::string pid = std::to_string(::getpid());
    for (int probe = 1;; ++probe) {
      const std::string text = "ready? " + std::to_string(probe);
      const int sent = sd_journal_send("MESSAGE=%s", text.c_str(), "SYSLOG_IDENTIFIER=%s",
                                       kProbeIdentifier, nullptr);
      if (sent < 0) {
        error_ = "probe " + std::to_string(probe) + " was not sent: " + std::strerror(-sent) +
                 "\n" + diagnostics();
        return;
      }
      std::vector<Fields> stored;
      const bool seen = testsupport::eventually([&] {
        stored =
            read([&](const Fields& f) { return isProbe(f) && f.at("MESSAGE") == text; }, false);
        return !stored.empty();
      });
      if (!seen) {
        error_ = "journald did not store probe " + std::to_string(probe) + "\n" + diagnostics();
        return;
      }
      const auto sender = stored.front().find("_PID");
      if (sender != stored.front().end() && sender->second == pid) return;
      if (probe == 100) {
        error_ = "journald stored 100 probes without this process's _PID\n" + diagnostics();
        return;
      }
    }
  }

  ~JournalSandbox() {
    if (journald_ > 0) {
      ::kill(journald_, SIGKILL);
      reap(0);
    }
  }

  JournalSandbox(const JournalSandbox&) = delete;
  JournalSandbox& operator=(const JournalSandbox&) = delete;

  // Why the sandbox cannot be made on this machine (the test is skipped), or empty.
  const std::string& skipReason() const { return skipReason_; }
  // Why the sandbox is not ready although it could be made (the test fails), or empty.
  const std::string& error() const { return error_; }

  // The entries of this process whose fields satisfy `keep`, in journal order, each with its
  // fields; waits until there are `count` of them (or a generous deadline passes).
  static std::vector<Fields> entries(const std::function<bool(const Fields&)>& keep,
                                     std::size_t count) {
    std::vector<Fields> found;
    testsupport::eventually([&] {
      found = read([&](const Fields& f) { return !isProbe(f) && keep(f); }, true);
      return found.size() >= count;
    });
    return found;
  }

  // The fields an entry's sender wrote (journald's own, starting with "_", left out).
  static Fields senderFields(const Fields& all) {
    Fields out;
    for (const auto& [k, v] : all)
      if (!k.starts_with("_")) out.emplace(k, v);
    return out;
  }

  // Whether journald still runs, its own log, and the last entries it stored from any process.
  std::string diagnostics() {
    std::ostringstream text;
    text << "journald (pid " << journald_ << "): ";
    if (journald_ < 0) {
      text << "not started\n";
    } else if (const int status = reap(WNOHANG); status == -1) {
      text << "running\n";
    } else {
      text << "ended, wait status " << status << "\n";
    }
    std::ifstream log(kLog);
    text << "journald's log:\n" << log.rdbuf() << "\n";
    const auto all = read([](const Fields&) { return true; }, false);
    text << all.size() << " entries stored";
    const std::size_t shown = std::min<std::size_t>(all.size(), 10);
    if (shown > 0) text << ", the last " << shown << ":";
    text << "\n";
    for (auto it = all.end() - static_cast<std::ptrdiff_t>(shown); it != all.end(); ++it) {
      for (const char* key : {"_PID", "SYSLOG_IDENTIFIER", "MESSAGE"}) {
        const auto value = it->find(key);
        text << key << "=" << (value == it->end() ? "(none)" : value->second) << " ";
      }
      text << "\n";
    }
    return text.str();
  }

 private:
  static bool isProbe(const Fields& f) {
    const auto it = f.find("SYSLOG_IDENTIFIER");
    return it != f.end() && it->second == kProbeIdentifier;
  }

  // journald, with its standard streams on its log and killed when this process ends (a test
  // child that crashes or is killed leaves no journald behind). The process still has a single
  // thread here, so forking is safe.
  static pid_t start() {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int null = ::open("/dev/null", O_RDONLY);
    const int log = ::open(kLog, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (null < 0 || log < 0 || ::dup2(null, 0) < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0) {
      ::_exit(127);
    }
    ::setenv("SYSTEMD_LOG_TARGET", "console", 1);
    ::setenv("SYSTEMD_LOG_LEVEL", "debug", 1);
    ::execl(kJournald, kJournald, static_cast<char*>(nullptr));
    ::_exit(127);
  }

  // journald's wait status once it has ended (waiting for that with no `options`), else -1.
  int reap(int options) {
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(journald_, &status, options)) < 0 && errno == EINTR) {
    }
    if (done != journald_) return -1;
    journald_ = -1;
    return status;
  }

  // The entries that satisfy `keep`, of this process alone when `ours`.
  static std::vector<Fields> read(const std::function<bool(const Fields&)>& keep, bool ours) {
    std::vector<Fields> out;
    sd_journal* j = nullptr;
    if (sd_journal_open(&j, SD_JOURNAL_LOCAL_ONLY) < 0) return out;
    const std::string match = "_PID=" + std::to_string(::getpid());
    if (ours) sd_journal_add_match(j, match.c_str(), 0);
    while (sd_journal_next(j) > 0) {
      Fields f;
      const void* data = nullptr;
      size_t length = 0;
      SD_JOURNAL_FOREACH_DATA(j, data, length) {
        std::string entry(static_cast<const char*>(data), length);
        const auto eq = entry.find('=');
        f.emplace(entry.substr(0, eq), entry.substr(eq + 1));
      }
      std::uint64_t usec = 0;
      sd_journal_get_realtime_usec(j, &usec);
      f.emplace("__REALTIME_TIMESTAMP", std::to_string(usec));
      if (keep(f)) out.push_back(std::move(f));
    }
    sd_journal_close(j);
    return out;
  }

  pid_t journald_ = -1;
  std::string skipReason_;
  std::string error_;
};

}  // namespace journaltest
