#pragma once
// Cell-level access to the sysop's 80 x 25 screen, in whole-screen coordinates (columns 1-80,
// rows 1-25), independent of the console's window and cursor. Reads come from the console's shadow
// buffer; writes draw through the console. Nothing here reaches the remote caller.

#include <array>
#include <cstdint>
#include <string>

struct TCharInfo {
  char Ch;
  std::uint8_t Attr;
};

// 25 rows of 80 cells, 4000 bytes: Buffer[row - 1][column - 1].
using TScreenBuffer = std::array<std::array<TCharInfo, 80>, 25>;

// Draws ALine at column AX, row AY in attribute AAttr, clipped at column 80 (column 79 on row 25,
// so the screen never scrolls); window, cursor and current attribute are left as they were.
void FastWrite(const std::string& ALine, std::uint8_t AX, std::uint8_t AY, std::uint8_t AAttr);
char GetCharAt(std::uint8_t AX, std::uint8_t AY);          // a space outside the screen
std::uint8_t GetAttrAt(std::uint8_t AX, std::uint8_t AY);  // 7 outside the screen
void SetCharAt(char ACh, std::uint8_t AX, std::uint8_t AY);           // keeps the cell's attribute
void SetAttrAt(std::uint8_t AAttr, std::uint8_t AX, std::uint8_t AY);  // keeps the cell's character
void ScreenSave(TScreenBuffer& AScreenBuffer);
void ScreenRestore(const TScreenBuffer& AScreenBuffer);
void CursorHide();
void CursorShow();
// Cursor position packed in a word, window-relative: low byte column - 1, high byte row - 1.
void GotoXYAbs(std::uint16_t AXY);
std::uint16_t WhereXYAbs();
std::uint16_t ScreenSizeX();  // always 80
std::uint16_t ScreenSizeY();  // always 25
