// The ANSI sequence builders, and the interpreter that carries ANSI text out on the local console a
// byte at a time (cursor moves, erases, colours), keeping its parser state between calls.

#include "ansi/ansi.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ansi/ansi_testing.h"
#include "console/console.h"

namespace {

// Where the parser stands: in plain text, after an ESC, or inside a control sequence (after
// ESC "[", ECMA-48 5.4).
enum TAnsiParserState : std::int32_t { None = 0, HaveEscape = 1, HaveBracket = 2 };

// At most this many parameters of one sequence are kept. Every further parameter of the same
// sequence is read and dropped, so ESC [ followed by any number of ";" costs no memory; the kept
// ones keep their meaning (a rendition list is applied up to its 64th entry). Real sequences use
// one or two parameters, long rendition lists a handful.
constexpr std::size_t kMaxAnsiParams = 64;

// Value of the digits of the parameter being read, as a decimal number. Once the digits no longer
// fit a signed 32-bit integer the parameter counts as 0; kOversized marks that (it is above
// INT32_MAX and stays there whatever digits follow).
constexpr std::int64_t kOversized = std::int64_t{INT32_MAX} + 1;

TAnsiParserState AnsiParserState = None;
std::int64_t AnsiBuffer = 0;  // the parameter being read; an empty parameter is 0
// Parameters of the current sequence from element 1 on; element 0 is a placeholder nothing reads.
std::array<std::int32_t, kMaxAnsiParams + 1> AnsiParams{};
std::size_t AnsiParamCount = 1;  // elements in use, the placeholder included
std::int32_t AnsiXY = 257;       // saved by "s": column in the low byte, row in the next; 1,1
std::uint8_t AnsiAttr = 7;       // saved by rendition 8 (conceal), brought back by 28
std::string FRun;                // plain text handed to the console in one write

void AddAnsiParam(std::int32_t AValue) {
  if (AnsiParamCount < AnsiParams.size()) AnsiParams[AnsiParamCount++] = AValue;
}

std::int32_t TakeAnsiBuffer() {
  const std::int64_t Value = AnsiBuffer;
  AnsiBuffer = 0;
  return Value >= kOversized ? 0 : static_cast<std::int32_t>(Value);
}

std::int32_t WindowWidth() { return ConsoleWindowRight() - ConsoleWindowLeft() + 1; }
std::int32_t WindowHeight() { return ConsoleWindowBottom() - ConsoleWindowTop() + 1; }

// Moves the cursor to a window-relative position. A position outside the window, however large,
// leaves the cursor where it is: it is never cut down to a byte and so never lands on a
// different cell (ESC[5;300H does nothing in an 80-column window, as ESC[5;81H does).
void GotoInside(std::int32_t AX, std::int32_t AY) {
  if (AX < 1 || AY < 1 || AX > WindowWidth() || AY > WindowHeight()) return;
  ConsoleGotoXY(static_cast<std::uint8_t>(AX), static_cast<std::uint8_t>(AY));
}

void Reverse() {
  // Swaps foreground and background; the bright and blink bits are lost (SGR 7 and 27).
  const std::uint8_t Attr = ConsoleTextAttr;
  ConsoleTextAttr = static_cast<std::uint8_t>(((Attr & 0x70) >> 4) + ((Attr & 0x07) << 4));
}

// Select graphic rendition (ECMA-48 8.3.117), one parameter.
void ApplyRendition(std::int32_t AValue) {
  switch (AValue) {
    case 0: ConsoleNormVideo(); break;
    case 1: ConsoleHighVideo(); break;
    case 5:
    case 6: ConsoleTextAttr = static_cast<std::uint8_t>(ConsoleTextAttr | 0x80); break;
    case 7:
    case 27: Reverse(); break;
    case 8:
      AnsiAttr = ConsoleTextAttr;
      ConsoleTextAttr = 0;
      break;
    case 22: ConsoleLowVideo(); break;
    case 25: ConsoleTextAttr = static_cast<std::uint8_t>(ConsoleTextAttr & 0x7F); break;
    case 28: ConsoleTextAttr = AnsiAttr; break;
    default:
      if (AValue >= 30 && AValue <= 37) {
        std::int32_t Colour = AnsiColours[static_cast<std::size_t>(AValue - 30)];
        if ((ConsoleTextAttr & 0x0F) > 7) Colour += 8;  // a bright foreground stays bright
        ConsoleSetForeground(static_cast<std::uint8_t>(Colour));
      } else if (AValue >= 40 && AValue <= 47) {
        ConsoleSetBackground(static_cast<std::uint8_t>(AnsiColours[static_cast<std::size_t>(AValue - 40)]));
      }
      break;  // 2, 3, 4, 21, 24 and the rest: nothing
  }
}

void HandleCode(char ACode) {
  const std::int32_t P1 = AnsiParams[1];
  const std::int32_t N = P1 >= 1 ? P1 : 1;
  const std::int32_t X = ConsoleWhereX();
  const std::int32_t Y = ConsoleWhereY();
  const std::int32_t W = WindowWidth();
  const std::int32_t H = WindowHeight();
  // Counts are compared before they are added, so INT32_MAX moves to the edge without overflow.
  const std::int32_t Down = N >= H - Y ? H : Y + N;
  const std::int32_t Up = N >= Y - 1 ? 1 : Y - N;
  switch (ACode) {
    case 'A': GotoInside(X, Up); break;                          // CUU (ECMA-48 8.3.22)
    case 'B': GotoInside(X, Down); break;                        // CUD (ECMA-48 8.3.19)
    case 'C': GotoInside(N >= W - X ? W : X + N, Y); break;      // CUF (ECMA-48 8.3.20)
    case 'D': GotoInside(N >= X - 1 ? 1 : X - N, Y); break;      // CUB (ECMA-48 8.3.18)
    case 'E': GotoInside(1, Down); break;                        // CNL (ECMA-48 8.3.12)
    case 'F': GotoInside(1, Up); break;                          // CPL (ECMA-48 8.3.13)
    case 'G':                                                    // CHA (ECMA-48 8.3.9)
      if (N <= W) GotoInside(N, Y);
      break;
    case 'H':  // CUP (ECMA-48 8.3.21)
    case 'f':  // HVP (ECMA-48 8.3.63)
      while (AnsiParamCount < 3) AddAnsiParam(0);
      GotoInside(AnsiParams[2] >= 1 ? AnsiParams[2] : 1, P1 >= 1 ? P1 : 1);
      break;
    case 'J':  // ED (ECMA-48 8.3.39): only the whole-screen erase is carried out
      if (P1 == 2) ConsoleClrScr();
      break;
    case 'K':  // EL (ECMA-48 8.3.41): only the erase to the end of the line
      if (P1 == 0) ConsoleClrEol();
      break;
    // IL and DL (ECMA-48 8.3.67, 8.3.32): more lines than the window holds have the same effect
    // as the window's height, so the count is capped there and a huge count cannot stall.
    case 'L':
      for (std::int32_t I = std::min(N, H); I > 0; --I) ConsoleInsLine();
      break;
    case 'M':
      for (std::int32_t I = std::min(N, H); I > 0; --I) ConsoleDelLine();
      break;
    case 'h':  // DECTCEM show cursor, ESC[?25h (the "?" was skipped)
      if (P1 == 25) ConsoleCursorOn();
      break;
    case 'l':
      if (P1 == 25) ConsoleCursorOff();
      break;
    case 'm':
      for (std::size_t I = 1; I < AnsiParamCount; ++I) ApplyRendition(AnsiParams[I]);
      break;
    case 's': AnsiXY = X + Y * 256; break;
    // The saved position may lie outside a window narrowed since; the move is then ignored.
    case 'u': GotoInside(AnsiXY & 0xFF, (AnsiXY >> 8) & 0xFF); break;
    default: break;  // "n", "S", "T" and every other final byte: consumed, nothing done
  }
}

void DrawRun(const char* AStart, std::size_t ALength) {
  if (ALength == 0) return;
  FRun.assign(AStart, ALength);
  ConsoleWrite(FRun);
}

}  // namespace

