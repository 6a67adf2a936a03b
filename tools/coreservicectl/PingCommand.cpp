// coreservicectl ping [-c COUNT] [-i SECONDS] [-t SECONDS]
// Sends COUNT pings (default 1) over one connection, SECONDS apart (default 1), and prints each
// round trip and a closing summary with min/avg/max/mdev, as ping(8) does; -i 0 sends the next
// ping as soon as the last reply is in. Exit status 0 when every ping was answered; 1 when the
// daemon is not there, does not answer within the timeout (default 5 s) or answers with
// something that is not a ping reply; 2 for a usage error.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "contract/CoreServiceContract.h"
#include "tools/coreservicectl/Commands.h"
#include "tools/coreservicectl/CoreServiceClient.h"
#include "tools/coreservicectl/CoreServiceReplies.h"

namespace coreservicectl {

namespace {

int runPing(const Invocation& invocation) {
  long count = 1;
  auto interval = std::chrono::milliseconds(1000);
  auto timeout = CoreServiceClient::kDefaultTimeout;
  if (auto v = invocation.value("count")) {
    const auto n = platform::cli::parseInteger(*v, 1, 1'000'000);
    if (!n) return usageError(invocation, "invalid count '%s' (1 to 1000000)", v->c_str());
    count = static_cast<long>(*n);
  }
  if (auto v = invocation.value("interval")) {
    const auto s = *v == "0" ? std::optional(std::chrono::milliseconds(0)) : parseSeconds(*v);
    if (!s) return usageError(invocation, "invalid interval '%s'", v->c_str());
    interval = *s;
  }
  if (auto v = invocation.value("timeout")) {
    const auto s = parseSeconds(*v);
    if (!s) return usageError(invocation, "invalid timeout '%s'", v->c_str());
    timeout = *s;
  }

  const char* name = CORESERVICE_SERVICE_NAME;
  CoreServiceClient client;
  std::printf("PING %s\n", name);
  long sent = 0, received = 0;
  double minMs = 0, maxMs = 0, sumMs = 0, sumSquaresMs = 0;
  int status = 0;
  const auto started = std::chrono::steady_clock::now();
  for (long seq = 1; seq <= count; ++seq) {
    if (seq > 1 && interval.count() > 0) std::this_thread::sleep_for(interval);
    ++sent;
    const auto t0 = std::chrono::steady_clock::now();
    auto outcome = client.call(coreservice::pingMethod(), timeout);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (outcome.reply && isPingReply(*outcome.reply)) {
      ++received;
      minMs = received == 1 ? ms : std::min(minMs, ms);
      maxMs = received == 1 ? ms : std::max(maxMs, ms);
      sumMs += ms;
      sumSquaresMs += ms * ms;
      std::printf("reply from %s: seq=%ld time=%.3f ms\n", name, seq, ms);
      // A flood writes its lines in blocks; paced pings show each line as it comes.
      if (interval.count() > 0) std::fflush(stdout);
      continue;
    }
    if (outcome.reply || outcome.unreadableReply) {
      std::fprintf(stderr,
                   "coreservicectl: unexpected reply to ping from the CoreService daemon\n");
    } else if (outcome.timedOut) {
      std::fprintf(stderr, "coreservicectl: no reply from the CoreService daemon within %.3g s\n",
                   static_cast<double>(timeout.count()) / 1000.0);
    } else {
      std::fprintf(stderr, "coreservicectl: the CoreService daemon is not available: %s\n",
                   outcome.error->description.c_str());
    }
    status = 1;
    break;
  }
  const double totalMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  std::printf("--- %s ping statistics ---\n", name);
  std::printf("%ld requests transmitted, %ld replies received, %.0f%% loss, time %.0f ms\n", sent,
              received,
              sent ? 100.0 * static_cast<double>(sent - received) / static_cast<double>(sent) : 0.0,
              totalMs);
  if (received > 0) {
    // mdev as ping(8) gives it: the standard deviation of the round trips.
    const double n = static_cast<double>(received);
    const double avg = sumMs / n;
    const double mdev = std::sqrt(std::max(0.0, sumSquaresMs / n - avg * avg));
    std::printf("rtt min/avg/max/mdev = %.3f/%.3f/%.3f/%.3f ms\n", minMs, avg, maxMs, mdev);
  }
  return status;
}

}  // namespace

Command pingCommand() {
  return {
      "ping",
      {.summary = "Round trips to the daemon over one connection, with a min/avg/max/mdev summary.",
       .options = {{"count", 'c', "COUNT", "number of round trips (default 1)"},
                   {"interval", 'i', "SECONDS",
                    "pause between round trips (default 1, 0 for none)"},
                   {"timeout", 't', "SECONDS", "how long to wait for each reply (default 5)"}},
       .maxOperands = 0},
      &runPing};
}

}  // namespace coreservicectl
