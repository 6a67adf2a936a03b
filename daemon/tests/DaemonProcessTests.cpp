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

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include "daemon/CoreServiceProtocol.h"
#include "logging/DDLogFileInfo.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Message.h"
#include "testsupport/Eventually.h"
#include "testsupport/FileContents.h"
#include "testsupport/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::xpc::Value;
using testsupport::eventually;
using testsupport::readFile;

const std::string kDaemonPath = CORESERVICED_PATH;
const std::string kCtlPath = CORESERVICECTL_PATH;
const std::string kService(coreservice::kServiceName);
const std::string kAccepted = "] Accepted new XPC connection: ";
const std::string kInvalidated = "] XPC connection invalidated: ";

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);)
    out.push_back(line);
  return out;
}

int countOf(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
    ++n;
  return n;
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

// A socket bound to `path`; listening too when `backlog` is positive.
int bound(const std::string& path, int backlog = 0) {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = addressOf(path);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      (backlog > 0 && ::listen(fd, backlog) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int rawConnect(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = addressOf(path);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
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

std::optional<platform::xpc::Reply> receiveReply(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 15000) != 1) return std::nullopt;
  thread_local std::vector<std::uint8_t> buffer(platform::xpc::kMaxMessageSize);
  const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
  if (n <= 0) return std::nullopt;
  auto m = platform::xpc::decode({buffer.data(), static_cast<std::size_t>(n)});
  if (!m || !std::holds_alternative<platform::xpc::Reply>(*m)) return std::nullopt;
  return std::get<platform::xpc::Reply>(*m);
}

bool rawPing(int fd, std::uint64_t id) {
  if (!sendRequest(fd, id, coreservice::pingMethod())) return false;
  auto r = receiveReply(fd);
  return r && r->id == id && r->arguments == Value::array();
}

// Connects, pings and closes; true when the ping was answered.
bool pingOnce(const std::string& path, std::uint64_t id) {
  const int fd = rawConnect(path);
  const bool ok = fd >= 0 && rawPing(fd, id);
  if (fd >= 0) ::close(fd);
  return ok;
}

struct Finished {
  int status = -1;  // raw wait status
  std::string out, err;
};

// One child process with its output in files under `outDir`.
class Child {
 public:
  // `fd3`, when not negative, becomes the child's descriptor 3; its descriptor limit is
  // `nofile` and its stack limit (the default size of its threads' stacks) `stack`, when not zero.
  Child(std::vector<std::string> argv, std::vector<std::string> env, const fs::path& outDir,
        int fd3 = -1, rlim_t nofile = 0, rlim_t stack = 0) {
    static std::atomic<int> counter{0};
    const std::string n = std::to_string(counter++);
    outPath_ = outDir / ("out." + n);
    errPath_ = outDir / ("err." + n);
    std::vector<char*> args, envp;
    for (auto& a : argv)
      args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
      if (fd3 >= 0) ::dup2(fd3, 3), ::fcntl(3, F_SETFD, 0);  // dup2(3, 3) keeps close-on-exec
      const rlimit rl{nofile, nofile};
      if (nofile) ::setrlimit(RLIMIT_NOFILE, &rl);
      const rlimit stackLimit{stack, stack};
      if (stack) ::setrlimit(RLIMIT_STACK, &stackLimit);
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

  // Waits for the child to end (at most 15 s; then it is killed and the status says so).
  Finished wait() {
    Finished f;
    if (!eventually([&] { return ::waitpid(pid_, &f.status, WNOHANG) == pid_; })) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &f.status, 0);
    }
    reaped_ = true;
    f.out = readFile(outPath_);
    f.err = readFile(errPath_);
    return f;
  }
  std::string errText() const { return readFile(errPath_); }

  // Resident memory of the child in KiB; -1 when it cannot be read.
  long residentKiB() const {
    const std::string status = readFile("/proc/" + std::to_string(pid_) + "/status");
    const auto at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
  }

  // User plus system CPU time of the child, in clock ticks.
  long cpuTicks() const {
    const std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
    unsigned long user = 0, system = 0;  // fields 14 and 15, counted after the name's ')'
    const auto end = stat.rfind(')');
    if (end == std::string::npos ||
        std::sscanf(stat.c_str() + end + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                    &user, &system) != 2)
      return -1;
    return static_cast<long>(user + system);
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  fs::path outPath_, errPath_;
};

class DaemonProcess : public ::testing::Test {
 protected:
  void SetUp() override {
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
  }
  void TearDown() override { children_.clear(); }

  Child& start(std::vector<std::string> argv, int fd3 = -1, rlim_t nofile = 0, rlim_t stack = 0) {
    children_.push_back(std::make_unique<Child>(argv, env_, root_ / "out", fd3, nofile, stack));
    return *children_.back();
  }
  Child& startDaemon(rlim_t nofile = 0, rlim_t stack = 0) {
    return start({kDaemonPath}, -1, nofile, stack);
  }
  Finished runCtl(std::vector<std::string> args) {
    args.insert(args.begin(), kCtlPath);
    return Child(args, env_, root_ / "out").wait();
  }

  // All log text the daemon has written so far, oldest file first.
  std::string logText() const {
    std::vector<fs::path> files;
    for (const auto& base : {root_ / "logs", root_ / "state"}) {
      for (const auto& e : fs::recursive_directory_iterator(base)) {
        if (e.is_regular_file()) files.push_back(e.path());
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
  // Every accepted connection has its invalidation line.
  bool waitQuiet() {
    return eventually([&] {
      const std::string log = logText();
      return countOf(log, kAccepted) == countOf(log, kInvalidated);
    });
  }
  // Ready means: the banner is out, a ping is answered, and every line of the probe's own
  // connections is in the file, so that a test's "before" snapshot is stable. The reply may
  // come before any of the probe's lines are written: quiet counts only once its ping line is.
  bool waitReady() {
    return waitForLog("CoreService daemon ready, entering run loop") &&
           eventually([&] { return pingOnce(socket_, 1); }) &&
           waitForLog("] Received ping from client") && waitQuiet();
  }
  // Once every connection's lines are out, `sig` (sent `times` times at once) ends the daemon
  // with status 0 and the signal's line last.
  void expectCleanExit(Child& d, int sig = SIGTERM, int times = 1) {
    ASSERT_TRUE(waitQuiet());
    for (int i = 0; i < times; ++i)
      ASSERT_EQ(::kill(d.pid(), sig), 0);
    const auto f = d.wait();
    ASSERT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 0) << f.status << " " << f.err;
    const auto lines = splitLines(logText());
    ASSERT_FALSE(lines.empty());
    const std::string name = sig == SIGINT ? "SIGINT" : "SIGTERM";
    EXPECT_TRUE(
        lines.back().ends_with("] Received " + name + ", invalidating XPC listener and exiting..."))
        << lines.back();
  }

  testsupport::TemporaryDirectory directory_{"coreserviced-test"};
  fs::path root_ = directory_.path();
  std::vector<std::string> env_;
  std::string socket_;
  std::vector<std::unique_ptr<Child>> children_;
};

TEST_F(DaemonProcess, BannerStartUpOrderAndExactLineFormat) {
  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  const auto lines = splitLines(logText());
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
  EXPECT_LT(std::abs(static_cast<long>(::timegm(&tm) - ::time(nullptr))), 120L) << lines[0];
  EXPECT_NE(lines[0].find("] [I] "), std::string::npos);
  const std::vector<std::string> startUp = {
      std::string(41, '-'),
      "*** CoreService Daemon launched - version: " CS_EXPECTED_SHORT_VERSION " (" CS_EXPECTED_BUILD
      ") ***",
      "Starting CoreService daemon with mach service: com.tarvosys.mac.TarvoClient.CoreService",
      "NSXPCListener started and resumed",
      "CoreService daemon ready, entering run loop",
  };
  EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 5), startUp);
  // The readiness probe's ping left a debug line.
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("] [D] ") != std::string::npos && l.ends_with("Received ping from client");
  }));
  expectCleanExit(d, SIGINT, 2);  // a second signal while the first is handled changes nothing
  EXPECT_EQ(countOf(logText(), "] Received SIGINT"), 1);
  EXPECT_EQ(countOf(logText(), "SIGTERM"), 0);
}

