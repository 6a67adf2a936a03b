#pragma once
// Opening an application or document by URL, the way the desktop opens what the user clicks:
// the application is started, or brought forward when it runs already.
//
// Launcher is the interface the system's code holds (tests give their own). XdgOpenLauncher is
// the desktop's: it runs `xdg-open <url>` as a detached child (its own session, default signal
// dispositions and an empty signal mask, standard input from /dev/null) and does not wait for
// it; the child is reaped when it exits. Whether the open succeeded is neither checked nor
// reported: callers that open an application need no answer.

#include <memory>
#include <string>

namespace platform::launcher {

class Launcher {
 public:
  virtual ~Launcher() = default;
  virtual void open(const std::string& url) = 0;
};

class XdgOpenLauncher final : public Launcher {
 public:
  // `program` is looked up in PATH when it has no slash.
  explicit XdgOpenLauncher(std::string program = "xdg-open");
  void open(const std::string& url) override;

 private:
  const std::string program_;
};

// The process's launcher: an XdgOpenLauncher.
const std::shared_ptr<Launcher>& systemLauncher();

}  // namespace platform::launcher
