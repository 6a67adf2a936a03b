// coreservicectl status [--json] [-t SECONDS]
// Asks the daemon for its status dictionary and prints it for a reader, or with --json as one
// JSON object on one line. Exit status 0 on success; 1 when the daemon is not there, does not
// answer within the timeout (default 5 s) or answers with something else; 2 for a usage error.

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include "contract/CoreServiceContract.h"
#include "tools/coreservicectl/Commands.h"
#include "tools/coreservicectl/CoreServiceClient.h"

namespace coreservicectl {

namespace {

std::string utcText(double secondsSince1970) {
  const double whole = std::floor(secondsSince1970);
  const time_t t = static_cast<time_t>(whole);
  tm utc{};
  if (!::gmtime_r(&t, &utc)) return "?";
  char buf[48];
  const int ms = static_cast<int>((secondsSince1970 - whole) * 1000.0);
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
  return buf;
}

int runStatus(const Invocation& invocation) {
  const bool json = invocation.has("json");
  auto timeout = CoreServiceClient::kDefaultTimeout;
  if (auto v = invocation.value("timeout")) {
    const auto s = parseSeconds(*v);
    if (!s) return usageError(invocation, "invalid timeout '%s'", v->c_str());
    timeout = *s;
  }

  CoreServiceClient client;
  auto outcome = client.call(coreservice::getStatusMethod(), timeout);
  if (outcome.timedOut) {
    std::fprintf(stderr, "coreservicectl: no reply from the CoreService daemon within %.3g s\n",
                 static_cast<double>(timeout.count()) / 1000.0);
    return 1;
  }
  if (outcome.error) {
    std::fprintf(stderr, "coreservicectl: the CoreService daemon is not available: %s\n",
                 outcome.error->description.c_str());
    return 1;
  }
  const auto& reply = *outcome.reply;
  const std::string kDaemon(coreservice::kStatusDaemonKey);
  const std::string kTimestamp(coreservice::kStatusTimestampKey);
  if (!reply.is_array() || reply.size() != 1 || !reply[0].is_object() ||
      !reply[0].contains(kDaemon) || !reply[0][kDaemon].is_string() ||
      !reply[0].contains(kTimestamp) || !reply[0][kTimestamp].is_number()) {
    std::fprintf(stderr, "coreservicectl: unexpected status reply: %s\n", reply.dump().c_str());
    return 1;
  }
  const auto& dict = reply[0];
  if (json) {
    std::printf("%s\n", dict.dump().c_str());
    return 0;
  }
  const double timestamp = dict[kTimestamp].get<double>();
  std::printf("CoreService daemon: %s\n", dict[kDaemon].get<std::string>().c_str());
  std::printf("Timestamp: %s (%.6f)\n", utcText(timestamp).c_str(), timestamp);
  return 0;
}

}  // namespace

Command statusCommand() {
  return {"status",
          {.summary = "The daemon's status dictionary, human-readable or as one JSON object.",
           .options = {{"json", 0, "", "print one JSON object on one line"},
                       {"timeout", 't', "SECONDS", "how long to wait for the reply (default 5)"}},
           .maxOperands = 0},
          &runStatus};
}

}  // namespace coreservicectl
