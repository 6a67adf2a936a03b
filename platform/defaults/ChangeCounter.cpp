#include "platform/defaults/ChangeCounter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace platform::defaults {

namespace {

constexpr off_t kFileSize = 16;  // the counter, the doorbell byte, room to spare

}  // namespace

std::unique_ptr<ChangeCounter> ChangeCounter::open(const std::filesystem::path& directory) {
  const auto path = directory / "defaults.seq";
  platform::base::FileDescriptor file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!file) return nullptr;
  struct stat st {};
  if (fstat(file.get(), &st) != 0 ||
      (st.st_size < kFileSize && ftruncate(file.get(), kFileSize) != 0)) {
    return nullptr;
  }
  void* p = mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, file.get(), 0);
  if (p == MAP_FAILED) return nullptr;
  return std::make_unique<ChangeCounter>(Key{}, std::move(file), static_cast<std::uint64_t*>(p));
}

ChangeCounter::~ChangeCounter() {
  munmap(word_, sizeof(std::uint64_t));
}

std::uint64_t ChangeCounter::load() const {
  return std::atomic_ref<std::uint64_t>(*word_).load(std::memory_order_acquire);
}

std::uint64_t ChangeCounter::advance() {
  return std::atomic_ref<std::uint64_t>(*word_).fetch_add(1, std::memory_order_acq_rel);
}

void ChangeCounter::ring() {
  const char bell = 1;
  [[maybe_unused]] const auto n = ::pwrite(file_.get(), &bell, 1, sizeof(std::uint64_t));
}

}  // namespace platform::defaults
