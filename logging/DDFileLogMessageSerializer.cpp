#include "logging/DDFileLogMessageSerializer.h"

std::string DDFileLogPlainTextMessageSerializer::dataForString(std::string_view string,
                                                               const DDLogMessage*) const {
  return std::string(string);
}

std::string DDFileLogPlainTextMessageSerializer::dataForString(std::string&& string,
                                                               const DDLogMessage*) const {
  return std::move(string);
}