// The daemon names its files after its identifier and keeps its own limits. Seeded with eleven
// finished files and a newest unfinished one just under 3 MiB, it resumes that one (so its size
// limit is above the 1 MiB default), rolls it once its first lines take it past 3 MiB, and the
// deletion run after the next file leaves ten files (not the default five).
TEST_F(DaemonProcess, LogFilesAreNamedAfterTheIdentifierAndKeepTheDaemonsLimits) {
  const std::string prefix = "com.tarvosys.mac.TarvoClient.CoreService ";
  const fs::path logs = root_ / "logs";
  const auto seed = [&](int day) {
    char date[40];
    std::snprintf(date, sizeof date, "2020-01-%02d--00-00-00-000.log", day);
    return logs / (prefix + date);
  };
  for (int day = 1; day <= 11; ++day) {
    std::ofstream(seed(day)) << "seed " << day << "\n";
    DDLogFileInfo(seed(day).string()).setIsArchived(true);
  }
  const std::size_t seeded = 3 * 1024 * 1024 - 200;  // the banner's second line crosses 3 MiB
  std::ofstream(seed(12)) << std::string(seeded - 1, 'x') << "\n";
  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  // Written on after what was there, beginning with the banner, and just past 3 MiB.
  const std::string resumed = readFile(seed(12));
  ASSERT_GE(resumed.size(), 3u * 1024 * 1024);
  EXPECT_LT(resumed.size(), 3u * 1024 * 1024 + 4096);
  const std::size_t firstLineEnd = resumed.find('\n', seeded);
  ASSERT_NE(firstLineEnd, std::string::npos);
  EXPECT_TRUE(resumed.substr(seeded, firstLineEnd - seeded).ends_with("] " + std::string(41, '-')))
      << resumed.substr(seeded, 200);
  EXPECT_TRUE(DDLogFileInfo(seed(12).string()).isArchived()) << "not rolled at 3 MiB";
  std::vector<std::string> names;
  ASSERT_TRUE(eventually([&] {
    names.clear();
    for (const auto& e : fs::directory_iterator(logs))
      names.push_back(e.path().filename());
    return names.size() == 10;
  })) << names.size()
      << " files";
  std::sort(names.begin(), names.end());
  for (const auto& n : names)
    EXPECT_TRUE(n.starts_with(prefix) && n.ends_with(".log")) << n;
  EXPECT_EQ(names.front(), seed(4).filename());  // the three oldest went
  EXPECT_EQ(names[8], seed(12).filename());
  expectCleanExit(d);
}

