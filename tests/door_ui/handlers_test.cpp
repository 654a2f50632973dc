// The default handlers end to end: the sysop's status bar, the local login, the usage screen and
// the three ends of a session (caller gone, idle limit, time up), read back from both screens.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/door_ui/door_ui_harness.h"

namespace {

using door_ui::DoorRun;
using zelkit_test::VtermScreen;

constexpr char kBlock = '\xFE';  // the frame's square

std::string Place(std::string ARow, int AColumn, const std::string& AText) {
  ARow.replace(static_cast<std::size_t>(AColumn - 1), AText.size(), AText);
  return ARow;
}

// Row 25 as the status bar draws it: the frame, then the four fields; column 80 stays untouched.
std::string StatusBarText(const std::string& AName, const std::string& AIdle, const std::string& ALeft) {
  std::string row(80, ' ');
  for (int column : {1, 29, 49, 63}) row[static_cast<std::size_t>(column - 1)] = kBlock;
  row = Place(row, 3, AName + std::string(22 - AName.size(), ' '));
  row = Place(row, 31, "Zelkit v13.09.02");
  row = Place(row, 51, "Idle: " + AIdle);
  return Place(row, 65, "Left: " + ALeft);
}

std::string StatusBarAttrs() {
  std::string attrs;
  for (int x = 1; x <= 80; ++x) {
    const bool text = (x >= 3 && x <= 24) || (x >= 31 && x <= 46) || (x >= 51 && x <= 61) || (x >= 65 && x <= 78);
    attrs += x == 80 ? "07" : text ? "1F" : "1E";
    if (x < 80) attrs += ' ';
  }
  return attrs;
}

std::string Repeated(const std::string& AAttr, int ACount) {
  std::string all;
  for (int i = 0; i < ACount; ++i) all += (i > 0 ? " " : "") + AAttr;
  return all;
}

// The door's terminal settings once it has ended, against those it started with.
void ExpectTerminalRestored(const DoorRun& ARun) {
  termios fresh{};
  termios after{};
  ASSERT_TRUE(door_ui::FreshTermios(fresh));
  ASSERT_TRUE(ARun.GetTermios(after));
  EXPECT_EQ("", door_ui::TermiosDiff(fresh, after));
}

TEST(DefaultOnStatusBar, SysopSeesTheBarOnRow25AndTheCallerNothingOfIt) {
  DoorRun run;
  run.StartRemote("wait", {"ZELKIT_UI_NAME=Sam Caller"});
  // The first drawing, taken the moment it arrives: a fresh session has the full hour left.
  const std::string first = StatusBarText("Sam Caller", "00:00", "01:00:00");
  ASSERT_TRUE(run.WaitFor([&] { return run.Sysop().Char(1, 25) == kBlock && run.Sysop().Char(65, 25) == 'L'; }))
      << run.Pictures();
  EXPECT_EQ(first, run.Sysop().Text(25)) << run.Pictures();
  EXPECT_EQ(StatusBarAttrs(), door_ui::AttrRow(run.Sysop(), 25));

  // Idle time and time left move on while the door waits for a key.
  // Passes are a second apart, but a busy machine may skip a value, so any later one will do.
  EXPECT_TRUE(run.WaitFor([&] {
    const std::string idle = run.Sysop().Text(25).substr(50, 11);
    return idle.starts_with("Idle: 00:0") && idle[10] >= '2';
  }, 8000)) << run.Sysop().Text(25);
  EXPECT_TRUE(run.WaitFor([&] {
    const std::string left = run.Sysop().Text(25).substr(64, 14);
    return left.starts_with("Left: 00:59:5") && left[13] <= '7';
  }, 8000)) << run.Sysop().Text(25);
  EXPECT_EQ(StatusBarAttrs(), door_ui::AttrRow(run.Sysop(), 25));

  EXPECT_EQ(std::string::npos, run.CallerBytes().find("Idle")) << door_ui::Escaped(run.CallerBytes());
  EXPECT_EQ(std::string::npos, run.CallerBytes().find("Left")) << door_ui::Escaped(run.CallerBytes());
  EXPECT_EQ(std::string::npos, run.CallerBytes().find(kBlock)) << door_ui::Escaped(run.CallerBytes());
  EXPECT_EQ(std::string(80, ' '), run.Caller().Text(25));

  // A key resets the idle count, which stood at 3 seconds or more. The pass after the key may
  // come a little over a second after it, so the bar shows 00:00 or 00:01.
  run.TypeRemote("k");
  EXPECT_TRUE(run.WaitFor([&] {
    const std::string idle = run.Sysop().Text(25).substr(50, 11);
    return idle == "Idle: 00:00" || idle == "Idle: 00:01";
  }, 5000)) << run.Sysop().Text(25);
  run.TypeRemote("x");
  EXPECT_EQ(0, run.WaitExit());
  EXPECT_EQ("107\n120\n", run.WaitResult().value_or(""));
}

// A name longer than its 22 columns is written whole; the program name drawn after it covers
// what runs into its place.
TEST(DefaultOnStatusBar, LongNameIsWrittenWhole) {
  DoorRun run;
  const std::string name = "Maximilian Bartholomew Caller";  // 29 characters: columns 3 to 31
  run.StartRemote("wait", {"ZELKIT_UI_NAME=" + name});
  ASSERT_TRUE(run.WaitFor([&] { return run.Sysop().Char(65, 25) == 'L'; })) << run.Pictures();
  const std::string row = run.Sysop().Text(25);
  EXPECT_EQ(name.substr(0, 28), row.substr(2, 28)) << row;  // over the frame's square at column 29
  EXPECT_EQ("Zelkit v13.09.02", row.substr(30, 16)) << row;
  EXPECT_EQ(0x1F, run.Sysop().Attr(29, 25));
  run.TypeRemote("x");
  EXPECT_EQ(0, run.WaitExit());
}

TEST(DefaultOnLocalLogin, AsksForANameUntilOneIsGiven) {
  for (int node : {1, 5}) {
    SCOPED_TRACE("node " + std::to_string(node));
    DoorRun run(false);
    run.Start({"-N" + std::to_string(node)}, {"ZELKIT_UI_MODE=login"});
    const std::string prompt = "  Name or handle : SYSOP";
    ASSERT_TRUE(run.WaitFor([&] { return run.Sysop().Text(8).starts_with(prompt); })) << run.Pictures();
    const VtermScreen& s = run.Sysop();
    EXPECT_EQ("    LOCAL LOGIN - FOR NODE " + std::to_string(node), s.Text(3).substr(0, 28));
    EXPECT_EQ(std::string(52, ' '), s.Text(3).substr(28));
    EXPECT_EQ("  Run door_ui_door /? for command-line usage help", s.Text(6).substr(0, 49));
    EXPECT_EQ("07 07 1F 1F 1F", door_ui::AttrRow(s, 3, 1, 5));
    EXPECT_EQ("07 07 09 09", door_ui::AttrRow(s, 6, 1, 4));
    EXPECT_EQ("0A 0F 07 1F", door_ui::AttrRow(s, 8, 17, 20));
    EXPECT_EQ(Repeated("1F", 40), door_ui::AttrRow(s, 8, 20, 59));  // the field, 40 wide
    EXPECT_EQ(25, s.CursorX());
    EXPECT_EQ(8, s.CursorY());

    run.TypeLocal("\x19\r");  // an empty name is refused: the prompt comes again
    ASSERT_TRUE(run.WaitFor([&] { return run.Sysop().Text(9).starts_with(prompt); })) << run.Pictures();
    run.TypeLocal("\x19" "Bob2 Smith\r");  // the digit is not in the set
    EXPECT_EQ("Bob Smith\nBob Smith\n", run.WaitResult().value_or("<none>"));
    EXPECT_EQ(0, run.WaitExit());
    ExpectTerminalRestored(run);
  }
}

TEST(DefaultOnUsage, ShowsTheBareProgramNameAndEndsWithCode0) {
  DoorRun run(false);
  run.Start({"-?"}, {});
  EXPECT_EQ(0, run.WaitExit());
  const std::string exe = "door_ui_door";
  const std::vector<std::string> want = {
      "",
      " USAGE: " + exe + " <PARAMETERS>",
      "",
      " Load settings from a dropfile (DOOR32.SYS, DOOR.SYS, DORINFO*.DEF or INFO.*)",
      "  -D         PATH\\FILENAME OF DROPFILE",
      " Example: " + exe + " -DC:\\BBS\\NODE1\\DOOR32.SYS",
      "",
      " Pass settings on command-line",
      "  -N         NODE NUMBER",
      "  -S         SOCKET HANDLE",
      " Example: " + exe + " -N1 -S1000",
      "",
      " Run in local mode",
      "  -L         LOCAL MODE",
      " Example: " + exe + " -L",
      "",
      " Optional parameters",
      "  -X         DISABLE COMM ROUTINES (STDIO MODE)",
      "",
  };
  std::string wantPicture;
  std::string gotPicture;
  for (std::size_t i = 0; i < want.size(); ++i) {
    wantPicture += want[i] + std::string(80 - want[i].size(), ' ') + "\n";
    gotPicture += run.Sysop().Text(static_cast<int>(i) + 1) + "\n";
  }
  EXPECT_EQ(wantPicture, gotPicture);
  ExpectTerminalRestored(run);
}

TEST(DefaultOnHangup, MessageOnTheConsoleOnlyThenCode0) {
  DoorRun run;
  run.StartRemote("wait", {});
  ASSERT_TRUE(run.WaitFor([&] { return run.Sysop().Char(1, 25) == kBlock; })) << run.Pictures();
  termios raw{};
  termios fresh{};
  ASSERT_TRUE(run.GetTermios(raw));
  ASSERT_TRUE(door_ui::FreshTermios(fresh));
  EXPECT_NE("", door_ui::TermiosDiff(fresh, raw)) << "the console runs the keyboard raw while the door waits";
  run.HangUp();
  const std::string message = "   Caller Dropped Carrier.  Returning To BBS...";
  EXPECT_TRUE(run.WaitFor([&] { return run.Sysop().Text(2).starts_with(message); })) << run.Pictures();
  EXPECT_EQ(0x0F, run.Sysop().Attr(4, 2));
  EXPECT_EQ(0, run.WaitExit());
  EXPECT_EQ(std::string::npos, run.CallerBytes().find("Dropped")) << door_ui::Escaped(run.CallerBytes());
  ExpectTerminalRestored(run);
}

TEST(DefaultOnTimeOutAndTimeUp, LimitsEndTheSessionOnBothScreensWithCode0) {
  struct Case {
    const char* Name;
    std::vector<std::string> Env;
    bool DropFile;
    std::string Message;
  };
  const std::string idle = "  Idle Time Limit Exceeded.  Returning To BBS...";
  const std::string up = "  Your Time Has Expired.  Returning To BBS...";
  const Case kCases[] = {
      {"idle limit of 1 second", {"ZELKIT_UI_MAXIDLE=1"}, false, idle},
      {"session time of 1 second", {"ZELKIT_UI_MAXSECONDS=1"}, false, up},
      {"DOOR32.SYS with no time", {}, true, up},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    if (c.DropFile) {
      const std::string path = run.Dir() + "/DOOR32.SYS";
      std::ofstream(path) << "2\n" << run.DoorFd() << "\n38400\nTest BBS\n1\nDora Caller\nDora\n100\n0\n1\n3\n";
      run.Start({"-D" + path}, {"ZELKIT_UI_MODE=wait"});
    } else {
      run.StartRemote("wait", c.Env);
    }
    EXPECT_TRUE(run.WaitFor([&] {
      return run.Sysop().Text(2).starts_with(c.Message) && run.Caller().Text(2).starts_with(c.Message);
    })) << run.Pictures();
    EXPECT_EQ(0x0F, run.Sysop().Attr(3, 2));
    EXPECT_EQ(0x0F, run.Caller().Attr(3, 2));
    EXPECT_EQ(0, run.WaitExit());
    ExpectTerminalRestored(run);
  }
}

}  // namespace
