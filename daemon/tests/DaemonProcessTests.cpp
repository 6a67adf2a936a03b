// The real coreserviced (and coreservicectl) as separate processes, each in its own temporary
// runtime, log and state directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/CoreServiceProtocol.h"
#include "daemon/InfoDictionary.h"
#include "platform/xpc/Message.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::xpc::Value;

const std::string kDaemonPath = CORESERVICED_PATH;
const std::string kCtlPath = CORESERVICECTL_PATH;  // empty when the tool is not built
const std::string kService(kCoreServiceName);

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);)
    out.push_back(line);
  return out;
}

int countOf(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (auto pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + needle.size()))
    ++n;
  return n;
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 15s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return pred();
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

int rawConnect(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr = addressOf(path);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendRequest(int fd, std::uint64_t id, const platform::xpc::MethodDescription& m) {
  auto bytes =
      platform::xpc::encode(platform::xpc::Request{id, m.selector, m.typeEncoding, Value::array()});
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::optional<platform::xpc::Reply> receiveReply(int fd, std::chrono::milliseconds wait = 15s) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
  std::vector<std::uint8_t> buf(platform::xpc::kMaxMessageSize);
  ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
  if (n <= 0) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  auto m = platform::xpc::decode(buf);
  if (!m || !std::holds_alternative<platform::xpc::Reply>(*m)) return std::nullopt;
  return std::get<platform::xpc::Reply>(*m);
}

bool rawPing(int fd, std::uint64_t id) {
  if (!sendRequest(fd, id, CoreServiceProtocol::pingMethod())) return false;
  auto r = receiveReply(fd);
  return r && r->id == id && r->arguments == Value::array();
}

struct Finished {
  int status = -1;  // raw wait status
  std::string out, err;
};

// One child process with its environment pointed at the test's own directories.
class Child {
 public:
  // `argv[0]` is run with `env`; `fd3`, when not negative, becomes its descriptor 3; its
  // descriptor limit is `nofile` when not zero.
  Child(std::vector<std::string> argv, std::vector<std::string> env, const fs::path& outDir,
        int fd3 = -1, rlim_t nofile = 0) {
    static std::atomic<int> counter{0};
    const int n = counter++;
    outPath_ = outDir / ("out." + std::to_string(n));
    errPath_ = outDir / ("err." + std::to_string(n));
    std::vector<char*> args, envp;
    for (auto& a : argv)
      args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls from here to exec.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGTERM, SIG_DFL);
      ::signal(SIGINT, SIG_DFL);
      ::dup2(out, 1);
      ::dup2(err, 2);
      if (fd3 >= 0) ::dup2(fd3, 3);
      if (nofile) {
        rlimit rl{nofile, nofile};
        ::setrlimit(RLIMIT_NOFILE, &rl);
      }
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    ::close(out);
    ::close(err);
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

  // Waits for the child to end (at most `limit`; then it is killed and the status says so).
  Finished wait(std::chrono::milliseconds limit = 20s) {
    Finished f;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reaped_) {
      int st = 0;
      pid_t r = ::waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        f.status = st;
      } else if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
        reaped_ = true;
        f.status = st;
      } else {
        std::this_thread::sleep_for(5ms);
      }
    }
    f.out = readFile(outPath_);
    f.err = readFile(errPath_);
    return f;
  }
  std::string errText() const { return readFile(errPath_); }

  // User plus system CPU time of the child, in clock ticks.
  long cpuTicks() const {
    std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  fs::path outPath_, errPath_;
};

class DaemonProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/coreserviced-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(tmpl));
    root_ = tmpl;
    for (const char* d : {"run", "logs", "state", "out"})
      fs::create_directories(root_ / d);
    // The daemon runs as whoever runs the test: point both the system and the user variables
    // at our directories so that nothing lands in the host's /run, /var/log or home.
    env_ = {"RUNTIME_DIRECTORY=" + (root_ / "run").string(),
            "XDG_RUNTIME_DIR=" + (root_ / "run").string(),
            "LOGS_DIRECTORY=" + (root_ / "logs").string(),
            "XDG_STATE_HOME=" + (root_ / "state").string(),
            "HOME=" + root_.string(),
            "PATH=/usr/bin:/bin"};
    socket_ = (root_ / "run" / kService).string();
    ::setenv("RUNTIME_DIRECTORY", (root_ / "run").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
  }
  void TearDown() override {
    children_.clear();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  Child& startDaemon(int fd3 = -1, rlim_t nofile = 0) {
    children_.push_back(std::make_unique<Child>(std::vector<std::string>{kDaemonPath}, env_,
                                                root_ / "out", fd3, nofile));
    return *children_.back();
  }
  Finished runCtl(std::vector<std::string> args) {
    args.insert(args.begin(), kCtlPath);
    Child c(args, env_, root_ / "out");
    return c.wait();
  }

  // All log text the daemon has written so far, oldest file first.
  std::string logText() const {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& base : {root_ / "logs", root_ / "state"}) {
      for (auto it = fs::recursive_directory_iterator(base, ec);
           it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file()) files.push_back(it->path());
      }
    }
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
      return fs::last_write_time(a) < fs::last_write_time(b);
    });
    std::string all;
    for (const auto& f : files)
      all += readFile(f);
    return all;
  }
  bool waitForLog(const std::string& needle, int count = 1) {
    return eventually([&] { return countOf(logText(), needle) >= count; });
  }
  // Ready means: the banner is out, a ping is answered, and every line of the probe's own
  // connections is in the file, so that a test's "before" snapshot is stable.
  bool waitReady() {
    int probes = 0;
    return waitForLog("CoreService daemon ready, entering run loop") && eventually([&] {
             int fd = rawConnect(socket_);
             if (fd < 0) return false;
             ++probes;
             bool ok = rawPing(fd, 1);
             ::close(fd);
             return ok;
           }) && waitForLog("XPC connection invalidated: ", probes);
  }

  fs::path root_;
  std::vector<std::string> env_;
  std::string socket_;
  std::vector<std::unique_ptr<Child>> children_;
};

TEST_F(DaemonProcess, BannerStartUpOrderAndExactLineFormat) {
  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  auto lines = splitLines(logText());
  ASSERT_GE(lines.size(), 8u);

  const std::regex shape(
      R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}) \[main:([1-9]\d*)\] \[([EWIDV])\] \[t:(\d+)\] \[p:(\d+)\] (.*)$)");
  std::vector<std::string> messages;
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    EXPECT_EQ(m[5].str(), std::to_string(d.pid())) << line;
    messages.push_back(m[6].str());
  }
  // The first line's timestamp is UTC and recent.
  std::tm tm{};
  ASSERT_TRUE(::strptime(lines[0].substr(0, 19).c_str(), "%Y-%m-%d %H:%M:%S", &tm));
  const auto logged = ::timegm(&tm);
  EXPECT_LT(std::abs(static_cast<long>(logged - ::time(nullptr))), 120L) << lines[0];

  const std::vector<std::string> startUp = {
      std::string(41, '-'),
      "*** CoreService Daemon launched - version: " CS_EXPECTED_SHORT_VERSION " (" CS_EXPECTED_BUILD
      ") ***",
      "Starting CoreService daemon with mach service: com.tarvosys.mac.TarvoClient.CoreService",
      "NSXPCListener started and resumed",
      "CoreService daemon ready, entering run loop",
  };
  ASSERT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 5), startUp);
  EXPECT_NE(lines[0].find("] [I] "), std::string::npos);
  // The readiness probe left its connection lines and a debug line.
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string& l) {
                           return l.find("] [D] ") != std::string::npos &&
                                  l.ends_with("Received ping from client");
                         }),
            lines.end());

  // A fallback for builds without version information.
  EXPECT_EQ(infoValueOrNA(std::nullopt, "CFBundleVersion"), "N/A");
  EXPECT_EQ(infoValueOrNA(InfoDictionary{{"CFBundleVersion", "7"}}, "CFBundleShortVersionString"),
            "N/A");
}

