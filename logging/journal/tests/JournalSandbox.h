#pragma once
// A journald of the test's own: the calling process moves into a private mount namespace with
// empty /run and /var/log, and starts systemd-journald there. Entries sent through the journal's
// socket then reach that journald alone, and sd_journal_open() reads only what it stored; the
// host's journal is never touched.
//
// Must be made while the process has a single thread (a mount namespace is per thread; threads
// started later inherit it), i.e. first thing in a child run of the test binary.

#include <sys/mount.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/ChildProcess.h"
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

  JournalSandbox() {
    if (threadCount() != 1) {
      error_ = "the process already runs several threads";
      return;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
      error_ = "no private mount namespace (needs root)";
      return;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
        ::mount("tmpfs", "/var/log", "tmpfs", 0, "mode=0755") != 0) {
      error_ = "cannot mount the private /run and /var/log";
      return;
    }
    journald_ =
        std::make_unique<testsupport::BackgroundProcess>(std::vector<std::string>{kJournald});
    if (journald_->pid() < 0) {
      error_ = std::string("cannot start ") + kJournald;
      return;
    }
    if (!testsupport::eventually(
            [] { return std::filesystem::exists("/run/systemd/journal/socket"); })) {
      error_ = "journald did not open its socket";
    }
  }

  // Empty when the sandbox is ready, else why not.
  const std::string& error() const { return error_; }

  // The entries of this process whose fields satisfy `keep`, in journal order, each with its
  // fields; waits until there are `count` of them (or a generous deadline passes).
  static std::vector<Fields> entries(const std::function<bool(const Fields&)>& keep,
                                     std::size_t count) {
    std::vector<Fields> found;
    testsupport::eventually([&] {
      found = read(keep);
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

 private:
  static std::vector<Fields> read(const std::function<bool(const Fields&)>& keep) {
    std::vector<Fields> out;
    sd_journal* j = nullptr;
    if (sd_journal_open(&j, SD_JOURNAL_LOCAL_ONLY) < 0) return out;
    const std::string match = "_PID=" + std::to_string(::getpid());
    sd_journal_add_match(j, match.c_str(), 0);
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

  std::unique_ptr<testsupport::BackgroundProcess> journald_;  // stopped with the sandbox
  std::string error_;
};

}  // namespace journaltest
