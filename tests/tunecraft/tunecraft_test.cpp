// The built tunecraft door started the ways a BBS starts it: locally with the login prompt, on an
// inherited socket (-N1 -S<fd>), from each drop file format and as BBS packages write them, in stdio
// mode, and with start-up failures. Each run has a fresh temporary working directory; the caller is
// a socket pair or a loopback TCP connection; the sysop's console is a pseudo-terminal read back
// with libvterm.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/pty_process.h"
#include "tests/support/vterm_screen.h"
#include "tests/tunecraft/tunecraft_checks.h"
#include "tests/tunecraft/tunecraft_harness.h"

namespace {

using namespace tunecraft_test;

TEST(TunecraftLocal, LoginPlaysTheTuneOnTheConsoleAndLogsIt) {
  TempDir Dir;
  DoorRun Run({}, Dir.Path(), nullptr);
  ASSERT_TRUE(ScreenShows(Run, "LOCAL LOGIN - FOR NODE 0")) << Screen(Run.Console().Output());
  ASSERT_TRUE(ScreenShows(Run, "Run tunecraft /? for command-line usage help"));
  ASSERT_TRUE(ScreenShows(Run, "Name or handle :"));
  Run.Console().Write("Tester\r");
  ASSERT_TRUE(ScreenShows(Run, "Press any key to play some random notes")) << Screen(Run.Console().Output());
  const std::string AtFirstWait = Screen(Run.Console().Output());
  EXPECT_NE(std::string::npos, AtFirstWait.find("Playing four notes")) << AtFirstWait;
  EXPECT_EQ("DDDD", NotesOnScreen(AtFirstWait)) << AtFirstWait;
  EXPECT_EQ(std::string::npos, AtFirstWait.find("LOCAL LOGIN")) << "the login screen was not cleared";
  Run.Console().Write("x");
  ASSERT_TRUE(ScreenShows(Run, "Your music has been played, press any key."));
  Run.Console().Write("y");
  EXPECT_EQ(0, Run.WaitExit());
  const std::string AtEnd = Screen(Run.Console().Output());
  EXPECT_EQ(std::string("DDDD") + kRandomNotes, NotesOnScreen(AtEnd)) << AtEnd;
  EXPECT_EQ(ExpectedLog(std::string("DDDD") + kRandomNotes), LogLines(Dir.Path()));
}

// -N1 -S<fd>, over a socket pair and over loopback TCP; two runs in the same directory.
TEST(TunecraftRemote, CallerGetsTheExactSessionAndTheLogGrows) {
  for (LinkKind Kind : {LinkKind::SocketPair, LinkKind::Tcp}) {
    SCOPED_TRACE(Kind == LinkKind::SocketPair ? "socket pair" : "loopback TCP");
    TempDir Dir;
    for (int Pass = 1; Pass <= 2; ++Pass) {
      SCOPED_TRACE("run " + std::to_string(Pass));
      auto Link = Connect(Kind);
      ASSERT_NE(nullptr, Link);
      DoorRun Run({"-N1", "-S" + std::to_string(Link->Door)}, Dir.Path(), Link.get());
      ASSERT_TRUE(Run.CallerUntil(kFirstPrompt)) << Printable(Run.Received());
      EXPECT_BYTES(kBeforeFirstKey, Run.Received());
      Run.SendKey("a");
      ASSERT_TRUE(Run.CallerUntil(kSecondPrompt)) << Printable(Run.Received());
      Run.SendKey("b");
      ASSERT_EQ(0, Run.WaitExit());
      // The door released the socket at shutdown, so its exit step reached the console only.
      EXPECT_BYTES(kBeforeFirstKey + kAfterFirstKey, Run.Received());
      const std::string Console = Screen(Run.Console().Output());
      EXPECT_EQ(std::string("DDDD") + kRandomNotes, NotesOnScreen(Console)) << Console;
      ExpectCallerStillConnected(*Link);

      std::string Want;
      for (int Earlier = 1; Earlier <= Pass; ++Earlier)
        for (const auto& L : ExpectedLog(std::string("DDDD") + kRandomNotes)) Want += L + "\n";
      EXPECT_BYTES(Want, ReadFile(Dir.Path() / "tunecraft.log"));
      EXPECT_EQ(14u * static_cast<unsigned>(Pass), LogLines(Dir.Path()).size());
    }
  }
}

// The four drop file formats, each naming the inherited socket as its connection.
TEST(TunecraftDropFile, EachFormatStartsARemoteRun) {
  struct Case {
    const char* File;
    std::vector<std::string> (*Lines)(int AFd);
    const char* Name;  // the caller's name, shown on the status bar
  };
  const Case kCases[] = {
      {"DOOR32.SYS",
       [](int AFd) {
         return std::vector<std::string>{"2", std::to_string(AFd), "38400", "Test BBS", "1", "ADA LOVELACE", "Ada",
                                         "10", "60", "1", "1"};
       },
       "ADA LOVELACE"},
      {"DOOR.SYS",
       [](int AFd) {
         std::vector<std::string> L(52, "");
         L[0] = "COM" + std::to_string(AFd) + ":";
         L[3] = "1";
         L[4] = "38400";
         L[9] = "GRACE HOPPER";
         L[14] = "10";
         L[17] = "3600";
         L[19] = "GR";
         L[25] = "1";
         L[35] = "Amazing";
         return L;
       },
       "GRACE HOPPER"},
      {"DORINFO1.DEF",
       [](int AFd) {
         return std::vector<std::string>{"Test BBS", "SYSOP", "", "COM" + std::to_string(AFd), "38400 BAUD,N,8,1", "0",
                                         "ALAN", "TURING", "City", "1", "10", "60", ""};
       },
       "ALAN TURING"},
      {"INFO.1",
       [](int AFd) {
         return std::vector<std::string>{"5", "3", "1", "FAIRY NO", "60", "Hedy", "HEDY", "LAMARR",
                                         std::to_string(AFd), "38400", "", "TELNET", "", "CLEAN MODE OFF"};
       },
       "HEDY LAMARR"},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.File);
    TempDir Dir;
    auto Link = Connect(LinkKind::SocketPair);
    ASSERT_NE(nullptr, Link);
    std::string Text;
    for (const auto& L : C.Lines(Link->Door)) Text += L + "\r\n";
    const fs::path DropFile = Dir.Path() / "node1" / C.File;
    fs::create_directories(DropFile.parent_path());
    { std::ofstream(DropFile, std::ios::binary) << Text; }

    DoorRun Run({"-D" + DropFile.string()}, Dir.Path(), Link.get());
    ASSERT_TRUE(Run.CallerUntil(kFirstPrompt)) << Printable(Run.Received());
    EXPECT_BYTES(kBeforeFirstKey, Run.Received());
    EXPECT_TRUE(ScreenShows(Run, C.Name)) << Screen(Run.Console().Output());
    EXPECT_NE(std::string::npos, Screen(Run.Console().Output()).find("Left: 01:00:00"))
        << Screen(Run.Console().Output());
    Run.SendKey("\r");
    ASSERT_TRUE(Run.CallerUntil(kSecondPrompt)) << Printable(Run.Received());
    Run.SendKey(" ");
    EXPECT_EQ(0, Run.WaitExit());
    EXPECT_BYTES(kBeforeFirstKey + kAfterFirstKey, Run.Received());
    EXPECT_EQ(14u, LogLines(Dir.Path()).size());
    ExpectCallerStillConnected(*Link);
  }
}

