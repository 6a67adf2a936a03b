#include "SharedUtils/HostIdentityReader.h"

#include <net/if_arp.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>
#include <fstream>
#include <limits>
#include <system_error>

namespace sharedutils {

namespace {

namespace fs = std::filesystem;

// Large enough for any file read here; a longer file is not what it claims to be.
constexpr std::size_t kMaxFileSize = 64 * 1024;

std::optional<std::string> readSmallFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string contents;
  std::array<char, 4096> chunk;
  while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
    contents.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    if (contents.size() > kMaxFileSize) return std::nullopt;
  }
  if (in.bad()) return std::nullopt;
  return contents;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isSpace(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back()))
    text.remove_suffix(1);
  return text;
}

std::optional<long long> readInteger(const fs::path& path) {
  const auto contents = readSmallFile(path);
  if (!contents) return std::nullopt;
  const std::string_view text = trimmed(*contents);
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Shell-style unquoting of an assignment's value: quotes group, backslash escapes the next
// character outside single quotes; unquoted white space ends the value.
std::string unquotedValue(std::string_view raw) {
  std::string out;
  char quote = '\0';
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (quote == '\'') {
      if (c == '\'') {
        quote = '\0';
      } else {
        out.push_back(c);
      }
    } else if (c == '\\' && i + 1 < raw.size()) {
      const char next = raw[++i];
      // Inside double quotes only the characters the shell treats as special are escaped.
      if (quote == '"' && next != '"' && next != '\\' && next != '$' && next != '`')
        out.push_back('\\');
      out.push_back(next);
    } else if (quote == '"') {
      if (c == '"') {
        quote = '\0';
      } else {
        out.push_back(c);
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (isSpace(c)) {
      break;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

HostIdentityReader::HostIdentityReader(std::filesystem::path root) : root_(std::move(root)) {}

std::optional<std::string> HostIdentityReader::systemUUID() const {
  const auto contents = readSmallFile(root_ / "sys/class/dmi/id/product_uuid");
  if (!contents) return std::nullopt;
  const std::string_view uuid = trimmed(*contents);
  if (uuid.empty()) return std::nullopt;
  return std::string(uuid);
}

MACAddressBytes HostIdentityReader::primaryMACAddress() const {
  const fs::path netDir = root_ / "sys/class/net";
  std::error_code ec;
  fs::directory_iterator it(netDir, ec);
  if (ec) return MACAddressBytes{};

  std::optional<fs::path> primary;
  long long primaryIndex = std::numeric_limits<long long>::max();
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const fs::path dir = it->path();
    if (readInteger(dir / "type") != ARPHRD_ETHER) continue;
    if (!fs::exists(dir / "device", ec)) continue;
    const auto index = readInteger(dir / "ifindex");
    if (!index || *index >= primaryIndex) continue;
    primaryIndex = *index;
    primary = dir;
  }
  if (!primary) return MACAddressBytes{};
  const auto address = readSmallFile(*primary / "address");
  if (!address) return MACAddressBytes{};
  return parseMACAddress(trimmed(*address));
}

std::optional<std::string> HostIdentityReader::prettyHostName() const {
  const auto contents = readSmallFile(root_ / "etc/machine-info");
  if (!contents) return std::nullopt;
  auto name = environmentFileValue(*contents, "PRETTY_HOSTNAME");
  if (!name || name->empty()) return std::nullopt;
  return name;
}

std::string HostIdentityReader::deviceName() const {
  if (auto pretty = prettyHostName()) return *std::move(pretty);
  std::array<char, HOST_NAME_MAX + 1> buffer{};
  if (gethostname(buffer.data(), buffer.size() - 1) != 0) return std::string();
  return hostNameWithoutLocalSuffix(std::string(buffer.data()));
}

std::string formatMACAddress(const MACAddressBytes& bytes) {
  std::array<char, 18> text{};
  std::snprintf(text.data(), text.size(), "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                bytes[2], bytes[3], bytes[4], bytes[5]);
  return std::string(text.data());
}

MACAddressBytes parseMACAddress(std::string_view text) {
  MACAddressBytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != ':') break;
      text.remove_prefix(1);
    }
    std::size_t digits = 0;
    while (digits < text.size() && digits < 3 &&
           std::isxdigit(static_cast<unsigned char>(text[digits])))
      ++digits;
    if (digits == 0 || digits > 2) break;
    unsigned value = 0;
    std::from_chars(text.data(), text.data() + digits, value, 16);
    bytes[i] = static_cast<std::uint8_t>(value);
    text.remove_prefix(digits);
  }
  return bytes;
}

std::optional<std::string> environmentFileValue(std::string_view contents, std::string_view key) {
  std::optional<std::string> value;
  while (!contents.empty()) {
    const std::size_t newline = contents.find('\n');
    std::string_view line = contents.substr(0, newline);
    contents.remove_prefix(newline == std::string_view::npos ? contents.size() : newline + 1);

    line = trimmed(line);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (trimmed(line.substr(0, equals)) != key) continue;
    value = unquotedValue(trimmed(line.substr(equals + 1)));
  }
  return value;
}

std::string hostNameWithoutLocalSuffix(std::string hostName) {
  static constexpr std::string_view kSuffix = ".local";
  if (hostName.ends_with(kSuffix)) hostName.resize(hostName.size() - kSuffix.size());
  return hostName;
}

}  // namespace sharedutils