TEST_F(DaemonProcess, SeveralClientsAtOnceThenSigtermFlushesAndExitsZero) {
  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  const std::string before = logText();

  constexpr int kClients = 8, kRounds = 25;
  std::atomic<int> pings{0}, statuses{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      int fd = rawConnect(socket_);
      if (fd < 0) return;
      double last = 0;
      for (int i = 0; i < kRounds; ++i) {
        if (rawPing(fd, static_cast<std::uint64_t>(t * 1000 + 2 * i))) ++pings;
        if (!sendRequest(fd, t * 1000 + 2 * i + 1, CoreServiceProtocol::getStatusMethod()))
          continue;
        auto r = receiveReply(fd);
        if (!r || r->arguments.size() != 1) continue;
        const Value& dict = r->arguments[0];
        if (dict.size() == 2 && dict["daemon"] == "running" &&
            dict["timestamp"].is_number_float() && dict["timestamp"].get<double>() >= last) {
          last = dict["timestamp"].get<double>();
          ++statuses;
        }
      }
      ::close(fd);
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(pings, kClients * kRounds);
  EXPECT_EQ(statuses, kClients * kRounds);
  ASSERT_TRUE(waitForLog("XPC connection invalidated: ",
                         countOf(before, "XPC connection invalidated: ") + kClients));

  ASSERT_EQ(::kill(d.pid(), SIGTERM), 0);
  auto f = d.wait();
  ASSERT_TRUE(WIFEXITED(f.status)) << f.status;
  EXPECT_EQ(WEXITSTATUS(f.status), 0);
  const std::string log = logText();
  EXPECT_EQ(countOf(log, "] Received ping from client"),
            countOf(before, "] Received ping from client") + kClients * kRounds);
  EXPECT_EQ(countOf(log, "] Received status request from client"), kClients * kRounds);
  auto lines = splitLines(log);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(
      lines.back().ends_with("] Received SIGTERM, invalidating XPC listener and exiting..."))
      << lines.back();
  EXPECT_NE(::access(socket_.c_str(), F_OK), 0) << "the daemon removes the socket it made";
}

TEST_F(DaemonProcess, SigintEndsWithStatusZeroAndItsLine) {
  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  ASSERT_EQ(::kill(d.pid(), SIGINT), 0);
  // A second signal while the first is handled changes nothing.
  ::kill(d.pid(), SIGINT);
  auto f = d.wait();
  ASSERT_TRUE(WIFEXITED(f.status)) << f.status;
  EXPECT_EQ(WEXITSTATUS(f.status), 0);
  const std::string log = logText();
  EXPECT_EQ(countOf(log, "] Received SIGINT, invalidating XPC listener and exiting..."), 1);
  EXPECT_EQ(countOf(log, "SIGTERM"), 0);
}

TEST_F(DaemonProcess, BadPacketsAndVanishingClientsLeaveTheDaemonServing) {
  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  const std::string before = logText();
  const int closedBefore = countOf(before, "XPC connection invalidated: ");

  // Accepted and closed with no call: exactly its two lines.
  int fd = rawConnect(socket_);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_TRUE(waitForLog("XPC connection invalidated: ", closedBefore + 1));
  std::this_thread::sleep_for(100ms);
  const std::string afterSilent = logText();
  auto added = splitLines(afterSilent.substr(before.size()));
  ASSERT_EQ(added.size(), 2u) << afterSilent.substr(before.size());
  EXPECT_NE(added[0].find("] [I] [t:"), std::string::npos);
  EXPECT_NE(added[0].find("] Accepted new XPC connection: <Connection 0x"), std::string::npos);
  EXPECT_NE(added[1].find("] [I] [t:"), std::string::npos);
  const std::string description = added[0].substr(added[0].find("<Connection"));
  EXPECT_TRUE(added[1].ends_with("] XPC connection invalidated: " + description)) << added[1];
  EXPECT_NE(description.find("service: " + kService), std::string::npos);
  EXPECT_NE(description.find("peer pid: " + std::to_string(::getpid())), std::string::npos);

  // Garbage and an oversized packet: two interruption lines at warning, connection kept.
  fd = rawConnect(socket_);
  ASSERT_GE(fd, 0);
  const char garbage[] = "garbage that is not CBOR";
  ASSERT_GT(::send(fd, garbage, sizeof garbage, MSG_NOSIGNAL), 0);
  std::vector<char> big(platform::xpc::kMaxMessageSize + 1000, 'x');
  ASSERT_GT(::send(fd, big.data(), big.size(), MSG_NOSIGNAL), 0);
  EXPECT_TRUE(rawPing(fd, 77));
  ASSERT_TRUE(waitForLog("] [W] [t:", 2));
  EXPECT_EQ(countOf(logText(), "XPC connection interrupted: <Connection 0x"), 2);

  // Clients that vanish mid-call: the request is sent and the socket closed before the reply.
  for (int i = 0; i < 20; ++i) {
    int v = rawConnect(socket_);
    ASSERT_GE(v, 0);
    sendRequest(v, 1, CoreServiceProtocol::getStatusMethod());
    ::close(v);
  }
  EXPECT_TRUE(rawPing(fd, 78));
  ::close(fd);
  int again = rawConnect(socket_);
  EXPECT_TRUE(rawPing(again, 79));
  ::close(again);
  ::kill(d.pid(), SIGTERM);
  auto f = d.wait();
  EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 0) << f.status;
}

