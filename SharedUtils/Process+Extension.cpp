#include "SharedUtils/Process+Extension.h"

#include <mutex>

#include "SharedUtils/StringUtilities.h"
#include "logging/DDLogFrontEnd.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/process/Pipe.h"

// Error lines of this unit: synchronous, under this unit's file name and the public operation's
// name.
#define PROCESS_LOG_ERROR(...)                                                            \
  _DDLogMessageAt("Process+Extension",                                                    \
                  "executeProcess(_:arguments:writingOutputTo:shouldAppend:completion:)", \
                  ::DDLogLevel::all, ::DDLogFlag::error, 0, nullptr, false,               \
                  ::DDLog::sharedInstance(), __VA_ARGS__)

namespace sharedutils::Process {

using platform::base::Error;
using platform::process::FileHandle;
using platform::process::Pipe;
using platform::process::Task;

namespace {

// One output stream's bytes, appended by its readability handler and read by the final decode
// on another thread.
class CaptureBuffer {
 public:
  void append(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  std::string text() const {
    std::lock_guard lock(mutex_);
    return capturedText(bytes_);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::uint8_t> bytes_;
};

// The two pipes of a capture, each feeding its buffer through a readability handler.
struct Capture {
  std::shared_ptr<Pipe> output;
  std::shared_ptr<Pipe> error;
  std::shared_ptr<CaptureBuffer> outputBuffer = std::make_shared<CaptureBuffer>();
  std::shared_ptr<CaptureBuffer> errorBuffer = std::make_shared<CaptureBuffer>();

  // Makes the pipes and hands them to `task`; false with `failure` set when the process is out
  // of descriptors.
  bool attach(Task& task, Error& failure) {
    output = Pipe::make(failure);
    error = output ? Pipe::make(failure) : nullptr;
    if (!error) {
      closeAll();
      return false;
    }
    task.setStandardOutput(output);
    task.setStandardError(error);
    feed(*output, outputBuffer);
    feed(*error, errorBuffer);
    return true;
  }
  void removeHandlers() const {
    output->fileHandleForReading()->setReadabilityHandler(nullptr);
    error->fileHandleForReading()->setReadabilityHandler(nullptr);
  }
  void closeAll() const {
    for (const auto& pipe : {output, error}) {
      if (!pipe) continue;
      pipe->fileHandleForReading()->closeFile();
      pipe->fileHandleForWriting()->closeFile();
    }
  }

 private:
  static void feed(Pipe& pipe, const std::shared_ptr<CaptureBuffer>& buffer) {
    pipe.fileHandleForReading()->setReadabilityHandler(
        [buffer](FileHandle& handle) { buffer->append(handle.availableData()); });
  }
};

Error failureError(int status, std::string errorText) {
  return Error{std::string(kProcessFailureErrorDomain), status,
               errorText.empty() ? std::string(kTerminationStatusIsNotZero) : std::move(errorText)};
}

}  // namespace

std::string capturedText(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!isValidUTF8(text)) return std::string();
  return std::string(trimmingWhitespacesAndNewLines(text));
}

void executeProcess(const std::string& path, const std::vector<std::string>& arguments,
                    const std::filesystem::path& writingOutputTo, bool shouldAppend,
                    std::function<void(bool)> completion) {
  const auto fail = [&](const Error& error) {
    PROCESS_LOG_ERROR("ERROR executeProcess(writingOutputTo:): Failed to execute %@: %@.", path,
                      error.description);
    completion(false);
  };
  Error openError;
  auto handle = FileHandle::forWritingAtPath(writingOutputTo, openError);
  if (!handle) return fail(openError);
  if (shouldAppend) {
    (void)handle->seekToEndOfFile();
  } else {
    (void)handle->truncateAtOffset(0);  // a file that cannot be emptied is written over
  }

  auto task = Task::make();
  task->setExecutable(path);
  task->setArguments(arguments);
  task->setStandardOutput(handle);
  task->setTerminationHandler([path, completion](Task& finished) {
    const int status = finished.terminationStatus();
    if (status != 0) {
      PROCESS_LOG_ERROR(
          "ERROR executeProcess(writingOutputTo:): Process %@ terminated with %li code, failing "
          "request.",
          path, static_cast<long>(status));
    }
    completion(status == 0);
  });
  if (auto launchError = task->launch()) return fail(*launchError);
  // The task keeps itself, and the file handle it writes to, until the child has ended.
}

std::string runAndWaitUntilExitAndReturnOutput(const std::shared_ptr<Task>& task) {
  Capture capture;
  Error failure;
  if (!capture.attach(*task, failure)) throw platform::base::ErrorException(failure);
  auto exited = std::make_shared<platform::dispatch::Semaphore>(0);
  task->setTerminationHandler([capture, exited](Task&) {
    capture.removeHandlers();
    exited->signal();
  });
  if (auto launchError = task->launch()) {
    capture.closeAll();
    throw platform::base::ErrorException(*launchError);
  }
  exited->wait();
  std::string output = capture.outputBuffer->text();
  std::string errorText = capture.errorBuffer->text();
  const int status = task->terminationStatus();
  capture.closeAll();
  if (status == 0) return output;
  throw platform::base::ErrorException(failureError(status, std::move(errorText)));
}

void runWithCompletionHandler(const std::shared_ptr<Task>& task,
                              std::function<void(ProcessOutcome)> completion) {
  Capture capture;
  Error failure;
  if (!capture.attach(*task, failure)) return completion(failure);
  task->setTerminationHandler([capture, completion](Task& finished) {
    // Decoded before the handlers are removed: bytes that arrive in between are not captured.
    std::string output = capture.outputBuffer->text();
    std::string errorText = capture.errorBuffer->text();
    capture.removeHandlers();
    capture.closeAll();
    const int status = finished.terminationStatus();
    if (status != 0) return completion(failureError(status, std::move(errorText)));
    completion(std::move(output));
  });
  if (auto launchError = task->launch()) completion(*launchError);
}

}  // namespace sharedutils::Process
