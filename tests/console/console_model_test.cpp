// The console's screen model: window, cursor, wrap, scroll, line operations and attributes, read
// back from the shadow buffer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "console/console.h"
#include "console/console_testing.h"

namespace {

class ConsoleModel : public ::testing::Test {
 protected:
  void SetUp() override {
    FNull = open("/dev/null", O_RDWR);
    ConsoleUseFds(FNull, FNull);
    ConsoleResetForTesting();
  }
  void TearDown() override { close(FNull); }
  int FNull = -1;
};

char Ch(int AX, int AY) { return static_cast<char>(ConsoleShadowBuffer[static_cast<std::size_t>(2 * ((AY - 1) * ConsoleScreenWidth + AX - 1))]); }
std::uint8_t At(int AX, int AY) { return ConsoleShadowBuffer[static_cast<std::size_t>(2 * ((AY - 1) * ConsoleScreenWidth + AX - 1) + 1)]; }
std::string Row(int AY) {
  std::string R;
  for (int X = 1; X <= ConsoleScreenWidth; ++X) R += Ch(X, AY) == 0 ? '.' : Ch(X, AY);
  return R;
}

TEST_F(ConsoleModel, StartsBlankWithFullWindow) {
  EXPECT_EQ(80, ConsoleScreenWidth);
  EXPECT_EQ(25, ConsoleScreenHeight);
  EXPECT_EQ(80u * 25u * 2u, ConsoleShadowBuffer.size());
  EXPECT_EQ(7, ConsoleTextAttr);
  EXPECT_EQ(1, ConsoleWindowLeft());
  EXPECT_EQ(1, ConsoleWindowTop());
  EXPECT_EQ(80, ConsoleWindowRight());
  EXPECT_EQ(25, ConsoleWindowBottom());
  EXPECT_EQ(1, ConsoleWhereX());
  EXPECT_EQ(1, ConsoleWhereY());
}

TEST_F(ConsoleModel, AttributeArithmetic) {
  struct Case {
    const char* name;
    std::uint8_t start;
    void (*op)();
    std::uint8_t want;
  };
  const Case kCases[] = {
      {"SetForeground(4) on 0x9F", 0x9F, [] { ConsoleSetForeground(4); }, 0x14},
      {"SetForeground(0x1C) keeps low nibble", 0x70, [] { ConsoleSetForeground(0x1C); }, 0x7C},
      {"SetBackground(2) keeps blink and fg", 0x8E, [] { ConsoleSetBackground(2); }, 0xAE},
      {"SetBackground(15) drops the high bit", 0x07, [] { ConsoleSetBackground(15); }, 0x77},
      {"HighVideo on 0x17", 0x17, [] { ConsoleHighVideo(); }, 0x1F},
      {"LowVideo on 0x9F", 0x9F, [] { ConsoleLowVideo(); }, 0x17},
      {"NormVideo on 0xFF", 0xFF, [] { ConsoleNormVideo(); }, 0x07},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ConsoleTextAttr = c.start;
    c.op();
    EXPECT_EQ(c.want, ConsoleTextAttr);
  }
}

TEST_F(ConsoleModel, GotoOutsideWindowIsIgnored) {
  ConsoleWindow(11, 5, 30, 10);  // 20 x 6
  ConsoleGotoXY(4, 3);
  struct Case { std::uint8_t x, y; };
  const Case kCases[] = {{21, 1}, {1, 7}, {0, 1}, {1, 0}, {255, 255}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    ConsoleGotoXY(c.x, c.y);
    EXPECT_EQ(4, ConsoleWhereX());
    EXPECT_EQ(3, ConsoleWhereY());
  }
  ConsoleGotoXY(20, 6);
  EXPECT_EQ(20, ConsoleWhereX());
  EXPECT_EQ(6, ConsoleWhereY());
}

TEST_F(ConsoleModel, InvalidWindowsAreIgnoredCursorIncluded) {
  ConsoleWindow(2, 2, 79, 24);
  ConsoleGotoXY(5, 5);
  struct Case { std::uint8_t l, t, r, b; };
  const Case kCases[] = {{10, 1, 9, 25}, {1, 10, 80, 9}, {1, 1, 81, 25}, {1, 1, 80, 26}, {0, 1, 80, 25}};
  for (const auto& c : kCases) {
    ConsoleWindow(c.l, c.t, c.r, c.b);
    EXPECT_EQ(2, ConsoleWindowLeft());
    EXPECT_EQ(24, ConsoleWindowBottom());
    EXPECT_EQ(5, ConsoleWhereX());
  }
  ConsoleWindow(1, 1, 80, 25);
  EXPECT_EQ(1, ConsoleWhereX());
  EXPECT_EQ(1, ConsoleWhereY());
}

TEST_F(ConsoleModel, LineFeedOnWindowBottomScrollsOnlyTheWindow) {
  ConsoleGotoXY(1, 25);
  ConsoleWrite("status");
  ConsoleWindow(1, 1, 80, 24);
  ConsoleWrite("top\n");
  ConsoleGotoXY(1, 24);
  ConsoleWrite("bottom\nnext");
  EXPECT_EQ("status", Row(25).substr(0, 6));
  EXPECT_EQ("bottom", Row(23).substr(0, 6));
  EXPECT_EQ("next", Row(24).substr(0, 4));
  EXPECT_NE("top", Row(1).substr(0, 3));
  EXPECT_EQ(5, ConsoleWhereX());
  EXPECT_EQ(24, ConsoleWhereY());
}

TEST_F(ConsoleModel, WrapInLastColumnIsImmediate) {
  ConsoleWrite(std::string(80, 'x'));
  EXPECT_EQ(1, ConsoleWhereX());
  EXPECT_EQ(2, ConsoleWhereY());
  // The window's bottom-right cell scrolls the window at once.
  ConsoleWindow(10, 3, 19, 5);
  ConsoleGotoXY(10, 3);
  ConsoleWrite("Z");
  EXPECT_EQ('Z', Ch(19, 4));
  EXPECT_EQ(' ', Ch(19, 5));
  EXPECT_EQ(1, ConsoleWhereX());
  EXPECT_EQ(3, ConsoleWhereY());
  EXPECT_EQ(0, Ch(20, 5));  // outside the window: never touched
}

TEST_F(ConsoleModel, ControlBytes) {
  ConsoleWindow(5, 1, 80, 25);
  ConsoleWrite("abc\rX\bY\b\b\b\bq\x07\x0e\x1b");
  // Backspace stops at the window's first column; other control bytes are characters.
  EXPECT_EQ('q', Ch(5, 1));
  EXPECT_EQ('\x07', Ch(6, 1));
  EXPECT_EQ('\x0e', Ch(7, 1));
  EXPECT_EQ('\x1b', Ch(8, 1));
  ConsoleWrite("\n");
  EXPECT_EQ(1, ConsoleWhereX());
  EXPECT_EQ(2, ConsoleWhereY());
}

TEST_F(ConsoleModel, ClearsUseCurrentAttributeInsideWindowOnly) {
  ConsoleWindow(3, 3, 10, 6);
  ConsoleTextAttr = 0x1F;
  ConsoleClrScr();
  for (int Y = 3; Y <= 6; ++Y)
    for (int X = 3; X <= 10; ++X) {
      EXPECT_EQ(' ', Ch(X, Y));
      EXPECT_EQ(0x1F, At(X, Y));
    }
  EXPECT_EQ(0, At(2, 3));
  EXPECT_EQ(0, At(11, 3));
  ConsoleTextAttr = 0x4E;
  ConsoleGotoXY(5, 2);
  ConsoleClrEol();
  EXPECT_EQ(0x1F, At(6, 4));
  EXPECT_EQ(0x4E, At(7, 4));
  EXPECT_EQ(0x4E, At(10, 4));
  EXPECT_EQ(0, At(11, 4));
  EXPECT_EQ(5, ConsoleWhereX());
}

TEST_F(ConsoleModel, DirectAttributeAssignmentColoursNextText) {
  ConsoleWrite("a");
  ConsoleTextAttr = 0xC3;
  ConsoleWrite("b");
  EXPECT_EQ(0x07, At(1, 1));
  EXPECT_EQ(0xC3, At(2, 1));
}

TEST_F(ConsoleModel, InsertAndDeleteLineStayInWindow) {
  for (int Y = 1; Y <= 25; ++Y) {
    ConsoleGotoXY(1, static_cast<std::uint8_t>(Y));
    ConsoleWrite(std::string(1, static_cast<char>('A' + Y - 1)) + std::string(78, '-'));  // not the last column: no wrap
  }
  ConsoleWindow(1, 3, 40, 6);  // rows C-F, left half
  ConsoleGotoXY(2, 2);
  ConsoleTextAttr = 0x20;
  ConsoleInsLine();
  EXPECT_EQ("ABC D", (std::string{Ch(1, 1), Ch(1, 2), Ch(1, 3), Ch(1, 4), Ch(1, 5)}));
  EXPECT_EQ(0x20, At(1, 4));
  EXPECT_EQ('-', Ch(41, 4));  // right of the window unchanged
  EXPECT_EQ('E', Ch(1, 6));   // F was pushed out of the window
  EXPECT_EQ('G', Ch(1, 7));
  EXPECT_EQ(2, ConsoleWhereX());
  EXPECT_EQ(2, ConsoleWhereY());
  ConsoleDelLine();
  ConsoleDelLine();
  EXPECT_EQ("CE ", (std::string{Ch(1, 3), Ch(1, 4), Ch(1, 5)}));
  EXPECT_EQ(' ', Ch(1, 6));
  EXPECT_EQ('G', Ch(1, 7));
}

TEST_F(ConsoleModel, LargerScreenUsesItsWidthAsStride) {
  ConsoleResetForTesting(100, 30);
  ConsoleGotoXY(100, 30);
  ConsoleWrite("\n");  // scrolls the 30-row screen: row 30 stays blank
  ConsoleGotoXY(3, 2);
  ConsoleWrite("Q");
  EXPECT_EQ('Q', static_cast<char>(ConsoleShadowBuffer[2 * (1 * 100 + 2)]));
  EXPECT_EQ(100u * 30u * 2u, ConsoleShadowBuffer.size());
}

}  // namespace
