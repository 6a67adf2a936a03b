#pragma once
#include <cstdint>
#include <string_view>

namespace platform::dispatch {

// Quality-of-service classes, lowest to highest. The numeric values are this system's own (an
// ordering and an index); a log record stores the class under the logging library's numbers.
enum class QoS : std::uint8_t {
  Unspecified = 0,
  Background = 1,
  Utility = 2,
  Default = 3,
  UserInitiated = 4,
  UserInteractive = 5,
};

std::string_view toString(QoS qos);

}  // namespace platform::dispatch
