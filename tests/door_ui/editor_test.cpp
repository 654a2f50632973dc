// The line editor end to end: keys typed on the sysop's keyboard or sent by the caller, the field
// read back from both screens and from the bytes the caller received. The test door puts the
// prompt "Field: " at row 3, so the field starts in column 8.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/door_ui/door_ui_harness.h"

namespace {

using door_ui::DoorRun;
using zelkit_test::VtermScreen;

constexpr int kRow = 3;
constexpr int kField = 8;

enum class Side { kLocal, kRemote };
const char* SideName(Side ASide) { return ASide == Side::kLocal ? "typed by the sysop" : "sent by the caller"; }

struct Editor {
  std::unique_ptr<DoorRun> Run = std::make_unique<DoorRun>();
  Side From = Side::kRemote;

  void Type(const std::string& AKeys) {
    if (From == Side::kLocal) {
      Run->TypeLocal(AKeys);
    } else {
      Run->TypeRemote(AKeys);
    }
  }
  // True once both screens show AText at the field's start with the cursor in column ACursorX.
  bool Shows(const std::string& AText, int ACursorX) {
    const auto on = [&](const VtermScreen& AScreen) {
      return AScreen.Text(kRow).substr(kField - 1, AText.size()) == AText && AScreen.CursorX() == ACursorX &&
             AScreen.CursorY() == kRow;
    };
    return Run->WaitFor([&] { return on(Run->Sysop()) && on(Run->Caller()); });
  }
  std::string Result() {
    auto result = Run->WaitResult();
    EXPECT_TRUE(result.has_value()) << Run->Pictures();
    return result.value_or("<no result>");
  }
  // The door waits for one key after the editor returned, then ends normally.
  void Finish() {
    Run->TypeRemote("x");
    EXPECT_EQ(0, Run->WaitExit());
  }
};

Editor StartEditor(Side AFrom, const std::vector<std::string>& AEnv) {
  Editor editor;
  editor.From = AFrom;
  editor.Run->StartRemote("input", AEnv);
  EXPECT_TRUE(editor.Run->WaitFor([&] {
    return editor.Run->Sysop().Text(kRow).starts_with("Field: ") && editor.Run->Caller().Text(kRow).starts_with("Field: ");
  })) << editor.Run->Pictures();
  return editor;
}

constexpr Side kSides[] = {Side::kLocal, Side::kRemote};

TEST(DoorInput, ScrollingFieldShowsTheTailWithTheCursorAfterIt) {
  for (Side side : kSides) {
    SCOPED_TRACE(SideName(side));
    Editor e = StartEditor(side, {"ZELKIT_UI_VISIBLE=5", "ZELKIT_UI_MAX=10"});
    e.Type("abcdefg");
    EXPECT_TRUE(e.Shows("cdefg ", kField + 5)) << e.Run->Pictures();
    e.Type("\b");
    EXPECT_TRUE(e.Shows("bcdef ", kField + 5)) << e.Run->Pictures();
    for (int x = kField; x < kField + 5; ++x) {
      EXPECT_EQ(0x1F, e.Run->Sysop().Attr(x, kRow)) << x;
      EXPECT_EQ(0x1F, e.Run->Caller().Attr(x, kRow)) << x;
    }
    e.Type("\r");
    EXPECT_EQ("abcdef", e.Result());
    e.Finish();
  }
}

TEST(DoorInput, PasswordShowsOnlyTheMaskAlsoWhileScrolling) {
  for (Side side : kSides) {
    SCOPED_TRACE(SideName(side));
    Editor e = StartEditor(side, {"ZELKIT_UI_VISIBLE=5", "ZELKIT_UI_MAX=10", "ZELKIT_UI_PASSWORD=*"});
    e.Type("wxy");
    EXPECT_TRUE(e.Shows("***  ", kField + 3)) << e.Run->Pictures();
    e.Type("zWXY");
    EXPECT_TRUE(e.Shows("***** ", kField + 5)) << e.Run->Pictures();
    // None of the typed letters reached either screen or the caller's line.
    for (char typed : std::string("wxyzWXY")) {
      EXPECT_EQ(std::string::npos, e.Run->CallerBytes().find(typed)) << typed;
      EXPECT_EQ(std::string::npos, e.Run->Sysop().Picture().find(typed)) << typed;
      EXPECT_EQ(std::string::npos, e.Run->Caller().Picture().find(typed)) << typed;
    }
    e.Type("\r");
    EXPECT_EQ("wxyzWXY", e.Result());
    e.Finish();
  }
}

// Keys that change nothing send nothing: after them, the next allowed key's echo is the only
// output the caller receives.
TEST(DoorInput, KeysThatChangeNothingAreNotEchoedOrRedrawn) {
  struct Case {
    const char* Name;
    std::vector<std::string> Env;
    std::string Before, BeforeShown, Ignored, After, Shown, Want;
  };
  const Case kCases[] = {
      {"keys outside the set", {"ZELKIT_UI_ALLOWED=NUMERIC"}, "12", "12", "a? ", "3", "123", "123"},
      {"backspace and Ctrl-Y on an empty field", {}, "", "", "\b\x19\b", "q", "q", "q"},
      {"a full field takes no more", {"ZELKIT_UI_MAX=4"}, "abcd", "abcd", "efgh", "\b", "abc ", "abc"},
      {"a full scrolling field takes no more", {"ZELKIT_UI_MAX=6", "ZELKIT_UI_VISIBLE=4"}, "abcdef", "cdef", "gh", "\b",
       "bcde", "abcde"},
  };
  const auto cursorAfter = [](const std::string& AShown) {
    return kField + static_cast<int>(AShown.find_last_not_of(' ') + 1);
  };
  for (Side side : kSides) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(std::string(c.Name) + ", " + SideName(side));
      Editor e = StartEditor(side, c.Env);
      e.Type(c.Before);
      ASSERT_TRUE(e.Shows(c.BeforeShown, cursorAfter(c.BeforeShown))) << e.Run->Pictures();
      const std::size_t mark = e.Run->CallerBytes().size();
      e.Type(c.Ignored);
      e.Type(c.After);
      EXPECT_TRUE(e.Shows(c.Shown, cursorAfter(c.Shown))) << e.Run->Pictures();
      const std::string sent = e.Run->CallerBytes().substr(mark);
      if (c.After == "\b") {
        EXPECT_TRUE(sent.starts_with("\b \b")) << door_ui::Escaped(sent);
      } else {
        EXPECT_EQ(c.After, sent) << door_ui::Escaped(sent);
      }
      e.Type("\r");
      EXPECT_EQ(c.Want, e.Result());
      e.Finish();
    }
  }
}

