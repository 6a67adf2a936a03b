#include "SharedUtils/ConfidentialText.h"

#include <uriparser/Uri.h>

#include <array>
#include <nlohmann/json.hpp>
#include <vector>

#include "SharedUtils/StringUtilities.h"
#include "platform/base/HexDigit.h"

namespace sharedutils {
namespace {

constexpr std::string_view kMarker = "...";
constexpr std::array<std::string_view, 2> kSecretKeys = {"token", "ep_token"};
constexpr std::string_view kLocationKey = "location";
constexpr std::array<std::string_view, 4> kTunnelPrefixes = {
    "setInAuthTunnel___:", "onAuthFailed___:", "onUnauthTunnelConnect___:", "tunnelBecameAuth___:"};

// Serialising is recursive, so a hostile message nested a hundred thousand levels deep would
// exhaust the stack. Real messages are a few levels deep; deeper ones are not treated as JSON.
constexpr std::size_t kMaxJsonDepth = 256;

bool nestingWithinLimit(std::string_view text) {
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxJsonDepth) return false;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return true;
}

std::string masked(std::string_view secret) {
  std::string out(kMarker);
  out.append(lastCharacters(secret, leftoverLength));
  return out;
}

// The parts of a URI reference, split the way RFC 3986 appendix B does. Only used on text that
// has already parsed as a URI, so every part is well-formed.
struct UrlParts {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> authority;
  std::string_view path;
  std::optional<std::string_view> query;
};

UrlParts splitUrl(std::string_view text) {
  UrlParts parts;
  const std::size_t schemeEnd = text.find_first_of(":/?#");
  if (schemeEnd != std::string_view::npos && schemeEnd > 0 && text[schemeEnd] == ':') {
    parts.scheme = text.substr(0, schemeEnd);
    text.remove_prefix(schemeEnd + 1);
  }
  if (text.starts_with("//")) {
    text.remove_prefix(2);
    const std::size_t end = std::min(text.find_first_of("/?#"), text.size());
    parts.authority = text.substr(0, end);
    text.remove_prefix(end);
  }
  const std::size_t fragment = text.find('#');
  if (fragment != std::string_view::npos) text = text.substr(0, fragment);
  const std::size_t query = text.find('?');
  parts.path = text.substr(0, query);
  if (query != std::string_view::npos) parts.query = text.substr(query + 1);
  return parts;
}

// The host of an authority: without user info and port; an IP literal keeps its brackets.
std::string_view hostOf(std::string_view authority) {
  const std::size_t at = authority.find('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    return authority.substr(0, close == std::string_view::npos ? authority.size() : close + 1);
  }
  return authority.substr(0, authority.find(':'));
}

bool parsesAsUri(std::string_view text) {
  if (text.empty()) return false;
  UriUriA uri;
  const int result = uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), nullptr);
  uriFreeUriMembersA(&uri);
  return result == URI_SUCCESS;
}

using platform::base::hexDigitValue;

std::string percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 &&
        hexDigitValue(text[i + 2]) >= 0) {
      out.push_back(
          static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

void appendEncoded(std::string& out, std::string_view text, bool isName) {
  static constexpr std::string_view kKept =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~!$'()*,;:@/?";
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : text) {
    if (kKept.find(c) != std::string_view::npos || (c == '=' && !isName)) {
      out.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
}

struct QueryItem {
  std::string name;
  std::optional<std::string> value;
};

std::vector<QueryItem> queryItems(std::string_view query) {
  std::vector<QueryItem> items;
  if (query.empty()) return items;
  for (;;) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    const std::size_t eq = item.find('=');
    QueryItem parsed{percentDecoded(item.substr(0, eq)), std::nullopt};
    if (eq != std::string_view::npos) parsed.value = percentDecoded(item.substr(eq + 1));
    items.push_back(std::move(parsed));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return items;
}

void rewrite(QueryItem& item) {
  if (item.name == "token" || item.name == "ep_token" || item.name == "status") {
    if (item.value) item.value = confidentializedJSON(*item.value);
  } else if (item.name == "state") {
    if (item.value)
      item.value = std::string(lastCharacters(*item.value, leftoverLength)) += kMarker;
  } else if (item.name == "p") {
    item.value = std::string(kMarker);
  }
}

}  // namespace

std::optional<std::string> confidentializedJSON(std::string_view text) {
  if (!nestingWithinLimit(text)) return std::nullopt;
  // Parsing also checks that every string is valid UTF-8.
  nlohmann::json object = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (!object.is_object()) return std::nullopt;

  for (std::string_view key : kSecretKeys) {
    auto it = object.find(key);
    if (it != object.end() && it->is_string()) *it = masked(it->get_ref<const std::string&>());
  }
  if (auto it = object.find(kLocationKey); it != object.end() && it->is_string()) {
    if (auto url = confidentializedURL(it->get_ref<const std::string&>())) {
      *it = std::move(*url);
    } else {
      object.erase(it);
    }
  }
  try {
    // Compact, the library's own escaping; strict: a string that is not UTF-8 (say, one cut out of
    // a URL query by percent-decoding) makes the rule yield nothing instead of a broken text.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> confidentializedTunnelMessage(std::string_view text) {
  for (std::string_view prefix : kTunnelPrefixes) {
    if (!text.starts_with(prefix)) continue;
    if (auto json = confidentializedJSON(text.substr(prefix.size()))) return json;
    std::string out(prefix);
    out.append(lastCharacters(text, leftoverLength));
    out.append(kMarker);
    return out;
  }
  return std::nullopt;
}

std::optional<std::string> confidentializedURL(std::string_view text) {
  if (!parsesAsUri(text)) return std::nullopt;
  const UrlParts parts = splitUrl(text);
  if (!parts.query) return std::nullopt;
  std::vector<QueryItem> items = queryItems(*parts.query);
  if (items.empty()) return std::nullopt;

  // Without an authority, a path starting with "//" would be read back as one: no URL can be
  // formed from these parts.
  if (!parts.authority && parts.path.starts_with("//")) return "unknown";

  std::string out;
  out.reserve(text.size());
  if (parts.scheme) out.append(*parts.scheme).push_back(':');
  if (parts.authority) out.append("//").append(hostOf(*parts.authority));
  out.append(parts.path);
  out.push_back('?');
  bool first = true;
  for (QueryItem& item : items) {
    rewrite(item);
    if (!first) out.push_back('&');
    first = false;
    appendEncoded(out, item.name, true);
    if (item.value) {
      out.push_back('=');
      appendEncoded(out, *item.value, false);
    }
  }
  if (!parsesAsUri(out)) return "unknown";
  return out;
}

std::string confidentialized(std::string_view text) {
  if (auto json = confidentializedJSON(text)) return std::move(*json);
  if (auto tunnel = confidentializedTunnelMessage(text)) return std::move(*tunnel);
  if (auto url = confidentializedURL(text)) return std::move(*url);
  return std::string(text);
}

}  // namespace sharedutils
