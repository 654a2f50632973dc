// Cell access to the sysop's screen in whole-screen coordinates, through the console's shadow buffer
// and window, and saving and restoring the whole screen.

#include "videoutils/videoutils.h"

#include "console/console.h"

namespace {

constexpr int kWidth = 80;
constexpr int kHeight = 25;

bool OnScreen(std::uint8_t AX, std::uint8_t AY) { return AX >= 1 && AX <= kWidth && AY >= 1 && AY <= kHeight; }

std::size_t CellIndex(std::uint8_t AX, std::uint8_t AY) {
  return (static_cast<std::size_t>(AY - 1) * static_cast<std::size_t>(ConsoleScreenWidth) + static_cast<std::size_t>(AX - 1)) * 2;
}

// Window, cursor and attribute as they were before a cell-level write.
struct TSavedState {
  std::uint8_t Attr, Left, Top, Right, Bottom, X, Y;
  bool Widened;
};

TSavedState SaveAndWiden() {
  TSavedState S{ConsoleTextAttr, ConsoleWindowLeft(), ConsoleWindowTop(), ConsoleWindowRight(),
                ConsoleWindowBottom(), ConsoleWhereX(), ConsoleWhereY(), false};
  S.Widened = S.Left > 1 || S.Top > 1 || S.Right < kWidth || S.Bottom < kHeight;
  if (S.Widened) ConsoleWindow(1, 1, kWidth, kHeight);
  return S;
}

void Restore(const TSavedState& AState) {
  ConsoleTextAttr = AState.Attr;
  if (AState.Widened) ConsoleWindow(AState.Left, AState.Top, AState.Right, AState.Bottom);
  ConsoleGotoXY(AState.X, AState.Y);
}

// Draws one cell. The bottom-right cell of the screen is stored without the console's wrap, which
// would scroll the whole screen: it goes straight into the shadow buffer, and the console, which
// compares the buffer with the terminal at every flush, shows it there.
void DrawCell(char ACh, std::uint8_t AAttr, std::uint8_t AX, std::uint8_t AY) {
  TSavedState S = SaveAndWiden();
  ConsoleGotoXY(AX, AY);
  ConsoleTextAttr = AAttr;
  if (AX == kWidth && AY == kHeight) {
    std::size_t I = CellIndex(AX, AY);
    ConsoleShadowBuffer[I] = static_cast<std::uint8_t>(ACh);
    ConsoleShadowBuffer[I + 1] = AAttr;
  } else {
    ConsoleWrite(std::string(1, ACh));
  }
  Restore(S);
}

}  // namespace

void FastWrite(const std::string& ALine, std::uint8_t AX, std::uint8_t AY, std::uint8_t AAttr) {
  if (!OnScreen(AX, AY)) return;
  std::string Line = ALine.substr(0, static_cast<std::size_t>(81 - AX));
  TSavedState S = SaveAndWiden();
  ConsoleGotoXY(AX, AY);
  ConsoleTextAttr = AAttr;
  // On the bottom row the text stops at column 79: the bottom-right cell would scroll the screen.
  if (AY == kHeight && Line.size() > static_cast<std::size_t>(80 - AX)) Line.resize(static_cast<std::size_t>(80 - AX));
  ConsoleWrite(Line);
  Restore(S);
}

char GetCharAt(std::uint8_t AX, std::uint8_t AY) {
  if (!OnScreen(AX, AY)) return ' ';
  std::size_t I = CellIndex(AX, AY);
  return I < ConsoleShadowBuffer.size() ? static_cast<char>(ConsoleShadowBuffer[I]) : ' ';
}

std::uint8_t GetAttrAt(std::uint8_t AX, std::uint8_t AY) {
  if (!OnScreen(AX, AY)) return 7;
  std::size_t I = CellIndex(AX, AY);
  return I + 1 < ConsoleShadowBuffer.size() ? ConsoleShadowBuffer[I + 1] : 7;
}

void SetCharAt(char ACh, std::uint8_t AX, std::uint8_t AY) {
  if (!OnScreen(AX, AY)) return;
  DrawCell(ACh, GetAttrAt(AX, AY), AX, AY);
}

void SetAttrAt(std::uint8_t AAttr, std::uint8_t AX, std::uint8_t AY) {
  if (!OnScreen(AX, AY)) return;
  DrawCell(GetCharAt(AX, AY), AAttr, AX, AY);
}

void ScreenSave(TScreenBuffer& AScreenBuffer) {
  for (std::uint8_t Y = 1; Y <= kHeight; ++Y)
    for (std::uint8_t X = 1; X <= kWidth; ++X) AScreenBuffer[Y - 1][X - 1] = TCharInfo{GetCharAt(X, Y), GetAttrAt(X, Y)};
}

void ScreenRestore(const TScreenBuffer& AScreenBuffer) {
  for (std::uint8_t Y = 1; Y <= kHeight; ++Y)
    for (std::uint8_t X = 1; X <= kWidth; ++X) {
      const TCharInfo& C = AScreenBuffer[Y - 1][X - 1];
      FastWrite(std::string(1, C.Ch), X, Y, C.Attr);
    }
}

void CursorHide() { ConsoleCursorOff(); }

void CursorShow() { ConsoleCursorOn(); }

void GotoXYAbs(std::uint16_t AXY) {
  ConsoleGotoXY(static_cast<std::uint8_t>((AXY & 0xFF) + 1), static_cast<std::uint8_t>((AXY >> 8) + 1));
}

std::uint16_t WhereXYAbs() {
  return static_cast<std::uint16_t>((ConsoleWhereY() - 1) * 256 + (ConsoleWhereX() - 1));
}

std::uint16_t ScreenSizeX() { return 80; }

std::uint16_t ScreenSizeY() { return 25; }
