#pragma once
// An OpenSSL BIO that reads the first `size` bytes of an open file with pread(), without moving
// the descriptor's offset, so that signing and verifying see exactly the signed content and
// never the signature behind it. A file that turns out shorter than `size` ends the stream early
// (the digest then fails to match); a read error is remembered, so a caller can tell a failing
// disk from a bad signature.

#include <cstdint>
#include <memory>

#include "platform/codesign/OpenSslHandles.h"

namespace platform::codesign {

class FileRangeBio {
 public:
  // The descriptor is borrowed and must stay open while the BIO is used.
  FileRangeBio(int fd, std::uint64_t size);
  FileRangeBio(const FileRangeBio&) = delete;
  FileRangeBio& operator=(const FileRangeBio&) = delete;

  // Null when OpenSSL could not make the BIO.
  BIO* get() const { return bio_.get(); }
  bool readFailed() const { return state_->failed; }

 private:
  struct State {
    int fd;
    std::uint64_t offset;
    std::uint64_t remaining;
    bool failed;
  };
  static int read(BIO* bio, char* out, int length);
  static long control(BIO* bio, int command, long number, void* pointer);
  static const BIO_METHOD* method();

  std::unique_ptr<State> state_;
  BioPtr bio_;
};

}  // namespace platform::codesign
