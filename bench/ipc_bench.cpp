// Local IPC: round-trip latency (p50, p99) of the daemon's ping and getStatus, and throughput
// with 1, 8 and 64 clients, each against a raw SOCK_SEQPACKET echo server measured in the same
// run. The daemon is the real coreserviced (next to this benchmark in the build tree), logging to
// a temporary directory; at the end the benchmark checks that every request's debug line reached
// its log file.
//
// Clients use a plain blocking socket with the daemon's wire format, so the figures are the
// service side's cost; "xpc_client" runs the same ping through the library's client connection.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contract/CoreServiceContract.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Message.h"
#include "platform/xpc/RemoteObjectProxy.h"
#include "platform/xpc/SynchronousOutcome.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using platform::xpc::Value;

const char* kService = CORESERVICE_SERVICE_NAME;
const platform::xpc::MethodDescription& kPing = coreservice::pingMethod();
const platform::xpc::MethodDescription& kGetStatus = coreservice::getStatusMethod();

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  return a;
}

int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un a = addressOf(path);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::vector<std::uint8_t> requestBytes(const platform::xpc::MethodDescription& m) {
  return platform::xpc::encode(
      platform::xpc::Request{1, m.selector, m.typeEncoding, Value::array()});
}

bool roundTrip(int fd, const std::vector<std::uint8_t>& bytes, std::vector<char>& buf) {
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
    return false;
  return ::recv(fd, buf.data(), buf.size(), 0) > 0;
}

fs::path buildDirectory() {
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// A raw echo server: one epoll thread sends every packet back as it came.
class EchoServer {
 public:
  explicit EchoServer(std::string path) : path_(std::move(path)) {
    ::unlink(path_.c_str());
    listen_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un a = addressOf(path_);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, SOMAXCONN);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    add(listen_);
    thread_ = std::thread([this] { run(); });
  }
  ~EchoServer() {
    done_ = true;
    int wake = connectTo(path_);  // wakes the loop
    thread_.join();
    if (wake >= 0) ::close(wake);
    for (int fd : clients_)
      ::close(fd);
    ::close(listen_);
    ::close(epoll_);
    ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  void add(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
  }
  void run() {
    std::vector<char> buf(platform::xpc::kMaxMessageSize);
    epoll_event events[64];
    while (!done_) {
      int n = ::epoll_wait(epoll_, events, 64, 100);
      for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd == listen_) {
          for (int c; (c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            clients_.push_back(c);
            add(c);
          }
          continue;
        }
        ssize_t r = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (r > 0) {
          ::send(fd, buf.data(), static_cast<std::size_t>(r), MSG_NOSIGNAL);
        } else if (r == 0) {
          ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
          ::close(fd);
          clients_.erase(std::remove(clients_.begin(), clients_.end(), fd), clients_.end());
        }
      }
    }
  }

  std::string path_;
  int listen_ = -1, epoll_ = -1;
  std::atomic<bool> done_{false};
  std::vector<int> clients_;
  std::thread thread_;
};

// The real daemon, in its own temporary directories.
class Daemon {
 public:
  Daemon() {
    char tmpl[] = "/tmp/ipc-bench-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    fs::create_directories(root_ / "run");
    fs::create_directories(root_ / "logs");
    const std::string exe = (buildDirectory() / "daemon" / "coreserviced").string();
    // The daemon gets its directories through its own environment, so that several daemons (one
    // per start-up measurement) do not disturb the clients of the first one.
    std::vector<std::string> env = environment();
    std::vector<char*> envp;
    for (auto& e : env)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    path_ = (root_ / "run" / kService).string();
    const auto started = Clock::now();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execle(exe.c_str(), exe.c_str(), nullptr, envp.data());
      ::_exit(127);
    }
    // Start to first reply: connect as soon as the socket is there, and ping.
    const auto ping = requestBytes(kPing);
    std::vector<char> buf(platform::xpc::kMaxMessageSize);
    while (Clock::now() - started < std::chrono::seconds(10)) {
      int fd = connectTo(path_);
      if (fd < 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        continue;
      }
      const bool answered = roundTrip(fd, ping, buf);
      ::close(fd);
      if (answered) {
        startToFirstReply_ = Clock::now() - started;
        ++pingsAtStart_;
        return;
      }
    }
    std::fprintf(stderr, "ipc_bench: the daemon at %s did not come up\n", exe.c_str());
    std::exit(1);
  }
  // The variables that place the daemon's socket and logs in this daemon's directories.
  std::vector<std::string> environment() const {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string_view v(*e);
      if (!v.starts_with("RUNTIME_DIRECTORY=") && !v.starts_with("XDG_RUNTIME_DIR=") &&
          !v.starts_with("LOGS_DIRECTORY=") && !v.starts_with("XDG_STATE_HOME=")) {
        env.emplace_back(v);
      }
    }
    env.push_back("RUNTIME_DIRECTORY=" + (root_ / "run").string());
    env.push_back("XDG_RUNTIME_DIR=" + (root_ / "run").string());
    env.push_back("LOGS_DIRECTORY=" + (root_ / "logs").string());
    env.push_back("XDG_STATE_HOME=" + (root_ / "logs").string());
    return env;
  }
  // Stops the daemon (its exit flushes the log) and counts its lines containing `needle`.
  long stopAndCount(const std::string& needle) {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::wait4(pid_, nullptr, 0, &usage_);
      pid_ = -1;
    }
    long n = 0;
    for (auto& e : fs::recursive_directory_iterator(root_ / "logs")) {
      if (!e.is_regular_file()) continue;
      std::ifstream in(e.path());
      for (std::string line; std::getline(in, line);)
        n += line.find(needle) != std::string::npos;
    }
    return n;
  }
  ~Daemon() {
    stopAndCount("");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& path() const { return path_; }
  pid_t pid() const { return pid_; }
  // Points this process's clients (the library's connections, the tool) at this daemon.
  void exportEnvironment() const {
    for (const std::string& e : environment()) {
      const auto eq = e.find('=');
      ::setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
    }
  }
  Clock::duration startToFirstReply() const { return startToFirstReply_; }
  // What the daemon used over its whole life, once stopped.
  const rusage& usage() const { return usage_; }
  long pingsAtStart() const { return pingsAtStart_; }

 private:
  fs::path root_;
  std::string path_;
  pid_t pid_ = -1;
  Clock::duration startToFirstReply_{};
  long pingsAtStart_ = 0;
  rusage usage_{};
};

