#pragma once
// A printf-style format kept next to its arguments, so that a record carries a stable format
// text beside its finished text.
//
// Made from a plain string (a literal or finished text) it needs no argument parsing: the string
// is the format and the finished text, "%" and all. Built from pieces with StringInterpolation,
// literal pieces enter the format with every "%" doubled and each value adds a specifier chosen
// by its type and one argument:
//
//   text (any string kind)                 %@      signed / unsigned 8-bit (and char)  %c
//   signed 16-bit                          %i      unsigned 16-bit                     %u
//   signed 32-bit                          %li     unsigned 32-bit                     %lu
//   signed 64-bit and machine word         %lli    unsigned 64-bit and machine word    %llu
//   float                                  %f      double                              %lf
//   bool                                   %i (0 or 1)
//   a DDLogObject                          %@ with the object
//   a type offering ddLogObject()          %@ with that object form
//   anything else                          %@ with its description text (description(), or
//                                                  what operator<< writes)
//
// A value that is a text by itself (convertible to a string view) and also offers an object form
// through ddLogObject() is ambiguous: the object form wins, and a warning naming the types is
// printed to standard output first, since the caller most likely meant one of the two.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "logging/DDFormatArgument.h"
#include "logging/DDLogObject.h"

// Prints the warning for a value that is both a text and an object form: its declared type, the
// type of its object form and its own dynamic type.
void ddWarnAmbiguousObjectForm(std::string_view declaredType, std::string_view objectType,
                               std::string_view actualType);

class DDLogMessageFormat {
 public:
  struct Storage {
    bool requiresArgumentParsing = false;
    std::string format;
    std::vector<DDFormatArgument> args;  // each owns its text and object
  };

  class StringInterpolation {
   public:
    StringInterpolation(std::size_t literalCapacity, std::size_t interpolationCount) {
      storage_.requiresArgumentParsing = true;
      storage_.format.reserve(literalCapacity + 4 * interpolationCount);
      storage_.args.reserve(interpolationCount);
    }

    void appendLiteral(std::string_view literal);

    template <class T>
    void appendInterpolation(const T& value) {
      using D = std::remove_cvref_t<T>;
      if constexpr (std::is_same_v<D, bool>) {
        add("%i", DDFormatArgument::ofBool(value));
      } else if constexpr (std::is_same_v<D, char>) {
        add("%c", DDFormatArgument::ofChar(value));
      } else if constexpr (std::is_integral_v<D> && sizeof(D) == 1) {
        add("%c", ddFormatArgument(value));
      } else if constexpr (std::is_integral_v<D> && sizeof(D) == 2) {
        add(std::is_signed_v<D> ? "%i" : "%u", ddFormatArgument(value));
      } else if constexpr (std::is_integral_v<D> && sizeof(D) == 4) {
        add(std::is_signed_v<D> ? "%li" : "%lu", ddFormatArgument(value));
      } else if constexpr (std::is_integral_v<D> && sizeof(D) == 8) {
        add(std::is_signed_v<D> ? "%lli" : "%llu", ddFormatArgument(value));
      } else if constexpr (std::is_same_v<D, float>) {
        add("%f", ddFormatArgument(value));
      } else if constexpr (std::is_same_v<D, double>) {
        add("%lf", ddFormatArgument(value));
      } else if constexpr (DDLogObjectConvertible<D> &&
                           (std::is_convertible_v<const D&, std::string_view> ||
                            std::is_convertible_v<const D&, const char*>)) {
        auto object = value.ddLogObject();
        ddWarnAmbiguousObjectForm(ddTypeName(typeid(D)),
                                  object ? ddTypeName(typeid(*object)) : std::string("nil"),
                                  ddTypeName(typeid(value)));
        add("%@", DDFormatArgument::ofOwnedObject(std::move(object)));
      } else if constexpr (std::is_convertible_v<const D&, std::string_view> ||
                           std::is_convertible_v<const D&, const char*>) {
        add("%@", ddFormatArgument(value).owning());
      } else if constexpr (std::is_convertible_v<const D&, std::shared_ptr<const DDLogObject>>) {
        add("%@", DDFormatArgument::ofOwnedObject(std::shared_ptr<const DDLogObject>(value)));
      } else if constexpr (DDLogObjectConvertible<D>) {
        add("%@", DDFormatArgument::ofOwnedObject(value.ddLogObject()));
      } else if constexpr (DDLogDescribable<D>) {
        add("%@", DDFormatArgument::ofOwnedText(std::string(value.description())));
      } else if constexpr (requires(std::ostream & os) { os << value; }) {
        std::ostringstream os;
        os << value;
        add("%@", DDFormatArgument::ofOwnedText(std::move(os).str()));
      } else {
        static_assert(sizeof(D) == 0, "a value interpolated into a log message needs a text form");
      }
    }

   private:
    friend class DDLogMessageFormat;
    void add(std::string_view specifier, DDFormatArgument argument) {
      storage_.format.append(specifier);
      storage_.args.push_back(std::move(argument));
    }
    Storage storage_;
  };

  DDLogMessageFormat() = default;
  DDLogMessageFormat(std::string text) { storage_.format = std::move(text); }
  DDLogMessageFormat(std::string_view text) : DDLogMessageFormat(std::string(text)) {}
  DDLogMessageFormat(const char* text) : DDLogMessageFormat(std::string(text ? text : "")) {}
  DDLogMessageFormat(StringInterpolation interpolation)
      : storage_(std::move(interpolation.storage_)) {}

  const Storage& storage() const { return storage_; }
  const std::string& format() const { return storage_.format; }
  const std::vector<DDFormatArgument>& args() const { return storage_.args; }
  bool requiresArgumentParsing() const { return storage_.requiresArgumentParsing; }
  // The finished text: the format itself, or the format formatted with the arguments.
  std::string formatted() const;

 private:
  Storage storage_;
};

// The file's name without directory and extension: the part after the last "/" (all of it when
// there is none), then the part before the last "." of that (all of it when there is none).
// Without an argument: the calling source file's. (__builtin_FILE() in a default argument names
// the caller's file, like std::source_location, and also builds with compilers whose standard
// library cannot offer std::source_location yet.)
std::string currentFileName(std::string_view path = __builtin_FILE());
inline std::string CurrentFileName(std::string_view path = __builtin_FILE()) {
  return currentFileName(path);
}
