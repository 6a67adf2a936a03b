#pragma once
// A domain's change counter, shared by every process that opens the domain: an 8-byte counter
// in a small memory-mapped file beside the database (<dir>/defaults.seq), followed by a doorbell
// byte. Every committed write bumps it, so a process checks whether its cached values are stale
// with one atomic load instead of a query.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <utility>

#include "platform/base/FileDescriptor.h"

namespace platform::defaults {

class ChangeCounter {
  struct Key {
    explicit Key() = default;
  };

 public:
  // The counter of the domain in `directory`; nullptr when its file cannot be created or mapped
  // (the domain then caches nothing).
  static std::unique_ptr<ChangeCounter> open(const std::filesystem::path& directory);
  ~ChangeCounter();
  ChangeCounter(const ChangeCounter&) = delete;
  ChangeCounter& operator=(const ChangeCounter&) = delete;

  std::uint64_t load() const;
  // Called after every commit: moves the counter on by one and returns the value it moved
  // from. A writer that gets back the value its cache was stamped with knows that nobody else
  // has committed since.
  std::uint64_t advance();
  // Called after advance(). Observers are woken by inotify, and a commit's own writes to the
  // WAL file can be seen before the commit is visible to readers; ringing the doorbell (a real
  // write, which inotify reports, unlike stores through the mapping) after the commit
  // guarantees a wake-up that finds the change.
  void ring();

  // Made by open() only.
  ChangeCounter(Key, platform::base::FileDescriptor file, std::uint64_t* word)
      : file_(std::move(file)), word_(word) {}

 private:
  platform::base::FileDescriptor file_;
  std::uint64_t* word_;  // the mapping
};

}  // namespace platform::defaults
