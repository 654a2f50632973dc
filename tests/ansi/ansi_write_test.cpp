#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "ansi/ansi.h"
#include "console/console.h"
#include "stringutils/stringutils.h"
#include "tests/ansi/ansi_test_util.h"

namespace {

using ansi_test::CellAttr;
using ansi_test::Picture;
using ansi_test::Row;

const std::string E = "\x1b";

class AnsiWriteTest : public testing::Test {
 protected:
  void SetUp() override { ansi_test::ResetOnDevNull(); }
};

TEST_F(AnsiWriteTest, RenditionsChangeTheAttributeInOrder) {
  struct Case { std::uint8_t from; std::string seq; std::uint8_t want; };
  const Case kCases[] = {
      {0x07, "[1;31m", 0x0C}, {0x07, "[31;1m", 0x0C}, {0x1F, "[m", 0x07},    {0x1F, "[0m", 0x07},
      {0x07, "[5;31m", 0x04}, {0x07, "[31;5m", 0x84}, {0x07, "[6m", 0x87},   {0x87, "[25m", 0x07},
      {0x1F, "[7m", 0x71},    {0x1F, "[7;27m", 0x17}, {0x9F, "[7m", 0x71},   {0x4E, "[27m", 0x64},
      {0x9F, "[22m", 0x17},   {0x17, "[1m", 0x1F},    {0x1C, "[34m", 0x19},  {0x94, "[32m", 0x12},
      {0x8C, "[44m", 0x9C},   {0x07, "[47;30m", 0x70}, {0x07, "[2;3;4;21;24m", 0x07},
      {0x07, "[38;5;196m", 0x87},  // 38 and 196 are ignored, 5 blinks
      {0x07, "[99999999999;31m", 0x04},  // an oversized parameter counts as 0: reset
      {0x07, "[28m", 0x07},   {0x1F, "[8m", 0x00},    {0x1F, "[8;28m", 0x1F}, {0x1F, "[8;31m", 0x04},
      {0x07, "[?1;31m", 0x0C}, {0x07, "[ 1 ; 3 1 m", 0x0C},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "from 0x" << std::hex << int{c.from} << " ESC" << c.seq);
    ansi_test::ResetOnDevNull();
    ConsoleTextAttr = c.from;
    AnsiWrite(E + c.seq + "Hi");
    EXPECT_EQ(c.want, ConsoleTextAttr);
    EXPECT_EQ("Hi", Row(1));
    EXPECT_EQ(c.want, CellAttr(1, 1));
    EXPECT_EQ(c.want, CellAttr(2, 1));
  }
}

TEST_F(AnsiWriteTest, ConcealedAttributeComesBackLater) {
  ConsoleTextAttr = 0x1E;
  AnsiWrite(E + "[8mhidden" + E + "[0;31mred" + E + "[28mback");
  EXPECT_EQ(0x00, CellAttr(1, 1));
  EXPECT_EQ(0x04, CellAttr(7, 1));
  EXPECT_EQ(0x1E, CellAttr(10, 1));
  EXPECT_EQ(0x1E, ConsoleTextAttr);
}

