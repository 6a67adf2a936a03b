#include "logging/DDTTYLoggerColorProfile.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Decided once: the environment of a running process is not expected to change its terminal.
DDTTYTerminalMode decideTerminalMode() {
  const char* xcode = std::getenv("XcodeColors");
  if (xcode != nullptr && std::string_view(xcode) == "YES") return DDTTYTerminalMode::xcodeColors;
  const char* term = std::getenv("TERM");
  if (term == nullptr) return DDTTYTerminalMode::plain;
  std::string lower(term);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.find("color") == std::string::npos) return DDTTYTerminalMode::plain;
  return lower.find("256") != std::string::npos ? DDTTYTerminalMode::colors256
                                                : DDTTYTerminalMode::colors16;
}

// The standard xterm colour of terminal colour `n` (16 to 255): a 6x6x6 cube, then 24 greys.
std::array<std::uint8_t, 3> xtermColor(int n) {
  if (n >= 232) {
    const auto v = static_cast<std::uint8_t>(8 + 10 * (n - 232));
    return {v, v, v};
  }
  static constexpr std::uint8_t levels[] = {0, 95, 135, 175, 215, 255};
  const int i = n - 16;
  return {levels[i / 36], levels[(i / 6) % 6], levels[i % 6]};
}

void setCode(char (&out)[24], std::size_t& len, std::string_view code) {
  len = std::min(code.size(), sizeof out - 1);
  std::memcpy(out, code.data(), len);
  out[len] = '\0';
}

std::string bytesText(const std::array<std::uint8_t, 3>& c) {
  return std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]);
}

std::string printable(const char* code, std::size_t len) {
  std::string out;
  for (std::size_t i = 0; i < len; ++i)
    out += code[i] == '\x1b' ? std::string("\\e") : std::string(1, code[i]);
  return out;
}

}  // namespace

DDTTYTerminalMode DDTTYLoggerColorProfile::terminalMode() {
  static const DDTTYTerminalMode mode = decideTerminalMode();
  return mode;
}

const std::vector<DDTTYPaletteEntry>& DDTTYLoggerColorProfile::initializeColors16() {
  static const std::vector<DDTTYPaletteEntry> table = [] {
    static constexpr std::array<std::uint8_t, 3> colors[16] = {
        {0, 0, 0},       {194, 54, 33},  {37, 188, 36},  {173, 173, 39},
        {73, 46, 225},   {211, 56, 211}, {51, 187, 200}, {203, 204, 205},
        {129, 131, 131}, {252, 57, 31},  {49, 231, 34},  {234, 236, 35},
        {88, 51, 255},   {249, 53, 248}, {20, 240, 240}, {233, 235, 235}};
    std::vector<DDTTYPaletteEntry> t;
    for (int i = 0; i < 16; ++i) {
      const std::string bold = i < 8 ? "" : "1;";
      t.push_back({bold + std::to_string(30 + i % 8) + "m", bold + std::to_string(40 + i % 8) + "m",
                   colors[i]});
    }
    return t;
  }();
  return table;
}

const std::vector<DDTTYPaletteEntry>& DDTTYLoggerColorProfile::initializeColors256() {
  static const std::vector<DDTTYPaletteEntry> table = [] {
    std::vector<DDTTYPaletteEntry> t;
    for (int i = 0; i < 240; ++i) {
      const int n = i + 16;
      t.push_back(
          {"38;5;" + std::to_string(n) + "m", "48;5;" + std::to_string(n) + "m", xtermColor(n)});
    }
    // Three entries of this system's palette differ from the xterm standard; they are kept so
    // that colours chosen against them still come out the same.
    t[0].rgb = {47, 49, 49};
    t[5].rgb = {88, 51, 255};
    t[239].rgb = {240, 242, 242};
    return t;
  }();
  return table;
}

std::span<const DDTTYPaletteEntry> DDTTYLoggerColorProfile::palette() {
  switch (terminalMode()) {
    case DDTTYTerminalMode::colors16:
      return initializeColors16();
    case DDTTYTerminalMode::colors256:
      return initializeColors256();
    default:
      return {};
  }
}

std::array<std::uint8_t, 3> DDTTYLoggerColorProfile::getRedGreenBlue(const DDColor& color) {
  auto byte = [](double c) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(c, 0.0, 1.0) * 255.0));
  };
  return {byte(color.red), byte(color.green), byte(color.blue)};
}

std::size_t DDTTYLoggerColorProfile::codeIndexForColor(const DDColor& color,
                                                       std::span<const DDTTYPaletteEntry> palette) {
  double best = 100.0;
  std::size_t bestIndex = 0;
  for (std::size_t i = 0; i < palette.size(); ++i) {
    const double dr = palette[i].rgb[0] / 255.0 - color.red;
    const double dg = palette[i].rgb[1] / 255.0 - color.green;
    const double db = palette[i].rgb[2] / 255.0 - color.blue;
    const double distance = std::sqrt(dr * dr + dg * dg + db * db);
    if (distance < best) {  // strictly: the first of equally near entries stays chosen
      best = distance;
      bestIndex = i;
    }
  }
  return bestIndex;
}

DDTTYLoggerColorProfile::DDTTYLoggerColorProfile(std::optional<DDColor> foreground,
                                                 std::optional<DDColor> background, DDLogFlag mask,
                                                 std::int64_t context)
    : mask(mask), context(context) {
  if (foreground) fg = getRedGreenBlue(*foreground);
  if (background) bg = getRedGreenBlue(*background);
  const DDTTYTerminalMode mode = terminalMode();
  if (mode == DDTTYTerminalMode::colors16 || mode == DDTTYTerminalMode::colors256) {
    const auto table = palette();
    if (foreground) {
      fgCodeIndex = codeIndexForColor(*foreground, table);
      fgCodeRaw = table[fgCodeIndex].fgCode;
      setCode(fgCode, fgCodeLen, "\x1b[" + fgCodeRaw);
    }
    if (background) {
      bgCodeIndex = codeIndexForColor(*background, table);
      bgCodeRaw = table[bgCodeIndex].bgCode;
      setCode(bgCode, bgCodeLen, "\x1b[" + bgCodeRaw);
    }
    std::memcpy(resetCode, "\x1b[0m", 5);
    resetCodeLen = 4;
  } else if (mode == DDTTYTerminalMode::xcodeColors) {
    if (foreground) {
      setCode(fgCode, fgCodeLen, "\x1b[fg" + bytesText(fg) + ";");
    }
    if (background) {
      setCode(bgCode, bgCodeLen, "\x1b[bg" + bytesText(bg) + ";");
    }
    std::memcpy(resetCode, "\x1b[;", 4);
    resetCodeLen = 3;
  }
}

std::string DDTTYLoggerColorProfile::description() const {
  return "<DDTTYLoggerColorProfile mask:" + std::to_string(mask.rawValue) +
         " context:" + std::to_string(context) + " fg:" + bytesText(fg) + " bg:" + bytesText(bg) +
         " fgCode:" + printable(fgCode, fgCodeLen) + " bgCode:" + printable(bgCode, bgCodeLen) +
         ">";
}
