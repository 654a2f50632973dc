// The interpreter against libvterm: the same ANSI streams drawn by both must give the same screen
// wherever the two models agree by definition.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "ansi/ansi.h"
#include "console/console.h"
#include "console/console_testing.h"
#include "tests/ansi/ansi_test_util.h"
#include "tests/support/vterm_screen.h"

namespace {

using ansi_test::CellAttr;
using ansi_test::CellChar;

// Builds a random stream of text, colours, cursor moves and erases on an 80 x 25 screen, keeping
// to what both models define alike: positions inside the screen, no text reaching the last column
// (the console wraps there at once, a VT100 only on the next character), no erase or scroll while
// bold is on (libvterm clears with the pen's colours but not its bold), no blink or reverse, and
// bold ended only by a reset (libvterm's SGR 22 leaves a colour chosen under bold bright).
class StreamMaker {
 public:
  explicit StreamMaker(std::uint32_t ASeed) : FRng(ASeed) {}

  std::string Make(int ASteps) {
    std::string S = "\x1b[0m\x1b[2J";
    FX = FY = 1;
    FBold = false;
    for (int I = 0; I < ASteps; ++I) S += Step();
    return S;
  }

 private:
  int Pick(int ALow, int AHigh) { return std::uniform_int_distribution<int>(ALow, AHigh)(FRng); }
  std::string Csi(const std::string& AParams, char AFinal) { return "\x1b[" + AParams + AFinal; }
  std::string Unbold() {
    if (!FBold) return "";
    FBold = false;
    return Csi("0", 'm');
  }

  std::string Step() {
    switch (Pick(0, 9)) {
      case 0:
      case 1: {  // plain text, stopping short of the last column
        const int Room = 79 - FX;
        if (Room <= 0) return "";
        std::string Text(static_cast<std::size_t>(Pick(1, std::min(Room, 30))), ' ');
        for (auto& Ch : Text) Ch = static_cast<char>(Pick(33, 126));
        FX += static_cast<int>(Text.size());
        return Text;
      }
      case 2: {  // renditions, several per sequence
        std::string Params;
        const int Count = Pick(1, 4);
        for (int I = 0; I < Count; ++I) {
          if (I > 0) Params += ';';
          const int Kind = Pick(0, 4);
          int V = 0;
          if (Kind == 1) V = 1;
          if (Kind == 2) V = Pick(30, 37);
          if (Kind >= 3) V = Pick(40, 47);
          if (V == 1) FBold = true;
          if (V == 0) FBold = false;
          Params += (V == 0 && Pick(0, 1) == 0) ? "" : std::to_string(V);
        }
        return Csi(Params, 'm');
      }
      case 3: {  // relative moves, sometimes far past the edge
        const char Final = "ABCD"[Pick(0, 3)];
        const int N = Pick(0, 3) == 0 ? Pick(0, 300) : Pick(0, 5);
        const int Steps = N < 1 ? 1 : N;
        if (Final == 'A') FY = std::max(1, FY - Steps);
        if (Final == 'B') FY = std::min(25, FY + Steps);
        if (Final == 'C') FX = std::min(80, FX + Steps);
        if (Final == 'D') FX = std::max(1, FX - Steps);
        return Csi(N == 0 && Pick(0, 1) == 0 ? "" : std::to_string(N), Final);
      }
      case 4:
      case 5: {  // absolute moves
        FY = Pick(1, 25);
        FX = Pick(1, 80);
        return Csi(std::to_string(FY) + ";" + std::to_string(FX), Pick(0, 1) == 0 ? 'H' : 'f');
      }
      case 6: {
        if (Pick(0, 3) != 0) return Unbold() + Csi("", 'K');
        FX = FY = 1;
        return Unbold() + Csi("2", 'J') + Csi("", 'H');
      }
      case 7: {  // new line; on the bottom row the screen scrolls
        std::string S = FY == 25 ? Unbold() : "";
        FX = 1;
        FY = std::min(25, FY + 1);
        return S + "\r\n";
      }
      case 8:
        FX = 1;
        return "\r";
      default: {  // column absolute, next and previous line
        const int Kind = Pick(0, 2);
        if (Kind == 0) {
          FX = Pick(1, 80);
          return Csi(std::to_string(FX), 'G');
        }
        const int N = Pick(1, 30);
        FX = 1;
        FY = Kind == 1 ? std::min(25, FY + N) : std::max(1, FY - N);
        return Csi(std::to_string(N), Kind == 1 ? 'E' : 'F');
      }
    }
  }

