#pragma once
// Test support: runs the built client tool as a child process with the given standard input and
// collects its exit status, standard output and standard error.
#include <string>
#include <vector>

namespace coreservicectl::testsupport {

struct ToolRun {
  int exitStatus = -1;  // -1 when the tool could not be started or did not exit normally
  std::string out;
  std::string err;
};

ToolRun runTool(const std::vector<std::string>& arguments, const std::string& input = "");

}  // namespace coreservicectl::testsupport
