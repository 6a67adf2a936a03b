#pragma once
// A move-only, type-erased `void()` work item with inline storage, so that submitting a small
// closure to a queue does not allocate.

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace platform::dispatch {

class Block {
 public:
  static constexpr std::size_t kInlineSize = 64;

  Block() noexcept = default;
  Block(std::nullptr_t) noexcept {}

  template <class F, class D = std::decay_t<F>,
            class = std::enable_if_t<!std::is_same_v<D, Block> && std::is_invocable_r_v<void, D&>>>
  Block(F&& f) {  // NOLINT(google-explicit-constructor): closures convert implicitly
    if constexpr (sizeof(D) <= kInlineSize && alignof(D) <= alignof(std::max_align_t) &&
                  std::is_nothrow_move_constructible_v<D>) {
      ::new (static_cast<void*>(&storage_)) D(std::forward<F>(f));
      ops_ = &inlineOps<D>;
    } else {
      ::new (static_cast<void*>(&storage_)) D*(new D(std::forward<F>(f)));
      ops_ = &heapOps<D>;
    }
  }

  Block(Block&& other) noexcept { moveFrom(other); }
  Block& operator=(Block&& other) noexcept {
    if (this != &other) {
      reset();
      moveFrom(other);
    }
    return *this;
  }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { reset(); }

  explicit operator bool() const noexcept { return ops_ != nullptr; }
  void operator()() { ops_->invoke(&storage_); }

  void reset() noexcept {
    if (ops_) {
      ops_->destroy(&storage_);
      ops_ = nullptr;
    }
  }

 private:
  struct Ops {
    void (*invoke)(void*);
    void (*move)(void* dst, void* src) noexcept;  // move-constructs dst from src and destroys src
    void (*destroy)(void*) noexcept;
  };

  template <class D>
  static constexpr Ops inlineOps{[](void* p) { (*static_cast<D*>(p))(); },
                                 [](void* dst, void* src) noexcept {
                                   ::new (dst) D(std::move(*static_cast<D*>(src)));
                                   static_cast<D*>(src)->~D();
                                 },
                                 [](void* p) noexcept { static_cast<D*>(p)->~D(); }};

  template <class D>
  static constexpr Ops heapOps{
      [](void* p) { (**static_cast<D**>(p))(); },
      [](void* dst, void* src) noexcept { ::new (dst) D*(*static_cast<D**>(src)); },
      [](void* p) noexcept { std::unique_ptr<D> owned(*static_cast<D**>(p)); }};

  void moveFrom(Block& other) noexcept {
    if (other.ops_) {
      other.ops_->move(&storage_, &other.storage_);
      ops_ = other.ops_;
      other.ops_ = nullptr;
    }
  }

  alignas(std::max_align_t) unsigned char storage_[kInlineSize];
  const Ops* ops_ = nullptr;
};

}  // namespace platform::dispatch
