// The output hub and its conveniences, end to end: the exact bytes the caller receives, what the
// sysop's terminal shows, and the order of the two.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ansi/ansi.h"
#include "console/console.h"
#include "stringutils/stringutils.h"
#include "tests/door/door_harness.h"

using door_test::DoorRun;
using door_test::kTelnetOpening;

namespace {

constexpr int kWait = 15000;

// The bytes of a foreground backtick code. The builders read the current attribute, which the
// local render of the colour sequence has just changed, so this test process follows along in its
// own (otherwise unused) console attribute; Start() puts it back to 7 for each door.
std::string Fg(int AColour, bool ABlink = false) {
  std::string bytes = AnsiTextColour(static_cast<std::uint8_t>(AColour));
  ConsoleTextAttr = static_cast<std::uint8_t>((ConsoleTextAttr & 0x70) | AColour);
  bytes += AnsiBlink(ABlink);
  if (ABlink) ConsoleTextAttr = static_cast<std::uint8_t>(ConsoleTextAttr | 0x80);
  return bytes;
}
std::string Bg(int AColour) {
  ConsoleTextAttr = static_cast<std::uint8_t>((ConsoleTextAttr & 0x8F) | (AColour << 4));
  return AnsiTextBackground(static_cast<std::uint8_t>(AColour));
}

// Runs a remote door with the script lines between start-up and shutdown; what the caller received
// after the opening and the start-up's clear screen.
std::string CallerBytes(DoorRun& ARun, const std::vector<std::string>& AScript) {
  ARun.MakeCaller();
  std::vector<std::string> script{"startup"};
  script.insert(script.end(), AScript.begin(), AScript.end());
  script.push_back("shutdown");
  if (!ARun.Start(script, {"-N1", ARun.SocketArg()})) return "<no start>";
  if (ARun.Exit(kWait) != 0) return "<bad exit>";
  const std::string prefix = kTelnetOpening + AnsiClrScr();
  const std::string& received = ARun.Received();
  if (received.compare(0, prefix.size(), prefix) != 0) return "<no opening>" + received;
  return received.substr(prefix.size());
}

// Drains the console, without reading the caller's socket, until the door's send has filled the
// socket and stalls: more than 100000 bytes queued and unchanged over 15 polls 20 ms apart. Gives
// the count of such polls in a row, 15 once the send stalled (less if it never did in 1000 polls).
int PollsWithTheSendStalled(DoorRun& ARun) {
  int last = -1;
  int stable = 0;
  for (int i = 0; i < 1000 && stable < 15; ++i) {
    ARun.Process().ReadFor(20);
    int queued = 0;
    ioctl(ARun.CallerFd(), FIONREAD, &queued);
    stable = queued > 100000 && queued == last ? stable + 1 : 0;
    last = queued;
  }
  return stable;
}

}  // namespace