TEST_F(DaemonProcess, ThousandConnectionsOpenAtOnce) {
  constexpr int kConnections = 1000;
  rlimit rl{};
  ::getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < 2 * kConnections + 100) {
    GTEST_SKIP() << "the descriptor limit (" << rl.rlim_max << ") is too low for this test";
  }
  rlimit raised = rl;
  raised.rlim_cur = std::max<rlim_t>(rl.rlim_cur, 2 * kConnections + 100);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);

  Child& d = startDaemon(-1, 2 * kConnections + 100);
  ASSERT_TRUE(waitReady()) << d.errText();
  std::vector<int> fds;
  for (int i = 0; i < kConnections; ++i) {
    int fd = rawConnect(socket_);
    ASSERT_GE(fd, 0) << i;
    fds.push_back(fd);
  }
  int answered = 0;
  for (int i = 0; i < kConnections; ++i)
    answered += sendRequest(fds[i], i, CoreServiceProtocol::pingMethod());
  for (int i = 0; i < kConnections; ++i) {
    auto r = receiveReply(fds[i]);
    answered += r && r->id == static_cast<std::uint64_t>(i);
  }
  EXPECT_EQ(answered, 2 * kConnections);
  for (int fd : fds)
    ::close(fd);
  EXPECT_TRUE(waitForLog("XPC connection invalidated: ", kConnections + 1));
  ::kill(d.pid(), SIGTERM);
  auto f = d.wait();
  EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 0) << f.status;
  ::setrlimit(RLIMIT_NOFILE, &rl);
}

TEST_F(DaemonProcess, OutOfDescriptorsNeitherSpinsNorStopsServing) {
  constexpr rlim_t kLimit = 48;
  Child& d = startDaemon(-1, kLimit);
  ASSERT_TRUE(waitReady()) << d.errText();

  // More connections than the daemon has descriptors for: the rest wait in the backlog.
  std::vector<int> fds;
  for (rlim_t i = 0; i < kLimit + 20; ++i) {
    int fd = rawConnect(socket_);
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
  }
  ASSERT_TRUE(eventually([&] {
    return d.errText().find("out of file descriptors") != std::string::npos;
  })) << d.errText();
  // While it cannot accept, the daemon sleeps instead of retrying in a loop.
  const long cpuBefore = d.cpuTicks();
  std::this_thread::sleep_for(1500ms);
  const long cpuUsed = d.cpuTicks() - cpuBefore;
  EXPECT_LT(cpuUsed, sysconf(_SC_CLK_TCK) / 4) << "ticks used in 1.5 s while out of descriptors";

  // The last connection is one of those waiting; its call is served once the others have gone
  // and descriptors are free.
  ASSERT_TRUE(sendRequest(fds.back(), 9, CoreServiceProtocol::pingMethod()));
  for (std::size_t i = 0; i + 1 < fds.size(); ++i)
    ::close(fds[i]);
  auto r = receiveReply(fds.back());
  ASSERT_TRUE(r) << "daemon errors:\n" << d.errText();
  EXPECT_EQ(r->id, 9u);
  ::close(fds.back());
  int fresh = -1;
  EXPECT_TRUE(eventually([&] {
    fresh = rawConnect(socket_);
    bool ok = fresh >= 0 && rawPing(fresh, 10);
    if (fresh >= 0) ::close(fresh);
    return ok;
  }));
  ::kill(d.pid(), SIGTERM);
  auto f = d.wait();
  EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 0) << f.status;
}