TEST_F(DaemonProcess, HelpVersionAndUsageErrorsAnswerWithoutStarting) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string outStart;
    std::string err;
  };
  const std::string tryHelp = "Try 'coreserviced --help' for more information.\n";
  const std::vector<Case> cases = {
      {{"--help"}, 0, "usage: coreserviced [options]\nThe CoreService daemon.\n", ""},
      {{"-h", "extra"}, 0, "usage: coreserviced [options]\n", ""},
      {{"--version"},
       0,
       "coreserviced (CoreService) " CS_EXPECTED_SHORT_VERSION " (" CS_EXPECTED_BUILD ")\n",
       ""},
      {{"--foreground"}, 2, "", "coreserviced: unknown option '--foreground'\n" + tryHelp},
      {{"-d"}, 2, "", "coreserviced: unknown option '-d'\n" + tryHelp},
      {{"start"}, 2, "", "coreserviced: unexpected argument 'start'\n" + tryHelp},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    std::vector<std::string> argv = {kDaemonPath};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const auto f = start(argv).wait();
    ASSERT_TRUE(WIFEXITED(f.status)) << f.status;
    EXPECT_EQ(WEXITSTATUS(f.status), c.status);
    EXPECT_TRUE(f.out.starts_with(c.outStart)) << f.out;
    EXPECT_EQ(f.err, c.err);
  }
  // None of them got as far as the log or the socket.
  for (const char* dir : {"run", "logs", "state"})
    EXPECT_TRUE(fs::is_empty(root_ / dir)) << dir;
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
      const int fd = rawConnect(socket_);
      double last = 0;
      for (int i = 0; fd >= 0 && i < kRounds; ++i) {
        const std::uint64_t id = t * 1000 + 2 * i;
        if (rawPing(fd, id)) ++pings;
        if (!sendRequest(fd, id + 1, coreservice::getStatusMethod())) continue;
        const auto r = receiveReply(fd);
        if (!r || r->id != id + 1 || r->arguments.size() != 1) continue;
        const Value& dict = r->arguments[0];
        if (dict.size() == 2 && dict["daemon"] == "running" &&
            dict["timestamp"].is_number_float() && dict["timestamp"].get<double>() >= last) {
          last = dict["timestamp"].get<double>();
          ++statuses;
        }
      }
      if (fd >= 0) ::close(fd);
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(pings, kClients * kRounds);
  EXPECT_EQ(statuses, kClients * kRounds);
  expectCleanExit(d);
  const std::string log = logText();
  EXPECT_EQ(countOf(log, kInvalidated), countOf(before, kInvalidated) + kClients);
  EXPECT_EQ(countOf(log, "] Received ping from client"),
            countOf(before, "] Received ping from client") + kClients * kRounds);
  EXPECT_EQ(countOf(log, "] Received status request from client"), kClients * kRounds);
  EXPECT_NE(::access(socket_.c_str(), F_OK), 0) << "the daemon removes the socket it made";
}

