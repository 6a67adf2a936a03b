#include "logging/DDStringFormat.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace {

using Kind = DDFormatArgument::Kind;

enum class Length : std::uint8_t { None, HH, H, L, LL, Z, J, T, BigL };

struct Directive {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  bool widthStar = false, precisionStar = false, hasPrecision = false;
  int width = 0;
  int precision = 0;
  Length length = Length::None;
  char conversion = 0;
};

constexpr std::string_view kConversions = "diuoxXcsfFeEgGaApn%@";

int clampField(long long v) {
  return static_cast<int>(std::min<long long>(v, kMaxFieldWidth));
}

// Parses the directive that starts after a '%' at format[pos]. Returns the index just past it,
// with d.conversion == 0 when the directive is unknown or unfinished.
std::size_t parse(std::string_view f, std::size_t pos, Directive& d) {
  const std::size_t n = f.size();
  for (; pos < n; ++pos) {
    const char c = f[pos];
    if (c == '-')
      d.left = true;
    else if (c == '+')
      d.plus = true;
    else if (c == ' ')
      d.space = true;
    else if (c == '#')
      d.alt = true;
    else if (c == '0')
      d.zero = true;
    else if (c == '\'')
      continue;
    else
      break;
  }
  if (pos < n && f[pos] == '*') {
    d.widthStar = true;
    ++pos;
  } else {
    long long w = 0;
    while (pos < n && f[pos] >= '0' && f[pos] <= '9') {
      w = std::min<long long>(w * 10 + (f[pos] - '0'), kMaxFieldWidth);
      ++pos;
    }
    d.width = clampField(w);
  }
  if (pos < n && f[pos] == '.') {
    ++pos;
    d.hasPrecision = true;
    if (pos < n && f[pos] == '*') {
      d.precisionStar = true;
      ++pos;
    } else {
      long long p = 0;
      while (pos < n && f[pos] >= '0' && f[pos] <= '9') {
        p = std::min<long long>(p * 10 + (f[pos] - '0'), kMaxFieldWidth);
        ++pos;
      }
      d.precision = clampField(p);
    }
  }
  if (pos < n) {
    switch (f[pos]) {
      case 'h':
        d.length = Length::H;
        if (pos + 1 < n && f[pos + 1] == 'h') {
          d.length = Length::HH;
          ++pos;
        }
        ++pos;
        break;
      case 'l':
        d.length = Length::L;
        if (pos + 1 < n && f[pos + 1] == 'l') {
          d.length = Length::LL;
          ++pos;
        }
        ++pos;
        break;
      case 'q':
        d.length = Length::LL;
        ++pos;
        break;
      case 'z':
        d.length = Length::Z;
        ++pos;
        break;
      case 'j':
        d.length = Length::J;
        ++pos;
        break;
      case 't':
        d.length = Length::T;
        ++pos;
        break;
      case 'L':
        d.length = Length::BigL;
        ++pos;
        break;
      default:
        break;
    }
  }
  if (pos < n && kConversions.find(f[pos]) != std::string_view::npos) {
    d.conversion = f[pos];
    ++pos;
  } else if (pos < n) {
    ++pos;  // the unknown conversion character belongs to the directive echoed verbatim
  }
  return pos;
}

std::int64_t signedOf(const DDFormatArgument& a, Length len) {
  std::int64_t v = 0;
  switch (a.kind()) {
    case Kind::Unsigned:
      switch (a.width()) {
        case 1:
          v = static_cast<std::int8_t>(a.unsignedValue());
          break;
        case 2:
          v = static_cast<std::int16_t>(a.unsignedValue());
          break;
        case 4:
          v = static_cast<std::int32_t>(a.unsignedValue());
          break;
        default:
          v = static_cast<std::int64_t>(a.unsignedValue());
          break;
      }
      break;
    default:
      v = a.signedValue();
      break;
  }
  if (len == Length::HH) v = static_cast<std::int8_t>(v);
  if (len == Length::H) v = static_cast<std::int16_t>(v);
  return v;
}

std::uint64_t unsignedOf(const DDFormatArgument& a, Length len) {
  std::uint64_t v = 0;
  switch (a.kind()) {
    case Kind::Unsigned:
      v = a.unsignedValue();
      break;
    case Kind::Pointer:
      v = reinterpret_cast<std::uintptr_t>(a.pointer());
      break;
    case Kind::Signed:
      switch (a.width()) {
        case 1:
          v = static_cast<std::uint8_t>(a.signedValue());
          break;
        case 2:
          v = static_cast<std::uint16_t>(a.signedValue());
          break;
        case 4:
          v = static_cast<std::uint32_t>(a.signedValue());
          break;
        default:
          v = static_cast<std::uint64_t>(a.signedValue());
          break;
      }
      break;
    default:
      v = static_cast<std::uint64_t>(a.signedValue());
      break;
  }
  if (len == Length::HH) v = static_cast<std::uint8_t>(v);
  if (len == Length::H) v = static_cast<std::uint16_t>(v);
  return v;
}

