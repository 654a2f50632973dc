// The lightbar menu end to end. The test door puts the menu's corner at column 5 of row 3, so
// option k is drawn from column 5 of row 3 + k; both screens are compared as pictures of text and
// attribute classes: H the bar (white on blue), o an option (white on black), . untouched (grey).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/door_ui/door_ui_harness.h"

namespace {

using door_ui::DoorRun;
using zelkit_test::VtermScreen;

constexpr int kTop = 3;
constexpr int kLeft = 5;
constexpr int kRows = 6;  // rows of the picture, from the menu's top

char AttrClass(std::uint8_t AAttr) {
  switch (AAttr) {
    case 0x1F: return 'H';
    case 0x0F: return 'o';
    case 0x07: return '.';
    default: return '?';
  }
}

std::string Picture(const VtermScreen& AScreen) {
  std::string picture;
  for (int y = kTop; y < kTop + kRows; ++y) {
    std::string attrs;
    for (int x = 1; x <= 40; ++x) attrs += AttrClass(AScreen.Attr(x, y));
    picture += "|" + AScreen.Text(y).substr(0, 40) + "|" + attrs + "|\n";
  }
  return picture;
}

// What the menu should look like: options 0 to AShown - 1 drawn, AIndex highlighted.
std::string Expected(const std::vector<std::string>& AOptions, int AShown, int AIndex) {
  std::string picture;
  for (int k = 0; k < kRows; ++k) {
    std::string text(40, ' ');
    std::string attrs(40, '.');
    if (k < AShown && k < static_cast<int>(AOptions.size())) {
      const std::string& option = AOptions[static_cast<std::size_t>(k)];
      text.replace(kLeft - 1, option.size(), option);
      attrs.replace(kLeft - 1, option.size(), std::string(option.size(), k == AIndex ? 'H' : 'o'));
    }
    picture += "|" + text + "|" + attrs + "|\n";
  }
  return picture;
}

std::string Joined(const std::vector<std::string>& AOptions) {
  std::string all;
  for (const auto& option : AOptions) all += (all.empty() ? "" : "\n") + option;
  return all;
}

struct Menu {
  std::unique_ptr<DoorRun> Run = std::make_unique<DoorRun>();
  std::vector<std::string> Options;
  int Shown = 0;