TEST(DoorInput, CtrlYEmptiesTheField) {
  for (Side side : kSides) {
    SCOPED_TRACE(SideName(side));
    Editor e = StartEditor(side, {"ZELKIT_UI_DEFAULT=hello"});
    EXPECT_TRUE(e.Shows("hello     ", kField + 5)) << e.Run->Pictures();
    e.Type("\x19");
    EXPECT_TRUE(e.Shows("          ", kField)) << e.Run->Pictures();
    EXPECT_EQ(door_ui::AttrRow(e.Run->Caller(), kRow, kField, kField + 9), "1F 1F 1F 1F 1F 1F 1F 1F 1F 1F");
    EXPECT_EQ(door_ui::AttrRow(e.Run->Sysop(), kRow, kField, kField + 9), "1F 1F 1F 1F 1F 1F 1F 1F 1F 1F");
    e.Type("ok\r");
    EXPECT_EQ("ok", e.Result());
    e.Finish();
  }
}

// DEL is the Backspace key on both sides: most callers' clients send it for Backspace, as the
// sysop's terminal does (its erase character). It erases, whatever the set holds.
TEST(DoorInput, DelIsBackspaceOnBothSides) {
  for (Side side : kSides) {
    SCOPED_TRACE(SideName(side));
    Editor e = StartEditor(side, {"ZELKIT_UI_ALLOWED=ab\x7f"});
    e.Type("a\x7f" "b\r");
    EXPECT_EQ("b", e.Result());
    e.Finish();
  }
}

// The editor does not tell special keys apart: their scan codes arrive as the letters H, G, Q, ...
// and are inserted like typed characters when the set allows them.
TEST(DoorInput, SpecialKeysAreInsertedAsTheirScanCodeCharacters) {
  struct Case {
    const char* Name;
    Side From;
    std::string Keys, Want;
  };
  const Case kCases[] = {
      {"sysop's up, Home and Page Down", Side::kLocal, "\x1b[A\x1b[H\x1b[6~\r", "HGQ"},
      {"sysop's F1 and Delete", Side::kLocal, "\x1bOP\x1b[3~\r", ";S"},
      {"caller's arrows", Side::kRemote, "\x1b[A\x1b[B\x1b[C\x1b[D\r", "HPMK"},
      {"caller's Home, F1, F5 and Delete", Side::kRemote, "a\x1b[1~\x1bOP\x1b[15~\x1b[3~b\r", "aG;?Sb"},
      {"caller's unknown sequence gives no key", Side::kRemote, "a\x1b[99~\x1b[?1;2cb\r", "ab"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    Editor e = StartEditor(c.From, {});
    e.Type(c.Keys);
    EXPECT_EQ(c.Want, e.Result());
    e.Finish();
  }
}

// Every byte value the caller can send, other than the three that end the input, is either a
// character of the set or ignored; the field stops at its maximum.
TEST(DoorInput, HostileBytesFromTheCallerNeverBreakTheField) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) {
    if (b != 10 && b != 13 && b != 27) bytes += static_cast<char>(b);
  }
  Editor e = StartEditor(Side::kRemote, {"ZELKIT_UI_VISIBLE=10", "ZELKIT_UI_MAX=40"});
  e.Type(bytes + bytes + "\r");
  // The first 40 printable characters; the second round's Ctrl-Y empties the field, its printable
  // characters fill it again, and its DEL (a Backspace) takes the last one back.
  std::string want;
  for (int b = 32; b < 71; ++b) want += static_cast<char>(b);
  EXPECT_EQ(want, e.Result());
  e.Finish();
}