std::string AnsiClrEol() { return "\x1b[K"; }
std::string AnsiClrScr() { return "\x1b[2J" + AnsiGotoXY(1, 1); }
std::string AnsiCursorSave() { return "\x1b[s"; }
std::string AnsiCursorRestore() { return "\x1b[u"; }
std::string AnsiCursorUp(std::uint8_t ACount) { return "\x1b[" + std::to_string(ACount) + "A"; }
std::string AnsiCursorDown(std::uint8_t ACount) { return "\x1b[" + std::to_string(ACount) + "B"; }
std::string AnsiCursorRight(std::uint8_t ACount) { return "\x1b[" + std::to_string(ACount) + "C"; }
std::string AnsiCursorLeft(std::uint8_t ACount) { return "\x1b[" + std::to_string(ACount) + "D"; }

std::string AnsiGotoXY(std::uint8_t AX, std::uint8_t AY) {
  return "\x1b[" + std::to_string(AY) + ";" + std::to_string(AX) + "f";
}

// Both terminals stop at the first column (row), so 255 steps back need no knowledge of where the
// cursor stands.
std::string AnsiGotoX(std::uint8_t AX) {
  std::string Result = AnsiCursorLeft(255);
  if (AX > 1) Result += AnsiCursorRight(static_cast<std::uint8_t>(AX - 1));
  return Result;
}

