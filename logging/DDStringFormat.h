#pragma once
// The printf-style formatter behind every log message.
//
// Directives: %[flags][width][.precision][length]conversion with
//   flags      - + space # 0 (and ' accepted and ignored)
//   width      digits or * (taken from the next argument)
//   precision  . then digits or *
//   length     hh h l ll z j t L q
//   conversion d i u o x X c s f F e E g G a A p n % and @ (any argument's description)
//
// It works on a list of typed arguments and never trusts the format about them, so a format and
// its arguments that disagree cannot crash it or make it read past the list. What it prints then:
// - a missing argument: the directive itself, verbatim ("%li");
// - an unknown conversion (including positional "%1$d"): the directive verbatim, consuming no
//   argument; a "%" at the very end of the format: a single "%";
// - a value of the wrong kind: integers, chars and bools convert among integer conversions at
//   their own width (hh and h truncate as C does); integers convert to floating conversions;
//   anything else (a text for %d, a float for %x...) prints as %@ would, with width and '-' kept,
//   so the value is never lost;
// - %n consumes its argument slot, as printf does, and prints nothing; it never writes anywhere;
// - * takes an integer argument (negative width means left-justified, negative precision means
//   none); a non-integer is consumed and ignored; a missing one prints the directive verbatim;
// - widths and precisions are capped at kMaxFieldWidth, so no format can make the output huge;
// - arguments left over are ignored.
// %@ prints texts as they are, objects by their description ("(null)" when absent), numbers in
// decimal (floats in their shortest exact form), bools as "true"/"false", chars as the character
// and pointers as %p does.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "logging/DDFormatArgument.h"

inline constexpr int kMaxFieldWidth = 4096;

// Appends `format` formatted with `args` to `out`.
void ddAppendFormat(std::string& out, std::string_view format,
                    std::span<const DDFormatArgument> args);

// A formatting buffer borrowed from the calling thread, so that a formatted log call reuses
// one allocation per thread instead of making one per call. The buffer comes back empty. Nested
// use on one thread (an argument whose description itself logs) gets a fresh string instead.
class DDScratchString {
 public:
  DDScratchString() noexcept;
  ~DDScratchString();
  DDScratchString(const DDScratchString&) = delete;
  DDScratchString& operator=(const DDScratchString&) = delete;

  std::string& text() noexcept { return *text_; }

 private:
  std::string* text_;
  std::string fresh_;
  bool borrowed_;
};

inline std::string ddStringWithFormat(std::string_view format,
                                      std::span<const DDFormatArgument> args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  ddAppendFormat(out, format, args);
  return out;
}
