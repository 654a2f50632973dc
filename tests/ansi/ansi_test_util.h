#pragma once
// Helpers for the interpreter tests: the console drawing into /dev/null, and the shadow buffer read
// back as a picture.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "ansi/ansi.h"
#include "ansi/ansi_testing.h"
#include "console/console.h"
#include "console/console_testing.h"

namespace ansi_test {

inline char CellChar(int AX, int AY) {
  const auto Byte = ConsoleShadowBuffer[2 * static_cast<std::size_t>((AY - 1) * ConsoleScreenWidth + (AX - 1))];
  return Byte == 0 ? ' ' : static_cast<char>(Byte);
}

inline std::uint8_t CellAttr(int AX, int AY) {
  return ConsoleShadowBuffer[2 * static_cast<std::size_t>((AY - 1) * ConsoleScreenWidth + (AX - 1)) + 1];
}

inline std::string Row(int AY, int AWidth = 80) {
  std::string Text;
  for (int X = 1; X <= AWidth; ++X) Text += CellChar(X, AY);
  while (!Text.empty() && Text.back() == ' ') Text.pop_back();
  return Text;
}

// Characters, attributes and cursor: equal pictures mean equal screens.
inline std::string Picture(int AWidth = 80, int AHeight = 25) {
  static const char* kHex = "0123456789abcdef";
  std::string All;
  for (int Y = 1; Y <= AHeight; ++Y) {
    All += Row(Y, AWidth);
    All += " |";
    for (int X = 1; X <= AWidth; ++X) {
      All += kHex[CellAttr(X, Y) >> 4];
      All += kHex[CellAttr(X, Y) & 15];
    }
    All += '\n';
  }
  All += "cursor " + std::to_string(ConsoleWhereX()) + "," + std::to_string(ConsoleWhereY()) + " attr " +
         std::to_string(ConsoleTextAttr) + "\n";
  return All;
}

// Console output goes to /dev/null (opened once, kept for the process); the model and the
// interpreter start from scratch.
inline void ResetOnDevNull() {
  static const int kNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  ConsoleUseFds(kNull, kNull);
  ConsoleResetForTesting(80, 25);
  AnsiResetForTesting();
}

}  // namespace ansi_test
