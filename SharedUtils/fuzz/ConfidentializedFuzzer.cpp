// Fuzz entry point for confidentialized: any input must come back as some text without crashing
// or hanging, and what each rule produces must itself be well-formed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "SharedUtils/ConfidentialText.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string once = sharedutils::confidentialized(text);
  require(sharedutils::confidentialized(text) == once);  // deterministic

  // A JSON result is a JSON object again.
  if (auto json = sharedutils::confidentializedJSON(text)) {
    require(nlohmann::json::parse(*json, nullptr, false).is_object());
  }
  // A URL result is a URL with query items again (or the fixed "unknown").
  if (auto url = sharedutils::confidentializedURL(text); url && *url != "unknown") {
    require(sharedutils::confidentializedURL(*url).has_value());
  }
  return 0;
}