TEST(DoorWrite, TextReachesTheCallerWithIacDoubled) {
  struct Case {
    std::string Script, Want;
  };
  const Case kCases[] = {
      {"write a\\xffb", std::string("a\xff\xff" "b")},
      {"write \\e[1;31mred\\e[0m", "\x1b[1;31mred\x1b[0m"},
      {"write ", ""},
      {"write |1Fx", PipeToAnsi("|1F") + "x"},
      {"writeln abc", "abc\r\n"},
      {"newline", "\r\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Script);
    DoorRun run;
    EXPECT_EQ(c.Want, CallerBytes(run, {c.Script}));
  }
}

TEST(DoorWrite, BacktickCodes) {
  struct Case {
    std::string Name;
    std::vector<std::string> Script;
    std::string Want;
  };
  ConsoleTextAttr = 7;
  const Case kCases[] = {
      {"kest off writes backticks", {"kest 0", "write a`2b`"}, "a`2b`"},
      {"lone backtick is written", {"kest 1", "write `"}, "`"},
      {"trailing backtick dropped", {"kest 1", "write abc`"}, "abc"},
      {"two backticks dropped", {"kest 1", "write a``b"}, "ab"},
      {"capital R is no code", {"kest 1", "write `R0x"}, "0x"},
      {"r with a bad colour eats three", {"kest 1", "write `r9x"}, "x"},
      {"r at the end dropped", {"kest 1", "write a`r"}, "a"},
      {"space code between writes", {"kest 1", "write A`xB"}, "A B"},
      {"foreground and blink", {"kest 1", "write `2X`bY"}, Fg(2) + "X" + Fg(4, true) + "Y"},
      {"background", {"kest 1", "write `r4Z"}, AnsiTextBackground(4) + "Z"},
      {"backspace and line break", {"kest 1", "write a`db`\\\\c"}, "a\bb\r\nc"},
      {"pipe codes first, then backticks", {"kest 1", "write |1F`xQ"}, PipeToAnsi("|1F") + " Q"},
      {"writeln after a lone backtick loses its CR", {"kest 1", "writeln abc`"}, "abc\n"},
      {"clear screen code", {"kest 1", "write `c"}, AnsiTextAttr(7) + AnsiClrScr() + "\r\n\r\n"},
      {"pauses write nothing", {"kest 1", "write a`l`wb"}, "ab"},
      {"spinner", {"kest 1", "write `|"},
       "|\b\\\b-\b/\b|\b\\\b-\b/\b|\b \b"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    EXPECT_EQ(c.Want, CallerBytes(run, c.Script)) << ::testing::PrintToString(run.Received());
  }
}

TEST(DoorWrite, ClearCodeClearsTheSysopsScreenToo) {
  DoorRun run;
  ConsoleTextAttr = 7;
  ASSERT_EQ(Fg(7) + "JUNK" + AnsiTextAttr(7) + AnsiClrScr() + "\r\n\r\nZ",
            CallerBytes(run, {"kest 1", "write `7JUNK`cZ"}));
  const auto screen = run.Vterm();
  EXPECT_EQ(std::string::npos, screen->Picture().find("JUNK")) << screen->Picture();
  EXPECT_EQ('Z', screen->Char(1, 3)) << screen->Picture();
}

TEST(DoorWrite, MorePromptWaitsForAKeyThatTheDoorNeverSees) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"startup", "kest 1", "write A`kB", "readkey", "shutdown"}, {"-N1", run.SocketArg()}));
  ASSERT_TRUE(run.WaitCaller("MORE", kWait)) << ::testing::PrintToString(run.Received());
  run.Process().ReadFor(300);
  EXPECT_EQ(std::string::npos, run.Received().find('B'));  // still waiting
  EXPECT_NE(std::string::npos, run.Screen().find("A  <MORE>")) << run.Screen();
  run.Send("z");
  ASSERT_TRUE(run.WaitCaller("B", kWait));
  run.Send("q");
  EXPECT_EQ(0, run.Exit(kWait));
  ConsoleTextAttr = 7;
  const std::string prompt = Bg(0) + "  " + Fg(2) + "<" + Fg(10) + "MORE" + Fg(2) + ">";
  const std::string erase = std::string(8, '\b') + std::string(8, ' ') + std::string(8, '\b');
  EXPECT_EQ(kTelnetOpening + AnsiClrScr() + "A" + prompt + erase + "B", run.Received());
  const auto keys = run.ResultLines("key");
  ASSERT_EQ(1u, keys.size());
  EXPECT_EQ(0u, keys[0].find("key 113 ch=113")) << keys[0];  // the z went to the prompt
  const auto screen = run.Vterm();
  EXPECT_EQ("AB", screen->Text(1).substr(0, 2)) << screen->Picture();
  EXPECT_EQ(' ', screen->Char(3, 1));
}

// The sysop sees each run before the caller is sent it: while the door is stuck sending a long run
// to a caller who reads nothing, the console already holds the end of that run.
TEST(DoorWrite, LocalRenderComesBeforeTheSend) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"sigdump", "startup", "mark ready", "bigwrite 1500000 LOCALFIRST", "mark written",
                         "shutdown"},
                        {"-N1", run.SocketArg()}));
  // Wait, without reading the socket, until the door's send has filled it and stalls.
  ASSERT_EQ(15, PollsWithTheSendStalled(run));
  ASSERT_EQ(std::string::npos, run.Results().find("mark written"));
  kill(run.Process().Pid(), SIGUSR1);
  for (int i = 0; i < 200 && run.ResultLines("shadow").empty(); ++i) run.Process().ReadFor(20);
  const auto shadow = run.ResultLines("shadow");
  ASSERT_EQ(1u, shadow.size());
  EXPECT_NE(std::string::npos, shadow[0].find("LOCALFIRST"));
  ASSERT_TRUE(run.WaitCaller("LOCALFIRST", 60000));
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_EQ(kTelnetOpening.size() + AnsiClrScr().size() + 1500000 + 10, run.Received().size());
}