// Clients connected before the signal are still answered until the process ends: every call
// answered, even the last ones, left its line in the log. Several rounds, since the window
// between the exit flush and the end of the process is short.
TEST_F(DaemonProcess, EveryCallAnsweredWhileTheDaemonExitsHasItsLine) {
  const std::string kPingLine = "] Received ping from client";
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    // The last round's connections were never invalidated: a fresh log keeps readiness exact.
    for (const auto& e : fs::directory_iterator(root_ / "logs"))
      fs::remove_all(e.path());
    Child& d = startDaemon();
    ASSERT_TRUE(waitReady()) << d.errText();
    const int before = countOf(logText(), kPingLine);
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c) {
      clients.emplace_back([&, c] {
        const int fd = rawConnect(socket_);
        for (std::uint64_t id = c * 1000000; fd >= 0 && rawPing(fd, id); ++id)
          ++answered;
        if (fd >= 0) ::close(fd);
      });
    }
    EXPECT_TRUE(eventually([&] { return answered >= 300; }));
    ASSERT_EQ(::kill(d.pid(), round % 2 ? SIGINT : SIGTERM), 0);
    const auto f = d.wait();
    for (auto& t : clients)
      t.join();
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 0) << f.status << " " << f.err;
    // A call may also have been logged and left unanswered when the process ended.
    EXPECT_GE(countOf(logText(), kPingLine) - before, answered.load());
  }
}

TEST_F(DaemonProcess, BadPacketsAndVanishingClientsLeaveTheDaemonServing) {
  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  const std::string before = logText();

  // Accepted and closed with no call: exactly its two lines (nothing else can be waited for, so
  // a pause gives stray lines their chance to show).
  ::close(rawConnect(socket_));
  ASSERT_TRUE(waitQuiet());
  std::this_thread::sleep_for(100ms);
  const std::string afterSilent = logText();
  const auto added = splitLines(afterSilent.substr(before.size()));
  ASSERT_EQ(added.size(), 2u) << afterSilent.substr(before.size());
  EXPECT_NE(added[0].find("] [I] [t:"), std::string::npos);
  EXPECT_NE(added[0].find(kAccepted + "<Connection 0x"), std::string::npos);
  EXPECT_NE(added[1].find("] [I] [t:"), std::string::npos);
  const std::string description = added[0].substr(added[0].find("<Connection"));
  EXPECT_TRUE(added[1].ends_with(kInvalidated + description)) << added[1];
  EXPECT_NE(description.find("service: " + kService), std::string::npos);
  EXPECT_NE(description.find("peer pid: " + std::to_string(::getpid())), std::string::npos);

  // Garbage and an oversized packet: two interruption lines at warning, connection kept.
  const int fd = rawConnect(socket_);
  ASSERT_GE(fd, 0);
  const char garbage[] = "garbage that is not CBOR";
  ASSERT_GT(::send(fd, garbage, sizeof garbage, MSG_NOSIGNAL), 0);
  std::vector<char> big(platform::xpc::kMaxMessageSize + 1000, 'x');
  ASSERT_GT(::send(fd, big.data(), big.size(), MSG_NOSIGNAL), 0);
  EXPECT_TRUE(rawPing(fd, 77));
  ASSERT_TRUE(waitForLog("] [W] [t:", 2));
  EXPECT_EQ(countOf(logText(), "] XPC connection interrupted: <Connection 0x"), 2);

  // Clients that vanish mid-call: the request is sent and the socket closed before the reply.
  for (int i = 0; i < 20; ++i) {
    const int v = rawConnect(socket_);
    ASSERT_GE(v, 0);
    sendRequest(v, 1, coreservice::getStatusMethod());
    ::close(v);
  }
  EXPECT_TRUE(rawPing(fd, 78));
  ::close(fd);
  EXPECT_TRUE(pingOnce(socket_, 79));
  expectCleanExit(d);
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
  Child& d = startDaemon(2 * kConnections + 100);
  ASSERT_TRUE(waitReady()) << d.errText();
  std::vector<int> fds;
  for (int i = 0; i < kConnections; ++i) {
    fds.push_back(rawConnect(socket_));
    ASSERT_GE(fds.back(), 0) << i;
  }
  int answered = 0;
  for (int i = 0; i < kConnections; ++i)
    answered += sendRequest(fds[i], i, coreservice::pingMethod());
  for (int i = 0; i < kConnections; ++i) {
    const auto r = receiveReply(fds[i]);
    answered += r && r->id == static_cast<std::uint64_t>(i);
  }
  EXPECT_EQ(answered, 2 * kConnections);
  for (int fd : fds)
    ::close(fd);
  expectCleanExit(d);
  ::setrlimit(RLIMIT_NOFILE, &rl);
}

