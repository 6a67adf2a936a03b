// Peer validation: what checking a connected peer's code costs per connection, next to a bare
// SO_PEERCRED read on the same kind of socket in the same run.
//
// The peer is a real process running a signed 10 MiB executable (a system program padded to
// that size, then signed by a throw-away authority). One validation = the peer's code looked up
// through its pidfd (what a listener holds from accept time), then checked against the team
// requirement. "cached" is every connection after the first from the same executable (the
// verifier keeps the outcome per file version); "uncached" hashes the whole file each time, the
// cost of the first connection. Target: p50 under 2 ms for the cached case.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/codesign/Code.h"
#include "platform/codesign/Requirement.h"
#include "platform/codesign/Signer.h"
#include "platform/codesign/Verifier.h"
#include "platform/codesign/tests/TestCertificates.h"

namespace {

namespace fs = std::filesystem;
namespace cs = platform::codesign;
using platform::base::FileDescriptor;
using Clock = std::chrono::steady_clock;

constexpr std::uintmax_t kExecutableSize = 10 << 20;

// A signed 10 MiB program, running, with the pidfd a listener takes when the program connects.
class SignedPeer {
 public:
  SignedPeer() {
    std::string tmpl = (fs::temp_directory_path() / "codesign-bench-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data());
    authority_ = std::make_unique<codesign_test::TestAuthority>(dir_, "root");
    const fs::path program = dir_ / "peer";
    fs::copy_file("/bin/sleep", program);
    fs::permissions(program, fs::perms::owner_all);
    fs::resize_file(program, kExecutableSize);
    auto identity = authority_->issue("leaf");
    cs::SigningIdentity loaded;
    if (cs::loadSigningIdentity(identity.key, identity.certificate, {}, loaded) != cs::kSuccess ||
        cs::signFile(program, loaded) != cs::kSuccess) {
      return;
    }

    char arg0[] = "peer";
    char arg1[] = "600";
    char* argv[] = {arg0, arg1, nullptr};
    if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) return;
    pidfd_ = FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    ready_ = pidfd_.valid();
  }
  ~SignedPeer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  int pidfd() const { return pidfd_.get(); }
  fs::path anchors() const { return authority_->certificatePath(); }

 private:
  fs::path dir_;
  std::unique_ptr<codesign_test::TestAuthority> authority_;
  FileDescriptor pidfd_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

SignedPeer& peer() {
  static SignedPeer p;
  return p;
}

void reportPercentiles(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

// A file changed in the last two seconds is not cached; the signed file is newer than that, so
// the verifiers' clock runs ahead.
std::time_t aheadOfTime() {
  return std::time(nullptr) + 60;
}

void validate(benchmark::State& state, bool cached) {
  if (!peer().ready()) return state.SkipWithError("cannot start the signed peer");
  auto [syntax, requirement] = cs::createRequirementWithString(
      "anchor apple generic and certificate leaf[subject.OU] = \"QX7TZ4PD2M\"");
  auto verifier = std::make_unique<cs::Verifier>(peer().anchors(), &aheadOfTime);
  std::vector<double> micros;
  for (auto _ : state) {
    if (!cached) {
      state.PauseTiming();
      verifier = std::make_unique<cs::Verifier>(peer().anchors(), &aheadOfTime);
      state.ResumeTiming();
    }
    const auto start = Clock::now();
    auto [status, code] = cs::copyGuestWithAttributes({peer().pid(), peer().pidfd()});
    if (status == cs::kSuccess) status = verifier->checkValidity(*code, requirement.get());
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (status != cs::kSuccess) return state.SkipWithError("validation failed");
  }
  reportPercentiles(state, micros);
}

void BM_PeerValidationCached(benchmark::State& state) {
  validate(state, true);
}
BENCHMARK(BM_PeerValidationCached)->UseRealTime();

void BM_PeerValidationUncached(benchmark::State& state) {
  validate(state, false);
}
BENCHMARK(BM_PeerValidationUncached)->UseRealTime();

// The floor: reading a connected socket's peer credentials.
void BM_PeerCredRead(benchmark::State& state) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    return state.SkipWithError("socketpair failed");
  }
  FileDescriptor a(pair[0]), b(pair[1]);
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    ucred cred{};
    socklen_t length = sizeof cred;
    ::getsockopt(a.get(), SOL_SOCKET, SO_PEERCRED, &cred, &length);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    benchmark::DoNotOptimize(cred);
  }
  reportPercentiles(state, micros);
}
BENCHMARK(BM_PeerCredRead)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
