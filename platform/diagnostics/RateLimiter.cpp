#include "platform/diagnostics/RateLimiter.h"

#include <algorithm>

namespace platform::diagnostics {

RateLimiter::Decision RateLimiter::admit(std::string_view kind, std::string_view text,
                                         Clock::time_point now) {
  Decision decision;
  auto it =
      std::find_if(kinds_.begin(), kinds_.end(), [&](const Kind& k) { return k.kind == kind; });
  if (it == kinds_.end()) {
    if (kinds_.size() >= maximumKinds_ && !kinds_.empty()) {
      // Forget the kind seen longest ago: a report of it later is shown as a first one.
      kinds_.erase(std::min_element(kinds_.begin(), kinds_.end(), [](const Kind& a, const Kind& b) {
        return a.lastSeen < b.lastSeen;
      }));
    }
    kinds_.push_back(Kind{std::string(kind), std::string(text), now, now, 0});
    decision.show = true;
    return decision;
  }
  it->lastSeen = now;
  if (now - it->windowStart < window_) {
    ++it->heldBack;
    return decision;
  }
  if (it->heldBack > 0) {
    decision.summary =
        std::to_string(it->heldBack) + " more like this were not shown: " + it->firstText;
  }
  it->windowStart = now;
  it->firstText = std::string(text);
  it->heldBack = 0;
  decision.show = true;
  return decision;
}

}  // namespace platform::diagnostics
