// The console's terminal side: what the terminal shows now, and the difference flush that brings it
// up to date with the model in one write (cells, line moves, attribute, cursor), code page 437 glyphs.

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "console/console.h"
#include "console/console_internal.h"

namespace console_internal {
int FTermWidth = 80, FTermHeight = 25;
bool FEverWritten = false;
bool FCallerOutput = false;
}  // namespace console_internal

using namespace console_internal;

namespace {

// Bytes the terminal cannot be trusted to show as a character in 8-bit mode (C0 and C1 controls,
// DEL) are drawn as this byte instead, so none of them ever reaches the terminal as a control.
constexpr char kRawSubstitute = '?';

// The glyphs of the PC character set as Unicode code points; bytes 32-126 are ASCII.
constexpr std::array<char16_t, 256> kCp437 = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25D8, 0x25CB, 0x25D9, 0x2642,
    0x2640, 0x266A, 0x266B, 0x263C, 0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC, 0x0020, 0x0021, 0x0022, 0x0023,
    0x0024, 0x0025, 0x0026, 0x0027, 0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0039, 0x003A, 0x003B,
    0x003C, 0x003D, 0x003E, 0x003F, 0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F, 0x0050, 0x0051, 0x0052, 0x0053,
    0x0054, 0x0055, 0x0056, 0x0057, 0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F,
    0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067, 0x0068, 0x0069, 0x006A, 0x006B,
    0x006C, 0x006D, 0x006E, 0x006F, 0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,
    0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x2302, 0x00C7, 0x00FC, 0x00E9, 0x00E2,
    0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2,
    0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566,
    0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0,
    0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A,
    0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// PC colour order (black, blue, green, cyan, red, magenta, brown, grey) to the ANSI colour digit.
constexpr char kPcToAnsi[8] = {'0', '4', '2', '6', '1', '5', '3', '7'};

// What the terminal shows now, as far as the console knows (FShown, FOutBuf and FFlushedShadow
// are defined in console.cpp).
int FTermX = 0, FTermY = 0;      // 0: unknown (start, or pending wrap after the last column)
int FTermAttr = -1;              // SGR in force, -1 unknown
int FTermCursorVisible = -1;     // -1 unknown

void AppendNumber(std::string& AOut, int AValue) { AOut += std::to_string(AValue); }

void AppendCursorTo(int AX, int AY) {
  FOutBuf += "\x1b[";  // CUP, cursor position (ECMA-48 8.3.21)
  AppendNumber(FOutBuf, AY);
  FOutBuf += ';';
  AppendNumber(FOutBuf, AX);
  FOutBuf += 'H';
  FTermX = AX;
  FTermY = AY;
}

void AppendAttr(int AAttr) {
  if (AAttr == FTermAttr) return;
  // SGR (ECMA-48 8.3.117). Bold and blink can only be switched off by a reset, so a change that
  // drops either starts from 0; otherwise only what differs is sent.
  bool Reset = FTermAttr < 0 || ((FTermAttr & 0x08) && !(AAttr & 0x08)) || ((FTermAttr & 0x80) && !(AAttr & 0x80));
  if (!Reset) {
    std::string Parts;
    if ((AAttr & 0x08) && !(FTermAttr & 0x08)) Parts += "1;";
    if ((AAttr & 0x80) && !(FTermAttr & 0x80)) Parts += "5;";
    if ((AAttr & 0x07) != (FTermAttr & 0x07)) {
      Parts += '3';
      Parts += kPcToAnsi[AAttr & 0x07];
      Parts += ';';
    }
    if ((AAttr & 0x70) != (FTermAttr & 0x70)) {
      Parts += '4';
      Parts += kPcToAnsi[(AAttr >> 4) & 0x07];
      Parts += ';';
    }
    Parts.back() = 'm';
    FOutBuf += "\x1b[";
    FOutBuf += Parts;
    FTermAttr = AAttr;
    return;
  }
  FOutBuf += "\x1b[0;";
  if (AAttr & 0x08) FOutBuf += "1;";
  if (AAttr & 0x80) FOutBuf += "5;";
  FOutBuf += '3';
  FOutBuf += kPcToAnsi[AAttr & 0x07];
  FOutBuf += ";4";
  FOutBuf += kPcToAnsi[(AAttr >> 4) & 0x07];
  FOutBuf += 'm';
  FTermAttr = AAttr;
}

// The byte the terminal's cell is meant to hold, with NUL shown as a blank.
std::uint8_t DisplayByte(std::uint8_t ACh) { return ACh == 0 ? ' ' : ACh; }

void AppendGlyph(std::uint8_t AByte) {
  if (AByte >= 0x20 && AByte < 0x7F) {
    FOutBuf += static_cast<char>(AByte);
  } else if (FUtf8) {
    char16_t Cp = kCp437[AByte];
    if (Cp < 0x800) {
      FOutBuf += static_cast<char>(0xC0 | (Cp >> 6));
      FOutBuf += static_cast<char>(0x80 | (Cp & 0x3F));
    } else {
      FOutBuf += static_cast<char>(0xE0 | (Cp >> 12));
      FOutBuf += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
      FOutBuf += static_cast<char>(0x80 | (Cp & 0x3F));
    }
  } else if (AByte >= 0xA0) {
    FOutBuf += static_cast<char>(AByte);
  } else {
    FOutBuf += kRawSubstitute;
  }
}

std::uint16_t ShadowCell(int AX, int AY) {
  std::size_t I = (static_cast<std::size_t>(AY - 1) * static_cast<std::size_t>(ConsoleScreenWidth) + static_cast<std::size_t>(AX - 1)) * 2;
  return static_cast<std::uint16_t>(DisplayByte(ConsoleShadowBuffer[I]) | (ConsoleShadowBuffer[I + 1] << 8));
}

std::uint16_t& ShownCell(int AX, int AY) {
  return FShown[static_cast<std::size_t>(AY - 1) * static_cast<std::size_t>(ConsoleScreenWidth) + static_cast<std::size_t>(AX - 1)];
}

// A full redraw starts from a terminal cleared in the attribute of the top-left cell.
void AppendClearScreen() {
  std::uint16_t First = ShadowCell(1, 1);
  AppendAttr(First >> 8);
  FOutBuf += "\x1b[2J";  // ED, erase in page (ECMA-48 8.3.39), in the current background
  for (int Y = 1; Y <= ConsoleScreenHeight; ++Y)
    for (int X = 1; X <= ConsoleScreenWidth; ++X) ShownCell(X, Y) = static_cast<std::uint16_t>(' ' | (First & 0xFF00));
}

void AppendRowChanges(int AY, int AVisibleWidth) {
  for (int X = 1; X <= AVisibleWidth; ++X) {
    std::uint16_t Want = ShadowCell(X, AY);
    if (ShownCell(X, AY) == Want) continue;
    // When the rest of the row is blanks in one attribute, one EL does it.
    if ((Want & 0xFF) == ' ' && AVisibleWidth - X >= 4) {
      bool AllBlank = true;
      for (int R = X + 1; R <= AVisibleWidth && AllBlank; ++R) AllBlank = ShadowCell(R, AY) == Want;
      if (AllBlank) {
        if (FTermX != X || FTermY != AY) AppendCursorTo(X, AY);
        AppendAttr(Want >> 8);
        FOutBuf += "\x1b[K";  // EL, erase in line (ECMA-48 8.3.41), cursor stays
        for (int R = X; R <= AVisibleWidth; ++R) ShownCell(R, AY) = Want;
        return;
      }
    }
    if (FTermX != X || FTermY != AY) {
      // A short gap of unchanged cells in the current attribute is cheaper rewritten than skipped.
      bool Bridged = false;
      if (FTermY == AY && FTermX > 0 && FTermX < X && X - FTermX <= 3) {
        bool SameAttr = true;
        for (int G = FTermX; G < X && SameAttr; ++G) SameAttr = (ShadowCell(G, AY) >> 8) == FTermAttr;
        if (SameAttr) {
          for (int G = FTermX; G < X; ++G) AppendGlyph(static_cast<std::uint8_t>(ShadowCell(G, AY) & 0xFF));
          Bridged = true;
        }
      }
      if (!Bridged) AppendCursorTo(X, AY);
    }
    AppendAttr(Want >> 8);
    AppendGlyph(static_cast<std::uint8_t>(Want & 0xFF));
    ShownCell(X, AY) = Want;
    // In the last column the terminal holds a pending wrap: its cursor position is not to be relied on.
    FTermX = X < AVisibleWidth || X < FTermWidth ? X + 1 : 0;
    FTermY = FTermX == 0 ? 0 : AY;
  }
}

std::uint64_t RowHash(bool AShown, int AY, int AWidth) {
  std::uint64_t H = 1469598103934665603ULL;  // FNV-1a over the row's cells
  for (int X = 1; X <= AWidth; ++X) {
    std::uint16_t C = AShown ? ShownCell(X, AY) : ShadowCell(X, AY);
    H = (H ^ C) * 1099511628211ULL;
  }
  return H;
}

bool RowsEqual(int AShadowY, int AShownY, int AWidth) {
  for (int X = 1; X <= AWidth; ++X)
    if (ShadowCell(X, AShadowY) != ShownCell(X, AShownY)) return false;
  return true;
}

// When a band of whole rows has moved up or down (a window scrolled, lines inserted or deleted),
// moves them on the terminal with DL and IL (ECMA-48 8.3.32, 8.3.67) instead of redrawing them.
// A DL at the band's top and an IL under its new bottom (or the reverse) leave every row outside
// the band where it was, so no scrolling region is needed.
void AppendLineMoves(int AVisibleWidth, int AVisibleHeight) {
  if (AVisibleWidth < FTermWidth || AVisibleHeight != FTermHeight) return;  // whole terminal lines only
  constexpr int kMaxRows = 255;
  std::uint64_t Want[kMaxRows + 1], Have[kMaxRows + 1];
  int First = 0, Last = 0, Differing = 0;
  for (int Y = 1; Y <= AVisibleHeight; ++Y) {
    Want[Y] = RowHash(false, Y, AVisibleWidth);
    Have[Y] = RowHash(true, Y, AVisibleWidth);
    if (Want[Y] != Have[Y] || !RowsEqual(Y, Y, AVisibleWidth)) {
      if (First == 0) First = Y;
      Last = Y;
      ++Differing;
    }
  }
  if (Differing < 3) return;
  int BestShift = 0, BestMatches = 0;
  for (int K = -(Last - First); K <= Last - First; ++K) {
    if (K == 0) continue;
    int Matches = 0;
    for (int Y = First; Y <= Last; ++Y) {
      int From = Y + K;
      if (From >= First && From <= Last && Want[Y] == Have[From]) ++Matches;
    }
    if (Matches > BestMatches) {
      BestMatches = Matches;
      BestShift = K;
    }
  }
  int K = BestShift > 0 ? BestShift : -BestShift;
  if (BestMatches < 2 || BestMatches <= K) return;
  if (FTermAttr < 0) AppendAttr(7);
  auto Emit = [](int AY, char AOp, int ACount) {
    AppendCursorTo(1, AY);
    FOutBuf += "\x1b[";
    AppendNumber(FOutBuf, ACount);
    FOutBuf += AOp;
  };
  const std::uint16_t Blank = static_cast<std::uint16_t>(' ' | (FTermAttr << 8));
  auto MoveRow = [](int AFrom, int ATo) {
    for (int X = 1; X <= ConsoleScreenWidth; ++X) ShownCell(X, ATo) = ShownCell(X, AFrom);
  };
  auto BlankRow = [&](int AY) {
    for (int X = 1; X <= ConsoleScreenWidth; ++X) ShownCell(X, AY) = Blank;
  };
  if (BestShift > 0) {  // rows moved up: shadow row Y shows what the terminal has at Y + K
    Emit(First, 'M', K);          // DL
    Emit(Last - K + 1, 'L', K);   // IL
    for (int Y = First; Y <= Last - K; ++Y) MoveRow(Y + K, Y);
    for (int Y = Last - K + 1; Y <= Last; ++Y) BlankRow(Y);
  } else {              // rows moved down
    Emit(Last - K + 1, 'M', K);   // DL
    Emit(First, 'L', K);          // IL
    for (int Y = Last; Y >= First + K; --Y) MoveRow(Y - K, Y);
    for (int Y = First; Y < First + K; ++Y) BlankRow(Y);
  }
}

}  // namespace

