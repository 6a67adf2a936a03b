#pragma once
// Masking of secrets before a text is written to a log.
//
// `confidentialized` turns a text that may carry credentials - a JSON object, a tunnel event
// message with a JSON payload, or a URL with query items - into a form safe to log, keeping only
// the last few characters of each secret. A text that is none of these comes back unchanged.
// Pure function of its input: safe from any thread, never fails, never throws; any input
// (malformed, huge, not UTF-8) gives some text back.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sharedutils {

// The number of trailing characters of a secret that stay visible.
inline constexpr std::size_t leftoverLength = 10;

// The text made safe for logs: the JSON rule applied to the whole text, else the tunnel event
// prefix rule, else the URL rule applied to the whole text, else the text unchanged.
std::string confidentialized(std::string_view text);

// The individual rules, each absent when it does not apply. Exposed for callers that know what
// kind of text they hold.
//
// JSON rule: for a JSON object only. "token" and "ep_token" string values become "..." and their
// last 10 characters; a "location" string goes through the URL rule (and the key is removed when
// that rule does not apply). The object is always re-serialised compactly, keys in sorted order
// (byte order of their UTF-8), non-ASCII characters written as UTF-8, '/' not escaped. Duplicate
// keys keep the last value. Objects nested deeper than a fixed limit are not treated.
std::optional<std::string> confidentializedJSON(std::string_view text);

// Tunnel event prefix rule: for a text starting with one of the tunnel event prefixes.
std::optional<std::string> confidentializedTunnelMessage(std::string_view text);

// URL rule: for a URL (absolute or relative reference, strictly RFC 3986) with a query. The result
// keeps scheme, host (as written), path (as written, still percent-encoded) and the rewritten
// query items in their order; user info, port and fragment are dropped. "unknown" when no URL can
// be formed from those parts.
//
// Query items are split at '&', and each at its first '='; names and values are percent-decoded
// before they are matched or rewritten ("+" is not a space). The rebuilt query percent-encodes
// (UTF-8, upper-case hex) every byte outside the unreserved characters and
// "!$'()*,;:@/?", and in addition '=' in names, so that splitting it again at '&' and the first
// '=' and decoding gives back exactly the rewritten items. An item without '=' stays without one.
std::optional<std::string> confidentializedURL(std::string_view text);

}  // namespace sharedutils
