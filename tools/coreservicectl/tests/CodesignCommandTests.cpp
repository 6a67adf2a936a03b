#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/codesign/CodeSigningStatus.h"
#include "platform/codesign/tests/CodesignTestSupport.h"
#include "testsupport/FileContents.h"
#include "testsupport/TemporaryDirectory.h"
#include "tools/coreservicectl/tests/ToolProcess.h"

namespace coreservicectl {
namespace {

using TempDir = ::testsupport::TemporaryDirectory;
using codesign_test::TestAuthority;
using codesign_test::TestIdentity;
using ::testsupport::readFile;
using testsupport::runTool;
namespace codesign = platform::codesign;

// The authorities and identities are made once for the whole program.
class CodesignCommand : public ::testing::Test {
 protected:
  struct Fixtures {
    TempDir dir;
    TestAuthority root{dir.path(), "root"};
    TestAuthority stranger{dir.path(), "stranger"};
    TestIdentity team = root.issue("team");
    TestIdentity otherTeam = root.issue("other", {.organizationalUnits = {"ZZ9ZZ9ZZ9Z"}});
  };
  static void SetUpTestSuite() { fixtures_ = std::make_unique<Fixtures>(); }
  static void TearDownTestSuite() { fixtures_.reset(); }

  const Fixtures& f() const { return *fixtures_; }
  // A small executable: the tool's own binary is tens of megabytes in debug builds, and every
  // sign and verify reads all of it.
  std::filesystem::path copyOfAProgram(const std::string& name) {
    return codesign_test::copyProgram("/bin/echo", testDir_ / name);
  }
  testsupport::ToolRun sign(const std::filesystem::path& file, const TestIdentity& identity) {
    return runTool({"codesign", "sign", "--key", identity.key.string(), "--cert",
                    identity.certificate.string(), file.string()});
  }
  testsupport::ToolRun verify(const std::filesystem::path& file,
                              const std::filesystem::path& anchors) {
    return runTool({"codesign", "verify", "--anchors", anchors.string(), file.string()});
  }

  static std::unique_ptr<Fixtures> fixtures_;
  TempDir testDir_;
};

std::unique_ptr<CodesignCommand::Fixtures> CodesignCommand::fixtures_;

TEST_F(CodesignCommand, ASignedProgramVerifiesAndStillRuns) {
  const auto program = copyOfAProgram("echo");
  const auto signing = sign(program, f().team);
  EXPECT_EQ(signing.exitStatus, 0) << signing.err;
  EXPECT_EQ(signing.out, "");

  const auto valid = verify(program, f().root.certificatePath());
  EXPECT_EQ(valid.exitStatus, 0) << valid.err;
  EXPECT_EQ(valid.out, "valid, team QX7TZ4PD2M\n");

  // Another team's signature replaces the first; the tool says whose it is.
  ASSERT_EQ(sign(program, f().otherTeam).exitStatus, 0);
  EXPECT_EQ(verify(program, f().root.certificatePath()).out, "valid, team ZZ9ZZ9ZZ9Z\n");

  // The signature rides behind the executable without disturbing it.
  const std::string command = program.string() + " still runs";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe))
    out += buffer;
  EXPECT_EQ(::pclose(pipe), 0);
  EXPECT_EQ(out, "still runs\n");
}

TEST_F(CodesignCommand, EachFailureNamesItsStepAndStatusAndExitsOne) {
  // Which status each kind of damage gives is the library's to decide: the tool names the step
  // of verify that failed (opening or verifying), prints nothing on standard output, exits 1.
  const auto missing = testDir_ / "missing";
  const auto unreadable = verify(missing, f().root.certificatePath());
  EXPECT_EQ(unreadable.exitStatus, 1);
  EXPECT_EQ(unreadable.out, "");
  EXPECT_EQ(unreadable.err, "coreservicectl codesign: opening " + missing.string() +
                                ": status -71201 (the file cannot be read)\n");

  // A signer the anchors do not know, with the exact line.
  const auto foreign = copyOfAProgram("foreign");
  ASSERT_EQ(sign(foreign, f().stranger.issue("foreign")).exitStatus, 0);
  const auto untrusted = verify(foreign, f().root.certificatePath());
  EXPECT_EQ(untrusted.exitStatus, 1);
  EXPECT_EQ(untrusted.out, "");
  EXPECT_EQ(untrusted.err, "coreservicectl codesign: verifying " + foreign.string() +
                               ": status -71207 (the signer is not trusted)\n");

  // A key that is not the certificate's leaves the file as it was.
  const auto mismatched = copyOfAProgram("mismatched");
  const std::string before = readFile(mismatched);
  const auto run = runTool({"codesign", "sign", "--key", f().otherTeam.key.string(), "--cert",
                            f().team.certificate.string(), mismatched.string()});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("status " + std::to_string(codesign::kSigningKeyMismatch)),
            std::string::npos)
      << run.err;
  EXPECT_EQ(readFile(mismatched), before);
}

TEST_F(CodesignCommand, MisusedOptionsAreUsageErrors) {
  const auto program = copyOfAProgram("program");
  const std::string key = f().team.key.string();
  const std::string cert = f().team.certificate.string();
  const std::vector<std::vector<std::string>> misuses = {
      {"codesign", "sign", "--key", key, program.string()},
      {"codesign", "sign", "--cert", cert, program.string()},
      {"codesign", "sign", "--key", key, "--cert", cert, "--anchors", cert, program.string()},
      {"codesign", "verify", "--key", key, program.string()},
      {"codesign", "verify", "--chain", cert, program.string()},
      {"codesign", "check", program.string()},
      {"codesign", "verify"},
      {"codesign", "verify", program.string(), program.string()},
  };
  const std::string original = readFile(program);
  for (const auto& arguments : misuses) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    const auto run = runTool(arguments);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.err.rfind("coreservicectl codesign: ", 0), 0u) << run.err;
  }
  EXPECT_EQ(readFile(program), original);
}

}  // namespace
}  // namespace coreservicectl