  std::mt19937 FRng;
  int FX = 1;
  int FY = 1;
  bool FBold = false;
};

std::string ConsolePicture() {
  std::string All;
  for (int Y = 1; Y <= 25; ++Y) {
    for (int X = 1; X <= 80; ++X) All += CellChar(X, Y);
    All += '\n';
  }
  return All;
}

TEST(AnsiVsVterm, RandomStreamsDrawTheSameScreen) {
  for (std::uint32_t Seed = 1; Seed <= 60; ++Seed) {
    SCOPED_TRACE(testing::Message() << "seed " << Seed);
    ansi_test::ResetOnDevNull();
    zelkit_test::VtermScreen Vt(25, 80, false);
    StreamMaker Maker(Seed);
    const std::string Stream = Maker.Make(400);
    // Fed in random slices, so sequences also cross write boundaries.
    std::mt19937 Rng(Seed);
    for (std::size_t Pos = 0; Pos < Stream.size();) {
      const std::size_t Len = std::min<std::size_t>(Stream.size() - Pos, 1 + Rng() % 64);
      AnsiWrite(Stream.substr(Pos, Len));
      Pos += Len;
    }
    Vt.Feed(Stream);
    ASSERT_EQ(Vt.Picture() + "\n", ConsolePicture()) << testing::PrintToString(Stream);
    for (int Y = 1; Y <= 25; ++Y) {
      for (int X = 1; X <= 80; ++X) {
        ASSERT_EQ(Vt.Attr(X, Y), CellAttr(X, Y)) << "cell " << X << "," << Y;
      }
    }
    EXPECT_EQ(Vt.CursorX(), ConsoleWhereX());
    EXPECT_EQ(Vt.CursorY(), ConsoleWhereY());
  }
}

// What the console sends to its terminal for a piece of ANSI text, read back through libvterm.
TEST(AnsiVsVterm, PrivateModeCursorVisibility) {
  int Pipe[2];
  ASSERT_EQ(0, pipe2(Pipe, O_CLOEXEC | O_NONBLOCK));
  const int Null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ConsoleUseFds(Null, Pipe[1]);
  ConsoleResetForTesting(80, 25);
  AnsiResetForTesting();
  zelkit_test::VtermScreen Vt(25, 80, false);
  auto Drain = [&] {
    ConsoleFlush();
    char Buf[4096];
    ssize_t N;
    while ((N = read(Pipe[0], Buf, sizeof Buf)) > 0) Vt.Feed(std::string(Buf, static_cast<std::size_t>(N)));
  };
  struct Case { std::string in; bool visible; };
  const Case kCases[] = {
      {"\x1b[?25l", false}, {"\x1b[?7h", false}, {"\x1b[?25h", true}, {"\x1b[?7l", true},
      {"\x1b[25l", false},  {"\x1b[7h", false},  {"\x1b[=25h", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    AnsiWrite(c.in + "x");
    Drain();
    EXPECT_EQ(c.visible, Vt.CursorVisible());
  }
  EXPECT_EQ(std::string(7, 'x'), Vt.Text(1).substr(0, 7));  // no sequence leaked as text
  ConsoleUseFds(Null, Null);
  close(Pipe[0]);
  close(Pipe[1]);
  close(Null);
}

}  // namespace
