#include "platform/base/ErrnoText.h"

#include <string.h>

namespace platform::base {

namespace {

// strerror_r comes in two shapes depending on the feature macros: the GNU one returns the text
// (which may or may not be the buffer), the XSI one fills the buffer and returns a status.
[[maybe_unused]] const char* messageOf(const char* gnuResult, const char*) {
  return gnuResult;
}
[[maybe_unused]] const char* messageOf(int xsiResult, const char* buffer) {
  return xsiResult == 0 ? buffer : nullptr;
}

}  // namespace

std::string errnoText(int err) {
  char buffer[256] = {};
  const char* text = messageOf(strerror_r(err, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(err);
  return text;
}

}  // namespace platform::base
