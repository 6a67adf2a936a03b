#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "platform/base/FileDescriptor.h"
#include "platform/base/ProcessStartTime.h"
#include "platform/codesign/Code.h"
#include "platform/codesign/Requirement.h"
#include "platform/codesign/SignedFileFormat.h"
#include "platform/codesign/Signer.h"
#include "platform/codesign/Verifier.h"
#include "platform/codesign/tests/CodesignTestSupport.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/Eventually.h"
#include "testsupport/FileContents.h"
#include "testsupport/TemporaryDirectory.h"

namespace platform::codesign {
namespace {

using Child = testsupport::BackgroundProcess;
using codesign_test::LeafOptions;
using TempDir = testsupport::TemporaryDirectory;
using codesign_test::TestAuthority;
using codesign_test::TestIdentity;
using testsupport::readFile;
using testsupport::writeFile;
using namespace std::chrono_literals;

constexpr const char* kTeamRequirement =
    "anchor apple generic and certificate leaf[subject.OU] = \"QX7TZ4PD2M\"";

class CodeSigning : public ::testing::Test {
 protected:
  CodeSigning() : root_(dir_.path(), "root"), verifier_(root_.certificatePath()) {
    auto [status, requirement] = createRequirementWithString(kTeamRequirement);
    EXPECT_EQ(status, kSuccess);
    requirement_ = std::move(requirement);
  }

  std::filesystem::path program(const std::string& name, const char* from = "/bin/sleep") {
    return codesign_test::copyProgram(from, dir_ / name);
  }

  Status sign(const std::filesystem::path& file, const TestIdentity& identity,
              const std::optional<std::filesystem::path>& chain = std::nullopt) {
    SigningIdentity loaded;
    if (Status s = loadSigningIdentity(identity.key, identity.certificate, chain, loaded)) return s;
    return signFile(file, loaded);
  }

  std::filesystem::path signedProgram(const std::string& name, const LeafOptions& options = {}) {
    auto file = program(name);
    EXPECT_EQ(sign(file, root_.issue(name + "-leaf", options)), kSuccess);
    return file;
  }

  Status check(const std::filesystem::path& file, SigningInformation* signer = nullptr) {
    auto [status, code] = Code::openFile(file);
    if (status != kSuccess) return status;
    return verifier_.checkValidity(*code, requirement_.get(), signer);
  }

