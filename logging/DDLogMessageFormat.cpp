#include "logging/DDLogMessageFormat.h"

#include "logging/DDLogMessage.h"
#include "logging/DDStringFormat.h"

void DDLogMessageFormat::StringInterpolation::appendLiteral(std::string_view literal) {
  for (const char c : literal) {
    storage_.format.push_back(c);
    if (c == '%') storage_.format.push_back('%');
  }
}

std::string DDLogMessageFormat::formatted() const {
  if (!storage_.requiresArgumentParsing) return storage_.format;
  return ddStringWithFormat(storage_.format, storage_.args);
}

std::string currentFileName(std::string_view path) {
  return std::string(DDLogMessage::fileNameOf(path));
}