// Builds the C format for one numeric directive: "%" flags width precision modifier conversion.
// Width and precision are passed literally (already resolved and capped).
void cFormat(char* buf, const Directive& d, int width, bool hasPrecision, int precision,
             const char* modifier, char conversion) {
  char* p = buf;
  *p++ = '%';
  if (d.left) *p++ = '-';
  if (d.plus) *p++ = '+';
  if (d.space) *p++ = ' ';
  if (d.alt) *p++ = '#';
  if (d.zero) *p++ = '0';
  if (width > 0) p += std::snprintf(p, 16, "%d", width);
  if (hasPrecision) p += std::snprintf(p, 16, ".%d", precision);
  while (*modifier)
    *p++ = *modifier++;
  *p++ = conversion;
  *p = '\0';
}

// The formatter writes through `Out`: a std::string, or a DDFormatBuffer (a record's own storage).
template <class Out, class T>
void appendC(Out& out, const char* cfmt, T value) {
  char stack[256];
  const int n = std::snprintf(stack, sizeof stack, cfmt, value);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof stack) {
    out.append(stack, static_cast<std::size_t>(n));
    return;
  }
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), cfmt, value);
  out.append(big.data(), static_cast<std::size_t>(n));
}

template <class Out>
void appendPadded(Out& out, std::string_view text, int width, bool left) {
  const std::size_t w = width > 0 ? static_cast<std::size_t>(width) : 0;
  const std::size_t pad = w > text.size() ? w - text.size() : 0;
  // Most fields have no width: no call at all for the padding then.
  if (pad != 0 && !left) out.append(pad, ' ');
  out.append(text);
  if (pad != 0 && left) out.append(pad, ' ');
}

template <class Out>
void appendDescription(Out& out, const DDFormatArgument& a, int width, bool left, bool hasPrecision,
                       int precision) {
  if (a.kind() == Kind::Text) {
    std::string_view t = a.text();
    if (hasPrecision && static_cast<std::size_t>(precision) < t.size()) t = t.substr(0, precision);
    appendPadded(out, t, width, left);
    return;
  }
  std::string d = a.description();
  std::string_view t = d;
  if (hasPrecision && static_cast<std::size_t>(precision) < t.size()) t = t.substr(0, precision);
  appendPadded(out, t, width, left);
}

void appendCodePoint(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x110000) {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.append("\xEF\xBF\xBD");  // replacement character
  }
}

// The directives most messages use, a bare conversion with at most a length ("%@", "%s", "%d",
// "%li", "%lu", "%zu"), printed without the general parse when the argument is of the kind the
// conversion prints: a text for %@ and %s, an integer for %d, %i and %u (hh and h excepted: they
// truncate). `pos` is just past the '%' and before the end of `f`. Returns the index past the
// directive, or 0 when the general path must print it (it prints the same for these).
template <class Out>
std::size_t appendPlainDirective(Out& out, std::string_view f, std::size_t pos,
                                 const DDFormatArgument& a) {
  const std::size_t n = f.size();
  char c = f[pos];
  if (c == '@' || c == 's') {
    if (a.kind() != Kind::Text) return 0;
    out.append(a.text());
    return pos + 1;
  }
  if (!a.isInteger()) return 0;
  if (c == 'l') {
    if (++pos < n && f[pos] == 'l') ++pos;
  } else if (c == 'z' || c == 'j' || c == 't' || c == 'q') {
    ++pos;
  }
  if (pos >= n) return 0;
  c = f[pos];
  char buf[24];
  std::to_chars_result r{};
  if (c == 'd' || c == 'i') {
    r = std::to_chars(buf, buf + sizeof buf, signedOf(a, Length::None));
  } else if (c == 'u') {
    r = std::to_chars(buf, buf + sizeof buf, unsignedOf(a, Length::None));
  } else {
    return 0;
  }
  out.append(buf, r.ptr);
  return pos + 1;
}

bool plainInteger(const Directive& d) {
  return !d.left && !d.plus && !d.space && !d.alt && !d.zero && d.width == 0 && !d.widthStar &&
         !d.hasPrecision;
}

