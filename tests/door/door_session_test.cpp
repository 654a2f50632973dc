// Start-up from the command line and from drop files, the exit step, and the event check, seen from
// outside: the sysop's terminal, the caller's socket, the door's own observations and its exit code.
#include <glob.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ansi/ansi.h"
#include "tests/door/door_harness.h"

using door_test::DoorRun;
using door_test::kTelnetOpening;

namespace {

constexpr int kWait = 15000;

// Replaces "{fd}" in every argument by the descriptor of the door's end of the caller's socket, and
// "{dir}" by the run's temporary directory.
std::vector<std::string> Expand(const DoorRun& ARun, std::vector<std::string> AArgs) {
  for (auto& arg : AArgs) {
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"{fd}", std::to_string(ARun.BbsFd())}, {"{dir}", ARun.Dir()}}) {
      for (auto pos = arg.find(key); pos != std::string::npos; pos = arg.find(key)) arg.replace(pos, key.size(), value);
    }
  }
  return AArgs;
}

// The exit step's bytes: attribute 7, then the cursor to the bottom-left corner.
std::string ResetSequences() { return AnsiTextAttr(7) + AnsiCursorDown(255) + AnsiCursorLeft(255); }

bool EndsWith(const std::string& AText, const std::string& ATail) {
  return AText.size() >= ATail.size() && AText.compare(AText.size() - ATail.size(), ATail.size(), ATail) == 0;
}

// The caller's connection survived the door: the door only released its descriptor, it did not shut
// the connection down. The caller can still send, the BBS's end still receives, and the caller
// sees no end of file.
void ExpectConnectionIntact(DoorRun& ARun) {
  char byte = 0;
  EXPECT_EQ(-1, recv(ARun.CallerFd(), &byte, 1, MSG_DONTWAIT));
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << "the caller saw the connection end";
  ASSERT_EQ(1, send(ARun.CallerFd(), "z", 1, MSG_NOSIGNAL));
  ASSERT_EQ(1, recv(ARun.BbsFd(), &byte, 1, MSG_DONTWAIT));
  EXPECT_EQ('z', byte);
}

}  // namespace

TEST(DoorStartup, CommandLinesWithoutASessionShowUsage) {
  const std::vector<std::vector<std::string>> kCases = {
      {"-S{fd}"}, {"-N0", "-S{fd}"}, {"/?"}, {"-D", "{dir}/DOOR32.SYS"}, {"-Sabc", "-N1"}};
  for (const auto& args : kCases) {
    DoorRun run;
    run.MakeCaller();
    run.WriteFile("DOOR32.SYS", "2\n1\n");
    const auto expanded = Expand(run, args);
    SCOPED_TRACE(::testing::PrintToString(expanded));
    ASSERT_TRUE(run.Start({"startup"}, expanded));
    EXPECT_EQ(0, run.Exit(kWait));
    const std::string screen = run.Screen();
    EXPECT_NE(std::string::npos, screen.find(" USAGE: door_test_door <PARAMETERS>")) << screen;
    EXPECT_NE(std::string::npos, screen.find(" Example: door_test_door -N1 -S1000")) << screen;
    EXPECT_EQ("", run.Results());  // the door never got past DoorStartup
    EXPECT_EQ("", run.Received());
  }
}

TEST(DoorStartup, SocketSwitchesGiveARemoteSession) {
  const std::vector<std::vector<std::string>> kCases = {{"-N1", "-S{fd}"}, {"/?", "-N1", "-S{fd}"},
                                                        {"-n1", "-s{fd}"}, {"-N9", "-N1", "-S{fd}"}};
  for (const auto& args : kCases) {
    DoorRun run;
    run.MakeCaller();
    const auto expanded = Expand(run, args);
    SCOPED_TRACE(::testing::PrintToString(expanded));
    ASSERT_TRUE(run.Start({"startup", "write HELLO", "shutdown"}, expanded));
    EXPECT_EQ(0, run.Exit(kWait));
    EXPECT_NE(std::string::npos, run.Results().find("info comtype=2 comnum=" + std::to_string(run.BbsFd()) +
                                                     " node=1 local=0 stdio=0 events=1 maxseconds=3600"))
        << run.Results();
    // The transport's opening, the cleared screen, then the door's own output.
    EXPECT_EQ(kTelnetOpening + AnsiClrScr() + "HELLO", run.Received());
  }
}

