#include "platform/async/Continuation.h"

#include "platform/diagnostics/Diagnostics.h"

namespace platform::async {

void reportContinuationMisuse(const char* function, const char* what) {
  std::string text = function ? function : "continuation";
  text += ": a continuation was ";
  text += what;
  platform::diagnostics::contractViolation(text);
}

}  // namespace platform::async
