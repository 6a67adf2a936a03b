#pragma once
// The colours of the terminal logger's lines: a foreground and a background colour for the
// records of some flags in one context (or in every context), or for the records of one tag,
// together with the escape codes that produce them on this terminal.
//
// The codes depend on the terminal modes, decided once per process from the environment, the
// first time the terminal logger or a profile is made:
// - "XcodeColors" equal to "YES": codes spell the colour out, "ESC[fgR,G,B;" and "ESC[bgR,G,B;",
//   and the reset code is "ESC[;";
// - otherwise "TERM" containing "color" in any letter case: the nearest colour of the terminal's
//   palette (256 colours when TERM also contains "256", else 16), written "ESC[" + its code, and
//   the reset code "ESC[0m";
// - otherwise no codes at all: lines are written without colour.
// The nearest colour is the palette entry at the smallest Euclidean distance, components taken
// between 0 and 1; among equally near entries the first wins.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "logging/DDLogLevel.h"

// A colour with components between 0 and 1.
struct DDColor {
  double red = 0, green = 0, blue = 0;

  static constexpr DDColor rgb(int r, int g, int b) { return {r / 255.0, g / 255.0, b / 255.0}; }
  friend constexpr bool operator==(const DDColor&, const DDColor&) = default;
};

// One colour of a terminal palette and the codes that select it (without the leading "ESC[").
struct DDTTYPaletteEntry {
  std::string fgCode;
  std::string bgCode;
  std::array<std::uint8_t, 3> rgb;
};

enum class DDTTYTerminalMode { plain, xcodeColors, colors16, colors256 };

class DDTTYLoggerColorProfile {
 public:
  // The context that stands for every context.
  static constexpr std::int64_t kAllContexts = 2147483647;

  // Either colour may be absent: no code is written for it.
  DDTTYLoggerColorProfile(std::optional<DDColor> foreground, std::optional<DDColor> background,
                          DDLogFlag mask, std::int64_t context);

  std::string description() const;

  // The process's terminal mode, decided on first use.
  static DDTTYTerminalMode terminalMode();
  // The palette of the process's terminal mode; empty outside the colour-terminal modes.
  static std::span<const DDTTYPaletteEntry> palette();
  // The 16- and 256-colour palettes (the latter for terminal colours 16 to 255).
  static const std::vector<DDTTYPaletteEntry>& initializeColors16();
  static const std::vector<DDTTYPaletteEntry>& initializeColors256();
  // A colour's bytes: each component times 255, rounded.
  static std::array<std::uint8_t, 3> getRedGreenBlue(const DDColor& color);
  // The index of the palette entry nearest to `color` (0 for an empty palette).
  static std::size_t codeIndexForColor(const DDColor& color,
                                       std::span<const DDTTYPaletteEntry> palette);
  static std::size_t codeIndexForColor(const DDColor& color) {
    return codeIndexForColor(color, palette());
  }

  DDLogFlag mask;
  std::int64_t context;
  std::array<std::uint8_t, 3> fg{};
  std::array<std::uint8_t, 3> bg{};
  std::size_t fgCodeIndex = 0;
  std::string fgCodeRaw;
  std::size_t bgCodeIndex = 0;
  std::string bgCodeRaw;
  char fgCode[24] = {};
  std::size_t fgCodeLen = 0;
  char bgCode[24] = {};
  std::size_t bgCodeLen = 0;
  char resetCode[8] = {};
  std::size_t resetCodeLen = 0;
};
