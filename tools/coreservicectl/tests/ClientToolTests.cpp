#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SharedUtils/DeviceUtils.h"
#include "SharedUtils/MacUtils.h"
#include "contract/CoreServiceContract.h"
#include "platform/base/FileDescriptor.h"
#include "platform/xpc/Message.h"
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

TEST(ClientToolTests, DefaultsShowsControlCharactersOnATerminalAsEscapesAndPipesThemUnchanged) {
  ::testsupport::TemporaryDirectory dir;
  const std::string key = "k\x1b]0;title\a";
  const std::string value = "a\x1b[2Jb\nc\td\x7f\\";
  ASSERT_EQ(
      runTool({"defaults", "--dir", dir.path().string(), "write", "dom", key, "string", value})
          .exitStatus,
      0);
  // Into a pipe the text is unchanged: what is read can be written back.
  EXPECT_EQ(runTool({"defaults", "--dir", dir.path().string(), "read", "dom", key}).out,
            "string " + value + "\n");
  // script(1) runs the tool on a pseudo-terminal, whose line discipline ends each line with CR LF.
  const std::string command =
      std::string(CORESERVICECTL_PATH) + " defaults --dir '" + dir.path().string() + "' read dom";
  const auto onTerminal = ::testsupport::runProcess({"script", "-qec", command, "/dev/null"});
  EXPECT_EQ(onTerminal.exitStatus, 0) << onTerminal.err;
  EXPECT_EQ(onTerminal.out, "k\\x1b]0;title\\x07 = string a\\x1b[2Jb\\x0ac\\x09d\\x7f\\\\\r\n");
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
      {{"defaults", "write", "dom", "", "string", "a"},
       "coreservicectl defaults: a key cannot be empty"},
  };
  // The settings cases name a directory of their own: a refused command must create nothing
  // there (nor, without --dir, in the system's settings directory).
  ::testsupport::TemporaryDirectory dir;
  for (const auto& c : cases) {
    auto arguments = c.arguments;
    if (!arguments.empty() && arguments[0] == "defaults")
      arguments.insert(arguments.begin() + 1, {"--dir", dir.path().string()});
    const auto run = runTool(arguments);
    SCOPED_TRACE(c.firstErrorLine);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.out, "");
    const auto errorLines = lines(run.err);
    ASSERT_EQ(errorLines.size(), 2u) << run.err;
    EXPECT_EQ(errorLines[0], c.firstErrorLine);
    EXPECT_TRUE(errorLines[1].starts_with("Try 'coreservicectl")) << errorLines[1];
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  // Values that could not be stored exactly are refused before anything is written.
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
  // Reading or deleting in a domain nobody wrote says so, or does nothing, and creates nothing.
  const auto read = runTool({"defaults", "--dir", dir.path().string(), "read", "dom", "k"});
  EXPECT_EQ(read.exitStatus, 1);
  EXPECT_EQ(read.err, "coreservicectl defaults: the domain \"dom\" does not exist at " +
                          (dir.path() / "dom").string() + "\n");
  EXPECT_EQ(runTool({"defaults", "--dir", dir.path().string(), "delete", "dom", "k"}).exitStatus,
            0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
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

// Serves the CoreService socket in a private runtime directory and answers every call with what
// the test wants: whoever serves the socket writes the reply, and the tool must hold up.
class HostileService {
 public:
  using Answer = std::function<std::vector<std::uint8_t>(std::uint64_t requestId)>;

  HostileService() {
    char tmpl[] = "/tmp/ctl-hostile-XXXXXX";
    dir_ = ::mkdtemp(tmpl) ? tmpl : "";
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    ::setenv("RUNTIME_DIRECTORY", dir_.c_str(), 1);
    const std::string path = dir_ + "/" + std::string(coreservice::kServiceName);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    listen_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ready_ = ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
             ::listen(listen_.get(), 8) == 0;
  }
  ~HostileService() {
    ::unsetenv("XDG_RUNTIME_DIR");
    ::unsetenv("RUNTIME_DIRECTORY");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  bool ready() const { return ready_; }

  // Runs the tool with `arguments` while one connection is served with `answer`.
  testsupport::ToolRun run(const std::vector<std::string>& arguments, const Answer& answer) {
    std::thread server([&] { serveOne(answer); });
    auto result = runTool(arguments);
    server.join();
    return result;
  }

 private:
  void serveOne(const Answer& answer) {
    pollfd p{listen_.get(), POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) return;
    platform::base::FileDescriptor fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::vector<std::uint8_t> buffer(platform::xpc::kMaxMessageSize);
    // Every call gets the scripted answer until the tool hangs up.
    for (;;) {
      pollfd in{fd.get(), POLLIN, 0};
      if (::poll(&in, 1, 20000) <= 0) return;
      const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
      if (n <= 0) return;
      auto message = platform::xpc::decode({buffer.data(), static_cast<std::size_t>(n)});
      if (!message || !std::holds_alternative<platform::xpc::Request>(*message)) return;
      const auto bytes = answer(std::get<platform::xpc::Request>(*message).id);
      ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
  }

  std::string dir_;
  platform::base::FileDescriptor listen_;
  bool ready_ = false;
};

std::vector<std::uint8_t> replyWith(std::uint64_t id, platform::xpc::Value arguments) {
  return platform::xpc::encode(platform::xpc::Reply{id, std::move(arguments)});
}

TEST(ClientToolTests, StatusAndPingHoldUpAgainstAHostileService) {
  using platform::xpc::Value;
  HostileService service;
  ASSERT_TRUE(service.ready());
  const auto status = [](Value dict) {
    return [dict](std::uint64_t id) { return replyWith(id, Value::array({dict})); };
  };

  // Text from the reply reaches the terminal escaped, and as ASCII in JSON.
  const Value forged = {{"daemon", "run\x1b[2J\u202eok\x7f\u00e9"}, {"timestamp", 86400.5}};
  auto run = service.run({"status"}, status(forged));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out,
            "CoreService daemon: run\\x1b[2J\\u202eok\\x7f\u00e9\n"
            "Timestamp: 1970-01-02 00:00:00.500 UTC (86400.500000)\n");
  run = service.run({"status", "--json"}, status(forged));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out,
            "{\"daemon\":\"run\\u001b[2J\\u202eok\\u007f\\u00e9\",\"timestamp\":86400.5}\n");

  // Replies of the wrong shape, or no reply at all, fail with status 1 and one line (the decoder's
  // own refusals of hostile packets are the message tests' business).
  struct Case {
    const char* what;
    HostileService::Answer answer;
    std::string error;
  };
  const std::string unexpected = "coreservicectl: unexpected status reply: ";
  const std::string unreadable =
      "coreservicectl: the CoreService daemon sent a reply that could not be read\n";
  const std::vector<Case> cases = {
      {"an extra key", status({{"daemon", "running"}, {"timestamp", 1.0}, {"x", 1}}),
       unexpected + R"([{"daemon":"running","timestamp":1.0,"x":1}])"
                    "\n"},
      {"an integer timestamp", status({{"daemon", "running"}, {"timestamp", 1}}),
       unexpected + R"([{"daemon":"running","timestamp":1}])"
                    "\n"},
      {"a timestamp past year 9999", status({{"daemon", "running"}, {"timestamp", 1e300}}),
       unexpected + R"([{"daemon":"running","timestamp":1e+300}])"
                    "\n"},
      {"two arguments",
       [](std::uint64_t id) {
         return replyWith(id, Value::array({1, 2}));
       },
       unexpected + "[1,2]\n"},
      {"a reply to another call",
       [](std::uint64_t id) { return replyWith(id + 1, Value::array()); }, unreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    run = service.run({"status", "-t", "20"}, c.answer);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.error);
  }

  // A ping answered with anything but an empty reply is not a reply.
  run = service.run({"ping", "-t", "20"},
                    [](std::uint64_t id) { return replyWith(id, Value::array({"pong"})); });
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("coreservicectl: unexpected reply to ping from the CoreService daemon\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out.find("reply from"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace coreservicectl