namespace console_internal {

void ReadTerminalSize(int& AWidth, int& AHeight) {
  AWidth = 80;
  AHeight = 25;
  winsize Size{};
  if (isatty(FOut) && ioctl(FOut, TIOCGWINSZ, &Size) == 0 && Size.ws_col > 0 && Size.ws_row > 0) {
    AWidth = Size.ws_col;
    AHeight = Size.ws_row;
  }
}

void ForgetTerminalImage() {
  FShown.assign(static_cast<std::size_t>(ConsoleScreenWidth) * static_cast<std::size_t>(ConsoleScreenHeight),
                kUnknownCell);
  FTermX = FTermY = 0;
  FTermAttr = -1;
  FTermCursorVisible = -1;
}

}  // namespace console_internal

namespace {

// Writes all of AData, or as much as the descriptor takes: a closed or broken standard output
// loses the text silently, and a write to a closed pipe must not end the program with SIGPIPE.
void WriteOut(const std::string& AData) {
  sigset_t Pipe, OldMask, Pending;
  sigemptyset(&Pipe);
  sigaddset(&Pipe, SIGPIPE);
  sigprocmask(SIG_BLOCK, &Pipe, &OldMask);
  sigpending(&Pending);
  bool WasPending = sigismember(&Pending, SIGPIPE) == 1;
  bool Broken = false;
  std::size_t Done = 0;
  int Stalls = 0;
  while (Done < AData.size()) {
    ssize_t N = write(FOut, AData.data() + Done, AData.size() - Done);
    if (N > 0) {
      Done += static_cast<std::size_t>(N);
      continue;
    }
    if (N < 0 && errno == EINTR) continue;
    if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && ++Stalls < 100) {
      pollfd P{FOut, POLLOUT, 0};
      std::ignore = poll(&P, 1, 20);
      continue;
    }
    Broken = N < 0 && errno == EPIPE;
    break;
  }
  if (Broken && !WasPending) {
    timespec Zero{};
    std::ignore = sigtimedwait(&Pipe, nullptr, &Zero);  // consume the SIGPIPE this write raised
  }
  sigprocmask(SIG_SETMASK, &OldMask, nullptr);
}

}  // namespace