TEST_F(DaemonProcess, OutOfDescriptorsNeitherSpinsNorStopsServing) {
  constexpr rlim_t kLimit = 48;
  Child& d = startDaemon(kLimit);
  ASSERT_TRUE(waitReady()) << d.errText();
  // More connections than the daemon has descriptors for: the rest wait in the backlog.
  std::vector<int> fds;
  for (rlim_t i = 0; i < kLimit + 20; ++i) {
    fds.push_back(rawConnect(socket_));
    ASSERT_GE(fds.back(), 0);
  }
  ASSERT_TRUE(eventually([&] {
    return d.errText().find("out of file descriptors") != std::string::npos;
  })) << d.errText();
  // While it cannot accept, the daemon sleeps instead of retrying in a loop.
  const long cpuBefore = d.cpuTicks();
  std::this_thread::sleep_for(1500ms);
  EXPECT_LT(d.cpuTicks() - cpuBefore, sysconf(_SC_CLK_TCK) / 4)
      << "ticks used in 1.5 s while out of descriptors";
  // The last connection is one of those waiting; its call is served once the others have gone
  // and descriptors are free.
  ASSERT_TRUE(sendRequest(fds.back(), 9, coreservice::pingMethod()))
      << "the daemon is gone (errno " << errno << "):\n"
      << d.errText();
  for (std::size_t i = 0; i + 1 < fds.size(); ++i)
    ::close(fds[i]);
  const auto r = receiveReply(fds.back());
  ASSERT_TRUE(r) << "daemon errors:\n" << d.errText();
  EXPECT_EQ(r->id, 9u);
  ::close(fds.back());
  EXPECT_TRUE(eventually([&] { return pingOnce(socket_, 10); }));
  expectCleanExit(d);
}

// Packets a hostile local user might send, to a daemon whose threads have small stacks: the
// decoder neither throws nor recurses, so the daemon drops them and goes on serving.
TEST_F(DaemonProcess, HostilePacketsWithSmallThreadStacksLeaveTheDaemonServing) {
  // ThreadSanitizer's frames are several times larger: a daemon built with it needs 1 MiB to
  // start at all, still far below what a decoder recursing once per nesting level would use.
#if defined(__SANITIZE_THREAD__)
  constexpr rlim_t kSmallStack = 1024 * 1024;
#else
  constexpr rlim_t kSmallStack = 256 * 1024;
#endif
  Child& d = startDaemon(0, kSmallStack);
  ASSERT_TRUE(waitReady()) << d.errText();
  const int fd = rawConnect(socket_);
  ASSERT_GE(fd, 0);
  const auto sendBytes = [&](const std::vector<std::uint8_t>& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  };
  // An array claiming 2^63-1 elements; arrays nested as deep as a packet allows, bare and inside
  // a request; a map claiming more entries than the packet holds.
  EXPECT_TRUE(sendBytes({0x9b, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
  std::vector<std::uint8_t> deep(platform::xpc::kMaxMessageSize - 1, 0x81);
  deep.push_back(0x80);
  EXPECT_TRUE(sendBytes(deep));
  // A ping request whose argument array holds arrays 60,000 deep (keys in the encoder's order).
  const auto text = [](std::vector<std::uint8_t>& out, const std::string& s) {
    if (s.size() < 24) {
      out.push_back(static_cast<std::uint8_t>(0x60 + s.size()));
    } else {
      out.push_back(0x78);
      out.push_back(static_cast<std::uint8_t>(s.size()));
    }
    out.insert(out.end(), s.begin(), s.end());
  };
  std::vector<std::uint8_t> request = {0xa4};
  text(request, "arguments");
  request.insert(request.end(), 60000, 0x81);
  request.push_back(0x80);
  text(request, "id");
  request.push_back(0x05);
  text(request, coreservice::pingMethod().selector);
  text(request, coreservice::pingMethod().typeEncoding);
  EXPECT_TRUE(sendBytes(request));
  EXPECT_TRUE(sendBytes({0xbb, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x61, 'a'}));
  // Random packets, and random changes to a valid request.
  std::mt19937 random(20261206);
  const auto ping = platform::xpc::encode(
      platform::xpc::Request{6, coreservice::pingMethod().selector,
                             coreservice::pingMethod().typeEncoding, Value::array()});
  for (int i = 0; i < 300; ++i) {
    std::vector<std::uint8_t> bytes(1 + random() % 64);
    for (auto& b : bytes)
      b = static_cast<std::uint8_t>(random());
    sendBytes(bytes);
    auto changed = ping;
    changed[random() % changed.size()] = static_cast<std::uint8_t>(random());
    sendBytes(changed);
  }
  // A SIGPIPE from outside is ignored like the ones a vanished client would cause.
  ASSERT_EQ(::kill(d.pid(), SIGPIPE), 0);
  // Replies to changed requests that still decode may be in the way: read up to our own.
  ASSERT_TRUE(sendRequest(fd, 1000, coreservice::pingMethod()));
  std::optional<platform::xpc::Reply> reply;
  do {
    reply = receiveReply(fd);
  } while (reply && reply->id != 1000);
  EXPECT_TRUE(reply) << d.errText();
  ::close(fd);
  EXPECT_TRUE(pingOnce(socket_, 2));
  expectCleanExit(d);
}

// A client that sends as fast as it can and never reads stalls only its own connection: the
// daemon stops taking its calls, its memory stays put, others are served, and when the client
// finally reads it gets a reply to every call the daemon took, in order.
TEST_F(DaemonProcess, NeverReadingClientStallsOnlyItselfAndGetsEveryReplyLater) {
  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  // Served once before measuring, so that the workers, their stacks and (in sanitized builds)
  // their shadow memory are counted in the baseline, not as growth.
  for (std::uint64_t i = 0; i < 20; ++i)
    ASSERT_TRUE(pingOnce(socket_, 400000 + i));
  const long residentBefore = d.residentKiB();
  ASSERT_GT(residentBefore, 0);
  // Queuing a reply to every call would cost about 8 MiB more, several times that in sanitized
  // builds, whose shadow memory grows with whatever the daemon touches.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr long kGrowthKiB = 12 * 1024;
#else
  constexpr long kGrowthKiB = 4 * 1024;
#endif
  const int fd = rawConnect(socket_);
  ASSERT_GE(fd, 0);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  const auto& ping = coreservice::pingMethod();
  std::uint64_t sent = 0;
  while (sent < 100000) {
    const auto bytes = platform::xpc::encode(
        platform::xpc::Request{sent + 1, ping.selector, ping.typeEncoding, Value::array()});
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(bytes.size())) {
      ++sent;
      continue;
    }
    ASSERT_EQ(errno, EAGAIN);
    // Full: the daemon has stopped taking calls once it no longer drains within a while.
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 500) == 0) break;
  }
  EXPECT_LT(sent, 100000u) << "the daemon took every call without its replies being read";
  EXPECT_GE(sent, platform::xpc::Connection::kMaxOutstandingCalls);
  // Others are served meanwhile.
  for (std::uint64_t i = 0; i < 20; ++i)
    EXPECT_TRUE(pingOnce(socket_, 500000 + i));
  const long residentAfter = d.residentKiB();
  EXPECT_LT(residentAfter - residentBefore, kGrowthKiB)
      << "KiB before " << residentBefore << ", after " << residentAfter;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::uint64_t next = 1;
  while (next <= sent) {
    const auto reply = receiveReply(fd);
    if (!reply || reply->id != next || reply->arguments != Value::array()) break;
    ++next;
  }
  EXPECT_EQ(next - 1, sent) << "replies in order before the first missing or wrong one";
  EXPECT_TRUE(rawPing(fd, 999999));
  ::close(fd);
  expectCleanExit(d);
}

