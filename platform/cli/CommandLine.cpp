#include "platform/cli/CommandLine.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace platform::cli {

namespace {

// getopt_long identifies an option by the value it returns: the short name where there is one,
// otherwise a number above every character, so that no two options share a value.
constexpr int kLongOnlyBase = 256;

const Option kHelp{"help", 'h', "", "show this help and exit"};
const Option kVersion{"version", 0, "", "show the version and exit"};

// The syntax's own options plus --help and --version (-h only when the syntax leaves it free).
std::vector<Option> allOptions(const Syntax& syntax) {
  std::vector<Option> all = syntax.options;
  const bool hFree =
      std::none_of(all.begin(), all.end(), [](const Option& o) { return o.shortName == 'h'; });
  Option help = kHelp;
  if (!hFree) help.shortName = 0;
  all.push_back(help);
  all.push_back(kVersion);
  return all;
}

bool takesValue(const Option& o) {
  return o.argument && *o.argument;
}

int valueOf(const std::vector<Option>& options, std::size_t index) {
  const char s = options[index].shortName;
  return s ? static_cast<unsigned char>(s) : kLongOnlyBase + static_cast<int>(index);
}

const Option* optionWithValue(const std::vector<Option>& options, int value) {
  for (std::size_t i = 0; i < options.size(); ++i)
    if (valueOf(options, i) == value) return &options[i];
  return nullptr;
}

// "--name" of an argument such as "--name=value".
std::string longSpelling(std::string_view argument) {
  return std::string(argument.substr(0, argument.find('=')));
}

}  // namespace

bool Invocation::has(std::string_view longName) const {
  return std::any_of(given_.begin(), given_.end(),
                     [&](const auto& g) { return g.first == longName; });
}

std::optional<std::string> Invocation::value(std::string_view longName) const {
  for (auto it = given_.rbegin(); it != given_.rend(); ++it)
    if (it->first == longName) return it->second;
  return std::nullopt;
}

// Friend of Invocation: fills it in.
struct Parser {
  static ParseOutcome run(const std::string& program, const Syntax& syntax,
                          const std::vector<std::string>& arguments, const std::string& version) {
    const std::vector<Option> options = allOptions(syntax);
    std::string shortOptions = syntax.optionsFirst ? "+:" : ":";
    std::vector<option> longOptions;
    for (std::size_t i = 0; i < options.size(); ++i) {
      const Option& o = options[i];
      longOptions.push_back({o.longName, takesValue(o) ? required_argument : no_argument, nullptr,
                             valueOf(options, i)});
      if (o.shortName) {
        shortOptions += o.shortName;
        if (takesValue(o)) shortOptions += ':';
      }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    // getopt_long reorders its vector; give it copies.
    std::vector<std::string> storage;
    storage.reserve(arguments.size() + 1);
    storage.push_back(program);
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& s : storage)
      argv.push_back(s.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    ParseOutcome outcome;
    const auto usageError = [&](const std::string& message) {
      outcome.exitStatus = 2;
      outcome.err = usageErrorText(program, message);
      return outcome;
    };
    Invocation invocation(program, syntax);
    optind = 0;  // 0, not 1: glibc then forgets everything from an earlier parse
    opterr = 0;  // errors are ours to word
    for (;;) {
      const int c =
          getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), nullptr);
      if (c == -1) break;
      // The argument just looked at. Inside a cluster of short options optind has not moved
      // on yet, so this is only used where getopt_long has finished with the argument: after a
      // long option, or after a missing value (which can only be the last argument).
      const std::string_view last = argv[optind - 1];
      if (c == ':') {
        const std::string name = last.starts_with("--")
                                     ? longSpelling(last)
                                     : std::string("-") + static_cast<char>(optopt);
        return usageError("option '" + name + "' needs a value");
      }
      if (c == '?' && optopt == 0) {  // a long option that matched none, or more than one
        const std::string name = longSpelling(last);
        std::string candidates;
        for (const auto& o : options) {
          if (std::string_view(o.longName).starts_with(name.substr(2)))
            candidates += (candidates.empty() ? "--" : ", --") + std::string(o.longName);
        }
        if (candidates.find(',') != std::string::npos)
          return usageError("ambiguous option '" + name + "' (" + candidates + ")");
        return usageError("unknown option '" + name + "'");
      }
      if (const Option* flag = c == '?' ? optionWithValue(options, optopt) : nullptr)
        return usageError("option '--" + std::string(flag->longName) + "' takes no value");
      if (c == '?')
        return usageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
      const Option* o = optionWithValue(options, c);
      invocation.given_.emplace_back(o->longName, takesValue(*o) && optarg ? optarg : "");
    }
    for (int i = optind; i < argc; ++i)
      invocation.operands_.emplace_back(argv[i]);

    if (invocation.has(kHelp.longName)) {
      outcome.out = helpText(program, syntax);
      return outcome;
    }
    if (invocation.has(kVersion.longName)) {
      outcome.out = version + "\n";
      return outcome;
    }
    const auto count = invocation.operands_.size();
    if (count > syntax.maxOperands)
      return usageError("unexpected argument '" + invocation.operands_[syntax.maxOperands] + "'");
    if (count < syntax.minOperands) {
      return usageError(syntax.operands.empty() ? std::string("missing argument")
                                                : "missing argument: " + syntax.operands);
    }
    outcome.invocation = std::move(invocation);
    return outcome;
  }
};

ParseOutcome parse(const std::string& program, const Syntax& syntax,
                   const std::vector<std::string>& arguments, const std::string& version) {
  return Parser::run(program, syntax, arguments, version);
}

std::string helpText(const std::string& program, const Syntax& syntax) {
  std::string text = "usage: " + program + " [options]";
  if (!syntax.operands.empty()) text += " " + syntax.operands;
  text += "\n" + syntax.summary + "\n";
  if (!syntax.details.empty()) {
    text += "\n" + syntax.details;
    if (!text.ends_with('\n')) text += '\n';
  }
  text += "\noptions:\n";
  std::vector<std::pair<std::string, std::string>> rows;
  std::size_t width = 0;
  for (const auto& o : allOptions(syntax)) {
    std::string left = o.shortName ? std::string("  -") + o.shortName + ", " : std::string(6, ' ');
    left += std::string("--") + o.longName;
    if (takesValue(o)) left += std::string("=") + o.argument;
    width = std::max(width, left.size());
    rows.emplace_back(std::move(left), o.help);
  }
  for (const auto& [left, help] : rows)
    text += left + std::string(width + 2 - left.size(), ' ') + help + "\n";
  return text;
}

std::string usageErrorText(const std::string& program, std::string_view message) {
  return program + ": " + std::string(message) + "\nTry '" + program +
         " --help' for more information.\n";
}

std::optional<long long> parseInteger(std::string_view text, long long min, long long max) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
    return std::nullopt;
  return value;
}

int printOutcome(const ParseOutcome& outcome) {
  std::fputs(outcome.out.c_str(), stdout);
  std::fputs(outcome.err.c_str(), stderr);
  return outcome.exitStatus;
}

}  // namespace platform::cli
