#pragma once
// Watches a domain's directory for changes of its database files (commits append to the WAL
// file, checkpoints rewrite the database and a fresh WAL is created, the change counter's
// doorbell is written) and runs a handler on a queue after each burst of them. It says only that
// something may have changed; the handler reads the history to learn what.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

namespace platform::defaults {

class ChangeWatcher {
  struct Key {
    explicit Key() = default;
  };

 public:
  // Starts watching; nullptr when the directory cannot be watched (reported on the diagnostic
  // channel with the domain's `name`).
  static std::unique_ptr<ChangeWatcher> start(const std::string& name,
                                              const std::filesystem::path& directory,
                                              std::shared_ptr<dispatch::Queue> queue,
                                              std::function<void()> onChange);
  // Stops watching. A handler already submitted may still run once, on the queue.
  ~ChangeWatcher();
  ChangeWatcher(const ChangeWatcher&) = delete;
  ChangeWatcher& operator=(const ChangeWatcher&) = delete;

  // Made by start() only.
  ChangeWatcher(Key, std::shared_ptr<dispatch::ReadSource> source) : source_(std::move(source)) {}

 private:
  std::shared_ptr<dispatch::ReadSource> source_;
};

}  // namespace platform::defaults