EchoServer* gEcho = nullptr;
Daemon* gDaemon = nullptr;
std::atomic<long> gPingsSent{0}, gStatusSent{0};

void reportPercentiles(benchmark::State& state, std::vector<double>& us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double u : us)
    sum += u;
  state.counters["avg_us"] = sum / static_cast<double>(us.size());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Latency: one client, one request at a time.
void latency(benchmark::State& state, const std::string& path,
             const std::vector<std::uint8_t>& bytes, std::atomic<long>* sent) {
  int fd = connectTo(path);
  std::vector<char> buf(platform::xpc::kMaxMessageSize);
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    auto t0 = Clock::now();
    if (!roundTrip(fd, bytes, buf)) state.SkipWithError("round trip failed");
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  if (sent) *sent += static_cast<long>(state.iterations());
  reportPercentiles(state, us);
  ::close(fd);
}

void BM_RawEcho_Latency(benchmark::State& state) {
  latency(state, gEcho->path(), requestBytes(kPing), nullptr);
}
void BM_Daemon_Ping_Latency(benchmark::State& state) {
  latency(state, gDaemon->path(), requestBytes(kPing), &gPingsSent);
}
void BM_Daemon_GetStatus_Latency(benchmark::State& state) {
  latency(state, gDaemon->path(), requestBytes(kGetStatus), &gStatusSent);
}

// The same ping through the library's client connection and proxy.
void BM_Daemon_Ping_Latency_XpcClient(benchmark::State& state) {
  auto c = platform::xpc::Connection::makeToService(kService);
  c->resume();
  auto proxy = c->remoteObjectProxyWithErrorHandler([](const platform::xpc::Error&) {});
  std::mutex m;
  std::condition_variable cv;
  std::vector<double> us;
  for (auto _ : state) {
    bool done = false;
    auto t0 = Clock::now();
    proxy->invoke(kPing, Value::array(), [&](Value) {
      std::lock_guard lock(m);
      done = true;
      cv.notify_one();
    });
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return done; }))
      state.SkipWithError("no reply");
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  gPingsSent += static_cast<long>(state.iterations());
  reportPercentiles(state, us);
  c->invalidate();
}

// The same ping as a synchronous call, the way the tool makes it: the calling thread reads
// its reply from the socket itself.
void BM_Daemon_Ping_Latency_XpcClientSync(benchmark::State& state) {
  auto c = platform::xpc::Connection::makeToService(kService);
  c->resume();
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    auto t0 = Clock::now();
    auto outcome = c->sendSynchronousRequest(kPing, Value::array(), std::chrono::seconds(5));
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (!outcome.reply) state.SkipWithError("no reply");
  }
  gPingsSent += static_cast<long>(state.iterations());
  reportPercentiles(state, us);
  c->invalidate();
}