TEST(DoorStartup, LocalRunsAskForTheSysopsName) {
  struct Case {
    std::vector<std::string> Args;
    std::string Node;
    std::string Typed = "\r";  // Enter takes the offered name
    std::string Name = "SYSOP";
  };
  const Case kCases[] = {{{}, "0"},
                         {{"-N5"}, "5"},
                         {{"-X"}, "0"},
                         // The terminal's Backspace (DEL, the erase character of a new pty) corrects the name.
                         {{}, "0", "\x7f\x7f\x7f\x7f\x7f" "Bobx\x7f\r", "Bob"},
                         {{"-X"}, "0", "\x7f\x7fHIAL\x7f\x7fN\r", "SYSHIN"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.Args) + " typing " + ::testing::PrintToString(c.Typed));
    DoorRun run;
    ASSERT_TRUE(run.Start({"startup", "info"}, c.Args));
    ASSERT_TRUE(run.WaitScreen("Name or handle", kWait)) << run.Screen();
    const std::string screen = run.Screen();
    EXPECT_NE(std::string::npos, screen.find("LOCAL LOGIN - FOR NODE " + c.Node + " ")) << screen;
    EXPECT_NE(std::string::npos, screen.find("Run door_test_door /? for command-line usage help")) << screen;
    run.Process().Write(c.Typed);
    EXPECT_EQ(0, run.Exit(kWait));
    EXPECT_NE(std::string::npos,
              run.Results().find("info comtype=0 comnum=0 node=" + c.Node + " local=1 stdio=" +
                                 (c.Args == std::vector<std::string>{"-X"} ? "1" : "0") +
                                 " events=0 maxseconds=3600 alias=" + c.Name + " realname=" + c.Name + "|"))
        << run.Results();
  }
}

TEST(DoorStartup, UnknownSwitchesGoToTheCommandLineHook) {
  DoorRun run;
  ASSERT_TRUE(run.Start({"hook clp", "hook nologin", "startup"}, {"-L", "/qvalue", "x", "-", "-N2"}));
  EXPECT_EQ(0, run.Exit(kWait));
  const auto clp = run.ResultLines("clp");
  ASSERT_EQ(2u, clp.size()) << run.Results();
  EXPECT_EQ("clp L []", clp[0]);
  EXPECT_EQ("clp Q [value]", clp[1]);
  EXPECT_NE(std::string::npos, run.Results().find("info comtype=0 comnum=0 node=2 local=1")) << run.Results();
}