std::string AnsiGotoY(std::uint8_t AY) {
  std::string Result = AnsiCursorUp(255);
  if (AY > 1) Result += AnsiCursorDown(static_cast<std::uint8_t>(AY - 1));
  return Result;
}

std::string AnsiTextBackground(std::uint8_t AColour) {
  return "\x1b[" + std::to_string(AnsiColours[AColour & 0x07] + 40) + "m";
}

std::string AnsiTextColour(std::uint8_t AColour) {
  const std::uint8_t Colour = AColour & 0x0F;
  if (Colour < 8) {
    // SGR 0 also resets the caller's background, so the console's current one is sent again.
    return "\x1b[0;" + std::to_string(AnsiColours[Colour] + 30) + "m" +
           AnsiTextBackground(static_cast<std::uint8_t>(ConsoleTextAttr >> 4));
  }
  return "\x1b[1;" + std::to_string(AnsiColours[Colour - 8] + 30) + "m";
}

std::string AnsiTextAttr(std::uint8_t AAttr) {
  return AnsiTextColour(AAttr & 0x0F) + AnsiTextBackground(static_cast<std::uint8_t>(AAttr >> 4));
}

std::string AnsiBlink(bool ABlink) {
  if (ABlink) return "\x1b[5m";
  // No blink-off rendition is used: reset, then rebuild the colours the console holds.
  return "\x1b[0m" + AnsiTextBackground(static_cast<std::uint8_t>(ConsoleTextAttr >> 4)) +
         AnsiTextColour(ConsoleTextAttr & 0x0F);
}

void AnsiWrite(const std::string& AText) {
  const char* Pos = AText.data();
  const char* const End = Pos + AText.size();
  while (Pos < End) {
    switch (AnsiParserState) {
      case None: {
        // Plain text runs up to the next ESC and reaches the console in one write.
        const void* Found = std::memchr(Pos, 0x1b, static_cast<std::size_t>(End - Pos));
        if (Found == nullptr) {
          if (Pos == AText.data()) {
            ConsoleWrite(AText);
          } else {
            DrawRun(Pos, static_cast<std::size_t>(End - Pos));
          }
          return;
        }
        const char* Escape = static_cast<const char*>(Found);
        DrawRun(Pos, static_cast<std::size_t>(Escape - Pos));
        Pos = Escape + 1;
        AnsiParserState = HaveEscape;
        break;
      }
      case HaveEscape:
        if (*Pos == '[') {
          AnsiBuffer = 0;
          AnsiParamCount = 1;
          AnsiParserState = HaveBracket;
        } else {
          AnsiParserState = None;  // an ESC not starting a control sequence is dropped with its byte
        }
        ++Pos;
        break;
      case HaveBracket: {
        const auto Byte = static_cast<unsigned char>(*Pos++);
        if (Byte >= '0' && Byte <= '9') {
          if (AnsiBuffer < kOversized) {
            AnsiBuffer = AnsiBuffer * 10 + (Byte - '0');
            if (AnsiBuffer > INT32_MAX) AnsiBuffer = kOversized;
          }
        } else if (Byte == ';') {
          AddAnsiParam(TakeAnsiBuffer());
        } else if (Byte == ' ' || (Byte >= '<' && Byte <= '?')) {
          // Intermediate space and private-parameter markers: ESC[?25l reads as ESC[25l.
        } else {
          // Any other byte ends the sequence and is consumed with it, control bytes and ESC too.
          AddAnsiParam(TakeAnsiBuffer());
          AnsiParserState = None;
          HandleCode(static_cast<char>(Byte));
        }
        break;
      }
    }
  }
}

void AnsiWriteLn(const std::string& AText) { AnsiWrite(AText + "\r\n"); }

void AnsiResetForTesting() {
  AnsiParserState = None;
  AnsiBuffer = 0;
  AnsiParams.fill(0);
  AnsiParamCount = 1;
  AnsiXY = 257;
  AnsiAttr = 7;
}
