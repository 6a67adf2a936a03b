// The tool's own command line, "coreservicectl [options] <command> [arguments]", and the hand-over
// to the command: the tool's options end at the command's name, everything after it is the
// command's.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/bundle/InfoDictionary.h"
#include "tools/coreservicectl/Commands.h"

namespace coreservicectl {

namespace {

constexpr const char* kTool = "coreservicectl";

std::string versionLine() {
  const auto& info = platform::bundle::InfoDictionary::main();
  return std::string(kTool) + " (CoreService) " + info.shortVersion + " (" + info.build + ")";
}

Syntax toolSyntax() {
  Syntax s;
  s.summary = "The command-line client and support tool of the CoreService daemon.";
  s.operands = "<command> [arguments]";
  s.minOperands = 1;
  s.optionsFirst = true;
  s.details = "commands:\n";
  std::size_t width = 0;
  for (const auto& c : commands())
    width = std::max(width, std::string_view(c.name).size());
  for (const auto& c : commands()) {
    s.details += "  " + std::string(c.name) + std::string(width + 2 - std::strlen(c.name), ' ') +
                 c.syntax.summary + "\n";
  }
  s.details += "\nRun 'coreservicectl <command> --help' for the options of a command.\n";
  return s;
}

}  // namespace

int runTool(const std::vector<std::string>& arguments) {
  static const Syntax tool = toolSyntax();
  // "help [<command>]" is kept as a spelling of --help.
  if (!arguments.empty() && arguments[0] == "help") {
    std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    if (rest.empty()) return runTool({"--help"});
    return runTool({rest[0], "--help"});
  }
  const auto outcome = platform::cli::parse(kTool, tool, arguments, versionLine());
  if (!outcome.invocation) return platform::cli::printOutcome(outcome);

  const auto& operands = outcome.invocation->operands();
  for (const auto& c : commands()) {
    if (operands[0] != c.name) continue;
    const std::vector<std::string> rest(operands.begin() + 1, operands.end());
    const auto parsed =
        platform::cli::parse(std::string(kTool) + " " + c.name, c.syntax, rest, versionLine());
    if (!parsed.invocation) return platform::cli::printOutcome(parsed);
    return c.run(*parsed.invocation);
  }
  std::fputs(platform::cli::usageErrorText(kTool, "unknown command '" + operands[0] + "'").c_str(),
             stderr);
  return 2;
}

int usageError(const Invocation& invocation, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  char message[512];
  std::vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  std::fputs(platform::cli::usageErrorText(invocation.program(), message).c_str(), stderr);
  return 2;
}

}  // namespace coreservicectl
