#pragma once
// Running helper programs, in three forms:
//
// 1. executeProcess: fire and forget. The child's standard output goes into an existing file
//    (appended to, or emptied first); its standard error is the caller's. The completion learns
//    only whether the child exited with status 0.
// 2. runAndWaitUntilExitAndReturnOutput: blocks until the child has ended and returns its
//    captured standard output, or throws platform::base::ErrorException with the launch error
//    or the failure error.
// 3. runWithCompletionHandler: the same capture without blocking; the outcome goes to the
//    completion.
//
// Forms 2 and 3 run a task the caller has configured (executable, arguments, environment...)
// and set only its standard output, standard error and termination handler. None of the forms
// runs a shell or imposes a time limit.
//
// Captured text: the bytes the child wrote, decoded as UTF-8 and trimmed of white space and
// newlines at both ends; bytes that are not UTF-8 give the empty string. The capture holds what
// the child wrote before it exited: a grandchild still writing to the pipe afterwards is not
// waited for.
//
// Failure error (forms 2 and 3): domain NSCocoaErrorDomain, code the termination status, and as
// description the captured standard-error text, or "Termination status is not 0." when that is
// empty. A child ended by a signal has the signal's number as its status.
//
// Completions of forms 1 and 3 run on a thread of the dispatch layer when the child ends, or on
// the caller's thread, before the call returns, when the output file cannot be opened or the
// child cannot be launched. Only form 1 logs: synchronous error lines, recorded under the file
// name "Process+Extension".

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/base/Error.h"
#include "platform/process/Task.h"

namespace sharedutils {

inline constexpr std::string_view kProcessFailureErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kTerminationStatusIsNotZero = "Termination status is not 0.";

// The outcome of form 3: the captured standard output, or an error.
using ProcessOutcome = std::variant<std::string, platform::base::Error>;

namespace Process {

void executeProcess(const std::string& path, const std::vector<std::string>& arguments,
                    const std::filesystem::path& writingOutputTo, bool shouldAppend,
                    std::function<void(bool)> completion);

// Throws platform::base::ErrorException: the launch error as the platform gave it, or the
// failure error.
std::string runAndWaitUntilExitAndReturnOutput(
    const std::shared_ptr<platform::process::Task>& task);

void runWithCompletionHandler(const std::shared_ptr<platform::process::Task>& task,
                              std::function<void(ProcessOutcome)> completion);

// The captured text of an output buffer (see above).
std::string capturedText(std::span<const std::uint8_t> bytes);

}  // namespace Process
}  // namespace sharedutils