TEST(TunecraftDropFile, NoTimeLeftEndsAtTheFirstKeyWait) {
  TempDir Dir;
  auto Link = Connect(LinkKind::SocketPair);
  ASSERT_NE(nullptr, Link);
  const fs::path DropFile = Dir.Path() / "DOOR32.SYS";
  {
    std::ofstream Out(DropFile, std::ios::binary);
    for (const std::string& L : {std::string("2"), std::to_string(Link->Door), std::string("38400"),
                                 std::string("BBS"), std::string("1"), std::string("OUT OF TIME"),
                                 std::string("Late"), std::string("10"), std::string("0"), std::string("1"),
                                 std::string("1")})
      Out << L << "\r\n";
  }
  DoorRun Run({"-D" + DropFile.string()}, Dir.Path(), Link.get());
  EXPECT_EQ(0, Run.WaitExit());
  const std::string Message = "  Your Time Has Expired.  Returning To BBS...\r\n";
  // Bright white on black, clear screen, an empty line and the message; then the exit step, which
  // still reaches the caller because the door ended without its own shutdown.
  EXPECT_BYTES(kBeforeFirstKey + "\x1b[1;37m\x1b[40m" + kClearScreen + "\r\n" + Message + kExitStepFromWhite,
               Run.Received());
  const std::string Console = Screen(Run.Console().Output());
  EXPECT_NE(std::string::npos, Console.find("Your Time Has Expired.  Returning To BBS...")) << Console;
  EXPECT_EQ(ExpectedLog("DDDD"), LogLines(Dir.Path()));
  ExpectCallerStillConnected(*Link);
}