// A caller whose client stops reading cannot hold the node: the send gives up after the stall
// bound (shortened here from COMM_SEND_STALL_SECONDS), the rest of the write is dropped, and the
// next key wait takes the hang-up path. While the send waits, the sysop's terminal already shows
// everything drawn before it, the start-up's clear screen and the text before the write included.
TEST(DoorWrite, CallerWhoStopsReadingEndsThroughTheHangupPath) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"stall 4000", "startup", "writeln BEFORE THE WRITE", "bigwrite 1500000 LASTDRAWN",
                         "mark written", "readkey", "mark after"},
                        {"-N1", run.SocketArg()}));
  // The caller reads nothing: wait until the door's send has filled the socket and stalls.
  ASSERT_EQ(15, PollsWithTheSendStalled(run));
  ASSERT_EQ(std::string::npos, run.Results().find("mark written")) << "the send did not wait";
  const std::string during = run.Screen();
  EXPECT_NE(std::string::npos, during.find("LASTDRAWN")) << during;
  // Still without reading the caller's side (the harness's waits would drain it).
  for (int i = 0; i < kWait / 50 && run.Screen().find("Caller Dropped Carrier.") == std::string::npos; ++i) {
    run.Process().ReadFor(50);
  }
  ASSERT_NE(std::string::npos, run.Screen().find("Caller Dropped Carrier.")) << run.Results();
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_NE(std::string::npos, run.Results().find("mark written"));
  EXPECT_EQ(std::string::npos, run.Results().find("key ")) << run.Results();
  EXPECT_EQ(std::string::npos, run.Results().find("mark after")) << run.Results();
  const std::string& received = run.Received();
  EXPECT_NE(std::string::npos, received.find("BEFORE THE WRITE"));
  EXPECT_EQ(std::string::npos, received.find("LASTDRAWN"));  // the rest of the write was dropped
}

// A slow source (here a FIFO whose writer pauses) is shown as it comes: the first line reaches the
// caller and the sysop before the rest has been written.
TEST(DoorDisplayFile, SlowSourceIsSentBeforeTheDoorWaitsForMore) {
  DoorRun run;
  run.MakeCaller();
  const std::string path = run.PathOf("slow.fifo");
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  ASSERT_TRUE(run.Start({"startup", "display " + path, "shutdown"}, {"-N1", run.SocketArg()}));
  // Opening for writing waits for the door's reader.
  const int writer = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(6, write(writer, "line1\n", 6));
  EXPECT_TRUE(run.WaitCaller("line1", kWait)) << ::testing::PrintToString(run.Received());
  EXPECT_TRUE(run.WaitScreen("line1", kWait)) << run.Screen();
  EXPECT_EQ(std::string::npos, run.Results().find("displayed"));
  ASSERT_EQ(6, write(writer, "line2\n", 6));
  close(writer);
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_EQ(kTelnetOpening + AnsiClrScr() + "line1\r\nline2", run.Received());
}

