#pragma once
// The error a network operation of this layer reports: a system error (socket, connect) or a
// name-resolution error, with the system's own text for it.

#include <cstdint>
#include <string>

namespace platform::network {

struct NetworkError {
  enum class Domain : std::uint8_t { posix, dns };

  // A resolver code of EAI_SYSTEM carries its real reason in errno: pass that as a POSIX error.
  static NetworkError posix(int err) { return {Domain::posix, err}; }
  static NetworkError dns(int resolverCode) { return {Domain::dns, resolverCode}; }

  // The system's message: "Connection refused", "Name or service not known".
  std::string localizedDescription() const;

  friend bool operator==(const NetworkError&, const NetworkError&) = default;

  Domain domain = Domain::posix;
  int code = 0;
};

}  // namespace platform::network
