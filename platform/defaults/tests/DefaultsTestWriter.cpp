// A second process for the defaults tests. Modes:
//   increment DIR KEY N      N atomic increments of an int under KEY
//   fill DIR PREFIX N        sets PREFIX0 .. PREFIX<N-1> to their index
//   loop DIR KEY             writes increasing ints until killed
//   hold DIR KEY             starts a transaction, writes KEY, prints "holding", waits to be killed
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/defaults/Domain.h"

using platform::defaults::Domain;
using platform::defaults::Value;

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string mode = argv[1];
  const std::string dir = argv[2];
  const std::string key = argv[3];
  if (mode == "hold") {
    sqlite3* db = nullptr;
    if (sqlite3_open((dir + "/defaults.db").c_str(), &db) != SQLITE_OK) return 3;
    sqlite3_busy_timeout(db, 5000);
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return 4;
    const std::string sql =
        "INSERT OR REPLACE INTO kv(key, kind, value) VALUES ('" + key + "', 2, 666)";
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return 5;
    std::puts("holding");
    std::fflush(stdout);
    while (true)
      pause();
  }
  auto domain = Domain::open("writer", dir);
  if (!domain->isAvailable()) return 6;
  if (mode == "increment") {
    const long n = std::atol(argv[4]);
    for (long i = 0; i < n; ++i) {
      const bool ok = domain->modify(key, [](const std::optional<Value>& current) {
        const std::int64_t v = current ? current->as<std::int64_t>().value_or(0) : 0;
        return Domain::Update(std::optional<Value>(Value(v + 1)));
      });
      if (!ok) return 7;
    }
    return 0;
  }
  if (mode == "fill") {
    const long n = std::atol(argv[4]);
    for (long i = 0; i < n; ++i) {
      if (!domain->set(key + std::to_string(i), Value(std::int64_t{i}))) return 7;
    }
    return 0;
  }
  if (mode == "loop") {
    for (std::int64_t i = 0;; ++i) {
      if (!domain->set(key, Value(i))) return 7;
    }
  }
  return 2;
}
