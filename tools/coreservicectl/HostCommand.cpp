// coreservicectl host [--json]
// Prints the machine's identity: hardware UUID, primary MAC address, device name and IPv4
// default gateway, one "name: value" line each, or with --json as one JSON object on one line.
// The names are the same in both forms so a script can switch between them. A value that is not
// available reads "(none)" in text and null in JSON. Exit status 0, or 2 for a usage error.

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "SharedUtils/DeviceUtils.h"
#include "SharedUtils/MacUtils.h"
#include "tools/coreservicectl/Commands.h"

namespace coreservicectl {

namespace {

int runHost(const Invocation& invocation) {
  const bool json = invocation.has("json");
  using sharedutils::DeviceUtils;
  using sharedutils::MacUtils;
  const std::pair<const char*, std::optional<std::string>> values[] = {
      {"systemUUID", MacUtils::getSystemUUID()},
      {"macAddress", MacUtils::getMACAddress()},
      {"deviceName", MacUtils::getDeviceName()},
      {"defaultGateway", DeviceUtils::getDefaultGateway()},
  };
  if (json) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto& [name, value] : values)
      object[name] = value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
    // A device name is free text: replace bytes that are not UTF-8 rather than fail.
    std::printf("%s\n",
                object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }
  for (const auto& [name, value] : values)
    std::printf("%s: %s\n", name, value ? value->c_str() : "(none)");
  return 0;
}

}  // namespace

Command hostCommand() {
  return {"host",
          {.summary = "Hardware UUID, MAC address, device name and default gateway.",
           .options = {{"json", 0, "", "print one JSON object on one line"}},
           .maxOperands = 0},
          &runHost};
}

}  // namespace coreservicectl