template <class Out>
void appendFormat(Out& out, std::string_view f, std::span<const DDFormatArgument> args) {
  std::size_t next = 0;  // next argument
  std::size_t pos = 0;
  const std::size_t n = f.size();
  while (pos < n) {
    const std::size_t pct = f.find('%', pos);
    if (pct == std::string_view::npos) {
      out.append(f.substr(pos));
      break;
    }
    out.append(f.substr(pos, pct - pos));
    if (pct + 1 >= n) {  // a lone '%' at the end
      out.push_back('%');
      break;
    }
    if (next < args.size()) {
      if (const std::size_t end = appendPlainDirective(out, f, pct + 1, args[next]); end != 0) {
        ++next;
        pos = end;
        continue;
      }
    }
    Directive d;
    const std::size_t end = parse(f, pct + 1, d);
    const std::string_view verbatim = f.substr(pct, end - pct);
    pos = end;
    if (d.conversion == 0) {
      out.append(verbatim);
      continue;
    }
    if (d.conversion == '%') {
      out.push_back('%');
      continue;
    }

    // Resolve '*' width and precision from the arguments.
    int width = d.width;
    bool left = d.left;
    bool hasPrecision = d.hasPrecision;
    int precision = d.precision;
    std::size_t cursor = next;
    bool missing = false;
    if (d.widthStar) {
      if (cursor >= args.size()) {
        missing = true;
      } else {
        const DDFormatArgument& w = args[cursor++];
        if (w.isInteger()) {
          long long v = signedOf(w, Length::None);
          if (v < 0) {
            left = true;
            v = v == std::numeric_limits<long long>::min() ? kMaxFieldWidth : -v;
          }
          width = clampField(v);
        }
      }
    }
    if (!missing && d.precisionStar) {
      if (cursor >= args.size()) {
        missing = true;
      } else {
        const DDFormatArgument& p = args[cursor++];
        if (p.isInteger()) {
          const long long v = signedOf(p, Length::None);
          if (v < 0) {
            hasPrecision = false;
          } else {
            precision = clampField(v);
          }
        } else {
          hasPrecision = false;
        }
      }
    }
    if (!missing && cursor >= args.size()) missing = true;
    if (missing) {
      out.append(verbatim);
      next = args.size();
      continue;
    }
    const DDFormatArgument& a = args[cursor++];
    next = cursor;

    Directive eff = d;
    eff.left = left;
    char cfmt[64];
    switch (d.conversion) {
      case 'n':
        break;  // slot consumed, nothing written, nothing printed
      case 'd':
      case 'i':
        if (!a.isInteger()) {
          appendDescription(out, a, width, left, false, 0);
        } else if (plainInteger(d)) {
          char buf[24];
          auto r = std::to_chars(buf, buf + sizeof buf, signedOf(a, d.length));
          out.append(buf, r.ptr);
        } else {
          cFormat(cfmt, eff, width, hasPrecision, precision, "ll", 'd');
          appendC(out, cfmt, static_cast<long long>(signedOf(a, d.length)));
        }
        break;
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        if (!a.isInteger() && a.kind() != Kind::Pointer) {
          appendDescription(out, a, width, left, false, 0);
        } else if (d.conversion == 'u' && plainInteger(d)) {
          char buf[24];
          auto r = std::to_chars(buf, buf + sizeof buf, unsignedOf(a, d.length));
          out.append(buf, r.ptr);
        } else {
          cFormat(cfmt, eff, width, hasPrecision, precision, "ll", d.conversion);
          appendC(out, cfmt, static_cast<unsigned long long>(unsignedOf(a, d.length)));
        }
        break;
      case 'c':
        if (!a.isInteger()) {
          appendDescription(out, a, width, left, false, 0);
        } else {
          std::string ch;
          const std::uint64_t v = unsignedOf(a, Length::None);
          if (d.length == Length::L) {
            appendCodePoint(ch, static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0x110000)));
          } else {
            ch.push_back(static_cast<char>(v & 0xFF));
          }
          appendPadded(out, ch, width, left);
        }
        break;
      case 's':
      case '@':
        appendDescription(out, a, width, left, hasPrecision, precision);
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        long double v = 0;
        if (a.kind() == Kind::Float) {
          v = a.floatValue();
        } else if (a.kind() == Kind::Unsigned) {
          v = static_cast<long double>(a.unsignedValue());
        } else if (a.isInteger()) {
          v = static_cast<long double>(a.signedValue());
        } else {
          appendDescription(out, a, width, left, false, 0);
          break;
        }
        cFormat(cfmt, eff, width, hasPrecision, precision, "L", d.conversion);
        appendC(out, cfmt, v);
        break;
      }
      case 'p':
        if (a.kind() == Kind::Pointer || a.isInteger()) {
          const void* p = a.kind() == Kind::Pointer
                              ? a.pointer()
                              : reinterpret_cast<const void*>(
                                    static_cast<std::uintptr_t>(unsignedOf(a, Length::None)));
          Directive onlyLeft;  // the other flags are undefined for %p in C
          onlyLeft.left = left;
          cFormat(cfmt, onlyLeft, width, false, 0, "", 'p');
          appendC(out, cfmt, p);
        } else {
          appendDescription(out, a, width, left, false, 0);
        }
        break;
      default:
        out.append(verbatim);
        break;
    }
  }
}

}  // namespace

void ddAppendFormat(std::string& out, std::string_view format,
                    std::span<const DDFormatArgument> args) {
  appendFormat(out, format, args);
}

void ddAppendFormat(DDFormatBuffer& out, std::string_view format,
                    std::span<const DDFormatArgument> args) {
  appendFormat(out, format, args);
}

std::string& DDFormatBuffer::spill(std::size_t more) {
  if (!spilled_) {
    const std::size_t used = static_cast<std::size_t>(cur_ - begin_);
    spill_.reserve(used + more + used / 2);
    spill_.assign(begin_, used);
    spilled_ = true;
    cur_ = end_;  // no room left: every later append comes here
  }
  return spill_;
}