// The whole tool, as a user runs it: `coreservicectl ping -c 20000 -i 0`, its own average (the
// "rtt min/avg/max/mdev" line), to compare with the raw echo's avg_us above.
void BM_Tool_PingFlood(benchmark::State& state) {
  constexpr long kCount = 20000;
  const std::string command =
      (buildDirectory() / "tools" / "coreservicectl" / "coreservicectl").string() + " ping -c " +
      std::to_string(kCount) + " -i 0";
  for (auto _ : state) {
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return state.SkipWithError("cannot run coreservicectl");
    double min = 0, avg = 0, max = 0, mdev = 0;
    bool summary = false;
    std::vector<double> times;
    times.reserve(kCount);
    char line[256];
    while (std::fgets(line, sizeof line, out)) {
      long seq = 0;
      double ms = 0;
      if (std::sscanf(line, "reply from %*s seq=%ld time=%lf ms", &seq, &ms) == 2) {
        times.push_back(ms);
      }
      summary = summary || std::sscanf(line, "rtt min/avg/max/mdev = %lf/%lf/%lf/%lf ms", &min,
                                       &avg, &max, &mdev) == 4;
    }
    if (::pclose(out) != 0 || !summary || times.size() != kCount) {
      return state.SkipWithError("coreservicectl ping failed");
    }
    gPingsSent += kCount;
    std::sort(times.begin(), times.end());
    state.counters["avg_us"] = avg * 1000.0;
    state.counters["p50_us"] = times[times.size() / 2] * 1000.0;
    state.counters["mdev_us"] = mdev * 1000.0;
  }
}

// From the daemon's start (fork) to the first ping reply, each time a fresh daemon.
void BM_Daemon_StartToFirstReply(benchmark::State& state) {
  std::vector<double> ms;
  for (auto _ : state) {
    Daemon fresh;
    ms.push_back(std::chrono::duration<double, std::milli>(fresh.startToFirstReply()).count());
    state.SetIterationTime(ms.back() / 1000.0);
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["max_ms"] = ms.back();
}

// Throughput: every benchmark thread is one client with its own connection.
void throughput(benchmark::State& state, const std::string& path, std::atomic<long>* sent) {
  int fd = connectTo(path);
  auto bytes = requestBytes(kPing);
  std::vector<char> buf(platform::xpc::kMaxMessageSize);
  for (auto _ : state) {
    if (!roundTrip(fd, bytes, buf)) state.SkipWithError("round trip failed");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  if (sent) *sent += static_cast<long>(state.iterations());
  ::close(fd);
}
void BM_RawEcho_Throughput(benchmark::State& state) {
  throughput(state, gEcho->path(), nullptr);
}
void BM_Daemon_Ping_Throughput(benchmark::State& state) {
  throughput(state, gDaemon->path(), &gPingsSent);
}

}  // namespace

// Fixed iteration counts keep the daemon's log below its disk quota, so that every debug line
// can be counted at the end.
BENCHMARK(BM_RawEcho_Latency)->Iterations(20000);
BENCHMARK(BM_Daemon_Ping_Latency)->Iterations(20000);
BENCHMARK(BM_Daemon_GetStatus_Latency)->Iterations(20000);
BENCHMARK(BM_Daemon_Ping_Latency_XpcClient)->Iterations(10000);
BENCHMARK(BM_Daemon_Ping_Latency_XpcClientSync)->Iterations(10000);
BENCHMARK(BM_Tool_PingFlood)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Daemon_StartToFirstReply)
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawEcho_Throughput)
    ->Threads(1)
    ->Threads(8)
    ->Threads(64)
    ->Iterations(1000)
    ->UseRealTime();
BENCHMARK(BM_Daemon_Ping_Throughput)
    ->Threads(1)
    ->Threads(8)
    ->Threads(64)
    ->Iterations(1000)
    ->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Daemon daemon;
  daemon.exportEnvironment();
  gPingsSent += daemon.pingsAtStart();
  EchoServer echo(fs::path(daemon.path()).parent_path() / "raw-echo");
  gDaemon = &daemon;
  gEcho = &echo;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const long pingLines = daemon.stopAndCount("] Received ping from client");
  const long statusLines = daemon.stopAndCount("] Received status request from client");
  std::printf("daemon log: %ld of %ld ping lines, %ld of %ld status lines\n", pingLines,
              gPingsSent.load(), statusLines, gStatusSent.load());
  // The daemon's CPU time and context switches over its whole life (start-up included), per
  // request: with a filter that runs one benchmark, the cost of that benchmark's requests.
  const rusage& u = daemon.usage();
  const double requests = static_cast<double>(gPingsSent.load() + gStatusSent.load());
  const double cpuUs = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
                       static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
  std::printf(
      "daemon per request: %.2f us CPU (%.2f user), %.3f context switches\n", cpuUs / requests,
      (static_cast<double>(u.ru_utime.tv_sec) * 1e6 + static_cast<double>(u.ru_utime.tv_usec)) /
          requests,
      static_cast<double>(u.ru_nvcsw + u.ru_nivcsw) / requests);
  return pingLines == gPingsSent && statusLines == gStatusSent ? 0 : 1;
}