  // Waits until both screens show the menu with AIndex highlighted; false (with both pictures
  // reported) when they never do.
  bool Shows(int AIndex) {
    const std::string want = Expected(Options, Shown, AIndex);
    const bool ok = Run->WaitFor([&] { return Picture(Run->Sysop()) == want && Picture(Run->Caller()) == want; });
    EXPECT_TRUE(ok) << "want:\n" << want << "sysop's screen:\n" << Picture(Run->Sysop()) << "caller's screen:\n"
                    << Picture(Run->Caller());
    return ok;
  }
  std::string Result() {
    auto result = Run->WaitResult();
    EXPECT_TRUE(result.has_value()) << Run->Pictures();
    return result.value_or("<no result>");
  }
  void Finish() {
    Run->TypeRemote("x");
    EXPECT_EQ(0, Run->WaitExit());
  }
};

Menu StartMenu(const std::vector<std::string>& AOptions, int APageSize, int AIndex) {
  Menu menu;
  menu.Options = AOptions;
  const int count = static_cast<int>(AOptions.size());
  menu.Shown = APageSize < 0 ? count : std::min(count, APageSize);
  menu.Run->StartRemote("litebar", {"ZELKIT_UI_OPTIONS=" + Joined(AOptions), "ZELKIT_UI_PAGESIZE=" + std::to_string(APageSize),
                                    "ZELKIT_UI_INDEX=" + std::to_string(AIndex)});
  return menu;
}

const std::vector<std::string> kFour = {"First", "Second", "Third", "Fourth"};
const std::vector<std::string> kFive = {"One", "Two", "Three", "Four", "Five"};

TEST(DoorLiteBar, BarFollowsArrowsKeypadDigitsAndLettersFromBothSidesWithoutWrapping) {
  struct Case {
    const char* Name;
    bool Local;
    std::string Down, Up;
  };
  const Case kCases[] = {
      {"caller's up and down arrows", false, "\x1b[B", "\x1b[A"},
      {"caller's right and left arrows", false, "\x1b[C", "\x1b[D"},
      {"sysop's up and down arrows", true, "\x1b[B", "\x1b[A"},
      {"sysop's right and left arrows", true, "\x1b[C", "\x1b[D"},
      {"caller's keypad 2 and 8", false, "2", "8"},
      {"sysop's keypad 6 and 4", true, "6", "4"},
      {"caller's lower-case p and h", false, "p", "h"},
      {"sysop's M and K", true, "M", "K"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    Menu m = StartMenu(kFour, 10, 0);
    const auto type = [&](const std::string& AKeys) { c.Local ? m.Run->TypeLocal(AKeys) : m.Run->TypeRemote(AKeys); };
    ASSERT_TRUE(m.Shows(0));
    type(c.Down);
    ASSERT_TRUE(m.Shows(1));
    type(c.Down + c.Down);
    ASSERT_TRUE(m.Shows(3));
    type(c.Down + c.Up);  // the first stays on the last option, it does not wrap to the first
    ASSERT_TRUE(m.Shows(2));
    type(c.Up + c.Up + c.Up + c.Down);  // the third stays on the first option
    ASSERT_TRUE(m.Shows(1));
    type("\r");
    EXPECT_EQ("1 1", m.Result());
    EXPECT_EQ(kLeft, m.Run->Caller().CursorX());
    EXPECT_EQ(kTop, m.Run->Caller().CursorY());
    m.Finish();
  }
}

TEST(DoorLiteBar, PageSizeLimitsWhatIsDrawnAndWhereTheBarGoes) {
  struct Case {
    const char* Name;
    std::vector<std::string> Options;
    int PageSize;
    std::string Keys;
    int IndexAfterKeys;
  };
  const Case kCases[] = {
      {"five options, page size 3", kFive, 3, "2222", 2},
      {"an empty list", {}, 3, "2828", 0},
      {"page size 0", kFive, 0, "22", 0},
      {"page size below 0 draws every option", kFive, -1, "22", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    Menu m = StartMenu(c.Options, c.PageSize, 0);
    ASSERT_TRUE(m.Shows(0));
    m.Run->TypeRemote(c.Keys);
    ASSERT_TRUE(m.Shows(c.IndexAfterKeys));
    m.Run->TypeRemote("\r");
    EXPECT_EQ("1 " + std::to_string(c.IndexAfterKeys), m.Result());
    m.Finish();
  }
}

TEST(DoorLiteBar, QuitKeysKeepTheIndexAndEscDoesNotQuit) {
  struct Case {
    const char* Name;
    bool Local;
    std::string Quit;
  };
  const Case kCases[] = {
      {"caller's Q", false, "Q"},
      {"caller's q", false, "q"},
      {"sysop's q", true, "q"},
      {"sysop's Page Down", true, "\x1b[6~"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    Menu m = StartMenu(kFour, 10, 1);
    ASSERT_TRUE(m.Shows(1));
    m.Run->TypeRemote("2\x1b");  // the lone Esc is read as Esc after half a second, and ignored
    ASSERT_TRUE(m.Shows(2));
    c.Local ? m.Run->TypeLocal(c.Quit) : m.Run->TypeRemote(c.Quit);
    EXPECT_EQ("0 2", m.Result());
    m.Finish();
  }
}

// Moving from a long option to a short one redraws the long one unhighlighted first, so no cell
// of the old bar stays blue on either screen.
TEST(DoorLiteBar, BarsOfDifferentWidthsLeaveNoStaleHighlight) {
  const std::vector<std::string> options = {"A much longer option", "Short", "Medium width", "X"};
  Menu m = StartMenu(options, 10, 0);
  ASSERT_TRUE(m.Shows(0));
  const int path[] = {1, 2, 3, 2, 1, 0};
  int index = 0;
  for (int next : path) {
    SCOPED_TRACE("to option " + std::to_string(next));
    m.Run->TypeRemote(next > index ? "\x1b[B" : "\x1b[A");
    index = next;
    ASSERT_TRUE(m.Shows(index));
  }
  m.Run->TypeLocal("\r");
  EXPECT_EQ("1 0", m.Result());
  m.Finish();
}

// An application that breaks the menu's precondition (an index outside the list) gets no crash:
// the missing option is simply not drawn, and the bar appears once it reaches a real option.
TEST(DoorLiteBar, IndexOutsideTheListDrawsNothingForTheMissingOption) {
  const std::vector<std::string> three = {"Alpha", "Beta", "Gamma"};
  struct Case {
    const char* Name;
    int Index;
    std::string Keys;
    int Highlighted;  // -1: no bar on screen
    std::string Want;
  };
  const Case kCases[] = {
      {"index 7 of 3, moved up", 7, "8", -1, "1 6"},
      {"index 7 of 3, down refused", 7, "22", -1, "1 7"},
      {"index -2 of 3, moved down twice", -2, "22", 0, "1 0"},
      {"index -2 of 3, moved down once", -2, "2", -1, "1 -1"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    Menu m = StartMenu(three, 10, c.Index);
    ASSERT_TRUE(m.Shows(-1));
    m.Run->TypeRemote(c.Keys + "\r");
    EXPECT_EQ(c.Want, m.Result());
    EXPECT_TRUE(m.Shows(c.Highlighted));
    m.Finish();
  }
}

}  // namespace
