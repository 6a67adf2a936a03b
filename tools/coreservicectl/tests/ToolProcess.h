#pragma once
// Test support: the built client tool run as a child process, to completion with the given
// standard input or in the background.
#include <string>
#include <vector>

#include "testsupport/ChildProcess.h"

namespace coreservicectl::testsupport {

using ToolRun = ::testsupport::ProcessRun;

inline std::vector<std::string> toolCommand(const std::vector<std::string>& arguments) {
  std::vector<std::string> words{CORESERVICECTL_PATH};
  words.insert(words.end(), arguments.begin(), arguments.end());
  return words;
}

inline ToolRun runTool(const std::vector<std::string>& arguments, const std::string& input = "") {
  return ::testsupport::runProcess(toolCommand(arguments), input);
}

class BackgroundTool : public ::testsupport::BackgroundProcess {
 public:
  explicit BackgroundTool(const std::vector<std::string>& arguments)
      : BackgroundProcess(toolCommand(arguments)) {}
};

}  // namespace coreservicectl::testsupport