TEST(DoorStartup, DropFilesAreChosenByName) {
  struct Case {
    std::string Name;     // the file created in the run's directory
    std::string Content;  // "{fd}" stands for the door's end of the caller's socket
    std::string Arg;      // the switch that names it
    std::string Want;     // in the door's session record
    bool Remote;
  };
  const Case kCases[] = {
      {"door32.sys", "2\n{fd}\n38400\nX\n5\nJohn Smith\nJS\n10\n45\n1\n3\n", "-d{dir}/door32.sys",
       "info comtype=2 comnum={fd} node=3 local=0 stdio=0 events=1 maxseconds=2700 alias=JS realname=John Smith|",
       true},
      // INFO.* names the socket on line 9 and the connection on line 12; no node.
      {"USERINFO.TXT", "4\n3\nx\nFAIRY NO\n30\nLordAlias\nJane\nDoe\n{fd}\n38400\nx\nTELNET\n\n\n",
       "-D{dir}/USERINFO.TXT",
       "info comtype=2 comnum={fd} node=0 local=0 stdio=0 events=1 maxseconds=1800 alias=LordAlias realname=Jane Doe|",
       true},
      // Also matches "INFO.", but the DORINFO reader comes first: the alias is line 7, not line 6.
      {"DORINFO.DEF", "a\nb\nc\nCOM{fd}\n19200 BAUD,N,8,1\nLordAlias\nJOHN\nSMITH\nx\n1\n20\n15\n\n",
       "-D{dir}/DORINFO.DEF",
       "info comtype=1 comnum={fd} node=0 local=0 stdio=0 events=1 maxseconds=900 alias=JOHN realname=JOHN SMITH|",
       true},
      {"DOOR.SYS", "COM{fd}:\n\n\n4\n38400\n\n\n\n\nAnn Lee\n", "-D{dir}/DOOR.SYS",
       "info comtype=1 comnum={fd} node=4 local=0", true},
      // Comm type 0: a local session, without the local login and without events.
      {"DOOR32.SYS", "0\n{fd}\n38400\nX\n1\nLocal User\nLU\n10\n45\n1\n7\n", "-D{dir}/DOOR32.SYS",
       "info comtype=0 comnum={fd} node=7 local=1 stdio=0 events=0 maxseconds=2700 alias=LU realname=Local User|",
       false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    run.MakeCaller();
    std::string content = c.Content;
    content.replace(content.find("{fd}"), 4, std::to_string(run.BbsFd()));
    run.WriteFile(c.Name, content);
    ASSERT_TRUE(run.Start({"startup", "write HELLO", "shutdown"}, Expand(run, {c.Arg})));
    EXPECT_EQ(0, run.Exit(kWait));
    EXPECT_NE(std::string::npos, run.Results().find(Expand(run, {c.Want})[0])) << run.Results();
    EXPECT_EQ(std::string::npos, run.Screen().find("LOCAL LOGIN")) << run.Screen();
    if (c.Remote) {
      EXPECT_EQ(kTelnetOpening + AnsiClrScr() + "HELLO", run.Received());
    } else {
      EXPECT_EQ("", run.Received());  // a local session sends nothing, even with a socket at hand
      EXPECT_NE(std::string::npos, run.Screen().find("HELLO"));
    }
  }
}

TEST(DoorStartup, SymbolicLinkToADropFileIsFollowed) {
  DoorRun run;
  run.MakeCaller();
  run.WriteFile("target.dat", "2\n" + std::to_string(run.BbsFd()) + "\n38400\nX\n1\nLinked\nLN\n10\n5\n1\n2\n");
  std::filesystem::create_directory(run.PathOf("node2"));
  std::filesystem::create_symlink("../target.dat", run.PathOf("node2/DOOR32.SYS"));
  ASSERT_TRUE(run.Start({"startup", "shutdown"}, {"-D" + run.PathOf("node2/DOOR32.SYS")}));
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_NE(std::string::npos, run.Results().find("comtype=2 comnum=" + std::to_string(run.BbsFd()) + " node=2"))
      << run.Results();
}

TEST(DoorStartup, MissingOrUnknownDropFileEndsAfterAMessage) {
  const std::vector<std::string> kNames = {"DOOR32.SYS", "dangling/DOOR.SYS", "drop.txt", "sub/DORINFO1.DEF"};
  for (const auto& name : kNames) {
    SCOPED_TRACE(name);
    DoorRun run;
    run.WriteFile("drop.txt", "2\n5\n");                       // exists, but no known name
    std::filesystem::create_directory(run.PathOf("sub"));
    std::filesystem::create_directory(run.PathOf("sub/DORINFO1.DEF"));  // a directory, not a file
    std::filesystem::create_directory(run.PathOf("dangling"));
    std::filesystem::create_symlink("../nowhere", run.PathOf("dangling/DOOR.SYS"));
    const std::string path = run.PathOf(name);
    ASSERT_TRUE(run.Start({"startup"}, {"-D" + path}));
    ASSERT_TRUE(run.WaitScreen("Not Supported", kWait)) << run.Screen();
    EXPECT_EQ(0, run.Exit(kWait));
    EXPECT_GE(run.ElapsedMs(), 2400);  // the message stays up for 2.5 s
    const auto screen = run.Vterm();
    EXPECT_EQ("", screen->Text(1).substr(0, screen->Text(1).find_last_not_of(' ') + 1));
    EXPECT_EQ(0u, screen->Text(2).find("  Drop File Does Not Exist Or Is Not Supported:")) << screen->Picture();
    EXPECT_EQ(0u, screen->Text(3).find("  " + path + " ")) << screen->Picture();
    EXPECT_EQ("", run.Results());
  }
}

TEST(DoorStartup, StdioSessionLeavesTheSocketAlone) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"hook statusbar", "hook idlewarn", "startup", "maxidle 2", "mark ready", "readkey",
                         "write BYE"},
                        Expand(run, {"-N1", "-S{fd}", "-X"})));
  // Events run: with MaxIdle 2 the 0-minute idle warning comes once 1 s of idle time is left.
  ASSERT_TRUE(run.WaitResult("idlewarn 0", kWait)) << run.Results();
  run.Process().Write("k");  // in a stdio session even the caller's keys come from the console
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_NE(std::string::npos, run.Results().find("info comtype=2 comnum=" + std::to_string(run.BbsFd()) +
                                                   " node=1 local=0 stdio=1 events=1"))
      << run.Results();
  EXPECT_NE(std::string::npos, run.Results().find("key 107 ch=107 ext=0 loc=1")) << run.Results();
  EXPECT_TRUE(run.ResultLines("statusbar").empty()) << run.Results();
  EXPECT_EQ("", run.Received());  // nothing opened, nothing sent, not even at the exit step
  const std::string screen = run.Screen();
  EXPECT_NE(std::string::npos, screen.find("BYE")) << screen;
  EXPECT_EQ(std::string::npos, screen.find("Idle:")) << screen;
  ExpectConnectionIntact(run);
}

