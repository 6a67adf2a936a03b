#include "platform/base/ErrnoText.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::base::errnoText;

TEST(ErrnoText, GivesTheSystemMessageOrNamesTheUnknownNumber) {
  const struct {
    int err;
    const char* text;
  } cases[] = {
      {ENOENT, "No such file or directory"},
      {EACCES, "Permission denied"},
      {EAGAIN, "Resource temporarily unavailable"},
      {0, "Success"},
      {123456, "Unknown error 123456"},
      {-7, "Unknown error -7"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errnoText(c.err), c.text) << "errno " << c.err;
}

TEST(ErrnoText, ThreadsAskingAtOnceEachGetTheirOwnText) {
  // Unknown numbers are the case where a shared static buffer would be overwritten by another
  // thread between formatting and copying.
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &mismatches] {
      const int err = 100000 + t;
      const std::string expected = "Unknown error " + std::to_string(err);
      for (int i = 0; i < kRounds; ++i) {
        if (errnoText(err) != expected) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads)
    th.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
