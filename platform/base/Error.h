#pragma once
// A failure as a value: the facility that failed (its domain), a code within that domain, and a
// description for people. Platform operations that can fail for a reason worth telling report
// through it: an action returns std::optional<Error> (nothing on success); an
// operation that makes something returns it, or nothing with the Error in an out-parameter.
//
// Failures of system calls use kPosixErrorDomain with errno as the code, and the system's text
// for errno (through errnoText, never strerror) as the description, after the subject when one
// is given: "/tmp/x: No such file or directory".

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/base/ErrnoText.h"

namespace platform::base {

inline constexpr std::string_view kPosixErrorDomain = "NSPOSIXErrorDomain";

struct Error {
  std::string domain;
  long code = 0;
  std::string description;

  bool operator==(const Error&) const = default;
};

// What an operation whose contract is to throw throws: the Error, with its description as what().
class ErrorException : public std::runtime_error {
 public:
  explicit ErrorException(Error error)
      : std::runtime_error(error.description), error_(std::move(error)) {}
  const Error& error() const noexcept { return error_; }

 private:
  Error error_;
};

// The Error for errno value `err`, its description prefixed with "<subject>: " when a subject
// is given.
inline Error posixError(int err, std::string_view subject = {}) {
  std::string text = errnoText(err);
  if (!subject.empty()) text = std::string(subject) + ": " + text;
  return Error{std::string(kPosixErrorDomain), err, std::move(text)};
}

}  // namespace platform::base