TEST(DoorExitStep, ResetsTheCallersTerminalAndKeepsTheConnection) {
  struct Case {
    std::string Name;
    std::vector<std::string> Script;
    std::string WantTail;      // the last bytes the caller receives
    std::string WantContains;  // somewhere in what the caller receives
    int MinElapsedMs;
  };
  const Case kCases[] = {
      // The door's own time-up hook ends the program with exit(0) from inside a key wait.
      {"hook exit", {"hook timeup", "startup", "maxseconds 0", "write HELLO", "readkey"},
       "HELLO" + ResetSequences(), "", 0},
      // The default time-up handler: its message to both sides, 2.5 s, then the exit step.
      {"default time up", {"startup", "maxseconds 1", "readkey"}, "Returning To BBS...\r\n" + ResetSequences(),
       AnsiTextAttr(15) + AnsiClrScr() + "\r\n  Your Time Has Expired.  Returning To BBS...\r\n", 2400},
      // The application's normal end.
      {"normal end", {"startup", "write HELLO"}, "HELLO" + ResetSequences(), "", 0},
      // After DoorShutdown nothing more reaches the caller, not even the exit step.
      {"after shutdown", {"startup", "write HELLO", "shutdown", "write AFTER"}, "HELLO", "", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    run.MakeCaller();
    ASSERT_TRUE(run.Start(c.Script, Expand(run, {"-N1", "-S{fd}"})));
    EXPECT_EQ(0, run.Exit(kWait));
    EXPECT_GE(run.ElapsedMs(), c.MinElapsedMs);
    const std::string received = run.Received();
    EXPECT_TRUE(EndsWith(received, c.WantTail)) << ::testing::PrintToString(received);
    EXPECT_NE(std::string::npos, received.find(c.WantContains)) << ::testing::PrintToString(received);
    EXPECT_EQ(std::string::npos, received.find("AFTER"));
    ExpectConnectionIntact(run);
  }
}

TEST(DoorEvents, WarningsThenTimeUpInOrder) {
  DoorRun run;
  run.MakeCaller();
  // With both limits at 2 s, the pass about 1 s in finds 1 s left of each: the idle warning comes
  // before the time warning, both for minute 0; the pass about 2 s in finds no time left.
  ASSERT_TRUE(run.Start({"hook idlewarn", "hook timewarn", "hook timeup", "hook timeout", "startup", "maxidle 2",
                         "maxseconds 2", "readkey"},
                        Expand(run, {"-N1", "-S{fd}"})));
  EXPECT_EQ(0, run.Exit(kWait));
  const auto lines = run.ResultLines("");
  std::vector<std::string> order;
  for (const auto& line : lines) {
    if (line.rfind("idlewarn", 0) == 0 || line.rfind("time", 0) == 0) {
      order.push_back(line.substr(0, line.find(" @")));
    }
  }
  const std::vector<std::string> want = {"idlewarn 0 idle=1", "timewarn 0 left=1", "timeup left=0"};
  EXPECT_EQ(want, order) << run.Results();
  for (const auto& line : lines) {
    const auto at = line.find(" @");
    if (at == std::string::npos) continue;
    const long ms = std::atol(line.c_str() + at + 2);
    if (line.rfind("idlewarn", 0) == 0 || line.rfind("timewarn", 0) == 0) {
      EXPECT_GE(ms, 1000) << line;
      EXPECT_LT(ms, 2000 + 3000) << line;
    }
    if (line.rfind("timeup", 0) == 0) {
      EXPECT_GE(ms, 2000) << line;
    }
  }
}

TEST(DoorEvents, AKeyRestartsTheIdleCountAndTheLimitEndsTheSession) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"hook idlewarn", "hook timeout", "startup", "maxidle 3", "readkey", "readkey"},
                        Expand(run, {"-N1", "-S{fd}"})));
  ASSERT_TRUE(run.WaitResult("idlewarn", kWait)) << run.Results();
  run.Send("a");
  EXPECT_EQ(0, run.Exit(kWait));
  std::vector<std::string> order;
  for (const auto& line : run.ResultLines("")) {
    if (line.rfind("idlewarn", 0) == 0 || line.rfind("key", 0) == 0) {
      order.push_back(line.substr(0, line.find(' ', line.find(' ') + 1)));
    } else if (line.rfind("timeout", 0) == 0) {
      order.push_back("timeout");
      // The first pass that finds more than 3 s: at 4 s, read again by the hook a moment later.
      const long idle = std::atol(line.c_str() + line.find('=') + 1);
      EXPECT_TRUE(idle == 4 || idle == 5) << line;
    }
  }
  // idle 2 of 3: warning; the key; idle 2 again: warning; idle above 3: time-out. The second
  // warning needs the pass that sees exactly 2 idle seconds; the key arrives just after a pass, so
  // on a loaded machine that pass can slip past the second and the warning is skipped, as it is
  // whenever passes come late.
  const std::vector<std::string> want = {"idlewarn 0", "key 97", "idlewarn 0", "timeout"};
  const std::vector<std::string> late = {"idlewarn 0", "key 97", "timeout"};
  EXPECT_TRUE(order == want || order == late) << run.Results();
}

