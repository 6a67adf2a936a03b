#pragma once
// StringError: an error that carries a message, for code that has nothing better than a text
// to fail with. Its description (errorDescription(), and what()) is that message, unchanged.
//
//   throw "Cancellable task cancelled"_error;      // or error("...")

#include <exception>
#include <string>

namespace sharedutils {

class StringError : public std::exception {
 public:
  explicit StringError(std::string text) : text_(std::move(text)) {}

  const std::string& text() const { return text_; }
  const std::string& errorDescription() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

  friend bool operator==(const StringError& a, const StringError& b) { return a.text_ == b.text_; }

 private:
  std::string text_;
};

// The StringError carrying `text`.
inline StringError error(std::string text) {
  return StringError(std::move(text));
}

inline StringError operator""_error(const char* text, std::size_t size) {
  return StringError(std::string(text, size));
}

}  // namespace sharedutils
