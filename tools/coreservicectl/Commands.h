#pragma once
// The command groups of coreservicectl. Each takes the arguments after its own name and returns
// the process exit status.
#include <string>
#include <vector>

namespace coreservicectl {

using Args = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;  // one line, shown by `coreservicectl help`
  int (*run)(const Args& args);
};

// The table of commands, in the order `help` lists them.
const std::vector<Command>& commands();

}  // namespace coreservicectl
