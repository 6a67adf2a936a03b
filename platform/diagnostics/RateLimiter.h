#pragma once
// Keeps a flood of identical diagnostics from drowning standard error: of the reports of one kind
// (for a formatted report, its format), the first of each window is shown; the others are only
// counted, and the next one shown after the window carries a summary of how many were held back.
// A failing disk or an unwritable logs directory then costs a few lines a minute, not thousands
// a second, and nothing is hidden without saying so.
//
// Not thread-safe: the diagnostic channel calls it under its own lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::diagnostics {

class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  // `window`: how long after a shown report others of its kind are held back. `maximumKinds`:
  // how many kinds are remembered (at least one); the one seen longest ago is forgotten first.
  explicit RateLimiter(Clock::duration window = std::chrono::seconds(10),
                       std::size_t maximumKinds = 64)
      : window_(window), maximumKinds_(maximumKinds > 0 ? maximumKinds : 1) {}

  struct Decision {
    bool show = false;
    // When showing a report of a kind whose earlier reports were held back: the summary line to
    // show before it ("... N more ...").
    std::optional<std::string> summary;
  };

  // Decides about one report of `kind` (with its text) arriving at `now`.
  Decision admit(std::string_view kind, std::string_view text, Clock::time_point now);

 private:
  struct Kind {
    std::string kind;
    std::string firstText;  // the report shown at the start of the window
    Clock::time_point windowStart;
    Clock::time_point lastSeen;
    std::uint64_t heldBack = 0;
  };
  const Clock::duration window_;
  const std::size_t maximumKinds_;
  std::vector<Kind> kinds_;
};

}  // namespace platform::diagnostics
