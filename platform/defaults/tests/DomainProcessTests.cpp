// Several processes on one domain: the writers are separate executables, as they are in use.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/defaults/Domain.h"
#include "platform/defaults/tests/DefaultsTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"
#include "testsupport/ChildProcess.h"

namespace platform::defaults {
namespace {

using namespace testing;

// A writer process, running the test writer with `args`.
std::unique_ptr<testsupport::BackgroundProcess> writer(std::vector<std::string> args) {
  args.insert(args.begin(), DEFAULTS_TEST_WRITER);
  return std::make_unique<testsupport::BackgroundProcess>(args);
}

bool integrityOk(const std::filesystem::path& db) {
  sqlite3* conn = nullptr;
  sqlite3_stmt* st = nullptr;
  bool ok = sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(conn, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW &&
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) == "ok";
  sqlite3_finalize(st);
  sqlite3_close(conn);
  return ok;
}

TEST(DomainProcesses, ConcurrentWritersLoseNoUpdateAndObserversHearTheLastOne) {
  testsupport::TemporaryDirectory dir;
  constexpr int kProcesses = 4, kEach = 150, kTotal = (kProcesses + 2) * kEach;
  auto d = Domain::open("d", dir.path());
  auto other = Domain::open("d", dir.path());
  ASSERT_TRUE(d->isAvailable());
  ChangeLog log;
  const auto id = d->addObserver("counter", log.observer());
  std::vector<std::unique_ptr<testsupport::BackgroundProcess>> writers;
  for (int i = 0; i < kProcesses; ++i) {
    writers.push_back(writer({"increment", dir.path().string(), "counter", std::to_string(kEach)}));
    writers.push_back(writer(
        {"fill", dir.path().string(), "p" + std::to_string(i) + "_", std::to_string(kEach)}));
  }
  // Two threads of this process, on two connections, write too while the others run.
  const auto increment = [](const std::shared_ptr<Domain>& domain) {
    for (int i = 0; i < kEach; ++i) {
      ASSERT_TRUE(domain->modify("counter", [](const std::optional<Value>& cur) {
        return Domain::Update(Value(cur ? cur->as<std::int64_t>().value_or(0) + 1 : 1));
      }));
    }
  };
  std::thread second(increment, other);
  increment(d);
  second.join();
  for (auto& w : writers) {
    const int status = w->wait();
    const auto output = w->outUntil("\x01") + w->errUntil("\x01");  // all, to the end
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(output, "") << "a busy or locked database surfaced";
  }
  EXPECT_EQ(d->object("counter"), Value(std::int64_t{kTotal}));
  EXPECT_EQ(d->entries().size(), 1u + kProcesses * kEach);
  EXPECT_EQ(d->object("p3_149"), Value(std::int64_t{149}));
  EXPECT_TRUE(integrityOk(d->databasePath()));
  // Other processes' changes reach the observer, the last one included.
  EXPECT_TRUE(log.waitUntil([](const std::vector<Change>& c) {
    return !c.empty() && c.back().newValue == Value(std::int64_t{kTotal});
  }));
  d->removeObserver(id);
}

TEST(DomainProcesses, WriterKilledMidTransactionLeavesAReadableDomain) {
  testsupport::TemporaryDirectory dir;
  auto d = Domain::open("d", dir.path());
  ASSERT_TRUE(d->set("kept", Value("before")));
  {
    // Killed while holding the write lock with an uncommitted row.
    const auto holder = writer({"hold", dir.path().string(), "uncommitted"});
    ASSERT_NE(holder->outUntil("holding").find("holding"), std::string::npos);
    holder->signal(SIGKILL);
  }
  {
    // Killed at an arbitrary point of a stream of writes.
    const auto looper = writer({"loop", dir.path().string(), "loop"});
    ASSERT_TRUE(eventually([&] { return d->object("loop").has_value(); }));
    looper->signal(SIGKILL);
  }
  diagnostics::ScopedCapture capture;
  auto reopened = Domain::open("d", dir.path());
  ASSERT_TRUE(reopened->isAvailable());
  EXPECT_EQ(reopened->object("kept"), Value("before"));
  EXPECT_EQ(reopened->object("uncommitted"), std::nullopt);
  EXPECT_TRUE(reopened->set("after", Value(true)));
  EXPECT_TRUE(d->set("after2", Value(true)));
  EXPECT_EQ(reopened->object("after2"), Value(true));
  EXPECT_TRUE(capture.texts().empty());
  EXPECT_TRUE(integrityOk(d->databasePath()));
}

}  // namespace
}  // namespace platform::defaults
