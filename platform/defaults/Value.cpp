#include "platform/defaults/Value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <ostream>

namespace platform::defaults {

namespace {

constexpr std::string_view kKindNames[] = {"bool", "int",  "uint", "double",  "string",
                                           "date", "data", "map",  "datalist"};

void putU32(std::string& out, std::uint32_t n) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
}

bool getU32(std::string_view& in, std::uint32_t& n) {
  if (in.size() < 4) return false;
  n = 0;
  for (int i = 0; i < 4; ++i)
    n |= std::uint32_t{static_cast<unsigned char>(in[i])} << (8 * i);
  in.remove_prefix(4);
  return true;
}

bool getChunk(std::string_view& in, std::string_view& chunk) {
  std::uint32_t len = 0;
  if (!getU32(in, len) || in.size() < len) return false;
  chunk = in.substr(0, len);
  in.remove_prefix(len);
  return true;
}

void putChunk(std::string& out, std::string_view chunk) {
  putU32(out, static_cast<std::uint32_t>(chunk.size()));
  out.append(chunk);
}

std::string hex(const Data& d) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(d.size() * 2);
  for (auto b : d) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0xf]);
  }
  return s;
}

std::optional<Data> unhex(std::string_view s) {
  if (s.size() % 2) return std::nullopt;
  Data d;
  d.reserve(s.size() / 2);
  for (std::size_t i = 0; i < s.size(); i += 2) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data() + i, s.data() + i + 2, v, 16);
    if (ec != std::errc() || p != s.data() + i + 2) return std::nullopt;
    d.push_back(static_cast<std::uint8_t>(v));
  }
  return d;
}

template <class N>
std::optional<N> parseNumber(std::string_view s) {
  N n{};
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
  return n;
}

std::string escapeMapPart(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == ',' || c == '=' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// Milliseconds always, and as many more digits as the stored nanoseconds need, so that the text
// reads back as the very same date.
std::string formatDate(Date d) {
  using namespace std::chrono;
  const auto secs = floor<seconds>(d);
  const auto ns = (d - secs).count();
  const std::time_t t = static_cast<std::time_t>(secs.time_since_epoch().count());
  std::tm tm{};
  gmtime_r(&t, &tm);
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, "%09lld", static_cast<long long>(ns));
  int digits = 9;
  while (digits > 3 && fraction[digits - 1] == '0')
    --digits;
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%.*sZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, digits, fraction);
  return buf;
}

// A date is stored as signed 64-bit nanoseconds since 1970 (1677-09-21 to 2262-04-11): seconds
// beyond that range, or not a number at all, cannot be stored and are refused rather than
// wrapped around into another date.
std::optional<Date> dateFromSeconds(double seconds) {
  using namespace std::chrono;
  // The bounds are exact in a double; the upper one itself is out of range.
  constexpr double kLowest = -9223372036.854775808;
  constexpr double kBeyond = 9223372036.854775807;
  if (!(seconds >= kLowest && seconds < kBeyond)) return std::nullopt;  // NaN fails both
  const double nanos = std::round(seconds * 1e9);
  if (!(nanos >= -9223372036854775808.0 && nanos < 9223372036854775808.0)) return std::nullopt;
  return Date(nanoseconds(static_cast<std::int64_t>(nanos)));
}

std::optional<Date> parseDate(std::string_view s) {
  using namespace std::chrono;
  if (auto secs = parseNumber<double>(s)) return dateFromSeconds(*secs);
  // YYYY-MM-DDTHH:MM:SS[.fff]Z
  int y, mo, d, h, mi, sec, consumed = 0;
  const std::string str(s);
  if (std::sscanf(str.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &sec,
                  &consumed) != 6)
    return std::nullopt;
  std::string_view rest = s.substr(static_cast<std::size_t>(consumed));
  long long frac_ns = 0;
  if (!rest.empty() && rest.front() == '.') {
    rest.remove_prefix(1);
    long long scale = 100000000;
    std::size_t digits = 0;
    while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
      if (scale > 0) frac_ns += (rest.front() - '0') * scale;
      scale /= 10;
      rest.remove_prefix(1);
      ++digits;
    }
    if (digits == 0) return std::nullopt;
  }
  if (rest != "Z") return std::nullopt;
  const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)},
                           day{static_cast<unsigned>(d)}};
  if (!ymd.ok() || h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 60) {
    return std::nullopt;
  }
  // A four-digit year keeps the seconds far from overflowing; the nanoseconds are checked.
  const std::int64_t wholeSeconds =
      static_cast<std::int64_t>(sys_days(ymd).time_since_epoch().count()) * 86400 + h * 3600 +
      mi * 60 + sec;
  const __int128 nanos = static_cast<__int128>(wholeSeconds) * 1000000000 + frac_ns;
  if (nanos > INT64_MAX || nanos < INT64_MIN) return std::nullopt;
  return Date(nanoseconds(static_cast<std::int64_t>(nanos)));
}

// Splits on unescaped `sep`, keeping escapes in the parts.
std::vector<std::string> splitEscaped(std::string_view s, char sep) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      parts.back().push_back(s[i]);
      parts.back().push_back(s[++i]);
    } else if (s[i] == sep) {
      parts.emplace_back();
    } else {
      parts.back().push_back(s[i]);
    }
  }
  return parts;
}

