// The Windows-1252 lower-case mapping that case-insensitive database searches fold bytes with.
#pragma once

#include <array>
#include <cstddef>

namespace nerlo::sigdb {

// A-Z and the accented capitals 0xC0-0xDE (but not the multiplication sign 0xD7) add 0x20;
// S, OE and Z with caron and Y with diaeresis map to their small forms; every other byte maps
// to itself.
constexpr std::array<unsigned char, 256> MakeFoldTable() {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    int folded = c;
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) folded = c + 0x20;
    if (c == 0x8A || c == 0x8C || c == 0x8E) folded = c + 0x10;
    if (c == 0x9F) folded = 0xFF;
    table[static_cast<size_t>(c)] = static_cast<unsigned char>(folded);
  }
  return table;
}

inline constexpr std::array<unsigned char, 256> kFoldTable = MakeFoldTable();

}  // namespace nerlo::sigdb