namespace console_internal {

void WriteAll(const std::string& AData) {
  if (AData.empty()) return;
  FEverWritten = true;
  WriteOut(AData);
}

void HandleResize() {
  if (FResized == 0) return;
  FResized = 0;
  ReadTerminalSize(FTermWidth, FTermHeight);
  ForgetTerminalImage();
  FDirty = true;
}

}  // namespace console_internal

void ConsoleFlush() {
  EnsureInitialised();
  HandleResize();
  if (!FDirty || FCallerOutput) return;
  FOutBuf.clear();
  int VisibleWidth = std::min(FTermWidth, static_cast<int>(ConsoleScreenWidth));
  int VisibleHeight = std::min(FTermHeight, static_cast<int>(ConsoleScreenHeight));
  int CursorX = std::min(FCurX, VisibleWidth);
  int CursorY = std::min(FCurY, VisibleHeight);
  // The door polls for keys every millisecond: an unchanged screen costs one comparison.
  bool ImageKnown = !FShown.empty() && FShown[0] != kUnknownCell;
  if (ImageKnown && FTermX == CursorX && FTermY == CursorY && FTermCursorVisible == (FCursorVisible ? 1 : 0) &&
      ConsoleShadowBuffer == FFlushedShadow)
    return;
  FFlushedShadow = ConsoleShadowBuffer;
  if (FShown.empty() || FShown[0] == kUnknownCell) AppendClearScreen();
  else AppendLineMoves(VisibleWidth, VisibleHeight);
  for (int Y = 1; Y <= VisibleHeight; ++Y) AppendRowChanges(Y, VisibleWidth);
  if (FTermX != CursorX || FTermY != CursorY) AppendCursorTo(CursorX, CursorY);
  if (FTermCursorVisible != (FCursorVisible ? 1 : 0)) {
    FOutBuf += FCursorVisible ? "\x1b[?25h" : "\x1b[?25l";  // DECTCEM, text cursor enable mode
    FTermCursorVisible = FCursorVisible ? 1 : 0;
  }
  WriteAll(FOutBuf);
  FOutBuf.clear();
}

void ConsoleSetCallerOutput(bool ACaller) {
  EnsureInitialised();
  FCallerOutput = ACaller;
  if (!ACaller) {
    ForgetTerminalImage();
    FDirty = true;
    return;
  }
  // The caller's CR LF line ends go out as they are, not as CR CR LF: output post-processing off
  // when standard output is a terminal (its settings come back at exit).
  termios Settings{};
  if (!FOutPostOff && isatty(FOut) && tcgetattr(FOut, &Settings) == 0 && (Settings.c_oflag & OPOST) != 0) {
    FSavedOutTermios = Settings;
    Settings.c_oflag &= static_cast<tcflag_t>(~OPOST);
    if (tcsetattr(FOut, TCSADRAIN, &Settings) == 0) {
      FOutPostOff = true;
      FOutPostFd = FOut;
    }
  }
}

void ConsoleWriteCaller(const std::string& ABytes) {
  EnsureInitialised();
  if (!ABytes.empty()) WriteOut(ABytes);
}