// One user may hold only a share of the daemon's connections; root is still served.
TEST_F(DaemonProcess, OneUserCannotLockOthersOut) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to connect as another user";
  constexpr uid_t kNobody = 65534;
  constexpr rlim_t kDescriptors = 200;  // a share of (200 - 64) / 4 = 34 connections
  constexpr int kShare = 34, kTries = 40;
  fs::permissions(root_, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
  fs::permissions(root_ / "run",
                  fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
  Child& d = startDaemon(kDescriptors);
  ASSERT_TRUE(waitReady()) << d.errText();
  const auto& ping = coreservice::pingMethod();
  const auto request = platform::xpc::encode(
      platform::xpc::Request{1, ping.selector, ping.typeEncoding, Value::array()});
  const sockaddr_un addr = addressOf(socket_);
  int answers[2], release[2];
  ASSERT_EQ(::pipe(answers), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Only system calls from here to _exit.
    ::close(answers[0]);
    ::close(release[1]);  // so that the parent closing its end is seen
    if (::setresgid(kNobody, kNobody, kNobody) != 0 || ::setresuid(kNobody, kNobody, kNobody) != 0)
      ::_exit(1);
    int fds[kTries];
    unsigned char answered = 0;
    for (int& fd : fds) {
      fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) continue;
      if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) <= 0) continue;
      pollfd p{fd, POLLIN, 0};
      char buffer[512];
      if (::poll(&p, 1, 15000) == 1 && ::recv(fd, buffer, sizeof buffer, 0) > 0) ++answered;
    }
    if (::write(answers[1], &answered, 1) != 1) ::_exit(2);
    char go;
    if (::read(release[0], &go, 1) < 0) ::_exit(3);  // holds its connections until then
    ::_exit(0);
  }
  ::close(answers[1]);
  ::close(release[0]);
  unsigned char answered = 0;
  const bool reported = ::read(answers[0], &answered, 1) == 1;
  const bool rootServed = pingOnce(socket_, 7);
  ::close(release[1]);
  ::close(answers[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(reported) << "the other user's process ended with status " << status;
  EXPECT_EQ(answered, kShare);
  EXPECT_TRUE(rootServed);
  const std::string svc = " to " + kService;
  EXPECT_TRUE(eventually([&] {
    return d.errText().find("Listener: refused 6 connections of uid 65534" + svc +
                            " while it held its share\n") != std::string::npos;
  })) << d.errText();
  EXPECT_EQ(countOf(d.errText(), "Listener: uid 65534 holds 34 connections" + svc +
                                     ", its share; refusing more\n"),
            1)
      << d.errText();
  expectCleanExit(d);
}

TEST_F(DaemonProcess, StaleSocketIsReplacedAndASocketFromTheServiceManagerIsUsed) {
  ::close(bound(socket_));  // left behind by a daemon that is gone
  Child& first = startDaemon();
  ASSERT_TRUE(waitReady()) << first.errText();
  // A second instance finds the socket alive, leaves it to the first, says why in one line and
  // exits with a failure status instead of pretending to serve.
  const auto second = startDaemon().wait();
  EXPECT_TRUE(WIFEXITED(second.status) && WEXITSTATUS(second.status) == 1) << second.status;
  EXPECT_EQ(countOf(second.err, "\n"), 1) << second.err;
  EXPECT_NE(second.err.find("service " + kService + " is already served at " + socket_),
            std::string::npos)
      << second.err;
  EXPECT_EQ(countOf(logText(), "CoreService daemon ready, entering run loop"), 1);
  EXPECT_TRUE(pingOnce(socket_, 1));
  expectCleanExit(first);

  // Socket activation: the daemon is handed a listening socket as descriptor 3, at a path of
  // the service manager's choosing, and leaves that path in place when it exits. Started without
  // standard input, output and error, it puts /dev/null there before it makes any descriptor of
  // its own, which would otherwise take those numbers and receive its diagnostics.
  const std::string passedPath = (root_ / "passed.sock").string();
  const int listening = bound(passedPath, 16);
  ASSERT_GE(listening, 0);
  Child& activated =
      start({"/bin/sh", "-c", "LISTEN_FDS=1 LISTEN_PID=$$ exec \"$0\" <&- >&- 2>&-", kDaemonPath},
            listening);
  ::close(listening);
  EXPECT_TRUE(eventually([&] { return pingOnce(passedPath, 5); })) << activated.errText();
  for (const char* fd : {"0", "1", "2"}) {
    const auto path = fs::path("/proc") / std::to_string(activated.pid()) / "fd" / fd;
    std::error_code error;
    EXPECT_EQ(fs::read_symlink(path, error), "/dev/null") << fd << " " << error.message();
  }
  EXPECT_NE(::access(socket_.c_str(), F_OK), 0) << "an activated daemon binds no socket of its own";
  ::kill(activated.pid(), SIGTERM);
  EXPECT_EQ(WEXITSTATUS(activated.wait().status), 0);
  EXPECT_EQ(::access(passedPath.c_str(), F_OK), 0);
}

// Under systemd the daemon reports readiness on NOTIFY_SOCKET: once READY=1 is sent the service
// answers at the first try, and STOPPING=1 comes when it is told to stop. The socket may be a
// path or an abstract name ("@name"), whose length is exactly what is written.
TEST_F(DaemonProcess, ReadinessAndStoppingAreReportedToTheServiceManager) {
  const std::string abstractName = "@coreserviced-test-notify-" + std::to_string(::getpid());
  for (const std::string& name : {(root_ / "notify").string(), abstractName}) {
    SCOPED_TRACE(name);
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(notify, 0);
    sockaddr_un addr = addressOf(name);
    socklen_t size = sizeof addr;
    if (name[0] == '@') {
      addr.sun_path[0] = '\0';
      size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    }
    ASSERT_EQ(::bind(notify, reinterpret_cast<const sockaddr*>(&addr), size), 0);
    const auto nextMessage = [&] {
      pollfd p{notify, POLLIN, 0};
      char buffer[256];
      if (::poll(&p, 1, 20000) != 1) return std::string("(nothing within 20 s)");
      const ssize_t n = ::recv(notify, buffer, sizeof buffer, 0);
      return n < 0 ? std::string("(recv failed)") : std::string(buffer, static_cast<size_t>(n));
    };
    env_.push_back("NOTIFY_SOCKET=" + name);
    Child& d = startDaemon();
    env_.pop_back();
    EXPECT_EQ(nextMessage(), "READY=1") << d.errText();
    EXPECT_TRUE(pingOnce(socket_, 1));
    ::kill(d.pid(), SIGTERM);
    EXPECT_EQ(nextMessage(), "STOPPING=1");
    const auto f = d.wait();
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 0) << f.status << " " << f.err;
    ::close(notify);
  }
}

