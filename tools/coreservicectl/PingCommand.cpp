// coreservicectl ping [-c COUNT] [-i SECONDS] [-t SECONDS]
// Sends COUNT pings (default 1) over one connection, SECONDS apart (default 1), and prints each
// round trip and a closing summary, as ping(8) does. Exit status 0 when every ping was
// answered; 1 when the daemon is not there or does not answer within the timeout (default 5 s);
// 2 for a usage error.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "contract/CoreServiceContract.h"
#include "tools/coreservicectl/Commands.h"
#include "tools/coreservicectl/CoreServiceClient.h"

namespace coreservicectl {

namespace {

int pingUsage() {
  std::fprintf(stderr, "usage: coreservicectl ping [-c COUNT] [-i SECONDS] [-t SECONDS]\n");
  return 2;
}

}  // namespace

int runPing(const Args& args) {
  long count = 1;
  auto interval = std::chrono::milliseconds(1000);
  auto timeout = CoreServiceClient::kDefaultTimeout;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) return pingUsage();
    const std::string& v = args[++i];
    if (a == "-c" || a == "--count") {
      char* end = nullptr;
      count = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || count < 1 || count > 1'000'000) return pingUsage();
    } else if (a == "-i" || a == "--interval") {
      if (v == "0") {
        interval = std::chrono::milliseconds(0);
      } else if (auto s = parseSeconds(v)) {
        interval = *s;
      } else {
        return pingUsage();
      }
    } else if (a == "-t" || a == "--timeout") {
      auto s = parseSeconds(v);
      if (!s) return pingUsage();
      timeout = *s;
    } else {
      return pingUsage();
    }
  }

  const char* name = CORESERVICE_SERVICE_NAME;
  CoreServiceClient client;
  std::printf("PING %s\n", name);
  long sent = 0, received = 0;
  double minMs = 0, maxMs = 0, sumMs = 0;
  int status = 0;
  const auto started = std::chrono::steady_clock::now();
  for (long seq = 1; seq <= count; ++seq) {
    if (seq > 1 && interval.count() > 0) std::this_thread::sleep_for(interval);
    ++sent;
    const auto t0 = std::chrono::steady_clock::now();
    auto outcome = client.call(coreservice::pingMethod(), timeout);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (outcome.reply) {
      ++received;
      minMs = received == 1 ? ms : std::min(minMs, ms);
      maxMs = received == 1 ? ms : std::max(maxMs, ms);
      sumMs += ms;
      std::printf("reply from %s: seq=%ld time=%.3f ms\n", name, seq, ms);
      std::fflush(stdout);
      continue;
    }
    if (outcome.timedOut) {
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
    std::printf("rtt min/avg/max = %.3f/%.3f/%.3f ms\n", minMs,
                sumMs / static_cast<double>(received), maxMs);
  }
  return status;
}

}  // namespace coreservicectl
