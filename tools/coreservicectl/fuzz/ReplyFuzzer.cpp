// Fuzz entry point for the tool's handling of what comes back from the socket: any packet is
// decoded without crashing, and whatever is accepted as a status or a ping reply is shown
// without a control character reaching the terminal and as ASCII JSON that reads back the same.
//
// Input: the packet as the tool would receive it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/base/Utf8.h"
#include "platform/xpc/Message.h"
#include "tools/coreservicectl/CoreServiceReplies.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// Nothing that moves the cursor or changes colours: no C0 control besides the line breaks the
// format itself puts in, no DEL, and only valid UTF-8 (so no C1 control hides in a bad sequence).
void requireTerminalSafe(const std::string& text) {
  for (unsigned char c : text)
    require(c >= 0x20 || c == '\n');
  require(text.find('\x7f') == std::string::npos);
  require(platform::base::isValidUtf8(text));
  require(text.find("\xc2\x9b") == std::string::npos);      // C1 CSI
  require(text.find("\xe2\x80\xae") == std::string::npos);  // right-to-left override
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace coreservicectl;
  auto message = platform::xpc::decode(std::span<const std::uint8_t>(data, size));
  if (!message || !std::holds_alternative<platform::xpc::Reply>(*message)) return 0;
  const auto& arguments = std::get<platform::xpc::Reply>(*message).arguments;
  (void)isPingReply(arguments);
  if (const auto status = statusFromReply(arguments)) {
    requireTerminalSafe(formatStatus(*status));
    const std::string json = formatStatusJson(*status);
    for (unsigned char c : json)
      require(c < 0x80 && (c >= 0x20 || c == '\n'));
    const auto back = platform::xpc::Value::parse(json, nullptr, false);
    require(back.is_object() && back.value("daemon", std::string()) == status->daemon);
  }
  // Any text of the reply, the way it would be shown.
  if (arguments.is_array() && !arguments.empty() && arguments[0].is_string()) {
    requireTerminalSafe(terminalSafe(arguments[0].get<std::string>()));
  }
  return 0;
}
