#pragma once
// The glyphs of the PC character set (code page 437) as Unicode code points, one per byte value,
// including the pictures a PC screen shows for the control bytes 0-31 and 127.

#include <array>
#include <cstdint>

namespace zelkit_test {

extern const std::array<char32_t, 256> kCp437Glyphs;

// The byte whose glyph is ACodePoint, or -1 when no byte shows it. Code point 0 (an empty cell)
// answers 0.
int Cp437ByteFromCodePoint(char32_t ACodePoint);

}  // namespace zelkit_test
