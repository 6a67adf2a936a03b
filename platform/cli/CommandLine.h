#pragma once
// Command-line parsing shared by the project's executables, on top of getopt_long, so that every
// command follows the same conventions:
//   - long and short options, "--count=3", "--count 3", "-c3", "-c 3", clustered flags ("-jv"),
//     unambiguous prefixes of long options ("--cou=3"), "--" ending the options;
//   - "-h"/"--help" prints the help on standard output, "--version" the version line; both end
//     the program with status 0, whatever else is on the line, unless an option on it is
//     unknown or malformed;
//   - a usage error (unknown or ambiguous option, missing or unexpected value, wrong number of
//     operands) is one line naming the program, then a hint to try --help, on standard error,
//     and ends the program with status 2.
// Options may be mixed with operands (GNU order) unless the syntax asks for options first, which
// commands whose operands may look like options (a negative number) need.
//
// parse() uses getopt_long's process-wide state: call it from one thread at a time (the main
// thread, before others start).

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::cli {

struct Option {
  const char* longName;       // "count" for --count
  char shortName = 0;         // 'c' for -c; 0 for a long option only
  const char* argument = "";  // the value's placeholder ("COUNT"); empty for a flag
  const char* help = "";      // one line for the help text
};

struct Syntax {
  std::string summary;          // one sentence: what the program or command does
  std::string operands;         // as the usage line shows them ("<domain> [<key>]"); may be empty
  std::vector<Option> options;  // -h/--help and --version are added to every syntax
  std::size_t minOperands = 0;
  std::size_t maxOperands = std::numeric_limits<std::size_t>::max();
  bool optionsFirst = false;  // options end at the first operand
  std::string details;        // further text for the help (paragraphs separated by blank lines)
};

// A successfully parsed command line. Refers to the Syntax it was parsed with.
class Invocation {
 public:
  Invocation(std::string program, const Syntax& syntax)
      : program_(std::move(program)), syntax_(&syntax) {}

  const std::string& program() const { return program_; }
  const Syntax& syntax() const { return *syntax_; }
  bool has(std::string_view longName) const;
  // The value of the last occurrence of the option; nullopt when it was not given.
  std::optional<std::string> value(std::string_view longName) const;
  const std::vector<std::string>& operands() const { return operands_; }

 private:
  friend struct Parser;
  std::string program_;
  const Syntax* syntax_;
  std::vector<std::pair<std::string, std::string>> given_;  // long name and value, in order
  std::vector<std::string> operands_;
};

struct ParseOutcome {
  std::optional<Invocation> invocation;  // set when the program should go on
  int exitStatus = 0;  // otherwise: 0 after help or version, 2 after a usage error
  std::string out;     // what to print on standard output
  std::string err;     // what to print on standard error
};

// Parses `arguments` (without the program name). `program` is the name shown in messages
// ("coreservicectl ping"); `version` is the line --version prints.
ParseOutcome parse(const std::string& program, const Syntax& syntax,
                   const std::vector<std::string>& arguments, const std::string& version);

// The help text that --help prints.
std::string helpText(const std::string& program, const Syntax& syntax);

// A usage error's text: "<program>: <message>" and the hint to try --help.
std::string usageErrorText(const std::string& program, std::string_view message);

// A whole decimal number within [min, max], nothing else around it; nullopt otherwise.
std::optional<long long> parseInteger(std::string_view text, long long min, long long max);

// Prints the outcome's texts; returns its exit status.
int printOutcome(const ParseOutcome& outcome);

}  // namespace platform::cli
