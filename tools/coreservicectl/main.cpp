#include <cstdio>
#include <cstring>

#include "tools/coreservicectl/Commands.h"

namespace coreservicectl {

// Each command group lives in its own source file.
// (Declarations of the groups' entry points are added here as groups are added.)
int runHost(const Args& args);             // HostCommand.cpp
int runConfidentialize(const Args& args);  // ConfidentializeCommand.cpp
int runDefaults(const Args& args);         // DefaultsCommand.cpp
int runPing(const Args& args);             // PingCommand.cpp
int runStatus(const Args& args);           // StatusCommand.cpp

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      // {"name", "usage", &entryPoint},
      {"host", "host [--json]", &runHost},
      {"confidentialize", "confidentialize  (masks secrets in standard input)",
       &runConfidentialize},
      {"defaults", "defaults [--dir DIR] read|write|delete|watch <domain> [<key> [<type> <value>]]",
       &runDefaults},
      {"ping", "ping [-c COUNT] [-i SECONDS] [-t SECONDS]", &runPing},
      {"status", "status [--json] [-t SECONDS]", &runStatus},
  };
  return table;
}

}  // namespace coreservicectl

namespace {

int usage(FILE* out) {
  std::fprintf(out, "usage: coreservicectl <command> [arguments]\n\ncommands:\n");
  for (const auto& c : coreservicectl::commands())
    std::fprintf(out, "  %s\n", c.usage);
  return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(stderr);
  if (!std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help") ||
      !std::strcmp(argv[1], "-h"))
    return usage(stdout);
  for (const auto& c : coreservicectl::commands()) {
    if (!std::strcmp(argv[1], c.name)) return c.run(coreservicectl::Args(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "coreservicectl: unknown command '%s'\n", argv[1]);
  return usage(stderr);
}
