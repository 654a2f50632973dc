// Hostile ANSI text for the local interpreter. Input: byte 0 picks a window, byte 1 a split point,
// byte 2 the starting attribute; the rest is written in two pieces. Afterwards the cursor must be
// inside the window, nothing outside the window may have changed, and no escape byte may have
// reached a cell.

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ansi/ansi.h"
#include "ansi/ansi_testing.h"
#include "console/console.h"
#include "console/console_testing.h"

namespace {

void Check(bool ACondition) {
  if (!ACondition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int Null = open("/dev/null", O_RDWR | O_CLOEXEC);
  ConsoleUseFds(Null, Null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize < 3) return 0;
  ConsoleResetForTesting(80, 25);
  AnsiResetForTesting();
  // Windows: full screen, the door's rows 1-24, a small box, a single cell.
  static const std::uint8_t kWindows[4][4] = {{1, 1, 80, 25}, {1, 1, 80, 24}, {10, 5, 30, 12}, {7, 7, 7, 7}};
  const auto& Win = kWindows[AData[0] % 4];
  ConsoleWindow(Win[0], Win[1], Win[2], Win[3]);
  ConsoleTextAttr = AData[2];
  const std::vector<std::uint8_t> Before = ConsoleShadowBuffer;

  const std::string Text(reinterpret_cast<const char*>(AData + 3), ASize - 3);
  const std::size_t Split = Text.empty() ? 0 : AData[1] % (Text.size() + 1);
  AnsiWrite(Text.substr(0, Split));
  AnsiWrite(Text.substr(Split));

  Check(ConsoleWindowLeft() == Win[0] && ConsoleWindowTop() == Win[1]);
  Check(ConsoleWindowRight() == Win[2] && ConsoleWindowBottom() == Win[3]);
  const int Width = Win[2] - Win[0] + 1;
  const int Height = Win[3] - Win[1] + 1;
  Check(ConsoleWhereX() >= 1 && ConsoleWhereX() <= Width);
  Check(ConsoleWhereY() >= 1 && ConsoleWhereY() <= Height);
  Check(ConsoleShadowBuffer.size() == Before.size());
  Check(ConsoleShadowBuffer.size() >= 2u * 80 * 25);
  for (int Y = 1; Y <= ConsoleScreenHeight; ++Y) {
    for (int X = 1; X <= ConsoleScreenWidth; ++X) {
      const std::size_t Cell = 2 * static_cast<std::size_t>((Y - 1) * ConsoleScreenWidth + (X - 1));
      const bool Inside = X >= Win[0] && X <= Win[2] && Y >= Win[1] && Y <= Win[3];
      if (!Inside) {
        Check(ConsoleShadowBuffer[Cell] == Before[Cell] && ConsoleShadowBuffer[Cell + 1] == Before[Cell + 1]);
      } else {
        Check(ConsoleShadowBuffer[Cell] != 0x1b);
      }
    }
  }
  return 0;
}
