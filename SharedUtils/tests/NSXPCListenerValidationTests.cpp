#include <poll.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SharedUtils/NSXPCListener+Validation.h"
#include "SharedUtils/tests/LogCapture.h"
#include "platform/codesign/CodeSigningStatus.h"
#include "platform/codesign/Signer.h"
#include "platform/codesign/tests/CodesignTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/xpc/Listener.h"
#include "platform/xpc/ServiceAddress.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/TemporaryDirectory.h"

namespace sharedutils {
namespace {

namespace codesign = platform::codesign;
namespace fs = std::filesystem;
using codesign_test::LeafOptions;
using TempDir = ::testsupport::TemporaryDirectory;
using codesign_test::TestAuthority;
using platform::xpc::Connection;
using platform::xpc::Listener;
using namespace std::chrono_literals;

constexpr const char* kService = "com.tarvosys.test.validation";
constexpr auto kPatience = 30s;

// Signed copies of the peer program, made once for the whole test program.
struct Peers {
  TempDir dir;
  TestAuthority root{dir.path(), "root"};
  TestAuthority stranger{dir.path(), "stranger"};
  fs::path team = make("team", root, {});
  fs::path otherTeam = make("other-team", root, {.organizationalUnits = {"ZZ9ZZ9ZZ9Z"}});
  fs::path untrusted = make("untrusted", stranger, {});
  fs::path unsignedPeer = codesign_test::copyProgram(VALIDATION_PEER, dir / "unsigned");
  fs::path unsignedSleep = codesign_test::copyProgram("/bin/sleep", dir / "unsigned-sleep");
  codesign::Verifier verifier{root.certificatePath()};

  fs::path make(const std::string& name, const TestAuthority& authority,
                const LeafOptions& options) {
    const auto file = codesign_test::copyProgram(VALIDATION_PEER, dir / name);
    const auto identity = authority.issue(name + "-leaf", options);
    codesign::SigningIdentity loaded;
    if (codesign::loadSigningIdentity(identity.key, identity.certificate, {}, loaded) ||
        codesign::signFile(file, loaded)) {
      throw std::runtime_error("cannot sign " + name);
    }
    return file;
  }
};

// A peer program started with the socket's path (and `more` arguments), once it has connected;
// `pid` is the identifier it reported, -1 when it never connected.
struct Peer {
  Peer(const fs::path& program, const std::string& socket, std::vector<std::string> more = {})
      : process(words(program, socket, std::move(more))) {
    const std::string said = process.outUntil("\n");
    if (said.starts_with("connected ")) pid = std::stoi(said.substr(10));
  }
  // Whether the peer saw the service close its connection.
  bool closed() { return process.outUntil("closed\n").ends_with("closed\n"); }

  static std::vector<std::string> words(const fs::path& program, const std::string& socket,
                                        std::vector<std::string> more) {
    more.insert(more.begin(), {program.string(), socket});
    return more;
  }
  ::testsupport::BackgroundProcess process;
  pid_t pid = -1;
};

// Accepts every connection it is offered and hands it to the test.
class Collector : public platform::xpc::ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(Listener&, const std::shared_ptr<Connection>& c) override {
    c->resume();
    std::lock_guard lock(mutex_);
    connections_.push_back(c);
    arrived_.notify_all();
    return true;
  }
  // The next connection offered, or null after kPatience.
  std::shared_ptr<Connection> next() {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, kPatience, [&] { return taken_ < connections_.size(); })) {
      return nullptr;
    }
    return connections_[taken_++];
  }
  std::size_t offered() {
    std::lock_guard lock(mutex_);
    return connections_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::shared_ptr<Connection>> connections_;
  std::size_t taken_ = 0;
};

class Validation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { peers_ = std::make_unique<Peers>(); }
  static void TearDownTestSuite() { peers_.reset(); }

  void SetUp() override {
    ::setenv("RUNTIME_DIRECTORY", runtime_.path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    socket_ = platform::xpc::socketPathForService(kService);
    listener_ = Listener::makeForService(kService);
    listener_->setDelegate(collector_);
  }
  void TearDown() override {
    listener_->invalidate();
    log_->detach();
  }
  void resume() { ASSERT_FALSE(listener_->resume()); }

  static std::string failure(const char* step, codesign::Status status) {
    return std::string("error NSXPCListener+Validation validate(_:): ") + step + ": " +
           std::to_string(status);
  }

  static std::unique_ptr<Peers> peers_;
  TempDir runtime_;
  std::string socket_;
  std::shared_ptr<Collector> collector_ = std::make_shared<Collector>();
  std::shared_ptr<Listener> listener_;
  std::shared_ptr<sharedutils::testsupport::LogCapture> log_ =
      sharedutils::testsupport::LogCapture::attach();
};

std::unique_ptr<Peers> Validation::peers_;