TEST_F(DaemonProcess, StaleSocketIsReplacedAndASocketFromTheServiceManagerIsUsed) {
  // Left behind by a daemon that is gone.
  {
    int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr = addressOf(socket_);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(stale);
  }
  Child& first = startDaemon();
  ASSERT_TRUE(waitReady()) << first.errText();
  // A second instance finds the socket alive and leaves it to the first.
  Child& second = startDaemon();
  EXPECT_TRUE(eventually([&] {
    return second.errText().find("already served") != std::string::npos;
  })) << second.errText();
  int fd = rawConnect(socket_);
  EXPECT_TRUE(rawPing(fd, 1));
  ::close(fd);
  ::kill(second.pid(), SIGTERM);
  ::kill(first.pid(), SIGTERM);
  EXPECT_EQ(WEXITSTATUS(second.wait().status), 0);
  EXPECT_EQ(WEXITSTATUS(first.wait().status), 0);

  // Socket activation: the daemon is handed a listening socket as descriptor 3, at a path of
  // the service manager's choosing, and leaves that path in place when it exits.
  const std::string passedPath = (root_ / "passed.sock").string();
  int listening = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un addr = addressOf(passedPath);
  ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listening, 16), 0);
  children_.push_back(std::make_unique<Child>(
      std::vector<std::string>{"/bin/sh", "-c", "LISTEN_FDS=1 LISTEN_PID=$$ exec \"$0\"",
                               kDaemonPath},
      env_, root_ / "out", listening));
  Child& activated = *children_.back();
  ::close(listening);
  int a = -1;
  EXPECT_TRUE(eventually([&] {
    a = rawConnect(passedPath);
    bool ok = a >= 0 && rawPing(a, 5);
    if (a >= 0) ::close(a);
    return ok;
  })) << activated.errText();
  EXPECT_NE(::access(socket_.c_str(), F_OK), 0) << "an activated daemon binds no socket of its own";
  ::kill(activated.pid(), SIGTERM);
  EXPECT_EQ(WEXITSTATUS(activated.wait().status), 0);
  EXPECT_EQ(::access(passedPath.c_str(), F_OK), 0);
}

TEST_F(DaemonProcess, ControlToolPingAndStatus) {
  if (kCtlPath.empty()) GTEST_SKIP() << "coreservicectl is not part of this build";
  // Not there: a clear message and a failure status.
  auto absent = runCtl({"ping"});
  EXPECT_EQ(WEXITSTATUS(absent.status), 1);
  EXPECT_NE(absent.err.find("the CoreService daemon is not available"), std::string::npos)
      << absent.err;
  absent = runCtl({"status", "--json"});
  EXPECT_EQ(WEXITSTATUS(absent.status), 1);
  EXPECT_EQ(absent.out, "");

  // Something that accepts and never answers: the timeout.
  {
    int mute = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr = addressOf(socket_);
    ASSERT_EQ(::bind(mute, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(mute, 16), 0);
    auto f = runCtl({"status", "-t", "0.3"});
    EXPECT_EQ(WEXITSTATUS(f.status), 1);
    EXPECT_NE(f.err.find("no reply from the CoreService daemon within 0.3 s"), std::string::npos)
        << f.err;
    ::close(mute);
    ::unlink(socket_.c_str());
  }
  EXPECT_EQ(WEXITSTATUS(runCtl({"ping", "-c", "0"}).status), 2);
  EXPECT_EQ(WEXITSTATUS(runCtl({"status", "--bogus"}).status), 2);

  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  // Several tools at once.
  std::vector<std::thread> threads;
  std::vector<Finished> results(4);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      results[i] = i % 2 ? runCtl({"status", "--json"}) : runCtl({"ping", "-c", "3", "-i", "0"});
    });
  }
  for (auto& t : threads)
    t.join();
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(WIFEXITED(results[i].status) && WEXITSTATUS(results[i].status) == 0)
        << results[i].err;
    if (i % 2) {
      auto json = Value::parse(results[i].out, nullptr, false);
      ASSERT_TRUE(json.is_object()) << results[i].out;
      EXPECT_EQ(json.size(), 2u);
      EXPECT_EQ(json["daemon"], "running");
      EXPECT_TRUE(json["timestamp"].is_number_float());
      EXPECT_EQ(countOf(results[i].out, "\n"), 1);
    } else {
      EXPECT_EQ(countOf(results[i].out, "reply from " + kService + ": seq="), 3) << results[i].out;
      std::smatch m;
      const std::regex rtt(R"(rtt min/avg/max = ([\d.]+)/([\d.]+)/([\d.]+) ms)");
      ASSERT_TRUE(std::regex_search(results[i].out, m, rtt)) << results[i].out;
      EXPECT_LE(std::stod(m[1]), std::stod(m[2]));
      EXPECT_LE(std::stod(m[2]), std::stod(m[3]));
      EXPECT_NE(results[i].out.find("3 requests transmitted, 3 replies received, 0% loss"),
                std::string::npos);
    }
  }
  auto human = runCtl({"status"});
  EXPECT_EQ(WEXITSTATUS(human.status), 0);
  EXPECT_EQ(human.out.rfind("CoreService daemon: running\nTimestamp: ", 0), 0u) << human.out;
  ::kill(d.pid(), SIGTERM);
  d.wait();
}

}  // namespace