TEST_F(AnsiWriteTest, CursorMovesStayInsideA24RowWindow) {
  struct Case { int x, y; std::string seq; int wantX, wantY; };
  const Case kCases[] = {
      {5, 3, "[10A", 5, 1},     {5, 3, "[A", 5, 2},        {5, 3, "[0A", 5, 2},       {5, 3, "[99B", 5, 24},
      {5, 3, "[2147483647B", 5, 24}, {5, 3, "[2147483647A", 5, 1}, {5, 3, "[2147483647C", 80, 3},
      {5, 3, "[2147483647D", 1, 3},  {5, 3, "[99999999999B", 5, 4},  // oversized counts as 0, so 1
      {5, 3, "[3C", 8, 3},      {5, 3, "[300C", 80, 3},    {5, 3, "[2D", 3, 3},       {5, 3, "[255D", 1, 3},
      {5, 3, "[2E", 1, 5},      {5, 3, "[50E", 1, 24},     {5, 3, "[F", 1, 2},        {5, 3, "[9F", 1, 1},
      {5, 3, "[7G", 7, 3},      {5, 3, "[G", 1, 3},        {5, 3, "[80G", 80, 3},     {5, 3, "[81G", 5, 3},
      {5, 3, "[300G", 5, 3},    {5, 3, "[H", 1, 1},        {5, 3, "[;H", 1, 1},       {5, 3, "[5;10H", 10, 5},
      {5, 3, "[;10H", 10, 1},   {5, 3, "[7f", 1, 7},       {5, 3, "[24;80f", 80, 24}, {5, 3, "[25;1H", 5, 3},
      {5, 3, "[5;81H", 5, 3},   {5, 3, "[5;300H", 5, 3},   {5, 3, "[300;5H", 5, 3},   {5, 3, "[256;257H", 5, 3},
      {5, 3, "[4294967297;2H", 2, 1},  // does not fit 32 bits: row 0, then 1
      {5, 3, "[?20;7H", 7, 20},  // private marker ignored
      {5, 3, "[6n", 5, 3},      {5, 3, "[2S", 5, 3},       {5, 3, "[T", 5, 3},        {5, 3, "[5;5Z", 5, 3},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "from " << c.x << "," << c.y << " ESC" << c.seq);
    ansi_test::ResetOnDevNull();
    ConsoleWindow(1, 1, 80, 24);
    ConsoleGotoXY(static_cast<std::uint8_t>(c.x), static_cast<std::uint8_t>(c.y));
    const std::string Before = Row(1) + Row(24) + Row(25);
    AnsiWrite(E + c.seq);
    EXPECT_EQ(c.wantX, ConsoleWhereX());
    EXPECT_EQ(c.wantY, ConsoleWhereY());
    EXPECT_EQ(Before, Row(1) + Row(24) + Row(25));  // none of them draws
  }
}

TEST_F(AnsiWriteTest, SavedPositionComesBack) {
  AnsiWrite(E + "[u");  // nothing saved yet: 1,1
  EXPECT_EQ(1, ConsoleWhereX());
  EXPECT_EQ(1, ConsoleWhereY());
  AnsiWrite(E + "[12;34H" + E + "[s" + E + "[H" + E + "[5B" + E + "[u");
  EXPECT_EQ(34, ConsoleWhereX());
  EXPECT_EQ(12, ConsoleWhereY());
  // A position saved in a wider window and restored in a narrower one is ignored, not wrapped.
  AnsiWrite(E + "[20;70H" + E + "[s");
  ConsoleWindow(1, 1, 40, 10);
  ConsoleGotoXY(3, 4);
  AnsiWrite(E + "[u");
  EXPECT_EQ(3, ConsoleWhereX());
  EXPECT_EQ(4, ConsoleWhereY());
}

