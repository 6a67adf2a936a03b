// Settings store costs: reading a value that has not changed (the common case: settings are read
// far more often than written), also just after a write of the reader's own, writing one, and
// how long another process's change takes to reach an observer here. The floor for a read is one
// prepared SQLite point query on the same database, which is what every read would cost without the
// domain's cache.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/defaults/Domain.h"

namespace {

using platform::defaults::Domain;
using platform::defaults::Value;

std::filesystem::path benchDir() {
  static const std::filesystem::path dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "defaults-bench-XXXXXX").string();
    return std::filesystem::path(mkdtemp(tmpl.data()));
  }();
  return dir;
}

std::shared_ptr<Domain> benchDomain() {
  static const auto d = [] {
    auto domain = Domain::open("bench", benchDir());
    domain->set("flag", Value(true));
    domain->set("name", Value("vpn.example.com"));
    return domain;
  }();
  return d;
}

std::int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void BM_ReadUnchangedBool(benchmark::State& state) {
  auto d = benchDomain();
  for (auto _ : state) {
    auto v = d->object("flag");
    benchmark::DoNotOptimize(v ? v->as<bool>().value_or(false) : false);
  }
}
BENCHMARK(BM_ReadUnchangedBool);

void BM_ReadUnchangedString(benchmark::State& state) {
  auto d = benchDomain();
  for (auto _ : state) {
    auto v = d->object("name");
    benchmark::DoNotOptimize(v ? v->as<std::string>() : std::nullopt);
  }
}
BENCHMARK(BM_ReadUnchangedString);

// The floor: one prepared point query, as the domain would do without its cache.
void BM_PreparedPointQueryFloor(benchmark::State& state) {
  benchDomain();
  sqlite3* db = nullptr;
  sqlite3_open_v2((benchDir() / "defaults.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT kind, value FROM kv WHERE key = ?1", -1, &st, nullptr);
  for (auto _ : state) {
    sqlite3_bind_text(st, 1, "flag", 4, SQLITE_STATIC);
    if (sqlite3_step(st) == SQLITE_ROW) benchmark::DoNotOptimize(sqlite3_column_int64(st, 1));
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}
BENCHMARK(BM_PreparedPointQueryFloor);

// A write that changes the value each time (an equal write is a cheaper no-op).
void BM_WriteChangedInt(benchmark::State& state) {
  auto d = benchDomain();
  std::int64_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(d->set("counter", Value(++i)));
}
BENCHMARK(BM_WriteChangedInt);

// Reading a value that has not changed right after this object wrote another key: the case of a
// process that reads a setting after every write of its own (the notification store reads the
// permission after rewriting its list). Only the read is timed.
void BM_ReadUnchangedAfterOwnWrite(benchmark::State& state) {
  auto d = benchDomain();
  std::int64_t i = 0;
  for (auto _ : state) {
    d->set("counter", Value(++i));
    const auto start = std::chrono::steady_clock::now();
    auto v = d->object("flag");
    benchmark::DoNotOptimize(v ? v->as<bool>().value_or(false) : false);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_ReadUnchangedAfterOwnWrite)
    ->UseManualTime()
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

// Another process writes a key whose value is its own monotonic time stamp; an observer here
// measures the time until it hears the change. Reports p50 and p99 over the iterations.
void BM_CrossProcessChangeLatency(benchmark::State& state) {
  const auto dir = benchDir() / "latency";
  // The domain exists before the writer starts, as it does in use.
  auto d = Domain::open("latency", dir);
  int go[2];
  if (pipe(go) != 0) return state.SkipWithError("pipe");
  const pid_t child = fork();
  if (child == 0) {
    close(go[1]);
    auto d = Domain::open("latency", dir);
    char c;
    while (read(go[0], &c, 1) == 1)
      d->set("stamp", Value(monotonicNs()));
    _exit(0);
  }
  close(go[0]);
  std::mutex m;
  std::condition_variable cv;
  std::vector<double> latenciesMs;
  std::size_t heard = 0;
  const auto id = d->addObserver("stamp", [&](const platform::defaults::Change& c) {
    const auto now = monotonicNs();
    if (!c.newValue) return;
    const auto sent = c.newValue->as<std::int64_t>().value_or(now);
    std::lock_guard lock(m);
    latenciesMs.push_back(static_cast<double>(now - sent) / 1e6);
    ++heard;
    cv.notify_all();
  });
  for (auto _ : state) {
    std::size_t before;
    {
      std::lock_guard lock(m);
      before = heard;
    }
    if (write(go[1], "x", 1) != 1) break;
    std::unique_lock lock(m);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return heard > before; });
  }
  d->removeObserver(id);
  close(go[1]);
  waitpid(child, nullptr, 0);
  std::sort(latenciesMs.begin(), latenciesMs.end());
  if (!latenciesMs.empty()) {
    auto at = [&](double q) {
      return latenciesMs[std::min(
          latenciesMs.size() - 1,
          static_cast<std::size_t>(q * static_cast<double>(latenciesMs.size())))];
    };
    state.counters["p50_ms"] = at(0.50);
    state.counters["p99_ms"] = at(0.99);
    state.counters["max_ms"] = latenciesMs.back();
  }
}
BENCHMARK(BM_CrossProcessChangeLatency)->Iterations(500)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(benchDir(), ec);
  return 0;
}
