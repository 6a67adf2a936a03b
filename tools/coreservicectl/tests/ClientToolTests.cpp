#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "SharedUtils/DeviceUtils.h"
#include "SharedUtils/MacUtils.h"
#include "testsupport/NetworkNamespace.h"
#include "testsupport/TemporaryDirectory.h"
#include "tools/coreservicectl/tests/ToolProcess.h"

namespace coreservicectl {
namespace {

using testsupport::runTool;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    result.push_back(line);
  return result;
}

nlohmann::json orNull(const std::optional<std::string>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

TEST(ClientToolTests, HostPrintsTheFourIdentityValuesAsTextAndAsJSON) {
  using sharedutils::DeviceUtils;
  using sharedutils::MacUtils;
  const auto uuid = MacUtils::getSystemUUID();
  const auto gateway = DeviceUtils::getDefaultGateway();

  const auto text = runTool({"host"});
  EXPECT_EQ(text.exitStatus, 0);
  EXPECT_EQ(text.err, "");
  EXPECT_EQ(lines(text.out),
            (std::vector<std::string>{"systemUUID: " + uuid.value_or("(none)"),
                                      "macAddress: " + MacUtils::getMACAddress(),
                                      "deviceName: " + MacUtils::getDeviceName(),
                                      "defaultGateway: " + gateway.value_or("(none)")}));

  const auto json = runTool({"host", "--json"});
  EXPECT_EQ(json.exitStatus, 0);
  EXPECT_EQ(json.err, "");
  ASSERT_EQ(lines(json.out).size(), 1u) << json.out;
  const auto object = nlohmann::json::parse(json.out, nullptr, false);
  ASSERT_TRUE(object.is_object()) << json.out;
  EXPECT_EQ(object, (nlohmann::json{{"systemUUID", orNull(uuid)},
                                    {"macAddress", MacUtils::getMACAddress()},
                                    {"deviceName", MacUtils::getDeviceName()},
                                    {"defaultGateway", orNull(gateway)}}));
}

TEST(ClientToolTests, HostReportsTheGatewayOfTheNamespaceItRunsIn) {
  testsupport::ToolRun run;
  CS_RUN_IN_NAMESPACES_OR_SKIP(CLONE_NEWNET,
                               (std::vector<std::string>{
                                   "link add en0 type veth peer name px0",
                                   "addr add 10.1.0.2/24 dev en0",
                                   "link set px0 up",
                                   "link set en0 up",
                                   "route add default via 10.1.0.1 dev en0",
                               }),
                               [&] {
                                 run = runTool({"host", "--json"});
                               });
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const auto object = nlohmann::json::parse(run.out, nullptr, false);
  ASSERT_TRUE(object.is_object()) << run.out;
  EXPECT_EQ(object.value("defaultGateway", nlohmann::json()), "10.1.0.1");
}

TEST(ClientToolTests, ConfidentializeMasksEachLineAndKeepsLineEndings) {
  const auto run = runTool({"confidentialize"},
                           "{\"token\":\"supersecretvalue1234567890\"}\n"
                           "plain text, nothing to hide\r\n"
                           "\n"
                           "last line without an ending");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "{\"token\":\"...1234567890\"}\n"
            "plain text, nothing to hide\r\n"
            "\n"
            "last line without an ending");

  // Far more than a pipe holds, so input and output have to flow at the same time.
  std::string many;
  for (int i = 0; i < 20000; ++i)
    many += "line " + std::to_string(i) + " of a long log\n";
  const auto big = runTool({"confidentialize"}, many);
  EXPECT_EQ(big.exitStatus, 0);
  EXPECT_TRUE(big.out == many) << "output of " << big.out.size() << " bytes differs";

  const auto empty = runTool({"confidentialize"}, "");
  EXPECT_EQ(empty.exitStatus, 0);
  EXPECT_EQ(empty.out, "");
}

TEST(ClientToolTests, DefaultsWatchPrintsEachChangeOfItsKeyUntilInterrupted) {
  ::testsupport::TemporaryDirectory dir;
  const auto defaults = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"defaults", "--dir", dir.path().string()});
    return runTool(args).exitStatus;
  };
  testsupport::BackgroundTool watch(
      {"defaults", "--dir", dir.path().string(), "watch", "dom", "user"});
  ASSERT_EQ(watch.errUntil("\n"), "coreservicectl defaults: watching \"dom\"\n");
  // Written by other processes; the other key is not watched.
  EXPECT_EQ(defaults({"write", "dom", "other", "int", "1"}), 0);
  EXPECT_EQ(defaults({"write", "dom", "user", "string", "bob"}), 0);
  EXPECT_EQ(defaults({"write", "dom", "user", "int", "7"}), 0);
  EXPECT_EQ(defaults({"delete", "dom", "user"}), 0);
  const std::string expected =
      "user: (none) -> string bob\nuser: string bob -> int 7\nuser: int 7 -> (none)\n";
  EXPECT_EQ(watch.outUntil("-> (none)\n"), expected);
  watch.signal(SIGINT);
  const int status = watch.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  EXPECT_EQ(watch.outUntil("end of output"), expected);
}

