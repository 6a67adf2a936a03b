// coreservicectl probe <URL> [-t SECONDS]
// Tries a TCP connection to port 80 of the URL's host within the time-out (default 5 seconds)
// and prints the outcome on standard output: "reachable" (exit status 0), or the checker's text
// for what went wrong ("The connection timed out", "Connection failed with error: Connection
// refused", "The provided URL is invalid", ...; exit status 1). Exit status 2 for a usage error.

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "SharedUtils/ConnectivityChecker.h"
#include "platform/dispatch/Semaphore.h"
#include "tools/coreservicectl/Commands.h"
#include "tools/coreservicectl/CoreServiceClient.h"

namespace coreservicectl {

namespace {

using sharedutils::ConnectivityChecker;

int runProbe(const Invocation& invocation) {
  double timeout = 5;
  if (auto v = invocation.value("timeout")) {
    const auto s = parseSeconds(*v);
    if (!s) return usageError(invocation, "invalid timeout '%s'", v->c_str());
    timeout = std::chrono::duration<double>(*s).count();
  }
  const std::string& url = invocation.operands().front();

  struct Outcome {
    platform::dispatch::Semaphore done{0};
    std::mutex m;
    std::optional<ConnectivityChecker::Result> result;
  };
  auto outcome = std::make_shared<Outcome>();
  auto checker = ConnectivityChecker::make();
  checker->checkConnectivity(url, timeout, [outcome](const ConnectivityChecker::Result& result) {
    {
      std::lock_guard lock(outcome->m);
      outcome->result = result;
    }
    outcome->done.signal();
  });
  // The check completes by itself at the time-out; the wait has a margin only as a safeguard.
  outcome->done.wait(
      platform::dispatch::Time::after(std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::duration<double>(timeout + 5))));
  std::lock_guard lock(outcome->m);
  if (!outcome->result) {
    std::printf("%s\n",
                ConnectivityChecker::ConnectivityError::timeout().errorDescription().c_str());
    return 1;
  }
  if (outcome->result->isSuccess()) {
    std::printf("reachable\n");
    return 0;
  }
  std::printf("%s\n", outcome->result->error()->errorDescription().c_str());
  return 1;
}

}  // namespace

Command probeCommand() {
  return {"probe",
          {.summary = "Tries a TCP connection to port 80 of the URL's host and says whether it "
                      "was made.",
           .operands = "<URL>",
           .options = {{"timeout", 't', "SECONDS", "how long to try (default 5)"}},
           .minOperands = 1,
           .maxOperands = 1},
          &runProbe};
}

}  // namespace coreservicectl