TEST(DoorDisplayFile, LinesAreJoinedByCrLf) {
  struct Case {
    std::string Name, Content, Want;
  };
  const Case kCases[] = {
      {"LF", "a\nb\n", "a\r\nb"},
      {"LF, no break at the end", "a\nb", "a\r\nb"},
      {"CR LF", "a\r\nb\r\n", "a\r\nb"},
      {"CR", "a\rb\r", "a\r\nb"},
      {"empty lines kept", "a\n\n\r\n\rb", "a\r\n\r\n\r\n\r\nb"},
      {"LF CR is two breaks", "a\n\rb", "a\r\n\r\nb"},
      {"Ctrl-Z is text", std::string("x\x1ay\nz\x1a\n"), std::string("x\x1ay\r\nz\x1a")},
      {"empty file", "", ""},
      {"only a line end", "\n", ""},
      {"ANSI passes unchanged", "\x1b[1;32mG\x1b[0m\n", "\x1b[1;32mG\x1b[0m"},
      {"pipe codes converted", "|1Fhi\n", PipeToAnsi("|1F") + "hi"},
      {"byte 255 doubled", "\xff\n", "\xff\xff"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    run.WriteFile("file.ans", c.Content);
    EXPECT_EQ(c.Want, CallerBytes(run, {"display " + run.PathOf("file.ans")}))
        << ::testing::PrintToString(run.Received());
  }
}

TEST(DoorDisplayFile, BacktickCodesInTheFileWhenEnabled) {
  DoorRun run;
  run.WriteFile("file.ans", "a`2b`\nc`xd");
  ConsoleTextAttr = 7;
  // A code cannot span two lines: the trailing backtick of line 1 is dropped on its own.
  EXPECT_EQ("a" + Fg(2) + "b\r\nc d", CallerBytes(run, {"kest 1", "display " + run.PathOf("file.ans")}));
}

TEST(DoorDisplayFile, ShowsTheLinesOnTheSysopsScreen) {
  DoorRun run;
  run.WriteFile("file.ans", "first\r\nsecond\rthird\n");
  CallerBytes(run, {"display " + run.PathOf("file.ans")});
  const auto screen = run.Vterm();
  EXPECT_EQ(0u, screen->Text(1).find("first ")) << screen->Picture();
  EXPECT_EQ(0u, screen->Text(2).find("second ")) << screen->Picture();
  EXPECT_EQ(0u, screen->Text(3).find("third ")) << screen->Picture();
}

TEST(DoorDisplayFile, MissingFileShowsTheErrorAndWaitsForOneKey) {
  DoorRun run;
  run.MakeCaller();
  const std::string path = run.PathOf("nothing.ans");
  ASSERT_TRUE(run.Start({"startup", "display " + path, "readkey", "shutdown"}, {"-N1", run.SocketArg()}));
  ASSERT_TRUE(run.WaitCaller("Hit a key to continue\r\n", kWait)) << ::testing::PrintToString(run.Received());
  run.Process().ReadFor(200);
  EXPECT_EQ(std::string::npos, run.Results().find("displayed"));  // still waiting for the key
  run.Send("k");
  ASSERT_TRUE(run.WaitResult("displayed", kWait));
  run.Send("m");
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_EQ(kTelnetOpening + AnsiClrScr() + "Error reading \"" + path +
                "\": No such file or directory\r\nHit a key to continue\r\n",
            run.Received());
  const auto keys = run.ResultLines("key");
  ASSERT_EQ(1u, keys.size());
  EXPECT_EQ(0u, keys[0].find("key 109")) << keys[0];  // the k only dismissed the message
  EXPECT_NE(std::string::npos, run.Screen().find("Hit a key to continue"));
}

TEST(DoorWriteCentered, ColumnOnTheEightyColumnScreen) {
  struct Case {
    std::string Name;
    bool Kest;
    std::string Text;
    int Column;
  };
  const Case kCases[] = {
      {"ten characters", false, "0123456789", 35},
      {"seventy-eight", false, std::string(78, 'w'), 1},
      {"eighty-one", false, std::string(81, 'w'), 0},
      {"wider than the screen", false, std::string(90, 'w'), 1},
      {"backtick codes not counted", true, "`2012345678`x", 35},
      {"backtick codes counted when off", false, "`2012345678`x", 33},
      {"pipe codes counted", true, "|0F01234567", 34},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    const std::string got = CallerBytes(run, {c.Kest ? "kest 1" : "kest 0", "gotoxy 5 3", "centered " + c.Text});
    const std::string want_prefix = AnsiGotoXY(5, 3) + AnsiGotoX(static_cast<std::uint8_t>(c.Column));
    EXPECT_EQ(0u, got.find(want_prefix)) << ::testing::PrintToString(got);
  }
  // And where the sysop sees it.
  DoorRun run;
  CallerBytes(run, {"gotoxy 5 3", "centered 0123456789"});
  const auto screen = run.Vterm();
  EXPECT_EQ(34u, screen->Text(3).find("0123456789")) << screen->Picture();
}