TEST(DoorEvents, StatusBarOnceASecondInARemoteSession) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"hook statusbar", "startup", "mark ready", "readkey"}, Expand(run, {"-N1", "-S{fd}"})));
  ASSERT_TRUE(run.WaitResult("mark ready", kWait));
  run.Process().ReadFor(3300);
  run.Send("q");
  EXPECT_EQ(0, run.Exit(kWait));
  const auto bars = run.ResultLines("statusbar");
  EXPECT_GE(bars.size(), 3u) << run.Results();
  EXPECT_LE(bars.size(), 5u) << run.Results();
  long previous = -1000;
  for (const auto& line : bars) {
    const long ms = std::atol(line.c_str() + line.find('@') + 1);
    EXPECT_GE(ms - previous, 990) << run.Results();
    previous = ms;
  }
  const auto screen = run.Vterm();
  const std::string row = screen->Text(25);
  EXPECT_EQ(std::string(22, ' '), row.substr(2, 22)) << row;  // no name in a socket session
  EXPECT_EQ('\xfe', row[0]) << row;
  EXPECT_EQ(30, screen->Attr(1, 25));
  EXPECT_EQ(30u, row.find("Zelkit v13.09.02")) << row;
  EXPECT_EQ(50u, row.find("Idle: 00:0")) << row;
  EXPECT_EQ(64u, row.find("Left: 00:59:5")) << row;
  EXPECT_EQ(31, screen->Attr(31, 25));
  EXPECT_EQ(std::string::npos, run.Received().find("Idle:"));  // the bar stays on the console
}

TEST(DoorEvents, HangupEndsOnTheConsoleOnly) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"startup", "mark ready", "readkey"}, Expand(run, {"-N1", "-S{fd}"})));
  ASSERT_TRUE(run.WaitResult("mark ready", kWait));
  shutdown(run.CallerFd(), SHUT_WR);  // the caller hangs up; what the door still sends can be read
  ASSERT_TRUE(run.WaitScreen("Caller Dropped Carrier.", kWait)) << run.Screen();
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_NE(std::string::npos, run.Screen().find("   Caller Dropped Carrier.  Returning To BBS...")) << run.Screen();
  EXPECT_EQ(std::string::npos, run.Received().find("Carrier"));
  EXPECT_EQ(std::string::npos, run.Results().find("key "));
}

// A hang-up hook that returns is called again once a second for as long as the caller is gone, and
// the key wait between the passes sleeps rather than polling a dead socket.
TEST(DoorEvents, ReturningHangupHookIsCalledOnceASecond) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"hook hangup record", "startup", "mark ready", "readkey"}, Expand(run, {"-N1", "-S{fd}"})));
  ASSERT_TRUE(run.WaitResult("mark ready", kWait));
  run.CloseCaller();
  ASSERT_TRUE(run.WaitResult("hangup", kWait));
  run.Process().ReadFor(2500);
  run.Process().Write("q");  // the sysop's keyboard still works
  EXPECT_EQ(0, run.Exit(kWait));
  const auto calls = run.ResultLines("hangup");
  EXPECT_GE(calls.size(), 3u) << run.Results();
  EXPECT_LE(calls.size(), 5u) << run.Results();
  long previous = -1000;
  for (const auto& line : calls) {
    const long ms = std::atol(line.c_str() + line.find('@') + 1);
    EXPECT_GE(ms - previous, 990) << run.Results();
    previous = ms;
  }
  EXPECT_EQ(1u, run.ResultLines("key 113 ch=113 ext=0 loc=1").size()) << run.Results();
}

// In a stdio session standard output is the caller's line: it carries the door's bytes as a socket
// caller gets them (code page 437 as written, music sequences unchanged), whatever the locale; and
// standard input brings the caller's keys as a socket caller's arrive.
TEST(DoorStartup, StdioCallerGetsTheDoorsBytesInEveryLocale) {
  const std::string kWritten = "\xC9\xCD\xBB\xB0\xDB\x80\x9A\x1b[NT120O4C16\x0e\x1b[|MFT90L8CDE\x0e\xff";
  for (const char* lang : {"C", "C.UTF-8", "en_US.UTF-8"}) {
    SCOPED_TRACE(lang);
    DoorRun run;
    run.MakeCaller();
    ASSERT_TRUE(run.Start({"startup", "mark ready", "write \\xC9\\xCD\\xBB\\xB0\\xDB\\x80\\x9A",
                           "write \\e[NT120O4C16\\x0E", "write \\e[|MFT90L8CDE\\x0E", "write \\xFF", "readkey 4"},
                          Expand(run, {"-N1", "-S{fd}", "-X"}), "door_test_door",
                          {std::string("LC_ALL=") + lang, std::string("LANG=") + lang}));
    ASSERT_TRUE(run.WaitResult("mark ready", kWait));
    run.Process().Write("\x1b[1~\x1b[V\x1bOP\x7f");
    EXPECT_EQ(0, run.Exit(kWait));
    EXPECT_NE(std::string::npos, run.Process().Output().find(kWritten)) << run.Screen();
    std::vector<std::string> keys;
    for (const auto& line : run.ResultLines("key ")) keys.push_back(line.substr(0, line.find(" time=")));
    EXPECT_EQ((std::vector<std::string>{"key 71 ch=71 ext=1 loc=1", "key 73 ch=73 ext=1 loc=1",
                                        "key 59 ch=59 ext=1 loc=1", "key 8 ch=8 ext=0 loc=1"}),
              keys);
    EXPECT_EQ("", run.Received());
  }
}

