#pragma once
// What the tool accepts as the daemon's replies, and how it shows text that came from one. A
// reply is checked for the exact shape of the contract before anything of it is used; text from
// it reaches the terminal only with control characters escaped, since whoever serves the socket
// wrote it.

#include <optional>
#include <string>
#include <string_view>

#include "platform/xpc/Value.h"

namespace coreservicectl {

struct StatusReport {
  std::string daemon;  // as the daemon sent it (valid UTF-8, possibly with control characters)
  double timestamp;    // seconds since 1970, finite, between 1970 and the year 10000
};

// The status dictionary of a getStatus reply (the reply block's arguments): exactly one
// argument, a map with exactly the keys "daemon" (text) and "timestamp" (a floating-point
// number in range). nullopt for anything else.
std::optional<StatusReport> statusFromReply(const platform::xpc::Value& replyArguments);

// True when a ping reply has the contract's shape: no arguments.
bool isPingReply(const platform::xpc::Value& replyArguments);

// `text` with every control character (C0, DEL, C1), every bidirectional formatting character
// and every byte that is not part of valid UTF-8 written as an escape ("\x1b", "\u202e"), and
// backslashes doubled, so that printing it cannot move the cursor, change colours or reorder
// what the terminal shows.
std::string terminalSafe(std::string_view text);

// The status as the human-readable lines of `coreservicectl status`.
std::string formatStatus(const StatusReport& status);
// The status as one line of JSON, ASCII only.
std::string formatStatusJson(const StatusReport& status);

}  // namespace coreservicectl
