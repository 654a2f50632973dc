#pragma once
// ANSI for the caller and for the sysop: builders that return the exact escape sequences the kit
// sends, and the interpreter that carries ANSI text out on the local console.

#include <array>
#include <cstdint>
#include <string>

// ANSI colour number of each PC colour 0-7 (and back: the table is its own inverse).
inline constexpr std::array<std::int32_t, 8> AnsiColours = {0, 4, 2, 6, 1, 5, 3, 7};

std::string AnsiClrEol();                       // ESC[K
std::string AnsiClrScr();                       // ESC[2J ESC[1;1f
std::string AnsiCursorSave();                   // ESC[s
std::string AnsiCursorRestore();                // ESC[u
std::string AnsiCursorUp(std::uint8_t ACount);
std::string AnsiCursorDown(std::uint8_t ACount);
std::string AnsiCursorRight(std::uint8_t ACount);
std::string AnsiCursorLeft(std::uint8_t ACount);
std::string AnsiGotoXY(std::uint8_t AX, std::uint8_t AY);  // ESC[row;colf
std::string AnsiGotoX(std::uint8_t AX);          // 255 left, then AX - 1 right
std::string AnsiGotoY(std::uint8_t AY);          // 255 up, then AY - 1 down
std::string AnsiTextBackground(std::uint8_t AColour);  // ESC[4xm; 8-15 fold onto 0-7
// Colours 0-7 reset every rendition and resend the console's current background; 8-15 add bold.
std::string AnsiTextColour(std::uint8_t AColour);
std::string AnsiTextAttr(std::uint8_t AAttr);    // never produces blink
std::string AnsiBlink(bool ABlink);

// Draws ANSI text on the local console. The parser keeps its state between calls, so a sequence
// split across two writes is still understood; plain text reaches the console in runs.
void AnsiWrite(const std::string& AText);
void AnsiWriteLn(const std::string& AText);