  TempDir dir_;
  TestAuthority root_;
  Verifier verifier_;
  std::unique_ptr<Requirement> requirement_;
};

TEST_F(CodeSigning, EachFaultOfAFileOrItsSignerGivesItsOwnStatus) {
  TestAuthority stranger(dir_.path(), "stranger");
  TestAuthority intermediate = root_.issueAuthority("intermediate");
  const auto flipByte = [](const std::filesystem::path& file, std::size_t at) {
    std::string bytes = readFile(file);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    writeFile(file, bytes);
  };
  const auto trailerClaiming = [](std::uint64_t length) {
    auto t = makeSignatureTrailer(length);
    return std::string(t.begin(), t.end());
  };

  struct Case {
    const char* name;
    std::function<std::filesystem::path()> make;
    Status expected;
  };
  const std::vector<Case> cases = {
      {"team", [&] { return signedProgram("team"); }, kSuccess},
      {"unrestricted usage",
       [&] { return signedProgram("unrestricted", {.usage = LeafOptions::Usage::Unrestricted}); },
       kSuccess},
      {"other team",
       [&] { return signedProgram("other", {.organizationalUnits = {"ZZ9ZZ9ZZ9Z"}}); },
       kRequirementNotSatisfied},
      {"team among two units",
       [&] {
         return signedProgram("two", {.organizationalUnits = {"QX7TZ4PD2M", "ZZ9ZZ9ZZ9Z"}});
       },
       kRequirementNotSatisfied},
      {"no unit", [&] { return signedProgram("none", {.organizationalUnits = {}}); },
       kRequirementNotSatisfied},
      {"expired", [&] { return signedProgram("expired", {.validFrom = -48h, .validUntil = -24h}); },
       kCertificateExpired},
      {"not yet valid",
       [&] { return signedProgram("early", {.validFrom = 24h, .validUntil = 48h}); },
       kCertificateExpired},
      {"server certificate",
       [&] { return signedProgram("server", {.usage = LeafOptions::Usage::ServerOnly}); },
       kNotForCodeSigning},
      {"untrusted authority",
       [&] {
         auto file = program("stranger");
         EXPECT_EQ(sign(file, stranger.issue("stranger-leaf")), kSuccess);
         return file;
       },
       kUntrustedChain},
      {"intermediate with its chain",
       [&] {
         auto file = program("chained");
         EXPECT_EQ(sign(file, intermediate.issue("chained-leaf"), intermediate.certificatePath()),
                   kSuccess);
         return file;
       },
       kSuccess},
      {"intermediate without its chain",
       [&] {
         auto file = program("unchained");
         EXPECT_EQ(sign(file, intermediate.issue("unchained-leaf")), kSuccess);
         return file;
       },
       kUntrustedChain},
      {"unsigned", [&] { return program("unsigned"); }, kUnsigned},
      {"empty file",
       [&] {
         writeFile(dir_ / "empty", "");
         return dir_ / "empty";
       },
       kUnsigned},
      {"changed after signing",
       [&] {
         auto file = signedProgram("changed");
         flipByte(file, 4096);
         return file;
       },
       kSignatureMismatch},
      {"signature damaged",
       [&] {
         auto file = signedProgram("damaged");
         flipByte(file, std::filesystem::file_size(file) - kSignatureTrailerSize - 40);
         return file;
       },
       kSignatureMismatch},
      {"byte appended after signing",
       [&] {
         auto file = signedProgram("appended");
         writeFile(file, readFile(file) + "x");
         return file;
       },
       kUnsigned},
      {"signature moved to another file",
       [&] {
         auto donor = signedProgram("donor");
         const auto size = std::filesystem::file_size("/bin/sleep");
         auto file = program("receiver", "/bin/true");
         writeFile(file, readFile(file) + readFile(donor).substr(size));
         return file;
       },
       kSignatureMismatch},
      {"trailer cut short",
       [&] {
         auto file = signedProgram("cut");
         const std::string bytes = readFile(file);
         writeFile(file, bytes.substr(0, bytes.size() - 3));
         return file;
       },
       kUnsigned},
      {"signature cut short",
       [&] {
         auto file = signedProgram("shortened");
         std::string bytes = readFile(file);
         bytes.erase(bytes.size() - kSignatureTrailerSize - 10, 10);
         writeFile(file, bytes);
         return file;
       },
       kSignatureMalformed},
      {"trailer longer than the file",
       [&] {
         writeFile(dir_ / "long", "abc" + trailerClaiming(4));
         return dir_ / "long";
       },
       kSignatureMalformed},
      {"trailer beyond the size limit",
       [&] {
         writeFile(dir_ / "huge", std::string(64, 'a') + trailerClaiming(kMaxSignatureSize + 1));
         return dir_ / "huge";
       },
       kSignatureMalformed},
      {"not a signature",
       [&] {
         writeFile(dir_ / "junk", "content" + std::string(32, 'j') + trailerClaiming(32));
         return dir_ / "junk";
       },
       kSignatureMalformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SigningInformation signer;
    EXPECT_EQ(check(c.make(), &signer), c.expected);
    if (c.expected == kSuccess) {
      EXPECT_EQ(signer.teamIdentifier(), "QX7TZ4PD2M");
    }
  }
}

TEST_F(CodeSigning, SignedProgramRunsAndSigningAgainReplacesTheSignature) {
  auto file = program("true", "/bin/true");
  const auto original = std::filesystem::file_size(file);
  ASSERT_EQ(sign(file, root_.issue("first", {.organizationalUnits = {"ZZ9ZZ9ZZ9Z"}})), kSuccess);
  ASSERT_EQ(check(file), kRequirementNotSatisfied);
  ASSERT_EQ(sign(file, root_.issue("second")), kSuccess);
  EXPECT_EQ(check(file), kSuccess);

  base::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  SignedFileLayout layout;
  ASSERT_EQ(readSignedFileLayout(fd.get(), std::filesystem::file_size(file), layout), kSuccess);
  EXPECT_EQ(layout.contentSize, original);
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms::owner_all);

  Child child({file.string()});
  int status = child.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(CodeSigning, SigningRefusesBadIdentitiesAndDamagedFiles) {
  auto good = root_.issue("good");
  auto other = root_.issue("other");
  writeFile(dir_ / "empty.pem", "");
  auto file = program("target");
  const std::string before = readFile(file);

  SigningIdentity identity;
  EXPECT_EQ(loadSigningIdentity(dir_ / "missing-key.pem", good.certificate, {}, identity),
            kSigningKeyUnreadable);
  EXPECT_EQ(loadSigningIdentity(good.certificate, good.certificate, {}, identity),
            kSigningKeyUnreadable);
  EXPECT_EQ(loadSigningIdentity(good.key, good.key, {}, identity), kSigningCertificateUnreadable);
  EXPECT_EQ(loadSigningIdentity(good.key, good.certificate, dir_ / "empty.pem", identity),
            kSigningChainUnreadable);
  EXPECT_EQ(loadSigningIdentity(other.key, good.certificate, {}, identity), kSigningKeyMismatch);
  EXPECT_EQ(readFile(file), before);

  ASSERT_EQ(loadSigningIdentity(good.key, good.certificate, {}, identity), kSuccess);
  auto t = makeSignatureTrailer(1 << 30);
  writeFile(file, before + std::string(t.begin(), t.end()));
  EXPECT_EQ(signFile(file, identity), kSignatureMalformed);
  EXPECT_EQ(readFile(file), before + std::string(t.begin(), t.end()));
  EXPECT_EQ(signFile(dir_ / "missing", identity), kFileUnreadable);
  // Neither a directory nor a FIFO is a program: both are refused at once, without waiting for a
  // writer to the FIFO.
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  for (const auto& notAFile : {dir_ / "fifo", dir_.path()}) {
    SCOPED_TRACE(notAFile);
    EXPECT_EQ(signFile(notAFile, identity), kFileUnreadable);
    EXPECT_EQ(Code::openFile(notAFile).status, kFileUnreadable);
  }
}

TEST_F(CodeSigning, AnchorsThatCannotBeReadRefuseEverything) {
  auto file = signedProgram("file");
  writeFile(dir_ / "empty-anchors.pem", "");
  writeFile(dir_ / "junk-anchors.pem", "-----BEGIN CERTIFICATE-----\nabc\n");
  for (const auto& anchors :
       {dir_ / "missing.pem", dir_ / "empty-anchors.pem", dir_ / "junk-anchors.pem", dir_.path()}) {
    SCOPED_TRACE(anchors);
    Verifier verifier(anchors);
    auto [status, code] = Code::openFile(file);
    ASSERT_EQ(status, kSuccess);
    EXPECT_EQ(verifier.checkValidity(*code, requirement_.get()), kAnchorsUnavailable);
  }
}

// Outcomes are cached per file version; a change to the file or to the anchors must never be
// answered from the cache.
TEST_F(CodeSigning, CachedOutcomesNeverOutliveAChangeToTheFileOrTheAnchors) {
  auto changed = signedProgram("changed");
  auto kept = signedProgram("kept");
  // Only files that have settled for a few seconds are cached: this verifier's clock runs ahead.
  Verifier verifier(root_.certificatePath(), [] { return std::time(nullptr) + 60; });
  const auto check = [&](const std::filesystem::path& file) {
    auto [status, code] = Code::openFile(file);
    return status != kSuccess ? status : verifier.checkValidity(*code, requirement_.get());
  };
  ASSERT_EQ(check(changed), kSuccess);
  ASSERT_EQ(check(kept), kSuccess);
  // One file's outcome is never another's.
  ASSERT_EQ(check(program("unsigned")), kUnsigned);
  EXPECT_EQ(check(changed), kSuccess);

  {
    // In place: same inode, same size.
    base::FileDescriptor fd(::open(changed.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::pwrite(fd.get(), "\x7f", 1, 5000), 1);
  }
  EXPECT_EQ(check(changed), kSignatureMismatch);

  const std::string anchors = readFile(root_.certificatePath());
  TestAuthority stranger(dir_.path(), "stranger");
  writeFile(root_.certificatePath(), readFile(stranger.certificatePath()));
  EXPECT_EQ(check(kept), kUntrustedChain);
  writeFile(root_.certificatePath(), anchors);
  EXPECT_EQ(check(kept), kSuccess);
}

pid_t pidfdOpen(pid_t pid) {
  return static_cast<pid_t>(::syscall(SYS_pidfd_open, pid, 0));
}

TEST_F(CodeSigning, ARunningProcessIsCheckedThroughTheExecutableItRuns) {
  auto file = signedProgram("peer");
  Child child({file.string(), "600"});
  base::FileDescriptor pidfd(pidfdOpen(child.pid()));
  ASSERT_TRUE(pidfd);

  // The path now names an unsigned file; the process still runs the signed one.
  auto replacement = program("replacement");
  std::filesystem::rename(replacement, file);
  EXPECT_EQ(check(file), kUnsigned);

  const std::uint64_t startTime = base::processStartTime(child.pid(), pidfd.get()).value_or(0);
  ASSERT_NE(startTime, 0u);
  for (const GuestAttributes& attributes :
       {GuestAttributes{child.pid()}, GuestAttributes{child.pid(), pidfd.get()},
        GuestAttributes{child.pid(), -1, startTime}}) {
    SCOPED_TRACE(testing::Message() << attributes.pidfd << "/" << attributes.startTime);
    auto [status, code] = copyGuestWithAttributes(attributes);
    ASSERT_EQ(status, kSuccess);
    EXPECT_EQ(code->pid(), child.pid());
    EXPECT_EQ(verifier_.checkValidity(*code, requirement_.get()), kSuccess);
  }

  Child other({"/bin/sleep", "600"});
  base::FileDescriptor otherPidfd(pidfdOpen(other.pid()));
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  base::FileDescriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  const std::vector<std::pair<GuestAttributes, Status>> refused = {
      {{0, -1}, kInvalidGuestAttributes},
      {{-5, -1}, kInvalidGuestAttributes},
      {{child.pid(), otherPidfd.get()}, kInvalidGuestAttributes},
      {{child.pid(), readEnd.get()}, kInvalidGuestAttributes},
      {{child.pid(), -1, startTime + 1}, kNoSuchGuest},
  };
  for (const auto& [attributes, expected] : refused) {
    SCOPED_TRACE(testing::Message() << attributes.pid << "/" << attributes.pidfd);
    auto [status, code] = copyGuestWithAttributes(attributes);
    EXPECT_EQ(status, expected);
    EXPECT_EQ(code, nullptr);
  }
}

// A signed process that exec()s another program is checked as that program from then on: the
// process it was is gone, though its identifier and pidfd stay.
TEST_F(CodeSigning, AProcessThatExecsAnotherProgramIsCheckedAsTheNewOne) {
  auto shell = program("signed-shell", "/bin/sh");
  ASSERT_EQ(sign(shell, root_.issue("shell-leaf")), kSuccess);
  auto target = program("unsigned-sleep");
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  base::FileDescriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  ASSERT_EQ(::fcntl(writeEnd.get(), F_SETFD, FD_CLOEXEC), 0);
  // The shell waits for a line on the pipe, then replaces itself with the unsigned program.
  const std::string script =
      "read line <&" + std::to_string(readEnd.get()) + "; exec '" + target.string() + "' 600";
  Child child({shell.string(), "-c", script});
  readEnd.reset();
  base::FileDescriptor pidfd(pidfdOpen(child.pid()));
  ASSERT_TRUE(pidfd);
  const auto checkPeer = [&] {
    auto [status, code] = copyGuestWithAttributes({child.pid(), pidfd.get()});
    return status != kSuccess ? status : verifier_.checkValidity(*code, requirement_.get());
  };
  EXPECT_EQ(checkPeer(), kSuccess);

  ASSERT_EQ(::write(writeEnd.get(), "go\n", 3), 3);
  const std::string exe = "/proc/" + std::to_string(child.pid()) + "/exe";
  std::error_code ec;
  ASSERT_TRUE(testsupport::eventually([&] {
    return std::filesystem::read_symlink(exe, ec) == target;
  })) << "the shell never exec()ed";
  EXPECT_EQ(checkPeer(), kUnsigned);
}

TEST_F(CodeSigning, AProcessThatHasExitedIsNeverLookedUp) {
  auto file = signedProgram("peer");
  Child zombie({file.string(), "600"});
  Child reaped({file.string(), "600"});
  base::FileDescriptor zombieFd(pidfdOpen(zombie.pid()));
  base::FileDescriptor reapedFd(pidfdOpen(reaped.pid()));
  ASSERT_TRUE(zombieFd && reapedFd);
  const pid_t reapedPid = reaped.pid();
  const std::uint64_t zombieStart =
      base::processStartTime(zombie.pid(), zombieFd.get()).value_or(0);
  const std::uint64_t reapedStart = base::processStartTime(reapedPid, reapedFd.get()).value_or(0);
  ASSERT_NE(zombieStart, 0u);
  ::kill(zombie.pid(), SIGKILL);
  ::kill(reapedPid, SIGKILL);
  reaped.wait();
  // A pidfd turns readable once its process has exited; the zombie is not reaped yet.
  pollfd p{zombieFd.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 60000), 1);

  for (const GuestAttributes& attributes :
       {GuestAttributes{zombie.pid(), zombieFd.get()}, GuestAttributes{zombie.pid()},
        GuestAttributes{zombie.pid(), -1, zombieStart}, GuestAttributes{reapedPid, reapedFd.get()},
        GuestAttributes{reapedPid, -1, reapedStart}}) {
    SCOPED_TRACE(testing::Message()
                 << attributes.pid << "/" << attributes.pidfd << "/" << attributes.startTime);
    EXPECT_EQ(copyGuestWithAttributes(attributes).status, kNoSuchGuest);
  }
}

// What the lookup probe prints when run in a private pid namespace with `args`; empty when it
// cannot run there.
std::string probeInPidNamespace(const std::string& args) {
  return testsupport::runShell("unshare --pid --fork --mount-proc '" GUEST_LOOKUP_PROBE "' " + args)
      .output;
}

// The attack: a process connects, exits, and its identifier goes to a process that passes the
// check before the listener looks. Done for real in a private pid namespace, where the next
// identifier can be chosen.
TEST_F(CodeSigning, AnIdentifierHandedToANewProcessIsNotCheckedAsTheOldOne) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a pid namespace";
  auto signedPeer = signedProgram("signed-peer");
  auto unsignedPeer = program("unsigned-peer");
  const std::string output =
      probeInPidNamespace("reuse '" + root_.certificatePath().string() + "' '" +
                          unsignedPeer.string() + "' '" + signedPeer.string() + "'");
  if (output.rfind("started\n", 0) != 0) {
    GTEST_SKIP() << "cannot make a pid namespace here: " << output;
  }
  const std::string reused = output.substr(8, output.find('\n', 8) - 8);
  ASSERT_EQ(reused.rfind("reused ", 0), 0u) << output;
  const std::string gone = std::to_string(kNoSuchGuest);
  EXPECT_EQ(output.substr(8 + reused.size() + 1),
            "with pidfd: " + gone + "\nwith start time: " + gone + "\nby pid: 0\n");
}

// A listener whose /proc hides other users' processes (a unit's ProtectProc=invisible) holds the
// pidfd of a live peer: the peer is there but cannot be read, which is not the same as gone.
TEST(CodeSigningGuest, ALivePeerHiddenByProcIsNotAccessibleRatherThanGone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a private /proc and to switch users";
  const std::string output = probeInPidNamespace("hidden");
  if (output.rfind("started\n", 0) != 0 || output.find("cannot hide") != std::string::npos) {
    GTEST_SKIP() << "cannot mount a /proc that hides processes here: " << output;
  }
  EXPECT_EQ(output, "started\nhidden with pidfd: " + std::to_string(kGuestNotAccessible) +
                        "\nhidden by pid: " + std::to_string(kNoSuchGuest) + "\n");
}

TEST(CodeSigningRequirement, ReadsClausesAndRefusesEverythingElse) {
  SigningInformation team;
  team.subject = {{SubjectField::CommonName, "Tarvo Build"},
                  {SubjectField::Organization, "Tarvo Systems"},
                  {SubjectField::OrganizationalUnit, "QX7TZ4PD2M"}};
  const std::vector<std::pair<const char*, bool>> accepted = {
      {kTeamRequirement, true},
      {"anchor apple generic", true},
      {"certificate leaf[subject.OU] = QX7TZ4PD2M", true},
      {"  certificate   leaf [ subject.OU ]=\"QX7TZ4PD2M\"\n", true},
      {"certificate leaf[subject.OU] = \"QX7TZ4PD2\"", false},
      {"certificate leaf[subject.OU] = \"qx7tz4pd2m\"", false},
      {"certificate leaf[subject.CN] = \"Tarvo Build\" and certificate leaf[subject.O] = "
       "\"Tarvo Systems\"",
       true},
      {"certificate leaf[subject.O] = \"Tarvo \\\"Systems\\\"\"", false},
      {"certificate leaf[subject.CN] = \"Tarvo Build\" and certificate leaf[subject.OU] = \"X\"",
       false},
  };
  for (const auto& [text, satisfied] : accepted) {
    SCOPED_TRACE(text);
    auto [status, requirement] = createRequirementWithString(text);
    ASSERT_EQ(status, kSuccess);
    EXPECT_EQ(requirement->text(), text);
    EXPECT_EQ(requirement->isSatisfiedBy(team), satisfied);
  }
  for (const char* text :
       {"", "   ", "anchor", "anchor apple", "anchor apple generic and", "and anchor apple generic",
        "anchor apple generic or anchor apple generic", "certificate leaf[subject.OU] =",
        "certificate leaf[subject.OU] = \"X", "certificate leaf[subject.OU] = \"X\\n\"",
        "certificate leaf[subject.C] = X", "certificate root[subject.OU] = X",
        "certificate leaf subject.OU = X", "certificate leaf[subject.OU] = X Y",
        "identifier \"com.example\"", "certificate leaf[subject.OU] = X;"}) {
    SCOPED_TRACE(text);
    auto [status, requirement] = createRequirementWithString(text);
    EXPECT_EQ(status, kRequirementSyntax);
    EXPECT_EQ(requirement, nullptr);
  }
}

}  // namespace
}  // namespace platform::codesign
