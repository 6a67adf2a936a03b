#pragma once
// Turning the text of a log line into the bytes written to a log file. A log file manager owns
// one serializer, so a manager that wants another encoding (compression, encryption, framing)
// swaps it without touching the file logger.

#include <string>
#include <string_view>

class DDLogMessage;

class DDFileLogMessageSerializer {
 public:
  virtual ~DDFileLogMessageSerializer() = default;
  // The bytes for `string`; `message` is the record the text came from, or null for text that
  // belongs to no record (a file header). Empty bytes mean "nothing to write".
  virtual std::string dataForString(std::string_view string, const DDLogMessage* message) const = 0;
  // The same for a text the caller no longer needs; a serializer whose bytes are the text itself
  // takes it over instead of copying it.
  virtual std::string dataForString(std::string&& string, const DDLogMessage* message) const {
    return dataForString(std::string_view(string), message);
  }
  // True when the bytes are always the text itself, so a caller may skip the call.
  virtual bool passesTextThrough() const { return false; }
};

// The default: the text's UTF-8 bytes. Texts in this system are UTF-8 byte strings already, so
// the conversion cannot fail and the bytes are passed through unchanged; the record is not used.
class DDFileLogPlainTextMessageSerializer final : public DDFileLogMessageSerializer {
 public:
  std::string dataForString(std::string_view string, const DDLogMessage* message) const override;
  std::string dataForString(std::string&& string, const DDLogMessage* message) const override;
  bool passesTextThrough() const override { return true; }
};
