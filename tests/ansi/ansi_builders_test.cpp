#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ansi/ansi.h"
#include "console/console.h"

namespace {

const std::string E = "\x1b";

TEST(AnsiBuilders, ColourBuildersReadTheConsoleAttribute) {
  ConsoleTextAttr = 0x17;  // light grey on blue
  struct Case { const char* name; std::string got, want; };
  const Case kCases[] = {
      {"TextColour(4)", AnsiTextColour(4), E + "[0;31m" + E + "[44m"},
      {"TextColour(14)", AnsiTextColour(14), E + "[1;33m"},
      {"TextColour(30)", AnsiTextColour(30), E + "[1;33m"},
      {"TextColour(20)", AnsiTextColour(20), E + "[0;31m" + E + "[44m"},
      {"TextColour(0)", AnsiTextColour(0), E + "[0;30m" + E + "[44m"},
      {"TextColour(8)", AnsiTextColour(8), E + "[1;30m"},
      {"TextColour(255)", AnsiTextColour(255), E + "[1;37m"},
      {"TextBackground(9)", AnsiTextBackground(9), E + "[44m"},
      {"TextBackground(0)", AnsiTextBackground(0), E + "[40m"},
      {"TextBackground(6)", AnsiTextBackground(6), E + "[43m"},
      {"TextBackground(255)", AnsiTextBackground(255), E + "[47m"},
      {"TextAttr(0x1E)", AnsiTextAttr(0x1E), E + "[1;33m" + E + "[44m"},
      {"TextAttr(0x07)", AnsiTextAttr(0x07), E + "[0;37m" + E + "[44m" + E + "[40m"},
      {"TextAttr(0x9C)", AnsiTextAttr(0x9C), E + "[1;31m" + E + "[44m"},
      {"TextAttr(0x63)", AnsiTextAttr(0x63), E + "[0;36m" + E + "[44m" + E + "[43m"},
      {"Blink(true)", AnsiBlink(true), E + "[5m"},
      {"Blink(false)", AnsiBlink(false), E + "[0m" + E + "[44m" + E + "[0;37m" + E + "[44m"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, c.got);
  }
  ConsoleTextAttr = 0xCE;  // blinking yellow on red: a bright foreground resends nothing
  EXPECT_EQ(E + "[0m" + E + "[41m" + E + "[1;33m", AnsiBlink(false));
  EXPECT_EQ(E + "[0;32m" + E + "[41m", AnsiTextColour(2));
}

TEST(AnsiBuilders, CursorAndEraseBuildersAreFixedBytes) {
  struct Case { const char* name; std::string got, want; };
  const Case kCases[] = {
      {"GotoXY(10,5)", AnsiGotoXY(10, 5), E + "[5;10f"},
      {"GotoXY(255,0)", AnsiGotoXY(255, 0), E + "[0;255f"},
      {"GotoX(1)", AnsiGotoX(1), E + "[255D"},
      {"GotoX(0)", AnsiGotoX(0), E + "[255D"},
      {"GotoX(10)", AnsiGotoX(10), E + "[255D" + E + "[9C"},
      {"GotoX(255)", AnsiGotoX(255), E + "[255D" + E + "[254C"},
      {"GotoY(5)", AnsiGotoY(5), E + "[255A" + E + "[4B"},
      {"GotoY(1)", AnsiGotoY(1), E + "[255A"},
      {"CursorUp(0)", AnsiCursorUp(0), E + "[0A"},
      {"CursorDown(7)", AnsiCursorDown(7), E + "[7B"},
      {"CursorRight(100)", AnsiCursorRight(100), E + "[100C"},
      {"CursorLeft(255)", AnsiCursorLeft(255), E + "[255D"},
      {"ClrScr", AnsiClrScr(), E + "[2J" + E + "[1;1f"},
      {"ClrEol", AnsiClrEol(), E + "[K"},
      {"CursorSave", AnsiCursorSave(), E + "[s"},
      {"CursorRestore", AnsiCursorRestore(), E + "[u"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, c.got);
  }
}

}  // namespace