// Waits until the door's standard output holds ANeedle, byte for byte.
bool OutputHolds(DoorRun& ARun, const std::string& ANeedle) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (ARun.Console().Output().find(ANeedle) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= Deadline) return false;
    ARun.Console().ReadFor(20);
  }
  return true;
}

// In stdio mode the console is the caller's connection: standard output carries exactly what a
// socket caller receives (code page 437 bytes as written, the music sequences unchanged), whatever
// the locale says, the keys come from standard input, and the socket is not the door's.
TEST(TunecraftStdio, CallerGetsTheSocketCallersBytesInEveryLocale) {
  for (const char* Lang : {"C", "C.UTF-8", "en_US.UTF-8"}) {
    SCOPED_TRACE(Lang);
    TempDir Dir;
    auto Link = Connect(LinkKind::SocketPair);
    ASSERT_NE(nullptr, Link);
    DoorRun Run({"-N1", "-S" + std::to_string(Link->Door), "-X"}, Dir.Path(), Link.get(),
                std::string("export LC_ALL=") + Lang + " LANG=" + Lang + "; exec \"$0\" \"$@\"");
    const std::string Before = kBeforeFirstKey.substr(kTelnetOpening.size());
    ASSERT_TRUE(OutputHolds(Run, Before)) << Printable(Run.Console().Output());
    Run.SendKey("k");  // the socket is not the door's in stdio mode: this key must not count
    Run.Console().ReadFor(300);
    EXPECT_BYTES(Before, Run.Console().Output());
    Run.Console().Write("1");
    ASSERT_TRUE(OutputHolds(Run, kSecondPrompt)) << Printable(Run.Console().Output());
    Run.Console().Write("2");
    EXPECT_EQ(0, Run.WaitExit());
    EXPECT_BYTES("", Run.Received());
    // Then the exit step, attribute 7 and the cursor to the bottom-left corner, as the door writes it.
    EXPECT_BYTES(Before + kAfterFirstKey, Run.Console().Output().substr(0, Before.size() + kAfterFirstKey.size()));
    EXPECT_EQ(14u, LogLines(Dir.Path()).size());
    // The caller's key is still waiting in the socket, untouched.
    char Byte = 0;
    ASSERT_EQ(1, recv(Link->Door, &Byte, 1, MSG_DONTWAIT));
    EXPECT_EQ('k', Byte);
  }
}

