#include "logging/DDLogMessageFormat.h"

#include "logging/DDLogMessage.h"
#include "logging/DDStringFormat.h"

#include <cstdio>

void DDLogMessageFormat::StringInterpolation::appendLiteral(std::string_view literal) {
  for (const char c : literal) {
    storage_.format.push_back(c);
    if (c == '%') storage_.format.push_back('%');
  }
}

void ddWarnAmbiguousObjectForm(std::string_view declaredType, std::string_view objectType,
                               std::string_view actualType) {
  std::string text =
      "[WARNING]: OrvelQuillmarkFront is creating a DDLogMessageFormat with an interpolation "
      "conforming to `CVarArg` using the overload for `ReferenceConvertible` interpolations!\n"
      "Please report this as a bug, including the following snippet:\n"
      "```\n"
      "Convertible: ";
  text.append(declaredType);
  text.append(", ReferenceType: ");
  text.append(objectType);
  text.append(", type(of: convertible): ");
  text.append(actualType);
  text.append("\n```\n");
  // One write, so that the warning is never interleaved with other threads' output.
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string DDLogMessageFormat::formatted() const {
  if (!storage_.requiresArgumentParsing) return storage_.format;
  return ddStringWithFormat(storage_.format, storage_.args);
}

std::string currentFileName(std::string_view path) {
  return std::string(DDLogMessage::fileNameOf(path));
}
