// Cell-level access to the 80 x 25 screen: bounds, clipping, the untouched window, cursor and
// attribute, save and restore; read back from the shadow buffer and from what a terminal shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "console/console.h"
#include "console/console_testing.h"
#include "tests/support/vterm_screen.h"
#include "videoutils/videoutils.h"

namespace {

// The console draws into a pipe (no terminal: an 80 x 25 model) that the test reads back.
class CellUtils : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, pipe(FPipe));
    fcntl(FPipe[0], F_SETFL, O_NONBLOCK);
    FNull = open("/dev/null", O_RDONLY);
    ConsoleUseFds(FNull, FPipe[1]);
    ConsoleSetUtf8ForTesting(true);
  }
  void TearDown() override {
    ConsoleUseFds(FNull, FNull);
    close(FPipe[0]);
    close(FPipe[1]);
  }
  std::string Drain() {
    ConsoleFlush();
    std::string Out;
    char Buf[4096];
    for (ssize_t N; (N = read(FPipe[0], Buf, sizeof Buf)) > 0;) Out.append(Buf, static_cast<std::size_t>(N));
    return Out;
  }
  std::string Row(std::uint8_t AY) {
    std::string R;
    for (std::uint8_t X = 1; X <= 80; ++X) R += GetCharAt(X, AY);
    return R;
  }
  int FPipe[2] = {-1, -1};
  int FNull = -1;
};

TEST_F(CellUtils, ReadsOutsideTheScreenAnswerBlankGrey) {
  ConsoleTextAttr = 0x4F;
  ConsoleWrite(std::string(80 * 3, '#'));
  struct Case { std::uint8_t x, y; };
  const Case kCases[] = {{0, 1}, {81, 1}, {1, 26}, {1, 0}, {255, 255}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    EXPECT_EQ(' ', GetCharAt(c.x, c.y));
    EXPECT_EQ(7, GetAttrAt(c.x, c.y));
  }
  EXPECT_EQ('#', GetCharAt(80, 1));
  EXPECT_EQ(0x4F, GetAttrAt(80, 1));
}

TEST_F(CellUtils, FastWriteClipsAtColumn80AndAt79OnTheBottomRow) {
  struct Case { std::uint8_t x, y; std::size_t drawn; };
  const Case kCases[] = {{75, 10, 6}, {75, 25, 5}, {80, 25, 0}, {1, 25, 79}, {80, 10, 1}, {1, 1, 80}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    ConsoleResetForTesting();
    ConsoleGotoXY(1, 20);
    ConsoleWrite("marker");
    FastWrite(std::string(100, '*'), c.x, c.y, 0x1E);
    std::string Want = std::string(c.x - 1u, '\0') + std::string(c.drawn, '*');
    Want += std::string(80 - Want.size(), '\0');
    EXPECT_EQ(Want, Row(c.y));
    EXPECT_EQ("marker", Row(20).substr(0, 6)) << "the screen must not scroll";
    if (c.drawn > 0) {
      EXPECT_EQ(0x1E, GetAttrAt(c.x, c.y));
    }
  }
  FastWrite("x", 0, 5, 7);
  FastWrite("x", 1, 26, 7);
  EXPECT_EQ(std::string(80, '\0'), Row(5));
}

TEST_F(CellUtils, FastWriteLeavesWindowCursorAndAttributeAlone) {
  ConsoleWindow(1, 1, 80, 24);
  ConsoleGotoXY(5, 3);
  ConsoleTextAttr = 0x2A;
  FastWrite("Status bar", 3, 25, 0x70);
  EXPECT_EQ("Status bar", Row(25).substr(2, 10));
  EXPECT_EQ(0x70, GetAttrAt(3, 25));
  EXPECT_EQ(1, ConsoleWindowLeft());
  EXPECT_EQ(1, ConsoleWindowTop());
  EXPECT_EQ(80, ConsoleWindowRight());
  EXPECT_EQ(24, ConsoleWindowBottom());
  EXPECT_EQ(5, ConsoleWhereX());
  EXPECT_EQ(3, ConsoleWhereY());
  EXPECT_EQ(0x2A, ConsoleTextAttr);
  // A narrow window elsewhere on the screen: FastWrite still reaches any cell.
  ConsoleWindow(30, 5, 40, 8);
  ConsoleGotoXY(2, 2);
  FastWrite("far", 1, 1, 0x0C);
  EXPECT_EQ("far", Row(1).substr(0, 3));
  EXPECT_EQ(30, ConsoleWindowLeft());
  EXPECT_EQ(8, ConsoleWindowBottom());
  EXPECT_EQ(2, ConsoleWhereX());
  EXPECT_EQ(2, ConsoleWhereY());
}