// The drop files real BBS packages write (docs/bbs.md), with the command line that document gives
// for each. Socket doors: the caller is the socket the drop file names. Stdio doors (-X): the BBS
// relays the caller through the door's terminal, so the caller's keys come from the console.
TEST(TunecraftBbsRecipes, DropFilesAsBbsPackagesWriteThem) {
  struct Case {
    const char* What;
    const char* File;
    std::vector<std::string> (*Lines)(int AFd);
    const char* LineEnd;
    bool Stdio;         // started with -X, the caller on the console
    const char* Shows;  // on the console once the door has started
  };
  const auto Door32 = [](const std::string& AComType, const std::string& AHandle) {
    return std::vector<std::string>{AComType, AHandle, "38400", "Some BBS", "7", "ADA LOVELACE", "Ada", "20", "60",
                                    "1", "3"};
  };
  static const auto FDoor32 = Door32;
  const Case kCases[] = {
      {"Synchronet socket door: DOOR32.SYS with LF line ends", "DOOR32.SYS",
       [](int AFd) { return FDoor32("2", std::to_string(AFd)); }, "\n", false, "ADA LOVELACE"},
      {"ENiGMA stdio door: DOOR32.SYS comm type 2, handle -1, with -X", "DOOR32.SYS",
       [](int) { return FDoor32("2", "-1"); }, "\r\n", true, "Press any key to play some random notes"},
      {"Synchronet stdio door: DOOR32.SYS comm type 0, handle -1, with -X", "door32.sys",
       [](int) { return FDoor32("0", "-1"); }, "\n", true, "Press any key to play some random notes"},
      {"Magicka stdio door: DOOR.SYS naming COM1:, with -X", "DOOR.SYS",
       [](int) {
         std::vector<std::string> L(52, "");
         L[0] = "COM1:";
         L[3] = "3";
         L[9] = "GRACE HOPPER";
         L[17] = "3600";
         L[19] = "GR";
         return L;
       },
       "\r\n", true, "Press any key to play some random notes"},
      // No drop file: a stdio session with the kit's limits, for a BBS whose stdio drop file says comm type 0.
      {"stdio door without a drop file: -N3 -S0 -X", nullptr, nullptr, "", true,
       "Press any key to play some random notes"},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.What);
    TempDir Dir;
    auto Link = Connect(LinkKind::SocketPair);
    ASSERT_NE(nullptr, Link);
    std::vector<std::string> Args = {"-N3", "-S0"};
    if (C.File != nullptr) {
      std::string Text;
      for (const auto& L : C.Lines(Link->Door)) Text += L + C.LineEnd;
      const fs::path DropFile = Dir.Path() / "node3" / C.File;
      fs::create_directories(DropFile.parent_path());
      { std::ofstream(DropFile, std::ios::binary) << Text; }
      Args = {"-D" + DropFile.string()};
    }
    if (C.Stdio) Args.push_back("-X");

    DoorRun Run(Args, Dir.Path(), Link.get());
    if (C.Stdio) {
      ASSERT_TRUE(ScreenShows(Run, C.Shows)) << Screen(Run.Console().Output());
      Run.Console().Write("1");
      ASSERT_TRUE(ScreenShows(Run, "Your music has been played, press any key.")) << Screen(Run.Console().Output());
      Run.Console().Write("2");
      EXPECT_EQ(0, Run.WaitExit());
      EXPECT_BYTES("", Run.Received());  // nothing on the socket the BBS kept
      EXPECT_NE(std::string::npos, Run.Console().Output().find(Notes("DDDD") + kFirstPrompt));
      EXPECT_NE(std::string::npos, Run.Console().Output().find(Notes(kRandomNotes) + kSecondPrompt));
    } else {
      ASSERT_TRUE(Run.CallerUntil(kFirstPrompt)) << Printable(Run.Received());
      EXPECT_TRUE(ScreenShows(Run, C.Shows)) << Screen(Run.Console().Output());
      Run.SendKey("\r");
      ASSERT_TRUE(Run.CallerUntil(kSecondPrompt)) << Printable(Run.Received());
      Run.SendKey(" ");
      EXPECT_EQ(0, Run.WaitExit());
      EXPECT_BYTES(kBeforeFirstKey + kAfterFirstKey, Run.Received());
      ExpectCallerStillConnected(*Link);
    }
    EXPECT_EQ(14u, LogLines(Dir.Path()).size());
  }
}

TEST(TunecraftStartupFailure, EndsWithCodeZeroAndNoLog) {
  struct Case {
    const char* What;
    std::vector<std::string> Args;  // "{drop}" stands for the DOOR.SYS written from DoorSysPort
    std::vector<std::string> Shows;
    std::string Shell = "";        // runs first on the terminal, then execs the door
    std::string DoorSysPort = "";  // line 1 of a DOOR.SYS, when not empty
  };
  const Case kCases[] = {
      {"usage /?", {"/?"}, {"USAGE: tunecraft <PARAMETERS>", "-N         NODE NUMBER", "Example: tunecraft -N1 -S1000"}},
      {"usage -?", {"-?"}, {"USAGE: tunecraft <PARAMETERS>"}},
      {"missing drop file",
       {"-D/nonexistent/node1/DOOR32.SYS"},
       {"Drop File Does Not Exist Or Is Not Supported:", "/nonexistent/node1/DOOR32.SYS"}},
      // Descriptors that are not a socket: what BBSes write for a telnet caller into DOOR.SYS
      // (descriptor 1, the door's own standard output), a closed one, and a file.
      {"DOOR.SYS naming COM1:", {"-D{drop}"}, {"No Carrier Detected"}, "", "COM1:"},
      {"-S99, no such descriptor", {"-N1", "-S99"}, {"No Carrier Detected"}},
      {"-S3 on a file", {"-N1", "-S3"}, {"No Carrier Detected"}, "exec \"$0\" \"$@\" 3</etc/hostname"},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.What);
    TempDir Dir;
    auto Link = Connect(LinkKind::SocketPair);  // the BBS's caller, who must get nothing
    ASSERT_NE(nullptr, Link);
    std::vector<std::string> Args = C.Args;
    if (!C.DoorSysPort.empty()) {
      std::vector<std::string> L(52, "");
      L[0] = C.DoorSysPort;
      L[3] = "1";
      L[9] = "GRACE HOPPER";
      L[17] = "3600";
      const fs::path DropFile = Dir.Path() / "node1" / "DOOR.SYS";
      fs::create_directories(DropFile.parent_path());
      std::ofstream Out(DropFile, std::ios::binary);
      for (const auto& Line : L) Out << Line << "\r\n";
      for (auto& A : Args) {
        if (A == "-D{drop}") A = "-D" + DropFile.string();
      }
    }
    DoorRun Run(Args, Dir.Path(), Link.get(), C.Shell);
    EXPECT_EQ(0, Run.WaitExit());
    const std::string Console = Screen(Run.Console().Output());
    for (const auto& S : C.Shows) EXPECT_NE(std::string::npos, Console.find(S)) << S << "\n" << Console;
    EXPECT_FALSE(fs::exists(Dir.Path() / "tunecraft.log"));
    EXPECT_BYTES("", Run.Received());
    // Nothing meant for a caller went to the terminal either (descriptor 1 is the console).
    EXPECT_EQ(std::string::npos, Run.Console().Output().find(kTelnetOpening.substr(0, 3)));
    EXPECT_EQ(std::string::npos, Run.Console().Output().find("Playing four notes"));
  }
}

