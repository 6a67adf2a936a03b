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

// Formatter output into storage the caller owns (a log record's own bytes), so that a message
// is formatted once, where it will stay. Bytes go into `storage` while they fit; the first
// append that does not moves what is there to `spill` and everything after it goes there too.
class DDFormatBuffer {
 public:
  DDFormatBuffer(char* storage, std::size_t capacity, std::string& spill) noexcept
      : begin_(storage), cur_(storage), end_(storage + capacity), spill_(spill) {}
  DDFormatBuffer(const DDFormatBuffer&) = delete;
  DDFormatBuffer& operator=(const DDFormatBuffer&) = delete;

  void append(const char* p, std::size_t n) {
    if (n <= static_cast<std::size_t>(end_ - cur_)) {
      std::char_traits<char>::copy(cur_, p, n);
      cur_ += n;
    } else {
      spill(n).append(p, n);
    }
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void append(const char* first, const char* last) {
    append(first, static_cast<std::size_t>(last - first));
  }
  void append(std::size_t n, char c) {
    if (n <= static_cast<std::size_t>(end_ - cur_)) {
      std::char_traits<char>::assign(cur_, n, c);
      cur_ += n;
    } else {
      spill(n).append(n, c);
    }
  }
  void push_back(char c) { append(1, c); }

  // Everything appended so far.
  std::string_view text() const noexcept {
    return spilled_ ? std::string_view(spill_) : std::string_view(begin_, cur_ - begin_);
  }
  // Bytes of the caller's storage in use: none once the text has moved to the spill string.
  std::size_t storageUsed() const noexcept {
    return spilled_ ? 0 : static_cast<std::size_t>(cur_ - begin_);
  }

 private:
  // The spill string, holding what was written so far, with room for `more`; the storage is
  // not written again.
  std::string& spill(std::size_t more);

  char* begin_;
  char* cur_;
  char* end_;
  std::string& spill_;
  bool spilled_ = false;
};

void ddAppendFormat(DDFormatBuffer& out, std::string_view format,
                    std::span<const DDFormatArgument> args);

inline std::string ddStringWithFormat(std::string_view format,
                                      std::span<const DDFormatArgument> args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  ddAppendFormat(out, format, args);
  return out;
}
