#pragma once
// The commands of coreservicectl.
//
// Adding a command: write <Name>Command.cpp with a function that returns its Command (name, the
// syntax with its options and operands, the entry point), declare that function below, and list
// it in commands() (main.cpp) where `coreservicectl --help` should show it. The framework
// parses the command line with getopt_long, answers -h/--help and --version, and reports unknown
// options and wrong operand counts with status 2 before the entry point runs; the entry point
// reads options by their long name (invocation.has("json"), invocation.value("count")) and
// reports bad values with usageError(). Exit status: 0 success, 1 failure, 2 usage error.

#include <cstdarg>
#include <string>
#include <vector>

#include "platform/cli/CommandLine.h"

namespace coreservicectl {

using platform::cli::Invocation;
using platform::cli::Option;
using platform::cli::Syntax;

struct Command {
  const char* name;
  Syntax syntax;
  int (*run)(const Invocation& invocation);
};

Command hostCommand();             // HostCommand.cpp
Command confidentializeCommand();  // ConfidentializeCommand.cpp
Command defaultsCommand();         // DefaultsCommand.cpp
Command codesignCommand();         // CodesignCommand.cpp
Command pingCommand();             // PingCommand.cpp
Command statusCommand();           // StatusCommand.cpp
Command netCommand();              // NetCommand.cpp
Command probeCommand();            // ProbeCommand.cpp
Command notifyCommand();           // NotifyCommand.cpp

// Every command, in the order `coreservicectl --help` lists them.
const std::vector<Command>& commands();

// Runs the tool on its arguments (CommandRunner.cpp) (without the program name); returns the exit
// status.
int runTool(const std::vector<std::string>& arguments);

// Prints "<program>: <message>" and the hint to try --help on standard error; returns 2.
int usageError(const Invocation& invocation, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace coreservicectl
