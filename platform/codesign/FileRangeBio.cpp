#include "platform/codesign/FileRangeBio.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform::codesign {

int FileRangeBio::read(BIO* bio, char* out, int length) {
  auto* state = static_cast<State*>(BIO_get_data(bio));
  if (length <= 0 || state->remaining == 0) return 0;
  const auto want = static_cast<std::size_t>(
      std::min<std::uint64_t>(state->remaining, static_cast<std::uint64_t>(length)));
  ssize_t n;
  do {
    n = ::pread(state->fd, out, want, static_cast<off_t>(state->offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    state->failed = true;
    return -1;
  }
  if (n == 0) {
    // The file shrank under us: end the stream here; the digest will not match.
    state->remaining = 0;
    return 0;
  }
  state->offset += static_cast<std::uint64_t>(n);
  state->remaining -= static_cast<std::uint64_t>(n);
  return static_cast<int>(n);
}

long FileRangeBio::control(BIO* bio, int command, long, void*) {
  auto* state = static_cast<State*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_EOF:
      return state->remaining == 0 ? 1 : 0;
    case BIO_CTRL_FLUSH:
      return 1;
    default:
      return 0;
  }
}

const BIO_METHOD* FileRangeBio::method() {
  // Made once and never freed: every BIO of this kind refers to it for its whole life.
  static const BIO_METHOD* const kMethod = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "file range");
    if (m != nullptr) {
      BIO_meth_set_read(m, &FileRangeBio::read);
      BIO_meth_set_ctrl(m, &FileRangeBio::control);
    }
    return m;
  }();
  return kMethod;
}

FileRangeBio::FileRangeBio(int fd, std::uint64_t size)
    : state_(std::make_unique<State>(State{fd, 0, size, false})) {
  if (const BIO_METHOD* m = method()) {
    bio_.reset(BIO_new(m));
    if (bio_) {
      BIO_set_data(bio_.get(), state_.get());
      BIO_set_init(bio_.get(), 1);
    }
  }
}

}  // namespace platform::codesign
