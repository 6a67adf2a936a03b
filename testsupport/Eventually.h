#pragma once
// Waiting in tests: poll a condition until it holds or a deadline passes. The default deadline is
// generous (a loaded 2-core machine under ThreadSanitizer), and the answer tells a condition that
// came true from a wait that ran out.

#include <chrono>
#include <functional>

namespace testsupport {

// True as soon as `done` holds; false when `limit` passed first (the last answer of `done`).
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace testsupport