// Which status each fault of a signature gives is the code-signing library's to decide; here,
// that a refusal of any kind is logged with its status and closes the connection.
TEST_F(Validation, AdmitsTheTeamAndRefusesEveryOtherPeerWithItsLineAndStatus) {
  resume();
  struct Case {
    const char* name;
    fs::path program;
    codesign::Status status;
  };
  const Case cases[] = {
      {"team", peers_->team, codesign::kSuccess},
      {"other team", peers_->otherTeam, codesign::kRequirementNotSatisfied},
      {"untrusted anchor", peers_->untrusted, codesign::kUntrustedChain},
      {"unsigned", peers_->unsignedPeer, codesign::kUnsigned},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(c.program, socket_);
    ASSERT_GT(peer.pid, 0);
    auto connection = collector_->next();
    ASSERT_TRUE(connection);
    const bool admitted = NSXPCListener::validate(*connection, peers_->verifier);
    // Error lines are synchronous: delivered before validate returns.
    const auto lines = log_->delivered();
    if (c.status == codesign::kSuccess) {
      EXPECT_TRUE(admitted);
      EXPECT_TRUE(lines.empty()) << lines.front();
      connection->invalidate();
    } else {
      EXPECT_FALSE(admitted);
      EXPECT_EQ(lines, std::vector<std::string>{failure("Failed validation", c.status)});
      EXPECT_TRUE(peer.closed()) << "a refused connection is invalidated";
    }
  }
}

// The peer is the process as it is at the moment of the check.
TEST_F(Validation, APeerThatExecsAnotherProgramOrExitsIsNotTakenForTheOneThatConnected) {
  resume();
  Peer execing(peers_->team, socket_, {peers_->unsignedSleep.string(), "600"});
  ASSERT_GT(execing.pid, 0);
  auto first = collector_->next();
  ASSERT_TRUE(first);
  if (!first->peerPidfd()) GTEST_SKIP() << "the kernel hands out no pidfd for a socket's peer";
  EXPECT_TRUE(NSXPCListener::validate(*first, peers_->verifier));
  execing.process.signal(SIGUSR1);
  const auto exe = "/proc/" + std::to_string(execing.pid) + "/exe";
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::error_code ec;
  while (fs::read_symlink(exe, ec) != peers_->unsignedSleep &&
         std::chrono::steady_clock::now() < deadline) {
    ::poll(nullptr, 0, 5);
  }
  ASSERT_EQ(fs::read_symlink(exe, ec), peers_->unsignedSleep) << "the peer never exec()ed";
  EXPECT_FALSE(NSXPCListener::validate(*first, peers_->verifier));
  EXPECT_EQ(log_->delivered(),
            std::vector<std::string>{failure("Failed validation", codesign::kUnsigned)});

  Peer exiting(peers_->team, socket_);
  ASSERT_GT(exiting.pid, 0);
  auto second = collector_->next();
  ASSERT_TRUE(second);
  exiting.process.signal(SIGKILL);
  exiting.process.wait();
  EXPECT_FALSE(NSXPCListener::validate(*second, peers_->verifier));
  EXPECT_EQ(log_->delivered(),
            std::vector<std::string>{failure("Failed to create SecCode", codesign::kNoSuchGuest)});
}

TEST_F(Validation, AConfiguredListenerRefusesOtherPeersBeforeTheHostSeesThem) {
  NSXPCListener::configureTarvoCodeSigningRequirement(*listener_, peers_->verifier);
  resume();
  platform::diagnostics::ScopedCapture diagnostics;
  for (const auto& program : {peers_->otherTeam, peers_->unsignedPeer, peers_->untrusted}) {
    SCOPED_TRACE(program.filename().string());
    Peer peer(program, socket_);
    ASSERT_GT(peer.pid, 0);
    EXPECT_TRUE(peer.closed());
  }
  Peer team(peers_->team, socket_);
  ASSERT_GT(team.pid, 0);
  auto connection = collector_->next();
  ASSERT_TRUE(connection);
  EXPECT_EQ(collector_->offered(), 1u);
  EXPECT_EQ(connection->processIdentifier(), team.pid);
  connection->invalidate();

  const auto texts = diagnostics.texts();
  ASSERT_EQ(texts.size(), 3u);
  const codesign::Status statuses[] = {codesign::kRequirementNotSatisfied, codesign::kUnsigned,
                                       codesign::kUntrustedChain};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string tail = ": code signing status " + std::to_string(statuses[i]) + " (" +
                             std::string(codesign::statusDescription(statuses[i])) + ")";
    EXPECT_EQ(texts[i].rfind(std::string("Listener ") + kService + ": refused pid ", 0), 0u)
        << texts[i];
    EXPECT_TRUE(texts[i].ends_with(tail)) << texts[i];
  }
  // The listener decides alone: nothing goes through the host's log.
  EXPECT_TRUE(log_->takeWithCallSites().empty());
}

}  // namespace
}  // namespace sharedutils
