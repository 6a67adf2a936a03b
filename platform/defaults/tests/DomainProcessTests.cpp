// Several processes on one domain: the writers are separate executables, as they are in use.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/defaults/Domain.h"
#include "platform/defaults/tests/TempDir.h"
#include "platform/diagnostics/Diagnostics.h"

extern char** environ;

namespace platform::defaults {
namespace {

using testing::TempDir;
using namespace std::chrono_literals;

// A running writer process with its standard output and error captured through pipes.
class Writer {
 public:
  explicit Writer(std::vector<std::string> args) {
    args.insert(args.begin(), DEFAULTS_TEST_WRITER);
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Writer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait();
    }
    close(out_);
    close(err_);
  }
  // Reads standard output until `text` has appeared (or the pipe closes).
  bool waitForOutput(const std::string& text) {
    std::string got;
    char buf[256];
    ssize_t n;
    while (got.find(text) == std::string::npos && (n = read(out_, buf, sizeof buf)) > 0)
      got.append(buf, n);
    return got.find(text) != std::string::npos;
  }
  void kill9() { kill(pid_, SIGKILL); }
  // Waits for the exit; returns the wait status.
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  std::string errors() {
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(err_, buf, sizeof buf)) > 0)
      got.append(buf, n);
    return got;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
};

bool integrityOk(const std::filesystem::path& db) {
  sqlite3* conn = nullptr;
  bool ok = false;
  if (sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(conn, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      ok = std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) == "ok";
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(conn);
  return ok;
}

TEST(DomainProcesses, AnotherProcessesChangeReachesObserversAndEqualWritesDoNot) {
  TempDir dir;
  auto d = Domain::open("d", dir.path());
  std::mutex m;
  std::condition_variable cv;
  std::vector<Change> seen;
  const auto id = d->addObserver("shared", [&](const Change& c) {
    std::lock_guard lock(m);
    seen.push_back(c);
    cv.notify_all();
  });
  for (const char* v : {"7", "7", "8"}) {
    Writer w({"set", dir.path().string(), "shared", v});
    ASSERT_EQ(w.wait(), 0);
  }
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return seen.size() >= 2; }));
  }
  d->pollChanges();
  d->removeObserver(id);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].newValue, Value(std::int64_t{7}));
  EXPECT_EQ(seen[1].oldValue, Value(std::int64_t{7}));
  EXPECT_EQ(seen[1].newValue, Value(std::int64_t{8}));
  EXPECT_EQ(d->object("shared"), Value(std::int64_t{8}));
}

TEST(DomainProcesses, ConcurrentWritersLoseNoUpdateAndNeverSeeALockedDatabase) {
  TempDir dir;
  constexpr int kProcesses = 4, kEach = 150;
  auto d = Domain::open("d", dir.path());
  ASSERT_TRUE(d->isAvailable());
  std::vector<std::unique_ptr<Writer>> writers;
  for (int i = 0; i < kProcesses; ++i) {
    writers.push_back(std::make_unique<Writer>(std::vector<std::string>{
        "increment", dir.path().string(), "counter", std::to_string(kEach)}));
    writers.push_back(std::make_unique<Writer>(std::vector<std::string>{
        "fill", dir.path().string(), "p" + std::to_string(i) + "_", std::to_string(kEach)}));
  }
  // This process writes too, while the others run.
  for (int i = 0; i < kEach; ++i) {
    ASSERT_TRUE(d->modify("counter", [](const std::optional<Value>& cur) {
      return Domain::Update(Value(cur ? cur->as<std::int64_t>().value_or(0) + 1 : 1));
    }));
  }
  for (auto& w : writers) {
    const int status = w->wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const auto err = w->errors();
    EXPECT_EQ(err.find("locked"), std::string::npos) << err;
    EXPECT_EQ(err.find("busy"), std::string::npos) << err;
  }
  EXPECT_EQ(d->object("counter"), Value(std::int64_t{(kProcesses + 1) * kEach}));
  EXPECT_EQ(d->entries().size(), 1u + kProcesses * kEach);
  EXPECT_EQ(d->object("p3_149"), Value(std::int64_t{149}));
  EXPECT_TRUE(integrityOk(d->databasePath()));
}

TEST(DomainProcesses, WriterKilledMidTransactionLeavesAReadableDomain) {
  TempDir dir;
  auto d = Domain::open("d", dir.path());
  ASSERT_TRUE(d->set("kept", Value("before")));
  {
    // Killed while holding the write lock with an uncommitted row.
    Writer holder({"hold", dir.path().string(), "uncommitted"});
    ASSERT_TRUE(holder.waitForOutput("holding"));
    holder.kill9();
    holder.wait();
  }
  {
    // Killed at an arbitrary point of a stream of writes.
    Writer looper({"loop", dir.path().string(), "loop"});
    for (int i = 0; i < 1000 && !d->object("loop"); ++i)
      std::this_thread::sleep_for(5ms);
    looper.kill9();
    looper.wait();
  }
  diagnostics::ScopedCapture capture;
  auto reopened = Domain::open("d", dir.path());
  ASSERT_TRUE(reopened->isAvailable());
  EXPECT_EQ(reopened->object("kept"), Value("before"));
  EXPECT_EQ(reopened->object("uncommitted"), std::nullopt);
  EXPECT_TRUE(reopened->object("loop").has_value());
  EXPECT_TRUE(reopened->set("after", Value(true)));
  EXPECT_TRUE(d->set("after2", Value(true)));
  EXPECT_EQ(reopened->object("after2"), Value(true));
  EXPECT_TRUE(capture.texts().empty());
  EXPECT_TRUE(integrityOk(d->databasePath()));
}

}  // namespace
}  // namespace platform::defaults
