#include "testsupport/TemporaryDirectory.h"

#include <stdlib.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "platform/base/ErrnoText.h"

namespace testsupport {

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    // A test cannot go on without its directory; say why instead of writing somewhere else.
    throw std::runtime_error("cannot make a temporary directory " + pattern + ": " +
                             platform::base::errnoText(errno));
  }
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace testsupport
