#include "platform/base/FileDescriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

using platform::base::FileDescriptor;

bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

int openNull() {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  return fd;
}

TEST(FileDescriptor, ClosesExactlyWhatItOwns) {
  int raw = openNull();
  {
    FileDescriptor fd(raw);
    EXPECT_TRUE(fd.valid());
    EXPECT_EQ(fd.get(), raw);
  }
  EXPECT_FALSE(isOpen(raw)) << "destructor closes";

  raw = openNull();
  {
    FileDescriptor fd(raw);
    EXPECT_EQ(fd.release(), raw);
    EXPECT_FALSE(fd);
  }
  EXPECT_TRUE(isOpen(raw)) << "release gives it up without closing";
  ::close(raw);

  const int a = openNull();
  const int b = openNull();
  {
    FileDescriptor first(a);
    FileDescriptor moved(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(moved.get(), a);

    FileDescriptor second(b);
    moved = std::move(second);
    EXPECT_FALSE(isOpen(a)) << "move assignment closes the target's old descriptor";
    EXPECT_TRUE(isOpen(b));
    EXPECT_EQ(moved.get(), b);

    auto& self = moved;
    moved = std::move(self);
    EXPECT_TRUE(isOpen(b)) << "self move keeps the descriptor";
    EXPECT_EQ(moved.get(), b);
  }
  EXPECT_FALSE(isOpen(b));

  FileDescriptor none(-5);
  EXPECT_FALSE(none.valid());
  EXPECT_EQ(none.get(), -1);
}

TEST(FileDescriptor, ResetKeepsErrnoAndCloseReportsFailure) {
  const int a = openNull();
  FileDescriptor fd(a);
  const int b = openNull();
  errno = ENOENT;  // as if a call just failed and the caller now cleans up
  fd.reset(b);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(isOpen(a));
  EXPECT_EQ(fd.get(), b);

  fd.reset(b);  // the same number again is not closed under its owner
  EXPECT_TRUE(isOpen(b));

  EXPECT_EQ(fd.close(), 0);
  EXPECT_FALSE(isOpen(b));
  EXPECT_FALSE(fd.valid());
  EXPECT_EQ(fd.close(), 0) << "closing an empty descriptor is not an error";

  // Someone else closed it behind the owner's back: the failure is reported and the number is
  // dropped rather than closed again later.
  const int c = openNull();
  FileDescriptor stale(c);
  ::close(c);
  EXPECT_EQ(stale.close(), EBADF);
  EXPECT_FALSE(stale.valid());
}

}  // namespace