TEST(ClientToolTests, UsageErrorsExitWithStatusTwoAndSayWhatWasWrong) {
  struct Case {
    std::vector<std::string> arguments;
    std::string firstErrorLine;
  };
  const std::vector<Case> cases = {
      {{"frobnicate"}, "coreservicectl: unknown command 'frobnicate'"},
      {{}, "coreservicectl: missing argument: <command> [arguments]"},
      {{"--frobnicate", "ping"}, "coreservicectl: unknown option '--frobnicate'"},
      {{"help", "frobnicate"}, "coreservicectl: unknown command 'frobnicate'"},
      {{"host", "--jsn"}, "coreservicectl host: unknown option '--jsn'"},
      {{"host", "--json", "extra"}, "coreservicectl host: unexpected argument 'extra'"},
      {{"confidentialize", "-"}, "coreservicectl confidentialize: unexpected argument '-'"},
      {{"ping", "-c", "0"}, "coreservicectl ping: invalid count '0' (1 to 1000000)"},
      {{"ping", "--count=2x"}, "coreservicectl ping: invalid count '2x' (1 to 1000000)"},
      {{"ping", "-i"}, "coreservicectl ping: option '-i' needs a value"},
      {{"status", "--timeout=-1"}, "coreservicectl status: invalid timeout '-1'"},
      {{"defaults", "read"},
       "coreservicectl defaults: missing argument: "
       "read|write|delete|watch <domain> [<key> [<type> <value>]]"},
      {{"defaults", "list", "dom"},
       "coreservicectl defaults: unknown action 'list' (read, write, delete, watch)"},
      {{"defaults", "read", "dom", "a", "b"},
       "coreservicectl defaults: read takes a domain and at most one key"},
      {{"defaults", "write", "dom", "k", "float", "1"},
       "coreservicectl defaults: unknown type \"float\" (bool int uint double string date data "
       "map datalist)"},
  };
  for (const auto& c : cases) {
    const auto run = runTool(c.arguments);
    SCOPED_TRACE(c.firstErrorLine);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.out, "");
    const auto errorLines = lines(run.err);
    ASSERT_EQ(errorLines.size(), 2u) << run.err;
    EXPECT_EQ(errorLines[0], c.firstErrorLine);
    EXPECT_TRUE(errorLines[1].starts_with("Try 'coreservicectl")) << errorLines[1];
  }
  // Values that could not be stored exactly are refused before anything is written.
  ::testsupport::TemporaryDirectory dir;
  for (const auto& [type, value] :
       {std::pair<std::string, std::string>{"date", "9999-12-31T00:00:00Z"},
        {"date", "1e10"},
        {"double", "nan"}}) {
    const auto run =
        runTool({"defaults", "--dir", dir.path().string(), "write", "dom", "k", type, value});
    EXPECT_EQ(run.exitStatus, 2) << value;
    const auto errorLines = lines(run.err);
    ASSERT_FALSE(errorLines.empty()) << value;
    EXPECT_EQ(errorLines.front(),
              "coreservicectl defaults: \"" + value + "\" is not a valid " + type);
  }
  EXPECT_EQ(runTool({"defaults", "--dir", dir.path().string(), "read", "dom", "k"}).exitStatus, 1);
}

// The conventions every command keeps, whoever wrote it: the commands are taken from the tool's
// own list, so a new command is held to them as soon as it is listed.
TEST(ClientToolTests, EveryCommandAnswersHelpVersionAndRefusesUnknownOptions) {
  const auto help = runTool({"--help"});
  ASSERT_EQ(help.exitStatus, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_TRUE(help.out.starts_with("usage: coreservicectl [options] <command> [arguments]\n"))
      << help.out;
  EXPECT_EQ(runTool({"-h"}).out, help.out);
  EXPECT_EQ(runTool({"help"}).out, help.out);

  const auto version = runTool({"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_TRUE(std::regex_match(
      version.out, std::regex(R"(coreservicectl \(CoreService\) \d+\.\d+\.\d+ \(\S+\)\n)")))
      << version.out;

  std::vector<std::string> names;
  bool inList = false;
  for (const auto& line : lines(help.out)) {
    if (line == "commands:")
      inList = true;
    else if (line.empty())
      inList = false;
    else if (inList)
      names.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  for (const char* expected : {"ping", "status", "host", "confidentialize", "defaults"})
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;

  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const auto commandHelp = runTool({name, "--help"});
    EXPECT_EQ(commandHelp.exitStatus, 0);
    EXPECT_EQ(commandHelp.err, "");
    EXPECT_TRUE(commandHelp.out.starts_with("usage: coreservicectl " + name + " [options]"))
        << commandHelp.out;
    EXPECT_NE(commandHelp.out.find("\n  -h, --help "), std::string::npos) << commandHelp.out;
    EXPECT_EQ(runTool({"help", name}).out, commandHelp.out);

    const auto commandVersion = runTool({name, "--version"});
    EXPECT_EQ(commandVersion.exitStatus, 0);
    EXPECT_EQ(commandVersion.out, version.out);

    const auto unknown = runTool({name, "--no-such-option"});
    EXPECT_EQ(unknown.exitStatus, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_TRUE(
        unknown.err.starts_with("coreservicectl " + name + ": unknown option '--no-such-option'\n"))
        << unknown.err;
  }
}

}  // namespace
}  // namespace coreservicectl
