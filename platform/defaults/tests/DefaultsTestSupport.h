#pragma once
// Test support of the settings-store tests: a recorder of changes and a summary of them.

#include <chrono>
#include <string>
#include <vector>

#include "platform/defaults/Domain.h"
#include "testsupport/Eventually.h"
#include "testsupport/Recorded.h"
#include "testsupport/TemporaryDirectory.h"

namespace platform::defaults::testing {

using namespace std::chrono_literals;

using testsupport::eventually;

// Collects the changes delivered to an observer and lets the test wait for them.
class ChangeLog : public ::testsupport::Recorded<Change> {
 public:
  Domain::Observer observer() {
    return [this](const Change& c) { add(c); };
  }
};

// "key: old -> new" for each change, in delivery order, so that a test compares whole histories.
inline std::vector<std::string> summary(const std::vector<Change>& changes) {
  const auto text = [](const std::optional<Value>& v) {
    return v ? formatValueText(*v) : std::string("(none)");
  };
  std::vector<std::string> out;
  for (const auto& c : changes)
    out.push_back(c.key + ": " + text(c.oldValue) + " -> " + text(c.newValue));
  return out;
}

}  // namespace platform::defaults::testing
