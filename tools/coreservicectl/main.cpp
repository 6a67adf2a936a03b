#include "tools/coreservicectl/Commands.h"

namespace coreservicectl {

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      pingCommand(),     statusCommand(),   hostCommand(),
      netCommand(),      probeCommand(),    confidentializeCommand(),
      defaultsCommand(), codesignCommand(), notifyCommand(),
  };
  return table;
}

}  // namespace coreservicectl

int main(int argc, char** argv) {
  return coreservicectl::runTool(std::vector<std::string>(argv + 1, argv + argc));
}
