// The connectivity probe against a bare non-blocking connect, both to a listener on this host.
// Runs in a network namespace of its own (root only), where port 80 is free for the listener.
//   network_bench [--benchmark_* options]
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "SharedUtils/ConnectivityChecker.h"
#include "platform/base/ErrnoText.h"
#include "platform/base/FileDescriptor.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/network/TcpConnection.h"

namespace {

using platform::base::FileDescriptor;

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Accepts every connection and closes it once the client has closed its end. Closing first, or
// resetting, could reach the client before it has looked at its connection and make the connect
// look failed. The client closes first, so the TIME_WAIT entries are the client's, which loopback
// reuses at once.
void serve(int listener) {
  std::vector<pollfd> fds{{listener, POLLIN, 0}};
  for (;;) {
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    for (std::size_t i = fds.size(); i-- > 1;) {
      if (fds[i].revents == 0) continue;
      char sink[256];
      if (read(fds[i].fd, sink, sizeof sink) > 0) continue;
      close(fds[i].fd);
      fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (fds[0].revents & POLLIN) {
      const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (peer >= 0) fds.push_back({peer, POLLIN, 0});
    }
  }
}

// CPU time of the whole process (every thread, the listener's included) per iteration: on a
// loaded machine the wall time mostly measures how long woken threads wait for a core.
class ProcessCpu {
 public:
  explicit ProcessCpu(benchmark::State& state) : state_(state), start_(now()) {}
  ~ProcessCpu() {
    const double perIteration =
        state_.iterations() ? (now() - start_) / static_cast<double>(state_.iterations()) : 0;
    state_.counters["process_cpu_ns"] = perIteration;
  }

 private:
  static double now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval& t) { return t.tv_sec * 1e9 + t.tv_usec * 1e3; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
  }
  benchmark::State& state_;
  double start_;
};

void BM_BareNonBlockingConnect(benchmark::State& state) {
  const sockaddr_in address = loopback(80);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    FileDescriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      pollfd ready{fd.get(), POLLOUT, 0};
      poll(&ready, 1, 5000);
    }
    int err = 0;
    socklen_t length = sizeof err;
    getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &length);
    if (err != 0) {
      const std::string why = "the bare connect failed: " + platform::base::errnoText(err);
      state.SkipWithError(why.c_str());
      break;
    }
  }
}
BENCHMARK(BM_BareNonBlockingConnect)->UseRealTime();

void BM_TcpConnectionReady(benchmark::State& state) {
  auto queue = platform::dispatch::Queue::makeSerial("bench.connection");
  ProcessCpu cpu(state);
  for (auto _ : state) {
    platform::dispatch::Semaphore ready(0);
    auto connection = platform::network::TcpConnection::make("127.0.0.1", 80);
    // The cancelled state comes after the iteration; only ready or failed may touch `ready`.
    connection->setStateHandler([&ready](const platform::network::ConnectionState& s) {
      using Kind = platform::network::ConnectionState::Kind;
      if (s.kind == Kind::ready || s.kind == Kind::failed) ready.signal();
    });
    connection->start(queue);
    ready.wait();
    connection->cancel();
  }
  queue->sync([] {});
}
BENCHMARK(BM_TcpConnectionReady)->UseRealTime();

void BM_ProbeBlocking(benchmark::State& state) {
  ProcessCpu cpu(state);
  for (auto _ : state) {
    if (!sharedutils::ConnectivityChecker::checkConnectivity("http://127.0.0.1/", 5))
      state.SkipWithError("the probe failed");
  }
}
BENCHMARK(BM_ProbeBlocking)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
    std::fprintf(stderr, "network_bench: needs root for a network namespace of its own\n");
    return 1;
  }
  FileDescriptor listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = loopback(80);
  if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), 1024) != 0) {
    std::fprintf(stderr, "network_bench: cannot listen on port 80\n");
    return 1;
  }
  std::thread(serve, listener.get()).detach();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::_Exit(0);  // the accepting thread never ends
}