// A second daemon finds the service taken and says so on standard error: with the journal's
// priority prefix and nothing else when standard error is the stream JOURNAL_STREAM names, with
// its own time and pid when JOURNAL_STREAM names some other stream.
TEST_F(DaemonProcess, DiagnosticsCarryAPriorityInsteadOfAStampOnTheJournalStream) {
  Child& first = startDaemon();
  ASSERT_TRUE(waitReady()) << first.errText();
  const std::string journalStream =
      "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\"";
  const std::string otherStream = "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/1) exec \"$0\"";
  const std::regex journalLine(R"(<[0-7]>[A-Za-z][^\n]*\n)");
  const std::regex stampedLine(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} coreserviced\[\d+:\d+\] [A-Za-z][^\n]*\n)");
  for (const auto& [script, shape] :
       {std::pair{journalStream, journalLine}, std::pair{otherStream, stampedLine}}) {
    SCOPED_TRACE(script);
    Child& second = start({"/bin/sh", "-c", script, kDaemonPath});
    ASSERT_TRUE(eventually([&] { return second.errText().ends_with("\n"); })) << second.errText();
    ::kill(second.pid(), SIGTERM);
    const auto f = second.wait();
    EXPECT_TRUE(WIFEXITED(f.status)) << f.status;
    std::smatch m;
    for (auto text = f.err; !text.empty(); text = m.suffix())
      ASSERT_TRUE(std::regex_search(text, m, shape, std::regex_constants::match_continuous))
          << f.err;
  }
  // Each second instance connected to the first to find it alive and then went away; the first
  // may not have taken those connections yet, and one it takes after SIGTERM is logged after the
  // exit line. A ping is accepted after them: once its line is in the file, so are theirs, and
  // the quiet wait then covers them.
  const int pings = countOf(logText(), "] Received ping from client");
  ASSERT_TRUE(pingOnce(socket_, 1));
  ASSERT_TRUE(waitForLog("] Received ping from client", pings + 1));
  expectCleanExit(first);
}

