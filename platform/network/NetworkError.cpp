#include "platform/network/NetworkError.h"

#include <netdb.h>

#include "platform/base/ErrnoText.h"

namespace platform::network {

std::string NetworkError::localizedDescription() const {
  // gai_strerror returns constant texts, so unlike strerror it is safe on any thread.
  if (domain == Domain::dns) return gai_strerror(code);
  return platform::base::errnoText(code);
}

}  // namespace platform::network
