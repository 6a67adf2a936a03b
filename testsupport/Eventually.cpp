#include "testsupport/Eventually.h"

#include <algorithm>
#include <thread>

namespace testsupport {

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  // Short sleeps first, for conditions that are about to hold; longer ones later, so that a
  // condition that reads files or connects sockets does not load a busy machine while it waits.
  const auto end = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::milliseconds(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(25));
  }
  return true;
}

}  // namespace testsupport
