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

// The tool running in the background, its standard output and error read as they come.
class BackgroundTool {
 public:
  explicit BackgroundTool(const std::vector<std::string>& arguments);
  ~BackgroundTool();  // kills and reaps a tool still running
  BackgroundTool(const BackgroundTool&) = delete;
  BackgroundTool& operator=(const BackgroundTool&) = delete;
  // Reads until `text` has appeared on the stream (or it closes, or 20 s pass); returns all of
  // that stream read so far.
  std::string outUntil(const std::string& text) { return readUntil(out_, outText_, text); }
  std::string errUntil(const std::string& text) { return readUntil(err_, errText_, text); }
  void signal(int signo);
  int wait();  // the wait status

 private:
  std::string readUntil(int fd, std::string& text, const std::string& wanted);
  int pid_ = -1, out_ = -1, err_ = -1;
  std::string outText_, errText_;
};

}  // namespace coreservicectl::testsupport
