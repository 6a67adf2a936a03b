// coreservicectl status [--json] [-t SECONDS]
// Asks the daemon for its status dictionary and prints it for a reader, or with --json as one
// JSON object on one line. Exit status 0 on success; 1 when the daemon is not there, does not
// answer within the timeout (default 5 s) or answers with something else; 2 for a usage error.

#include <cstdio>
#include <string>

#include "contract/CoreServiceContract.h"
#include "tools/coreservicectl/Commands.h"
#include "tools/coreservicectl/CoreServiceClient.h"
#include "tools/coreservicectl/CoreServiceReplies.h"

namespace coreservicectl {

namespace {

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
  if (outcome.unreadableReply) {
    std::fprintf(stderr,
                 "coreservicectl: the CoreService daemon sent a reply that could not be read\n");
    return 1;
  }
  const auto status = statusFromReply(*outcome.reply);
  if (!status) {
    // Shown as ASCII JSON, cut short: the reply comes from whoever serves the socket.
    std::string text = outcome.reply->dump(-1, ' ', /*ensure_ascii=*/true,
                                           platform::xpc::Value::error_handler_t::replace);
    if (text.size() > 200) text = text.substr(0, 200) + "...";
    std::fprintf(stderr, "coreservicectl: unexpected status reply: %s\n", text.c_str());
    return 1;
  }
  std::fputs(json ? formatStatusJson(*status).c_str() : formatStatus(*status).c_str(), stdout);
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