TEST_F(DaemonProcess, ControlToolPingAndStatus) {
  // Not there: a clear message and a failure status, and nothing on standard output.
  auto absent = runCtl({"ping"});
  EXPECT_EQ(WEXITSTATUS(absent.status), 1);
  EXPECT_NE(absent.err.find("the CoreService daemon is not available"), std::string::npos)
      << absent.err;
  absent = runCtl({"status", "--json"});
  EXPECT_EQ(WEXITSTATUS(absent.status), 1);
  EXPECT_EQ(absent.out, "");
  // Something that accepts and never answers: the timeout.
  const int mute = bound(socket_, 16);
  ASSERT_GE(mute, 0);
  const auto silent = runCtl({"status", "-t", "0.3"});
  EXPECT_EQ(WEXITSTATUS(silent.status), 1);
  EXPECT_NE(silent.err.find("no reply from the CoreService daemon within 0.3 s"), std::string::npos)
      << silent.err;
  ::close(mute);
  ::unlink(socket_.c_str());
  // Bad usage.
  EXPECT_EQ(WEXITSTATUS(runCtl({"ping", "-c", "0"}).status), 2);
  EXPECT_EQ(WEXITSTATUS(runCtl({"status", "--bogus"}).status), 2);

  Child& d = startDaemon();
  ASSERT_TRUE(waitReady()) << d.errText();
  std::vector<Finished> results(4);  // several tools at once
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      results[i] = i % 2 ? runCtl({"status", "--json"}) : runCtl({"ping", "-c", "3", "-i", "0"});
    });
  }
  for (auto& t : threads)
    t.join();
  const std::regex rtt(R"(rtt min/avg/max/mdev = ([\d.]+)/([\d.]+)/([\d.]+)/([\d.]+) ms)");
  for (int i = 0; i < 4; ++i) {
    const std::string& out = results[i].out;
    ASSERT_TRUE(WIFEXITED(results[i].status) && WEXITSTATUS(results[i].status) == 0)
        << results[i].err;
    if (i % 2) {
      auto json = Value::parse(out, nullptr, false);
      ASSERT_TRUE(json.is_object()) << out;
      EXPECT_EQ(json.size(), 2u);
      EXPECT_EQ(json["daemon"], "running");
      EXPECT_TRUE(json["timestamp"].is_number_float());
      EXPECT_EQ(countOf(out, "\n"), 1);
    } else {
      EXPECT_EQ(countOf(out, "reply from " + kService + ": seq="), 3) << out;
      std::smatch m;
      ASSERT_TRUE(std::regex_search(out, m, rtt)) << out;
      EXPECT_LE(std::stod(m[1]), std::stod(m[2]));
      EXPECT_LE(std::stod(m[2]), std::stod(m[3]));
      EXPECT_NE(out.find("3 requests transmitted, 3 replies received, 0% loss"), std::string::npos);
    }
  }
  const auto human = runCtl({"status"});
  EXPECT_EQ(WEXITSTATUS(human.status), 0);
  EXPECT_TRUE(human.out.starts_with("CoreService daemon: running\nTimestamp: ")) << human.out;
  expectCleanExit(d);
}

}  // namespace
