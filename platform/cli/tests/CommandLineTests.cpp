#include "platform/cli/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::cli {
namespace {

const Syntax& testSyntax() {
  static const Syntax s{.summary = "Does a test thing.",
                        .operands = "<name>...",
                        .options = {{"count", 'c', "COUNT", "how many"},
                                    {"compact", 0, "", "less space"},
                                    {"verbose", 'v', "", "more words"},
                                    {"json", 'j', "", "one JSON object"}},
                        .maxOperands = 2};
  return s;
}

// What a parse came to, in one comparable line: the options that were seen (through the public
// accessors), the operands, or the exit status with the first line of the error.
std::string summary(const ParseOutcome& o) {
  if (!o.invocation) {
    return "exit " + std::to_string(o.exitStatus) + ": " + o.err.substr(0, o.err.find('\n'));
  }
  std::string text;
  for (const char* name : {"count", "compact", "verbose", "json"}) {
    if (auto v = o.invocation->value(name)) text += std::string(name) + "=" + *v + " ";
  }
  text += "[";
  for (const auto& operand : o.invocation->operands())
    text += operand + ";";
  return text + "]";
}

TEST(CommandLine, OptionSpellingsOrderAndErrors) {
  struct Case {
    std::vector<std::string> arguments;
    std::string expected;
  };
  // Run in this order on purpose: an error in the middle of a cluster ("-vx") leaves getopt_long
  // half-way through an argument, and the parse after it must start afresh.
  const std::vector<Case> cases = {
      {{"-c3", "a"}, "count=3 [a;]"},
      {{"-c", "3"}, "count=3 []"},
      {{"--count=3"}, "count=3 []"},
      {{"--count", "3"}, "count=3 []"},
      {{"--cou=3"}, "count=3 []"},
      {{"--count="}, "count= []"},
      {{"-vjc", "7", "a"}, "count=7 verbose= json= [a;]"},
      {{"-vjc7"}, "count=7 verbose= json= []"},
      {{"a", "-v", "b"}, "verbose= [a;b;]"},
      {{"-c", "1", "--count=2"}, "count=2 []"},
      {{"-c", "-v"}, "count=-v []"},
      {{"--", "-v", "-"}, "[-v;-;]"},
      {{"-vx", "a"}, "exit 2: prog: unknown option '-x'"},
      {{"-c5"}, "count=5 []"},
      {{"-v", "-c"}, "exit 2: prog: option '-c' needs a value"},
      {{"--count"}, "exit 2: prog: option '--count' needs a value"},
      {{"-jc"}, "exit 2: prog: option '-c' needs a value"},
      {{"--bogus=1", "a"}, "exit 2: prog: unknown option '--bogus'"},
      {{"--json=1"}, "exit 2: prog: option '--json' takes no value"},
      {{"--verb=yes"}, "exit 2: prog: option '--verbose' takes no value"},
      {{"--co"}, "exit 2: prog: ambiguous option '--co' (--count, --compact)"},
      {{"a", "b", "c"}, "exit 2: prog: unexpected argument 'c'"},
      {{"--help", "--bogus"}, "exit 2: prog: unknown option '--bogus'"},
      {{"a", "b", "c", "-h"}, "exit 0: "},
      {{"--vers", "a", "b", "c"}, "exit 0: "},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.arguments)
      shown += "'" + a + "' ";
    SCOPED_TRACE(shown);
    const auto outcome = parse("prog", testSyntax(), c.arguments, "prog 1.2.3 (45)");
    EXPECT_EQ(summary(outcome), c.expected);
    if (outcome.exitStatus == 2) {
      EXPECT_TRUE(outcome.err.ends_with("\nTry 'prog --help' for more information.\n"))
          << outcome.err;
      EXPECT_EQ(outcome.out, "");
    }
  }
  EXPECT_EQ(parse("prog", testSyntax(), {"--version", "-v"}, "prog 1.2.3 (45)").out,
            "prog 1.2.3 (45)\n");
}

TEST(CommandLine, OptionsFirstKeepsOperandsThatLookLikeOptions) {
  const Syntax s{.summary = "x",
                 .options = {{"dir", 'd', "DIR", "where"}},
                 .minOperands = 2,
                 .optionsFirst = true};
  const auto written = parse("p", s, {"-d", "/tmp", "write", "-5", "--help"}, "v");
  ASSERT_TRUE(written.invocation) << written.err;
  EXPECT_EQ(written.invocation->value("dir"), "/tmp");
  EXPECT_EQ(written.invocation->operands(), (std::vector<std::string>{"write", "-5", "--help"}));

  const auto missing = parse("p", s, {"-d", "/tmp", "write"}, "v");
  EXPECT_EQ(missing.exitStatus, 2);
  EXPECT_EQ(missing.err, "p: missing argument\nTry 'p --help' for more information.\n");
}

TEST(CommandLine, HelpListsEveryOptionAlignedAndLeavesATakenShortNameAlone) {
  EXPECT_EQ(helpText("prog", testSyntax()),
            "usage: prog [options] <name>...\n"
            "Does a test thing.\n"
            "\n"
            "options:\n"
            "  -c, --count=COUNT  how many\n"
            "      --compact      less space\n"
            "  -v, --verbose      more words\n"
            "  -j, --json         one JSON object\n"
            "  -h, --help         show this help and exit\n"
            "      --version      show the version and exit\n");

  const Syntax withH{.summary = "Probes a host.",
                     .options = {{"host", 'h', "HOST", "the host"}},
                     .details = "More about it.\n\nAnd more."};
  EXPECT_EQ(helpText("probe", withH),
            "usage: probe [options]\n"
            "Probes a host.\n"
            "\n"
            "More about it.\n"
            "\n"
            "And more.\n"
            "\n"
            "options:\n"
            "  -h, --host=HOST  the host\n"
            "      --help       show this help and exit\n"
            "      --version    show the version and exit\n");
  const auto host = parse("probe", withH, {"-h", "example.org"}, "v");
  ASSERT_TRUE(host.invocation) << host.err;
  EXPECT_EQ(host.invocation->value("host"), "example.org");
  EXPECT_FALSE(host.invocation->has("help"));
}

TEST(CommandLine, ParseIntegerTakesWholeNumbersInRangeOnly) {
  struct Case {
    std::string text;
    std::optional<long long> expected;
  };
  const std::vector<Case> cases = {
      {"1", 1},
      {"1000", 1000},
      {"0", std::nullopt},
      {"1001", std::nullopt},
      {"", std::nullopt},
      {"5x", std::nullopt},
      {" 5", std::nullopt},
      {"+5", std::nullopt},
      {"-1", std::nullopt},
      {"2.0", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(parseInteger(c.text, 1, 1000), c.expected) << "'" << c.text << "'";
  EXPECT_EQ(parseInteger("-5", -10, 10), -5);
}

}  // namespace
}  // namespace platform::cli