// In a stdio session standard input is the caller, relayed by the BBS. Its keys are the caller's
// (CR NUL, telnet's line end, is one Enter; any other NUL is Ctrl-@, 0 then scan code 3), and its end
// of file is the caller hanging up: the hang-up path at once, not the idle limit minutes later.
TEST(DoorStartup, StdioSessionEndsWhenItsInputEnds) {
  struct Case {
    std::string Name, Input;
    std::vector<std::string> WantKeys;
  };
  const Case kCases[] = {
      {"no input at all", "", {}},
      {"keys, then the end", std::string("a\r\0b\0\r\r", 8),
       {"key 97 ch=97 ext=0 loc=1", "key 13 ch=13 ext=0 loc=1", "key 98 ch=98 ext=0 loc=1",
        "key 3 ch=3 ext=1 loc=1", "key 13 ch=13 ext=0 loc=1", "key 13 ch=13 ext=0 loc=1"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    run.MakeCaller();
    run.WriteFile("input", c.Input);
    ASSERT_TRUE(run.Start({"startup", "readkey " + std::to_string(c.WantKeys.size()), "mark keys read", "readkey"},
                          Expand(run, {"-N1", "-S{fd}", "-X"}), "door_test_door", {}, "input"));
    EXPECT_EQ(0, run.Exit(kWait));
    std::vector<std::string> keys;
    for (const auto& line : run.ResultLines("key ")) keys.push_back(line.substr(0, line.find(" time=")));
    EXPECT_EQ(c.WantKeys, keys) << run.Results();
    EXPECT_NE(std::string::npos, run.Results().find("mark keys read")) << run.Results();
    EXPECT_GE(run.ElapsedMs(), 2400);   // the hang-up message's pause (the message is the sysop's)
    EXPECT_LT(run.ElapsedMs(), 12000);  // not the idle limit's five minutes
    EXPECT_EQ("", run.Received());
  }
}

// Every hook the event check calls may wait for a key (or write a more prompt): the key wait inside
// the hook reads keys but does not run the check again, so the hook runs once, its line reaches the
// caller once, and the door carries on or ends as the hook decides.
TEST(DoorEvents, HooksMayWaitForAKey) {
  enum TAction : std::uint8_t { acCallerKeys, acSysopKey, acCallerHangsUp };
  struct Case {
    std::string Name;
    std::vector<std::string> Script;
    std::string Shown;     // what the caller sees once the hook waits
    TAction Action;
    std::string Hook;      // the prefix of the hook's own record, wanted exactly once
    std::string WantHookKey;  // the key the hook's wait returned ("" when the hook got none)
  };
  const Case kCases[] = {
      {"idle warning", {"hook idlewarn key", "startup", "maxidle 2", "readkey"}, "idlewarn hook waits",
       acCallerKeys, "idlewarn", "key 97 ch=97 ext=0 loc=2"},
      {"time warning", {"hook timewarn key", "startup", "maxseconds 2", "readkey"}, "timewarn hook waits",
       acCallerKeys, "timewarn", "key 97 ch=97 ext=0 loc=2"},
      {"status bar", {"hook statusbar key", "startup", "readkey"}, "statusbar hook waits", acCallerKeys,
       "statusbar", "key 97 ch=97 ext=0 loc=2"},
      {"time-out", {"hook timeout key", "startup", "maxidle 1", "readkey"}, "timeout hook waits", acCallerKeys,
       "timeout", "key 97 ch=97 ext=0 loc=2"},
      {"time up", {"hook timeup key", "startup", "maxseconds 0", "readkey"}, "timeup hook waits", acCallerKeys,
       "timeup", "key 97 ch=97 ext=0 loc=2"},
      // The caller is gone: the sysop answers the hang-up hook's key wait.
      {"hang-up", {"hook hangup key", "startup", "readkey"}, "", acSysopKey, "hangup", "key 115 ch=115 ext=0 loc=1"},
      // An idle warning ending in the more prompt's backtick code waits for a key too.
      {"idle warning with a more prompt", {"kest 1", "hook idlewarn more", "startup", "maxidle 2", "readkey"},
       "idlewarn hook more", acCallerKeys, "idlewarn", ""},
      // The caller hangs up while the hook waits: the hang-up hook still ends the session.
      {"caller hangs up during the hook's wait", {"hook idlewarn key", "hook hangup", "startup", "maxidle 2", "readkey"},
       "idlewarn hook waits", acCallerHangsUp, "idlewarn", ""},
  };
  // Each row runs on even when an earlier one failed, so one run shows every hook's outcome; a row
  // that waits in vain ends there, and after two such rows the rest are not run, so that a fault
  // common to all rows fails the test in half a minute instead of adding up every row's waits.
  int timedOut = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    if (timedOut >= 2) {
      ADD_FAILURE() << "not run: two rows before it waited in vain";
      continue;
    }
    DoorRun run;
    run.MakeCaller();
    ASSERT_TRUE(run.Start(c.Script, Expand(run, {"-N1", "-S{fd}"})));
    if (c.Action == acSysopKey) {
      EXPECT_TRUE(run.WaitResult("started", kWait));
      shutdown(run.CallerFd(), SHUT_WR);
      if (!run.WaitScreen("hangup hook waits", kWait)) {
        ADD_FAILURE() << "the hang-up hook did not come to wait for a key\n" << run.Screen();
        ++timedOut;
        continue;
      }
    } else if (!run.WaitCaller(c.Shown, kWait)) {
      const std::string& got = run.Received();
      ADD_FAILURE() << "the caller never saw \"" << c.Shown << "\"; the last of " << got.size() << " bytes:\n"
                    << ::testing::PrintToString(got.substr(got.size() > 400 ? got.size() - 400 : 0));
      ++timedOut;
      continue;
    }
    run.Process().ReadFor(1500);  // the hook keeps waiting; nothing runs it again meanwhile
    switch (c.Action) {
      case acCallerKeys: run.Send("ab"); break;  // the hook's key, then the door's own
      case acSysopKey: run.Process().Write("s"); break;
      case acCallerHangsUp: shutdown(run.CallerFd(), SHUT_WR); break;
    }
    const int code = run.Exit(kWait);
    if (code == -SIGKILL) ++timedOut;  // still running at the deadline
    EXPECT_EQ(0, code) << "how the door ended after the hook's key (-9: still running after " << kWait / 1000
                       << " s)\n" << run.Results();
    EXPECT_EQ(1u, run.ResultLines(c.Hook).size()) << run.Results();
    const auto hookKeys = run.ResultLines("hookkey");
    if (c.WantHookKey.empty()) {
      EXPECT_TRUE(hookKeys.empty()) << run.Results();
    } else {
      EXPECT_EQ(1u, hookKeys.size()) << run.Results();
      for (const auto& line : hookKeys) EXPECT_EQ(0u, line.find("hookkey " + c.Hook + " " + c.WantHookKey)) << line;
    }
    const std::string received = run.Received();
    if (!c.Shown.empty()) {
      const auto first = received.find(c.Shown);
      EXPECT_NE(std::string::npos, first);
      EXPECT_EQ(std::string::npos, received.find(c.Shown, first + 1)) << "shown more than once";
    }
    if (c.Action == acCallerKeys && c.Hook != "timeout" && c.Hook != "timeup") {
      // The door went on after the hook: its own key wait took the second key.
      EXPECT_EQ(1u, run.ResultLines("key 98 ch=98 ext=0 loc=2").size()) << run.Results();
    }
    if (c.Action == acCallerHangsUp) {
      EXPECT_EQ(1u, run.ResultLines("hangup").size()) << run.Results();
    }
  }
}

// Idle time and time left run on a monotonic clock: a change of daylight-saving time while the door
// waits (libfaketime starts the door's clock 2 s before it, Berlin time, autumn and spring), before
// or after a key was pressed, neither ends the session for idling nor changes the time left, and
// neither does the wall clock stepping an hour (NTP, date -s: libfaketime moves the wall clock alone
// through its time stamp file). A key's stamp stays local time.
TEST(DoorEvents, DaylightSavingChangeLeavesIdleTimeAndTimeLeftAlone) {
  glob_t found{};
  const bool haveLib = glob("/usr/lib/*/faketime/libfaketime.so.1", 0, nullptr, &found) == 0 && found.gl_pathc > 0;
  const std::string lib = haveLib ? found.gl_pathv[0] : "";
  globfree(&found);
  ASSERT_TRUE(haveLib) << "libfaketime is missing (scripts/install-deps.sh installs faketime)";
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
  struct Case {
    std::string Name;
    std::string Start;  // seconds since the epoch; "" for the real time, stepped an hour after the key
    int HourAfter;      // local hour just after the change (-1: not checked)
    bool KeyFirst;      // a key is pressed just after start, before the change
  };
  const Case kCases[] = {{"autumn, 03:00 CEST becomes 02:00 CET", "1792889998", 2, false},
                         {"spring, 02:00 CET becomes 03:00 CEST", "1774745998", 3, false},
                         {"autumn, after a key", "1792889998", 2, true},
                         {"the wall clock steps an hour forward after a key", "", -1, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    run.MakeCaller();
    const std::string clockFile = run.Dir() + "/faketime.rc";
    std::vector<std::string> env = {"TZ=Europe/Berlin", "LD_PRELOAD=" + lib, "ASAN_OPTIONS=" + asanOptions};
    if (c.Start.empty()) {
      std::ofstream(clockFile) << "+0\n";
      for (const char* e : {"FAKETIME_DONT_FAKE_MONOTONIC=1", "FAKETIME_NO_CACHE=1"}) env.emplace_back(e);
      env.push_back("FAKETIME_TIMESTAMP_FILE=" + clockFile);
    } else {
      env.push_back("FAKETIME=@" + c.Start);
      env.emplace_back("FAKETIME_FMT=%s");
    }
    std::vector<std::string> script = {"hook statusbar", "hook timeout", "startup", "readkey"};
    if (c.KeyFirst) script.emplace_back("readkey");
    ASSERT_TRUE(run.Start(script, Expand(run, {"-N1", "-S{fd}"}), "door_test_door", env));
    if (c.KeyFirst) {
      run.Send("k");
      EXPECT_TRUE(run.WaitResult("key 107", kWait)) << run.Results();
      if (c.Start.empty()) std::ofstream(clockFile) << "+1h\n";
    }
    // Status bar passes until one comes 3.5 s after start, well past the change.
    for (int i = 0; i < 150; ++i) {
      const auto bars = run.ResultLines("statusbar");
      if (!bars.empty() && std::atol(bars.back().c_str() + bars.back().find('@') + 1) >= 3500) break;
      if (!run.Results().empty() && run.Results().find("timeout") != std::string::npos) break;
      run.Process().ReadFor(100);
    }
    run.Send("q");
    EXPECT_EQ(0, run.Exit(kWait));
    EXPECT_TRUE(run.ResultLines("timeout").empty()) << run.Results();
    const auto bars = run.ResultLines("statusbar");
    EXPECT_GE(bars.size(), 3u) << run.Results();
    for (const auto& line : bars) {
      const long ms = std::atol(line.c_str() + line.find('@') + 1);
      const long idle = std::atol(line.c_str() + line.find("idle=") + 5);
      const long left = std::atol(line.c_str() + line.find("left=") + 5);
      EXPECT_LE(idle, ms / 1000 + 1) << line;
      EXPECT_GE(left, 3600 - ms / 1000 - 1) << line;
      EXPECT_LE(left, 3600) << line;
    }
    const auto keys = run.ResultLines("key 113 ch=113 ext=0 loc=2");
    ASSERT_EQ(1u, keys.size()) << run.Results();
    if (c.HourAfter < 0) continue;
    const double stamp = std::atof(keys[0].c_str() + keys[0].find("time=") + 5);
    const double seconds = (stamp - std::floor(stamp)) * 86400.0;
    EXPECT_EQ(c.HourAfter, static_cast<int>(seconds / 3600)) << keys[0];
    EXPECT_LT(std::fmod(seconds, 3600.0), 60.0) << keys[0];
  }
}

// SIGTERM, SIGHUP and SIGINT end the door without its normal end, yet the caller's terminal is put
// back (the exit step's bytes reach the caller), the BBS keeps the caller (no shutdown), the sysop's
// terminal is restored, and the process ends by the signal itself.
TEST(DoorExit, EndingSignalsStillResetTheCallersTerminal) {
  for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    DoorRun run;
    run.MakeCaller();
    ASSERT_TRUE(run.Start({"startup", "write \\e[1;31mRED", "mark ready", "readkey"}, Expand(run, {"-N1", "-S{fd}"})));
    ASSERT_TRUE(run.WaitResult("mark ready", kWait));
    ASSERT_TRUE(run.WaitCaller("RED", kWait));
    run.Process().ReadFor(100);
    ASSERT_EQ(0, kill(run.Process().Pid(), sig));
    EXPECT_EQ(-sig, run.Exit(kWait));
    EXPECT_TRUE(EndsWith(run.Received(), "RED" + ResetSequences())) << ::testing::PrintToString(run.Received());
    ExpectConnectionIntact(run);
    EXPECT_TRUE(EndsWith(run.Process().Output(), "\x1b[0m\x1b[?25h"))
        << ::testing::PrintToString(run.Process().Output().substr(run.Process().Output().size() - 40));
  }
}