TEST_F(AnsiWriteTest, EraseOnlyWhatIsCarriedOut) {
  const std::string Fill = "0123456789";
  struct Case { std::string seq; std::string wantRow2; bool cleared; };
  const Case kCases[] = {
      {"[2J", "", true},         {"[J", "0123456789", false}, {"[1J", "0123456789", false},
      {"[K", "0123", false},     {"[0K", "0123", false},      {"[1K", "0123456789", false},
      {"[2K", "0123456789", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE("ESC" + c.seq);
    ansi_test::ResetOnDevNull();
    ConsoleWindow(1, 1, 80, 24);
    ConsoleTextAttr = 0x1F;
    ConsoleWrite(Fill + "\n" + Fill + "\n" + Fill);
    ConsoleGotoXY(79, 24);  // row 24 also holds text: the window's last row
    ConsoleWrite("z");
    ConsoleGotoXY(5, 2);
    ConsoleTextAttr = 0x4E;
    AnsiWrite(E + c.seq);
    EXPECT_EQ(c.wantRow2, Row(2));
    if (c.cleared) {
      EXPECT_EQ(1, ConsoleWhereX());
      EXPECT_EQ(1, ConsoleWhereY());
      EXPECT_EQ(0x4E, CellAttr(1, 1));
      EXPECT_EQ(0x4E, CellAttr(80, 24));
      EXPECT_EQ("", Row(24));
      EXPECT_NE(0x4E, CellAttr(1, 25));  // outside the window: untouched
    } else {
      EXPECT_EQ(5, ConsoleWhereX());
      EXPECT_EQ(2, ConsoleWhereY());
      EXPECT_EQ(Fill, Row(1));
      EXPECT_EQ(0x1F, CellAttr(1, 2));
    }
  }
}

TEST_F(AnsiWriteTest, InsertAndDeleteLines) {
  ConsoleWindow(1, 1, 80, 5);
  AnsiWrite("a\r\nb\r\nc\r\nd\r\ne" + E + "[2;1H" + E + "[2L");
  EXPECT_EQ("a|||b|c", Row(1) + "|" + Row(2) + "|" + Row(3) + "|" + Row(4) + "|" + Row(5));
  AnsiWrite(E + "[M");
  EXPECT_EQ("a||b|c|", Row(1) + "|" + Row(2) + "|" + Row(3) + "|" + Row(4) + "|" + Row(5));
  // A huge count has the effect of the window's height and finishes at once.
  AnsiWrite(E + "[2147483647M");
  EXPECT_EQ("a||||", Row(1) + "|" + Row(2) + "|" + Row(3) + "|" + Row(4) + "|" + Row(5));
  AnsiWrite(E + "[1;1H" + E + "[2147483647L");
  EXPECT_EQ("", Row(1));
  EXPECT_EQ(1, ConsoleWhereY());
}

TEST_F(AnsiWriteTest, BrokenSequencesAndStrayEscapes) {
  struct Case { std::string in, want; std::uint8_t attr; int startX = 1; };
  const Case kCases[] = {
      {E + "Xabc", "abc", 0x07},
      {E + E + "abc", "abc", 0x07},           // the second ESC is the byte dropped after the first
      {E + "[3" + E + "[31mX", "[31mX", 0x07},  // ESC ends the open sequence; the rest is text
      {E + "[1\rAB", "   AB", 0x07, 4},          // CR ends the sequence and is not carried out
      {"ab" + E + "[31\ncd", "abcd", 0x07},   // so does LF
      {E + "[1;31", "", 0x07},                // still open at the end of the text
      {"x" + E + "[1;;31mY", "xY", 0x04},     // an empty parameter is 0, a reset
      {E + "[0;1;5;31;44;7m!", "!", 0x41},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    ansi_test::ResetOnDevNull();
    ConsoleGotoXY(static_cast<std::uint8_t>(c.startX), 1);
    AnsiWrite(c.in);
    EXPECT_EQ(c.want, Row(1) + Row(2));
    EXPECT_EQ(c.attr, ConsoleTextAttr);
  }
}

TEST_F(AnsiWriteTest, SequenceSplitAcrossWritesContinues) {
  AnsiWrite(E + "[3");
  AnsiWrite("1mX");
  EXPECT_EQ("X", Row(1));
  EXPECT_EQ(0x04, CellAttr(1, 1));
}

// Writing s[0,k) then s[k,end) leaves the same screen as writing s at once, for every k.
TEST_F(AnsiWriteTest, EverySplitPointGivesTheSameScreen) {
  const std::string kStreams[] = {
      E + "[1;31mHello" + E + "[5;10H" + E + "[44mWorld" + E + "[s" + E + "[3A" + E + "[0mx" + E + "[u" +
          E + "[Ky\r\nz" + E + "[2;2f" + E + "[L" + E + "[?25l" + E + "Qq",
      E + "[2J" + E + "[8mab" + E + "[28mcd" + E + "[7m" + E + "[12C" + E + "[27m" + E + "[99999999999B" +
          E + "[1;1H" + E + "[M" + E + "[" + E + "[33mtail",
  };
  for (const auto& S : kStreams) {
    ansi_test::ResetOnDevNull();
    AnsiWrite(S);
    const std::string Want = Picture();
    for (std::size_t K = 0; K <= S.size(); ++K) {
      SCOPED_TRACE(testing::Message() << "split at " << K);
      ansi_test::ResetOnDevNull();
      AnsiWrite(S.substr(0, K));
      AnsiWrite(S.substr(K));
      ASSERT_EQ(Want, Picture());
    }
    // And one byte at a time.
    ansi_test::ResetOnDevNull();
    for (const char Ch : S) AnsiWrite(std::string(1, Ch));
    ASSERT_EQ(Want, Picture());
  }
}

TEST_F(AnsiWriteTest, HostileParameterListsStayBounded) {
  // A million separators: read and dropped beyond the kept parameters; the sequence still ends.
  ConsoleTextAttr = 0x1F;
  AnsiWrite(E + "[" + std::string(1000000, ';') + "31mA");
  EXPECT_EQ(0x07, ConsoleTextAttr);  // the kept empty parameters reset, the 31 at the far end is dropped
  EXPECT_EQ("A", Row(1));
  AnsiWrite(E + "[5;10" + std::string(1000000, ';') + "H");
  EXPECT_EQ(10, ConsoleWhereX());
  EXPECT_EQ(5, ConsoleWhereY());
  // The first 64 parameters of a rendition list are applied, later ones are not.
  std::string Long = E + "[";
  for (int I = 0; I < 63; ++I) Long += "0;";
  AnsiWrite(Long + "32;31mB");
  EXPECT_EQ(0x02, ConsoleTextAttr);
  // Millions of digits in one parameter count as 0.
  AnsiWrite(E + "[" + std::string(1000000, '9') + "m");
  EXPECT_EQ(0x07, ConsoleTextAttr);
  AnsiWrite(E + "[" + std::string(100000, '0') + "12;" + std::string(100000, '0') + "3HC");
  EXPECT_EQ('C', ansi_test::CellChar(3, 12));
}

TEST_F(AnsiWriteTest, WriteLnEndsTheLine) {
  AnsiWriteLn("one");
  AnsiWriteLn(E + "[32mtwo");
  EXPECT_EQ("one", Row(1));
  EXPECT_EQ("two", Row(2));
  EXPECT_EQ(1, ConsoleWhereX());
  EXPECT_EQ(3, ConsoleWhereY());
}

// Whatever the builders and the pipe converter produce, interpreting it leaves the console at
// exactly the attribute asked for (blink aside, which AnsiTextAttr never sets).
TEST_F(AnsiWriteTest, BuiltSequencesReachTheAttributeAskedFor) {
  std::mt19937 Rng(51);
  static const char* kHex = "0123456789abcdefABCDEF";
  for (int I = 0; I < 3000; ++I) {
    const auto Start = static_cast<std::uint8_t>(Rng());
    const auto Want = static_cast<std::uint8_t>(Rng());
    SCOPED_TRACE(testing::Message() << "from " << int{Start} << " to " << int{Want});
    ConsoleTextAttr = Start;
    ConsoleGotoXY(1, 1);
    AnsiWrite(AnsiTextAttr(Want) + "t");
    ASSERT_EQ(Want & 0x7F, ConsoleTextAttr);
    ASSERT_EQ(Want & 0x7F, CellAttr(1, 1));
    AnsiWrite(AnsiBlink(true));
    ASSERT_EQ((Want & 0x7F) | 0x80, ConsoleTextAttr);
    AnsiWrite(AnsiBlink(false));
    ASSERT_EQ(Want & 0x7F, ConsoleTextAttr);

    ConsoleTextAttr = Start;
    AnsiWrite(AnsiTextColour(Want & 0x0F) + AnsiTextBackground(Want >> 4));
    ASSERT_EQ(Want & 0x7F, ConsoleTextAttr);

    // A random text with a few pipe codes in it: the last code decides.
    std::string Text;
    int Last = -1;
    for (int J = 0; J < 4; ++J) {
      Text += "ab|"[Rng() % 3];
      const char Hi = kHex[Rng() % 22], Lo = kHex[Rng() % 22];
      Text += std::string("|") + Hi + Lo;
      Last = std::stoi(std::string{Hi, Lo}, nullptr, 16) & 0x7F;
    }
    ConsoleTextAttr = Start;
    AnsiWrite(PipeToAnsi(Text));
    ASSERT_EQ(Last, ConsoleTextAttr);
  }
}

}  // namespace