// "COM1:" names a serial port, never a descriptor: not even when descriptor 1, the door's standard
// output, is a socket (a service manager's journal). The run ends with "No Carrier Detected" at
// once; the socket gets the sysop's screen with that message and nothing meant for a caller.
TEST(TunecraftStartupFailure, Com1WhileStandardOutputIsASocket) {
  TempDir Dir;
  auto Journal = Connect(LinkKind::SocketPair);
  ASSERT_NE(nullptr, Journal);
  std::vector<std::string> L(52, "");
  L[0] = "COM1:";
  L[3] = "1";
  L[9] = "GRACE HOPPER";
  L[17] = "3600";
  const fs::path DropFile = Dir.Path() / "node1" / "DOOR.SYS";
  fs::create_directories(DropFile.parent_path());
  {
    std::ofstream Out(DropFile, std::ios::binary);
    for (const auto& Line : L) Out << Line << "\r\n";
  }
  const auto Start = std::chrono::steady_clock::now();
  DoorRun Run({"-D" + DropFile.string()}, Dir.Path(), Journal.get(),
              "exec \"$0\" \"$@\" >&" + std::to_string(Journal->Door));
  EXPECT_EQ(0, Run.WaitExit(3000));
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(3));
  EXPECT_NE(std::string::npos, Screen(Run.Received()).find("No Carrier Detected")) << Printable(Run.Received());
  EXPECT_EQ(std::string::npos, Run.Received().find(kTelnetOpening.substr(0, 3))) << Printable(Run.Received());
  EXPECT_EQ(std::string::npos, Run.Received().find("Playing four notes"));
  EXPECT_FALSE(fs::exists(Dir.Path() / "tunecraft.log"));
}

// A local run whose keyboard is at end of file (standard input on /dev/null) can never get a name
// or a key: it ends at once with exit code 0 instead of sleeping for ever.
TEST(TunecraftLocal, NoKeyboardEndsTheLocalRun) {
  TempDir Dir;
  DoorRun Run({}, Dir.Path(), nullptr, "exec \"$0\" \"$@\" </dev/null");
  EXPECT_EQ(0, Run.WaitExit(5000));
  EXPECT_FALSE(fs::exists(Dir.Path() / "tunecraft.log"));
}

// In stdio mode standard input is the caller: at end of file (the BBS closed the caller's terminal)
// the run takes the hang-up path at once, as a socket at end of file does, instead of idling for
// five minutes. The hang-up message is the sysop's, and stdio mode has no sysop's screen: standard
// output is the caller's line, which gets no more than a socket caller would.
TEST(TunecraftStdio, InputAtEndOfFileIsTheCallerHangingUp) {
  TempDir Dir;
  DoorRun Run({"-N1", "-S5", "-X"}, Dir.Path(), nullptr, "exec \"$0\" \"$@\" </dev/null");
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, Run.WaitExit(10000));
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(8));
  EXPECT_NE(std::string::npos, Run.Console().Output().find(kFirstPrompt)) << Printable(Run.Console().Output());
  EXPECT_EQ(std::string::npos, Run.Console().Output().find("Caller Dropped Carrier"));
  EXPECT_EQ(ExpectedLog("DDDD"), LogLines(Dir.Path()));
}

}  // namespace