std::string unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) ++i;
    out.push_back(s[i]);
  }
  return out;
}

}  // namespace

std::string_view kindName(Kind kind) {
  const auto i = static_cast<std::size_t>(kind);
  if (i < 1 || i > std::size(kKindNames)) return "unknown";
  return kKindNames[i - 1];
}

std::optional<Kind> kindFromName(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kKindNames); ++i) {
    if (kKindNames[i] == name) return static_cast<Kind>(i + 1);
  }
  return std::nullopt;
}

std::string encodeMap(const StringMap& map) {
  std::string out;
  putU32(out, static_cast<std::uint32_t>(map.size()));
  for (const auto& [k, v] : map) {
    putChunk(out, k);
    putChunk(out, v);
  }
  return out;
}

std::optional<StringMap> decodeMap(std::string_view bytes) {
  std::uint32_t n = 0;
  if (!getU32(bytes, n)) return std::nullopt;
  StringMap map;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::string_view k, v;
    if (!getChunk(bytes, k) || !getChunk(bytes, v)) return std::nullopt;
    // Keys come in the order encodeMap writes them, each once: anything else is not a map this
    // code wrote, and taking it would silently drop or reorder entries.
    if (!map.empty() && !(map.rbegin()->first < k)) return std::nullopt;
    map.emplace_hint(map.end(), std::string(k), std::string(v));
  }
  if (!bytes.empty()) return std::nullopt;
  return map;
}

std::string encodeDataList(const DataList& list) {
  std::string out;
  putU32(out, static_cast<std::uint32_t>(list.size()));
  for (const auto& d : list) {
    putChunk(out, std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
  }
  return out;
}

std::optional<DataList> decodeDataList(std::string_view bytes) {
  std::uint32_t n = 0;
  if (!getU32(bytes, n)) return std::nullopt;
  DataList list;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::string_view d;
    if (!getChunk(bytes, d)) return std::nullopt;
    list.emplace_back(d.begin(), d.end());
  }
  if (!bytes.empty()) return std::nullopt;
  return list;
}

std::ostream& operator<<(std::ostream& os, const Value& value) {
  return os << formatValueText(value);
}

std::string formatValueText(const Value& value) {
  std::string out(kindName(value.kind()));
  out.push_back(' ');
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>) {
          out += std::to_string(v);
        } else if constexpr (std::is_same_v<T, double>) {
          char buf[64];
          std::snprintf(buf, sizeof buf, "%.17g", v);
          out += buf;
        } else if constexpr (std::is_same_v<T, std::string>) {
          out += v;
        } else if constexpr (std::is_same_v<T, Date>) {
          out += formatDate(v);
        } else if constexpr (std::is_same_v<T, Data>) {
          out += hex(v);
        } else if constexpr (std::is_same_v<T, StringMap>) {
          bool first = true;
          for (const auto& [k, s] : v) {
            if (!first) out.push_back(',');
            first = false;
            out += escapeMapPart(k) + "=" + escapeMapPart(s);
          }
        } else {
          bool first = true;
          for (const auto& d : v) {
            if (!first) out.push_back(',');
            first = false;
            out += hex(d);
          }
        }
      },
      value.storage());
  return out;
}

std::optional<Value> parseValueText(Kind kind, std::string_view text) {
  switch (kind) {
    case Kind::Bool:
      if (text == "true" || text == "yes" || text == "1") return Value(true);
      if (text == "false" || text == "no" || text == "0") return Value(false);
      return std::nullopt;
    case Kind::Int:
      if (auto n = parseNumber<std::int64_t>(text)) return Value(*n);
      return std::nullopt;
    case Kind::UInt:
      if (auto n = parseNumber<std::uint64_t>(text)) return Value(*n);
      return std::nullopt;
    case Kind::Double:
      // A stored NaN comes back as no value at all: refused.
      if (auto n = parseNumber<double>(text); n && !std::isnan(*n)) return Value(*n);
      return std::nullopt;
    case Kind::String:
      return Value(std::string(text));
    case Kind::Date:
      if (auto d = parseDate(text)) return Value(*d);
      return std::nullopt;
    case Kind::Data:
      if (auto d = unhex(text)) return Value(std::move(*d));
      return std::nullopt;
    case Kind::Map: {
      StringMap map;
      if (text.empty()) return std::optional<Value>(std::in_place, std::move(map));
      for (const auto& pair : splitEscaped(text, ',')) {
        auto kv = splitEscaped(pair, '=');
        if (kv.size() != 2) return std::nullopt;
        map[unescape(kv[0])] = unescape(kv[1]);
      }
      return std::optional<Value>(std::in_place, std::move(map));
    }
    case Kind::DataList: {
      DataList list;
      if (text.empty()) return std::optional<Value>(std::in_place, std::move(list));
      std::size_t start = 0;
      while (true) {
        const auto comma = text.find(',', start);
        auto d =
            unhex(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
        if (!d) return std::nullopt;
        list.push_back(std::move(*d));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
      }
      return std::optional<Value>(std::in_place, std::move(list));
    }
  }
  return std::nullopt;
}

}  // namespace platform::defaults
