// The console's screen model: the cells of the shadow buffer, the window, the cursor and the current
// attribute, and the drawing operations that change them (text, clearing, line insert and delete).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/console_internal.h"

constinit std::int32_t ConsoleScreenWidth = 80;
constinit std::int32_t ConsoleScreenHeight = 25;
constinit std::uint8_t ConsoleTextAttr = 7;

namespace console_internal {

int FWinLeft = 1, FWinTop = 1, FWinRight = 80, FWinBottom = 25;
int FCurX = 1, FCurY = 1;
bool FCursorVisible = true;
bool FDirty = false;

void ResetModel(int AWidth, int AHeight) {
  ConsoleScreenWidth = std::clamp(AWidth, 1, 255);
  ConsoleScreenHeight = std::clamp(AHeight, 1, 255);
  ConsoleShadowBuffer.assign(static_cast<std::size_t>(ConsoleScreenWidth) * static_cast<std::size_t>(ConsoleScreenHeight) * 2, 0);
  ConsoleTextAttr = 7;
  FWinLeft = FWinTop = 1;
  FWinRight = ConsoleScreenWidth;
  FWinBottom = ConsoleScreenHeight;
  FCurX = FCurY = 1;
  FCursorVisible = true;
  FDirty = false;
  ForgetTerminalImage();
}

}  // namespace console_internal

using namespace console_internal;

namespace {

std::uint8_t* CellAt(int AX, int AY) {
  return &ConsoleShadowBuffer[(static_cast<std::size_t>(AY - 1) * static_cast<std::size_t>(ConsoleScreenWidth) + static_cast<std::size_t>(AX - 1)) * 2];
}

void BlankCells(int AX1, int AX2, int AY) {
  for (int X = AX1; X <= AX2; ++X) {
    std::uint8_t* C = CellAt(X, AY);
    C[0] = ' ';
    C[1] = ConsoleTextAttr;
  }
}

void CopyRow(int AFromY, int AToY) {
  std::size_t Len = static_cast<std::size_t>(FWinRight - FWinLeft + 1) * 2;
  std::memmove(CellAt(FWinLeft, AToY), CellAt(FWinLeft, AFromY), Len);
}

// Rows AY..bottom of the window move up by one; the bottom row becomes blank.
void RemoveRow(int AY) {
  for (int Y = AY; Y < FWinBottom; ++Y) CopyRow(Y + 1, Y);
  BlankCells(FWinLeft, FWinRight, FWinBottom);
}

void NewLine() {
  FCurX = FWinLeft;
  if (FCurY >= FWinBottom) RemoveRow(FWinTop);
  else ++FCurY;
}

}  // namespace

void ConsoleClrScr() {
  EnsureInitialised();
  for (int Y = FWinTop; Y <= FWinBottom; ++Y) BlankCells(FWinLeft, FWinRight, Y);
  FCurX = FWinLeft;
  FCurY = FWinTop;
  FDirty = true;
}

void ConsoleClrEol() {
  EnsureInitialised();
  BlankCells(FCurX, FWinRight, FCurY);
  FDirty = true;
}

void ConsoleGotoXY(std::uint8_t AX, std::uint8_t AY) {
  EnsureInitialised();
  if (AX < 1 || AY < 1 || AX > FWinRight - FWinLeft + 1 || AY > FWinBottom - FWinTop + 1) return;
  FCurX = FWinLeft + AX - 1;
  FCurY = FWinTop + AY - 1;
  FDirty = true;
}

std::uint8_t ConsoleWhereX() {
  EnsureInitialised();
  return static_cast<std::uint8_t>(FCurX - FWinLeft + 1);
}

std::uint8_t ConsoleWhereY() {
  EnsureInitialised();
  return static_cast<std::uint8_t>(FCurY - FWinTop + 1);
}

void ConsoleWindow(std::uint8_t ALeft, std::uint8_t ATop, std::uint8_t ARight, std::uint8_t ABottom) {
  EnsureInitialised();
  if (ALeft < 1 || ATop < 1 || ARight < ALeft || ABottom < ATop || ARight > ConsoleScreenWidth ||
      ABottom > ConsoleScreenHeight)
    return;
  FWinLeft = ALeft;
  FWinTop = ATop;
  FWinRight = ARight;
  FWinBottom = ABottom;
  FCurX = FWinLeft;
  FCurY = FWinTop;
  FDirty = true;
}

std::uint8_t ConsoleWindowLeft() {
  EnsureInitialised();
  return static_cast<std::uint8_t>(FWinLeft);
}

std::uint8_t ConsoleWindowTop() {
  EnsureInitialised();
  return static_cast<std::uint8_t>(FWinTop);
}

std::uint8_t ConsoleWindowRight() {
  EnsureInitialised();
  return static_cast<std::uint8_t>(FWinRight);
}

std::uint8_t ConsoleWindowBottom() {
  EnsureInitialised();
  return static_cast<std::uint8_t>(FWinBottom);
}

void ConsoleWrite(const std::string& AText) {
  EnsureInitialised();
  if (AText.empty()) return;
  FDirty = true;
  for (char Ch : AText) {
    auto B = static_cast<std::uint8_t>(Ch);
    switch (B) {
      case 13:
        FCurX = FWinLeft;
        break;
      case 10:
        NewLine();
        break;
      case 8:
        if (FCurX > FWinLeft) --FCurX;
        break;
      default: {
        std::uint8_t* C = CellAt(FCurX, FCurY);
        C[0] = B;
        C[1] = ConsoleTextAttr;
        if (FCurX >= FWinRight) NewLine();  // the last column wraps at once
        else ++FCurX;
      }
    }
  }
}

void ConsoleSetForeground(std::uint8_t AColour) {
  EnsureInitialised();
  ConsoleTextAttr = static_cast<std::uint8_t>((AColour & 0x0F) | (ConsoleTextAttr & 0x70));
}

void ConsoleSetBackground(std::uint8_t AColour) {
  EnsureInitialised();
  ConsoleTextAttr = static_cast<std::uint8_t>(((AColour << 4) & 0x70) | (ConsoleTextAttr & 0x8F));
}

void ConsoleHighVideo() {
  EnsureInitialised();
  ConsoleTextAttr = static_cast<std::uint8_t>(ConsoleTextAttr | 0x08);
}

void ConsoleLowVideo() {
  EnsureInitialised();
  ConsoleTextAttr = static_cast<std::uint8_t>(ConsoleTextAttr & 0x77);
}

void ConsoleNormVideo() {
  EnsureInitialised();
  ConsoleTextAttr = 7;
}

void ConsoleInsLine() {
  EnsureInitialised();
  for (int Y = FWinBottom; Y > FCurY; --Y) CopyRow(Y - 1, Y);
  BlankCells(FWinLeft, FWinRight, FCurY);
  FDirty = true;
}

void ConsoleDelLine() {
  EnsureInitialised();
  RemoveRow(FCurY);
  FDirty = true;
}

void ConsoleCursorOn() {
  EnsureInitialised();
  FCursorVisible = true;
  FDirty = true;
}

void ConsoleCursorOff() {
  EnsureInitialised();
  FCursorVisible = false;
  FDirty = true;
}
