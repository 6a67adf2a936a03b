#pragma once
// The one way an errno value becomes text in this project. std::strerror may return a buffer
// shared by all threads; this helper formats into the caller's own string, so any thread may
// call it at any time.

#include <string>

namespace platform::base {

// The system's message for `err` ("No such file or directory"); "Unknown error N" for a value
// the system does not know.
std::string errnoText(int err);

}  // namespace platform::base