TEST_F(CellUtils, SetCharAndAttrKeepTheOtherHalf) {
  FastWrite("abc", 10, 4, 0x1F);
  SetCharAt('Z', 11, 4);
  SetAttrAt(0xC2, 12, 4);
  EXPECT_EQ('Z', GetCharAt(11, 4));
  EXPECT_EQ(0x1F, GetAttrAt(11, 4));
  EXPECT_EQ('c', GetCharAt(12, 4));
  EXPECT_EQ(0xC2, GetAttrAt(12, 4));
  SetCharAt('Q', 0, 4);
  SetAttrAt(0x11, 81, 4);
  EXPECT_EQ(std::string(9, '\0') + "aZc", Row(4).substr(0, 12));
}

TEST_F(CellUtils, BottomRightCellIsWrittenWithoutScrolling) {
  ConsoleGotoXY(1, 1);
  ConsoleWrite("top row");
  ConsoleWindow(1, 1, 80, 24);
  ConsoleGotoXY(7, 9);
  SetAttrAt(0x4E, 80, 25);
  SetCharAt('X', 80, 25);
  EXPECT_EQ('X', GetCharAt(80, 25));
  EXPECT_EQ(0x4E, GetAttrAt(80, 25));
  EXPECT_EQ("top row", Row(1).substr(0, 7));
  EXPECT_EQ(7, ConsoleWhereX());
  EXPECT_EQ(9, ConsoleWhereY());
  // The terminal shows it too, and still shows the top row.
  zelkit_test::VtermScreen Screen(25, 80);
  Screen.Feed(Drain());
  EXPECT_EQ('X', Screen.Char(80, 25)) << Screen.Picture();
  EXPECT_EQ(0x4E, Screen.Attr(80, 25));
  EXPECT_EQ("top row", Screen.Text(1).substr(0, 7));
}

TEST_F(CellUtils, SaveRestoreRoundTripAndUnchangedRestoreWritesNothing) {
  for (int Y = 1; Y <= 24; ++Y) {
    ConsoleTextAttr = static_cast<std::uint8_t>(Y * 9);
    ConsoleWrite(std::string(80, static_cast<char>('A' + Y)));
  }
  TScreenBuffer Saved{};
  ScreenSave(Saved);
  EXPECT_EQ('B', Saved[0][0].Ch);
  EXPECT_EQ(9, Saved[0][79].Attr);
  std::ignore = Drain();
  ScreenRestore(Saved);
  EXPECT_EQ("", Drain()) << "restoring the screen it already shows must send nothing";

  TScreenBuffer Other{};
  for (auto& Row2 : Other)
    for (auto& C : Row2) C = TCharInfo{'.', 0x17};
  Other[24][79] = TCharInfo{'!', 0x40};
  ScreenRestore(Other);
  EXPECT_EQ(std::string(80, '.'), Row(3));
  EXPECT_EQ(std::string(79, '.'), Row(25).substr(0, 79));
  EXPECT_NE('!', GetCharAt(80, 25)) << "the bottom-right cell keeps what it showed";
  ScreenRestore(Saved);
  TScreenBuffer Again{};
  ScreenSave(Again);
  for (int Y = 0; Y < 25; ++Y)
    for (int X = 0; X < 80; ++X)
      if (!(Y == 24 && X == 79)) {
        ASSERT_EQ(Saved[Y][X].Ch, Again[Y][X].Ch) << X << "," << Y;
        ASSERT_EQ(Saved[Y][X].Attr, Again[Y][X].Attr) << X << "," << Y;
      }
}

TEST_F(CellUtils, PackedCursorWordIsWindowRelative) {
  ConsoleWindow(10, 5, 60, 20);
  EXPECT_EQ(0, WhereXYAbs());
  GotoXYAbs(0x0409);
  EXPECT_EQ(10, ConsoleWhereX());
  EXPECT_EQ(5, ConsoleWhereY());
  EXPECT_EQ(0x0409, WhereXYAbs());
  GotoXYAbs(0x2000);  // row 33 of a 16-row window: ignored
  EXPECT_EQ(0x0409, WhereXYAbs());
  EXPECT_EQ(80, ScreenSizeX());
  EXPECT_EQ(25, ScreenSizeY());
  CursorHide();
  EXPECT_NE(std::string::npos, Drain().find("\x1b[?25l"));
  CursorShow();
  EXPECT_NE(std::string::npos, Drain().find("\x1b[?25h"));
}

TEST_F(CellUtils, LargerConsoleUsesItsRowStride) {
  ConsoleResetForTesting(132, 43);
  FastWrite("wide", 77, 25, 0x1B);
  EXPECT_EQ("wid", (std::string{GetCharAt(77, 25), GetCharAt(78, 25), GetCharAt(79, 25)}));
  EXPECT_EQ('w', static_cast<char>(ConsoleShadowBuffer[2 * (24 * 132 + 76)]));
  SetCharAt('#', 80, 25);  // on a taller screen the window bottom is row 43: nothing scrolls either
  EXPECT_EQ('#', GetCharAt(80, 25));
  EXPECT_EQ('w', GetCharAt(77, 25));
}

}  // namespace
