// How long after a default route changes `coreservicectl net --watch` prints its line, against
// `ip monitor route` watching the same namespace in the same run. Each change is made twice over:
// once by running `ip route` (the time includes starting that process, for both watchers), once
// by this program's own rtnetlink request (the time starts right before the request is sent).
// Runs in network and mount namespaces of its own (root only).
//   net_watch_latency [CHANGES]   (default 200 of each kind)
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A child whose standard output comes through a pipe, read line by line.
class Watcher {
 public:
  explicit Watcher(std::vector<std::string> words) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& word : words)
      argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    fd_ = fds[0];
  }
  ~Watcher() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  // Takes what is readable; returns the number of complete lines seen so far.
  std::size_t readSome() {
    char buffer[4096];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) lines_ += std::count(buffer, buffer + n, '\n');
    return lines_;
  }
  std::size_t lines() const { return lines_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::size_t lines_ = 0;
};

// Waits until each watcher has printed one more line than before; returns when each did
// (Clock::time_point{} for one that stayed silent for 10 s).
std::vector<Clock::time_point> nextLines(std::vector<Watcher*> watchers) {
  std::vector<std::size_t> wanted;
  for (auto* w : watchers)
    wanted.push_back(w->lines() + 1);
  std::vector<Clock::time_point> when(watchers.size());
  const auto giveUp = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    std::vector<pollfd> fds;
    for (auto* w : watchers)
      fds.push_back({w->fd(), POLLIN, 0});
    if (poll(fds.data(), fds.size(), 100) < 0) continue;
    const auto now = Clock::now();
    bool all = true;
    for (std::size_t i = 0; i < watchers.size(); ++i) {
      if ((fds[i].revents & POLLIN) && watchers[i]->readSome() >= wanted[i] &&
          when[i] == Clock::time_point{})
        when[i] = now;
      all = all && when[i] != Clock::time_point{};
    }
    if (all || now > giveUp) return when;
  }
}

bool run(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

// Adds or deletes the default route via 10.1.0.1 through `ifindex` with one rtnetlink request;
// returns once the kernel has acknowledged it.
bool changeRoute(mnl_socket* socket, unsigned ifindex, bool add, unsigned sequence) {
  char buffer[MNL_SOCKET_BUFFER_SIZE];
  nlmsghdr* request = mnl_nlmsg_put_header(buffer);
  request->nlmsg_type = add ? RTM_NEWROUTE : RTM_DELROUTE;
  request->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | (add ? NLM_F_CREATE | NLM_F_EXCL : 0);
  request->nlmsg_seq = sequence;
  auto* route = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(rtmsg)));
  route->rtm_family = AF_INET;
  route->rtm_table = RT_TABLE_MAIN;
  route->rtm_protocol = RTPROT_BOOT;
  route->rtm_scope = RT_SCOPE_UNIVERSE;
  route->rtm_type = RTN_UNICAST;
  in_addr gateway{};
  inet_pton(AF_INET, "10.1.0.1", &gateway);
  mnl_attr_put(request, RTA_GATEWAY, sizeof gateway, &gateway);
  mnl_attr_put_u32(request, RTA_OIF, ifindex);
  if (mnl_socket_sendto(socket, request, request->nlmsg_len) < 0) return false;
  const ssize_t n = mnl_socket_recvfrom(socket, buffer, sizeof buffer);
  return n > 0 &&
         mnl_cb_run(buffer, n, sequence, mnl_socket_get_portid(socket), nullptr, nullptr) >= 0;
}

void report(const char* title, std::vector<double> watch, std::vector<double> monitor) {
  const auto at = [](std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
  };
  std::printf("%s (%zu changes)\n", title, watch.size());
  std::printf("  net --watch       p50 %8.1f us  p90 %8.1f us  p99 %8.1f us\n", at(watch, 0.5),
              at(watch, 0.9), at(watch, 0.99));
  std::printf("  ip monitor route  p50 %8.1f us  p90 %8.1f us  p99 %8.1f us\n", at(monitor, 0.5),
              at(monitor, 0.9), at(monitor, 0.99));
  std::printf("  ratio of p50s     %.2f\n", at(watch, 0.5) / at(monitor, 0.5));
}

}  // namespace

int main(int argc, char** argv) {
  const int changes = argc > 1 ? std::atoi(argv[1]) : 200;
  if (geteuid() != 0 || unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
    std::fprintf(stderr, "net_watch_latency: needs root for namespaces of its own\n");
    return 1;
  }
  if (!run("ip link add en0 type veth peer name px0 && ip addr add 10.1.0.2/24 dev en0 && "
           "ip link set px0 up && ip link set en0 up")) {
    std::fprintf(stderr, "net_watch_latency: cannot set up the test interface\n");
    return 1;
  }
  Watcher watch({CORESERVICECTL_PATH, "net", "--watch"});
  Watcher monitor({"ip", "monitor", "route"});
  // The watcher's first two lines: the current value and the platform's first report.
  while (watch.lines() < 2) {
    pollfd ready{watch.fd(), POLLIN, 0};
    if (poll(&ready, 1, 10000) <= 0) {
      std::fprintf(stderr, "net_watch_latency: net --watch printed nothing\n");
      return 1;
    }
    watch.readSome();
  }

  std::vector<double> watchSpawn, monitorSpawn, watchRequest, monitorRequest;
  const auto micros = [](Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
  };
  for (int i = 0; i < 2 * changes; ++i) {
    const auto start = Clock::now();
    if (!run(i % 2 == 0 ? "ip route add default via 10.1.0.1 dev en0"
                        : "ip route del default via 10.1.0.1 dev en0"))
      return 1;
    const auto when = nextLines({&watch, &monitor});
    if (when[0] == Clock::time_point{} || when[1] == Clock::time_point{}) return 1;
    watchSpawn.push_back(micros(start, when[0]));
    monitorSpawn.push_back(micros(start, when[1]));
  }

  mnl_socket* socket = mnl_socket_open(NETLINK_ROUTE);
  if (socket == nullptr || mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) return 1;
  const unsigned ifindex = if_nametoindex("en0");
  for (int i = 0; i < 2 * changes; ++i) {
    const auto start = Clock::now();
    if (!changeRoute(socket, ifindex, i % 2 == 0, static_cast<unsigned>(i + 1))) return 1;
    const auto when = nextLines({&watch, &monitor});
    if (when[0] == Clock::time_point{} || when[1] == Clock::time_point{}) return 1;
    watchRequest.push_back(micros(start, when[0]));
    monitorRequest.push_back(micros(start, when[1]));
  }
  mnl_socket_close(socket);

  report("route changed by running ip route", watchSpawn, monitorSpawn);
  report("route changed by one rtnetlink request", watchRequest, monitorRequest);
  return 0;
}