// Field sizes an application might get wrong: no width, no room, wider than the screen.
TEST(DoorInput, OddFieldSizesGiveASoundResult) {
  struct Case {
    const char* Name;
    std::vector<std::string> Env;
    std::string Keys, Want;
  };
  const Case kCases[] = {
      {"width 0, maximum 0", {"ZELKIT_UI_VISIBLE=0", "ZELKIT_UI_MAX=0", "ZELKIT_UI_DEFAULT=abc"}, "xy\r", ""},
      {"width 0, maximum 5", {"ZELKIT_UI_VISIBLE=0", "ZELKIT_UI_MAX=5"}, "abcdefg\b\r", "abcd"},
      {"width 255", {"ZELKIT_UI_VISIBLE=255", "ZELKIT_UI_MAX=255"}, "ab\bc\r", "ac"},
      {"maximum 255 in a narrow field", {"ZELKIT_UI_VISIBLE=3", "ZELKIT_UI_MAX=255"}, std::string(300, 'q') + "\r",
       std::string(255, 'q')},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    Editor e = StartEditor(Side::kRemote, c.Env);
    e.Type(c.Keys);
    EXPECT_EQ(c.Want, e.Result());
    e.Finish();
  }
}

TEST(DoorInput, CallersLineEndingsAllEndTheInput) {
  struct Case {
    const char* Name;
    std::string Ending;
  };
  const Case kCases[] = {{"CR LF", "\r\n"}, {"CR NUL", std::string("\r\0", 2)}, {"bare LF", "\n"}, {"bare CR", "\r"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    Editor e = StartEditor(Side::kRemote, {});
    e.Type("ab" + c.Ending);
    EXPECT_EQ("ab", e.Result());
    // The whole line ending was one key: nothing of it is left over to end the door's final
    // wait, so the exit step (attribute 7, cursor to the bottom-left corner) has not run.
    e.Run->WaitFor([] { return false; }, 300);
    EXPECT_EQ(std::string::npos, e.Run->CallerBytes().find("\x1b[255B")) << door_ui::Escaped(e.Run->CallerBytes());
    e.Finish();
  }
}

TEST(DoorInput, EscReturnsTheDefaultCutToTheMaximum) {
  struct Case {
    const char* Name;
    std::string Keys;
  };
  const Case kCases[] = {{"Esc after editing", "\b\bxy\x1b"}, {"Esc at once", "\x1b"}, {"Enter untouched", "\r"}};
  for (Side side : kSides) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(std::string(c.Name) + ", " + SideName(side));
      Editor e = StartEditor(side, {"ZELKIT_UI_DEFAULT=abcdefghijkl", "ZELKIT_UI_MAX=8", "ZELKIT_UI_VISIBLE=10"});
      EXPECT_TRUE(e.Shows("abcdefgh  ", kField + 8)) << e.Run->Pictures();
      e.Type(c.Keys);
      EXPECT_EQ("abcdefgh", e.Result());
      e.Finish();
    }
  }
}

// The field is drawn in its own attribute; the attribute from before the call comes back before
// the closing line break, so the break and the text after it use the caller's colours.
TEST(DoorInput, SavedAttributeIsRestoredBeforeTheLineBreak) {
  struct Case {
    int Before;
    std::string Restore;  // what the caller receives between the last echo and the break
  };
  const Case kCases[] = {
      {0x0A, "\x1b[1;32m\x1b[40m"},           // bright: no reset, then the background
      {0x03, "\x1b[0;36m\x1b[44m\x1b[40m"},   // dim: reset, the field's background, then black
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Before);
    Editor e = StartEditor(Side::kRemote, {"ZELKIT_UI_PREATTR=" + std::to_string(c.Before), "ZELKIT_UI_VISIBLE=6",
                                           "ZELKIT_UI_MAX=6", "ZELKIT_UI_ATTR=31"});
    e.Type("hi\r");
    EXPECT_EQ("hi", e.Result());
    ASSERT_TRUE(e.Run->WaitFor([&] { return e.Run->Sysop().Char(1, kRow + 1) == 'Z' && e.Run->Caller().Char(1, kRow + 1) == 'Z'; }))
        << e.Run->Pictures();
    EXPECT_NE(std::string::npos, e.Run->CallerBytes().find("hi" + c.Restore + "\r\nZ"))
        << door_ui::Escaped(e.Run->CallerBytes());
    for (VtermScreen* screen : {&e.Run->Sysop(), &e.Run->Caller()}) {
      SCOPED_TRACE(screen == &e.Run->Sysop() ? "sysop" : "caller");
      for (int x = 1; x < kField; ++x) EXPECT_EQ(c.Before, screen->Attr(x, kRow)) << "prompt column " << x;
      for (int x = kField; x < kField + 6; ++x) EXPECT_EQ(0x1F, screen->Attr(x, kRow)) << "field column " << x;
      EXPECT_EQ(c.Before, screen->Attr(1, kRow + 1)) << "after the break";
    }
    e.Finish();
  }
}

}  // namespace
