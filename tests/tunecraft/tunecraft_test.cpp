// The built tunecraft door, run the ways a BBS runs it: locally with the login prompt, on an
// inherited socket (-N1 -S<fd>), from each drop file format, in stdio mode, and by zelkit-launch
// for a real telnet client. Each run has a fresh temporary working directory; the caller is a
// socket pair or a loopback TCP connection; the sysop's console is a pseudo-terminal read back
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
#include "tests/tunecraft/tunecraft_harness.h"

extern char** environ;

namespace {

using namespace tunecraft_test;
using zelkit_test::VtermScreen;

std::string Note(char ALetter) { return std::string("\x1b[NT120O4") + ALetter + "16\x0e"; }

// The ten notes drawn from the Mersenne Twister seeded with 0, the same in every run.
constexpr const char* kRandomNotes = "DDEEDEDEDD";

std::string Notes(const std::string& ALetters) {
  std::string Out;
  for (char L : ALetters) Out += Note(L);
  return Out;
}

const std::string kClearScreen = "\x1b[2J\x1b[1;1f";  // ED 2, then HVP to the top-left corner
const std::string kFirstPrompt = "Press any key to play some random notes\r\n";
const std::string kSecondPrompt = "Your music has been played, press any key.\r\n";

// Everything the caller receives up to the first key wait: the telnet opening, the clear screen
// of the session start and the door's own, the texts and the four D notes.
const std::string kBeforeFirstKey =
    kTelnetOpening + kClearScreen + kClearScreen + "Playing four notes\r\n\r\n" + Notes("DDDD") + kFirstPrompt;
const std::string kAfterFirstKey = "\r\n" + Notes(kRandomNotes) + kSecondPrompt;

// The exit step of a session whose transport is still open: attribute 7 (from bright white),
// then the cursor 255 rows down and 255 columns left.
const std::string kExitStepFromWhite = "\x1b[0;37m\x1b[40m\x1b[40m\x1b[255B\x1b[255D";

std::vector<std::string> ExpectedLog(const std::string& ALetters) {
  std::vector<std::string> Lines;
  for (char L : ALetters) Lines.push_back(Note(L));
  return Lines;
}

std::string Screen(const std::string& ABytes) {
  VtermScreen S(25, 80);
  S.Feed(ABytes);
  return S.Picture();
}

// The music strings the sysop's console shows as text, in order, as note letters.
std::string NotesOnScreen(const std::string& APicture) {
  std::string Letters;
  static const std::regex kMusic("T120O4([CDE])16");
  for (auto It = std::sregex_iterator(APicture.begin(), APicture.end(), kMusic); It != std::sregex_iterator(); ++It)
    Letters += (*It)[1].str();
  return Letters;
}

// Waits until the sysop's screen, rebuilt from everything the console received, shows ANeedle.
bool ScreenShows(DoorRun& ARun, const std::string& ANeedle, int AMilliseconds = kWaitMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
  for (;;) {
    ARun.Console().ReadFor(20);
    if (Screen(ARun.Console().Output()).find(ANeedle) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= Deadline) return false;
  }
}

// The BBS still has the caller: the caller can write without EPIPE, the BBS's copy of the door's
// end receives it, and the caller sees no end of file (the door did not shut the connection down).
void ExpectCallerStillConnected(Connection& ALink) {
  char Byte = 0;
  errno = 0;
  EXPECT_EQ(-1, recv(ALink.Caller, &Byte, 1, MSG_DONTWAIT)) << "the caller saw the connection end";
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
  EXPECT_EQ(1, send(ALink.Caller, "z", 1, MSG_NOSIGNAL)) << std::strerror(errno);
  pollfd P{ALink.Door, POLLIN, 0};
  ASSERT_EQ(1, poll(&P, 1, kWaitMs));
  ASSERT_EQ(1, recv(ALink.Door, &Byte, 1, MSG_DONTWAIT));
  EXPECT_EQ('z', Byte);
}

std::string Printable(const std::string& ABytes) {
  std::string Out;
  for (unsigned char C : ABytes) {
    if (C >= 32 && C < 127) {
      Out += static_cast<char>(C);
    } else {
      char Hex[8];
      std::snprintf(Hex, sizeof Hex, "<%02X>", C);
      Out += Hex;
    }
  }
  return Out;
}

#define EXPECT_BYTES(want, got) EXPECT_EQ(Printable(want), Printable(got))

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

TEST(TunecraftStdio, AllTrafficStaysOnTheConsole) {
  TempDir Dir;
  auto Link = Connect(LinkKind::SocketPair);
  ASSERT_NE(nullptr, Link);
  DoorRun Run({"-N1", "-S" + std::to_string(Link->Door), "-X"}, Dir.Path(), Link.get());
  ASSERT_TRUE(ScreenShows(Run, "Press any key to play some random notes")) << Screen(Run.Console().Output());
  Run.SendKey("k");  // the socket is not the door's in stdio mode: this key must not count
  Run.Console().ReadFor(300);
  EXPECT_EQ(std::string::npos, Screen(Run.Console().Output()).find("Your music has been played"));
  Run.Console().Write("1");
  ASSERT_TRUE(ScreenShows(Run, "Your music has been played, press any key."));
  Run.Console().Write("2");
  EXPECT_EQ(0, Run.WaitExit());
  EXPECT_BYTES("", Run.Received());
  const std::string Console = Screen(Run.Console().Output());
  EXPECT_EQ(std::string("DDDD") + kRandomNotes, NotesOnScreen(Console)) << Console;
  EXPECT_EQ(14u, LogLines(Dir.Path()).size());
  // The caller's key is still waiting in the socket, untouched.
  char Byte = 0;
  ASSERT_EQ(1, recv(Link->Door, &Byte, 1, MSG_DONTWAIT));
  EXPECT_EQ('k', Byte);
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
      EXPECT_EQ(std::string("DDDD") + kRandomNotes, NotesOnScreen(Screen(Run.Console().Output())));
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
// five minutes.
TEST(TunecraftStdio, InputAtEndOfFileIsTheCallerHangingUp) {
  TempDir Dir;
  DoorRun Run({"-N1", "-S5", "-X"}, Dir.Path(), nullptr, "exec \"$0\" \"$@\" </dev/null");
  EXPECT_EQ(0, Run.WaitExit(10000));
  EXPECT_NE(std::string::npos, Run.Console().Output().find("Caller Dropped Carrier.  Returning To BBS..."))
      << Screen(Run.Console().Output());
  EXPECT_EQ(ExpectedLog("DDDD"), LogLines(Dir.Path()));
}

bool SameTerminalSettings(const termios& A, const termios& B) {
  return A.c_iflag == B.c_iflag && A.c_oflag == B.c_oflag && A.c_cflag == B.c_cflag && A.c_lflag == B.c_lflag &&
         std::memcmp(A.c_cc, B.c_cc, sizeof A.c_cc) == 0;
}

TEST(TunecraftHangup, CallerDroppingCarrierAtEitherKeyWait) {
  struct Case {
    int KeysFirst;
    std::size_t LogLines;
  };
  const Case kCases[] = {{0, 4}, {1, 14}};
  for (const Case& C : kCases) {
    SCOPED_TRACE("keys before the hang-up: " + std::to_string(C.KeysFirst));
    TempDir Dir;
    auto Link = Connect(LinkKind::SocketPair);
    ASSERT_NE(nullptr, Link);
    // The shell holds the door back until the terminal's settings as the door finds them are read.
    DoorRun Run({"-N1", "-S" + std::to_string(Link->Door)}, Dir.Path(), Link.get(), "read -r go; exec \"$0\" \"$@\"");
    termios Before{};
    ASSERT_TRUE(Run.Console().GetTermios(Before));
    Run.Console().Write("go\n");
    ASSERT_TRUE(Run.CallerUntil(kFirstPrompt)) << Printable(Run.Received());
    termios During{};
    ASSERT_TRUE(Run.Console().GetTermios(During));
    EXPECT_FALSE(SameTerminalSettings(Before, During)) << "the door did not take the keyboard raw";
    if (C.KeysFirst > 0) {
      Run.SendKey("a");
      ASSERT_TRUE(Run.CallerUntil(kSecondPrompt)) << Printable(Run.Received());
    }
    Link->HangUp();
    EXPECT_EQ(0, Run.WaitExit());
    EXPECT_NE(std::string::npos, Run.Console().Output().find("Caller Dropped Carrier.  Returning To BBS..."))
        << Screen(Run.Console().Output());
    EXPECT_EQ(C.LogLines, LogLines(Dir.Path()).size());
    EXPECT_EQ(ExpectedLog((std::string("DDDD") + kRandomNotes).substr(0, C.LogLines)), LogLines(Dir.Path()));
    termios After{};
    ASSERT_TRUE(Run.Console().GetTermios(After));
    EXPECT_TRUE(SameTerminalSettings(Before, After)) << "terminal settings not restored";
  }
}

// The log cannot be opened: tunecraft.log is a directory (root ignores mode bits, so a read-only
// directory would not stop it), or a FIFO nobody reads, whose open would wait for a reader for ever.
// The music still reaches the caller and the run ends normally; the thing in the log's place stays.
TEST(TunecraftLog, UnwritableLogDoesNotStopTheSession) {
  struct Case {
    const char* What;
    std::function<bool(const fs::path&)> Make;
    std::function<bool(const fs::path&)> Unchanged;
  };
  const Case kCases[] = {
      {"a directory", [](const fs::path& P) { return fs::create_directory(P); },
       [](const fs::path& P) { return fs::is_directory(P) && fs::is_empty(P); }},
      {"a FIFO without a reader", [](const fs::path& P) { return mkfifo(P.c_str(), 0600) == 0; },
       [](const fs::path& P) { return fs::is_fifo(P); }},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.What);
    TempDir Dir;
    ASSERT_TRUE(C.Make(Dir.Path() / "tunecraft.log"));
    auto Link = Connect(LinkKind::SocketPair);
    ASSERT_NE(nullptr, Link);
    DoorRun Run({"-N1", "-S" + std::to_string(Link->Door)}, Dir.Path(), Link.get());
    ASSERT_TRUE(Run.CallerUntil(kFirstPrompt)) << Printable(Run.Received());
    Run.SendKey("a");
    ASSERT_TRUE(Run.CallerUntil(kSecondPrompt)) << Printable(Run.Received());
    Run.SendKey("b");
    EXPECT_EQ(0, Run.WaitExit());
    EXPECT_BYTES(kBeforeFirstKey + kAfterFirstKey, Run.Received());
    EXPECT_TRUE(C.Unchanged(Dir.Path() / "tunecraft.log"));
  }
}

// zelkit-launch as the BBS, a real telnet client on its own terminal as the caller.
class Launcher {
 public:
  explicit Launcher(const fs::path& AWorkDir, const std::vector<std::string>& AMore = {}) {
    int Out[2];
    if (pipe2(Out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
    const std::string Log = (AWorkDir / "launcher.err").string();
    posix_spawn_file_actions_addopen(&Actions, STDERR_FILENO, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> Args = {LAUNCHER_PATH, "--port",    "0", "--door", TUNECRAFT_PATH, "--max-calls", "1",
                                     "--base",      (AWorkDir / "nodes").string(), "--workdir", AWorkDir.string()};
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    std::vector<char*> Argv;
    for (auto& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    if (posix_spawn(&FPid, LAUNCHER_PATH, &Actions, nullptr, Argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
    close(Out[1]);
    FOut = Out[0];
  }
  ~Launcher() {
    if (FPid > 0 && !FReaped) {
      kill(FPid, SIGTERM);
      std::ignore = WaitExit(10000);
    }
    if (FOut >= 0) close(FOut);
  }
  // The port from the first line: "zelkit-launch: listening on 127.0.0.1:PORT, door ...".
  int Port() { return PortFrom("listening on [0-9.]+:([0-9]+),"); }
  // With --rlogin-port, from the line after it: "zelkit-launch: rlogin on 127.0.0.1:PORT".
  int RloginPort() { return PortFrom("rlogin on [0-9.]+:([0-9]+)\n"); }
  int WaitExit(int AMilliseconds) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
    int Status = 0;
    while (waitpid(FPid, &Status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= Deadline) {
        kill(FPid, SIGKILL);
        std::ignore = waitpid(FPid, &Status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FReaped = true;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -WTERMSIG(Status);
  }

 private:
  int PortFrom(const std::string& APattern) {
    const std::regex Pattern(APattern);
    std::smatch M;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!std::regex_search(FText, M, Pattern) && std::chrono::steady_clock::now() < Deadline) {
      pollfd P{FOut, POLLIN, 0};
      if (poll(&P, 1, 100) <= 0) continue;
      char Buf[256];
      const ssize_t N = read(FOut, Buf, sizeof Buf);
      if (N <= 0) break;
      FText.append(Buf, static_cast<std::size_t>(N));
    }
    return std::regex_search(FText, M, Pattern) ? std::stoi(M[1].str()) : -1;
  }

  pid_t FPid = -1;
  int FOut = -1;
  bool FReaped = false;
  std::string FText;  // the launcher's standard output so far
};

TEST(TunecraftTelnet, RealClientCallsThroughTheLauncher) {
  if (access(TELNET_PATH, X_OK) != 0) GTEST_SKIP() << TELNET_PATH << " is not installed";
  TempDir Dir;
  Launcher Bbs(Dir.Path());
  const int Port = Bbs.Port();
  ASSERT_GT(Port, 0) << ReadFile(Dir.Path() / "launcher.err");

  zelkit_test::PtyProcess Telnet(TELNET_PATH, {"telnet", "127.0.0.1", std::to_string(Port)});
  ASSERT_TRUE(Telnet.Started());
  auto Shows = [&](const std::string& ANeedle) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
      Telnet.ReadFor(20);
      if (Screen(Telnet.Output()).find(ANeedle) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() >= Deadline) return false;
    }
  };
  ASSERT_TRUE(Shows("Playing four notes")) << Screen(Telnet.Output());
  // The client's own negotiation replies may already have been taken as keys; pressing Enter
  // only when a prompt is still waiting keeps the test true to either order.
  const std::string Music = "Your music has been played, press any key.";
  if (Screen(Telnet.Output()).find(Music) == std::string::npos) Telnet.Write("\r");
  ASSERT_TRUE(Shows(Music)) << Screen(Telnet.Output());
  if (Telnet.Output().find("Connection closed by foreign host.") == std::string::npos) Telnet.Write("\r");
  ASSERT_TRUE(Telnet.ReadUntil("Connection closed by foreign host.", kWaitMs)) << Screen(Telnet.Output());
  const int TelnetCode = Telnet.WaitExit(kWaitMs);
  EXPECT_GE(TelnetCode, 0) << "telnet did not exit by itself";
  EXPECT_EQ(0, Bbs.WaitExit(kWaitMs)) << ReadFile(Dir.Path() / "launcher.err");
  EXPECT_NE(std::string::npos, ReadFile(Dir.Path() / "launcher.err").find("door ended with exit code 0"))
      << ReadFile(Dir.Path() / "launcher.err");
  EXPECT_EQ(ExpectedLog(std::string("DDDD") + kRandomNotes), LogLines(Dir.Path()));
  // The sysop's console of node 1 was captured by the launcher.
  EXPECT_NE(std::string::npos, Screen(ReadFile(Dir.Path() / "nodes" / "node1" / "console.ans")).find(Music));
}

// zelkit-launch as a door server, real client programs on their own terminals as the callers a
// BBS sends over rlogin (or a telnet caller of a door run on a pseudo-terminal): each plays
// tunecraft to its end, one key per key wait, and the drop file holds the name from the handshake.
TEST(TunecraftDoorServer, RealClientsPlayTunecraftToTheEnd) {
  const std::string Node = "/usr/bin/node", Peer = std::string(NODE_PEER_DIR) + "/rlogin_caller.js";
  const std::vector<std::string> kRlogin = {"--rlogin-port", "0", "--rlogin-name", "server"};
  std::vector<std::string> TwoDoors = kRlogin;
  for (const char* More : {"--door", "other=" TUNECRAFT_PATH}) TwoDoors.push_back(More);
  struct Case {
    std::string title, program;
    std::vector<std::string> args;  // "PORT" and "RPORT" stand for the launcher's ports
    std::vector<std::string> launcher;
    std::string menu_key;  // when the caller named no door: the menu, and this key picks one
    std::string name;
    std::string key = " ";  // plink keeps its terminal's line editing on rlogin: a key is a line
  };
  const Case kCases[] = {
      {"rsh-redone rlogin", "/usr/bin/rsh-redone-rlogin", {"rlogin", "-p", "RPORT", "-l", "[XA]Ann Smith", "127.0.0.1"},
       kRlogin, "", "Ann Smith"},
      {"plink -rlogin", "/usr/bin/plink", {"plink", "-batch", "-rlogin", "-P", "RPORT", "-l", "[XA]Ann", "127.0.0.1"},
       kRlogin, "", "Ann", "\r"},
      {"npm rlogin, xtrn=tunecraft", Node, {"node", Peer, "RPORT", "password", "[XA]Ann", "xtrn=tunecraft"}, TwoDoors,
       "", "Ann"},
      {"npm rlogin, no door named", Node, {"node", Peer, "RPORT", "password", "[XA]Bob", "ansi"}, TwoDoors, "1", "Bob"},
      {"telnet, door on a pseudo-terminal", TELNET_PATH, {"telnet", "127.0.0.1", "PORT"}, {"--stdio"}, "", "Guest 1"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.title);
    if (access(C.program.c_str(), X_OK) != 0) {
      ADD_FAILURE() << C.program << " is not installed (scripts/install-deps.sh installs it)";
      continue;
    }
    if (C.program == Node && access((std::string(NODE_PEER_DIR) + "/node_modules/rlogin").c_str(), F_OK) != 0) {
      ADD_FAILURE() << "the npm rlogin package is not installed (scripts/install-deps.sh runs npm ci)";
      continue;
    }
    TempDir Dir;
    Launcher Bbs(Dir.Path(), C.launcher);
    const int Port = Bbs.Port();
    ASSERT_GT(Port, 0) << ReadFile(Dir.Path() / "launcher.err");
    std::vector<std::string> Args = C.args;
    for (std::string& A : Args) {
      if (A == "PORT") A = std::to_string(Port);
      if (A == "RPORT") A = std::to_string(Bbs.RloginPort());
    }
    zelkit_test::PtyProcess Client(C.program, Args);
    ASSERT_TRUE(Client.Started());
    auto Shows = [&](const std::string& ANeedle) {
      const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
      for (;;) {
        Client.ReadFor(20);
        if (Screen(Client.Output()).find(ANeedle) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= Deadline) return false;
      }
    };
    if (!C.menu_key.empty()) {
      ASSERT_TRUE(Shows("for a door, Q to hang up")) << Screen(Client.Output());
      EXPECT_NE(std::string::npos, Screen(Client.Output()).find("1  tunecraft")) << Screen(Client.Output());
      Client.Write(C.menu_key);
    }
    ASSERT_TRUE(Shows("Press any key to play some random notes")) << Screen(Client.Output());
    // The door waits for the key: nothing of what follows it is there yet.
    EXPECT_EQ(std::string::npos, Screen(Client.Output()).find("Your music has been played")) << Screen(Client.Output());
    Client.Write(C.key);
    ASSERT_TRUE(Shows("Your music has been played, press any key.")) << Screen(Client.Output());
    Client.Write(C.key);
    EXPECT_GE(Client.WaitExit(kWaitMs), 0) << "the client did not end by itself\n" << Screen(Client.Output());
    EXPECT_EQ(0, Bbs.WaitExit(kWaitMs)) << ReadFile(Dir.Path() / "launcher.err");
    const std::string Log = ReadFile(Dir.Path() / "launcher.err");
    EXPECT_NE(std::string::npos, Log.find("node 1: door ended with exit code 0")) << Log;
    if (C.launcher == TwoDoors) {
      EXPECT_NE(std::string::npos, Log.find("node 1: door tunecraft")) << Log;
    }
    EXPECT_EQ(ExpectedLog(std::string("DDDD") + kRandomNotes), LogLines(Dir.Path()));
    const std::string Drop = ReadFile(Dir.Path() / "nodes" / "node1" / "DOOR32.SYS");
    EXPECT_NE(std::string::npos, Drop.find("\r\n" + C.name + "\r\n" + C.name + "\r\n")) << Drop;
  }
}

// A BBS as real ones are set up: it accepts the telnet caller, offers only to echo and to suppress
// go-ahead (IAC WILL ECHO, IAC WILL SGA; RFC 857, 858), takes the client's answers off the line and
// starts the door on the connection. Binary mode stays unnegotiated, so the client answers the
// door's own offer of it (IAC DO BINARY) while the door is already waiting for keys.
class TelnetBbs {
 public:
  TelnetBbs() {
    FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Sin{};
    Sin.sin_family = AF_INET;
    Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof Sin;
    if (FListen < 0 || bind(FListen, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0 || listen(FListen, 1) != 0 ||
        getsockname(FListen, reinterpret_cast<sockaddr*>(&Sin), &Len) != 0) {
      return;
    }
    FPort = ntohs(Sin.sin_port);
  }
  ~TelnetBbs() {
    if (FListen >= 0) close(FListen);
  }
  TelnetBbs(const TelnetBbs&) = delete;
  TelnetBbs& operator=(const TelnetBbs&) = delete;
  int Port() const { return FPort; }

  // Takes the call and negotiates; the connection, whose Door end goes to the door, or nullptr.
  std::unique_ptr<Connection> Answer(zelkit_test::PtyProcess& AClient) {
    pollfd P{FListen, POLLIN, 0};
    for (int I = 0; I < kWaitMs / 20 && poll(&P, 1, 0) == 0; ++I) AClient.ReadFor(20);
    auto Link = std::make_unique<Connection>();
    Link->Door = accept(FListen, nullptr, nullptr);  // inheritable, as a BBS hands it down
    if (Link->Door < 0) return nullptr;
    const std::string Offers("\xff\xfb\x01\xff\xfb\x03", 6);
    if (send(Link->Door, Offers.data(), Offers.size(), MSG_NOSIGNAL) != 6) return nullptr;
    // The client's answers (IAC DO ECHO, IAC DO SGA, and whatever it offers itself) until the line
    // has been quiet for a while; the BBS agrees to nothing more.
    std::string Answers;
    for (int Quiet = 0; Quiet < 15;) {
      AClient.ReadFor(20);
      char Buf[256];
      const ssize_t N = recv(Link->Door, Buf, sizeof Buf, MSG_DONTWAIT);
      if (N > 0) {
        Answers.append(Buf, static_cast<std::size_t>(N));
        Quiet = 0;
      } else {
        ++Quiet;
      }
    }
    if (Answers.find("\xff\xfd\x01") == std::string::npos) return nullptr;  // no DO ECHO: not a telnet client
    return Link;
  }

 private:
  int FListen = -1;
  int FPort = -1;
};

std::size_t Count(const std::string& AText, const std::string& ANeedle) {
  std::size_t N = 0;
  for (auto At = AText.find(ANeedle); At != std::string::npos; At = AText.find(ANeedle, At + 1)) ++N;
  return N;
}

TEST(TunecraftTelnet, RealClientThroughABbsThatLeavesBinaryModeAlone) {
  if (access(TELNET_PATH, X_OK) != 0) GTEST_SKIP() << TELNET_PATH << " is not installed";
  struct Case {
    const char* Name;
    bool DropFile;    // DOOR32.SYS instead of -N/-S
    std::string Key;  // what the caller types at each prompt
  };
  const Case kCases[] = {
      {"-N/-S", false, "a"},
      {"DOOR32.SYS", true, "a"},
      {"-N/-S, the caller types byte 255", false, "\xff"},
      {"DOOR32.SYS, the caller types byte 255", true, "\xff"},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.Name);
    TempDir Dir;
    TelnetBbs Bbs;
    ASSERT_GT(Bbs.Port(), 0);
    zelkit_test::PtyProcess Telnet(TELNET_PATH, {"telnet", "127.0.0.1", std::to_string(Bbs.Port())});
    ASSERT_TRUE(Telnet.Started());
    auto Link = Bbs.Answer(Telnet);
    ASSERT_NE(nullptr, Link) << Telnet.Output();
    std::vector<std::string> Args = {"-N1", "-S" + std::to_string(Link->Door)};
    if (C.DropFile) {
      const fs::path DropFile = Dir.Path() / "DOOR32.SYS";
      std::ofstream Out(DropFile, std::ios::binary);
      for (const std::string& L : {std::string("2"), std::to_string(Link->Door), std::string("38400"),
                                   std::string("BBS"), std::string("1"), std::string("TELNET CALLER"),
                                   std::string("Caller"), std::string("10"), std::string("60"), std::string("1"),
                                   std::string("1")})
        Out << L << "\r\n";
      Args = {"-D" + DropFile.string()};
    }
    DoorRun Run(Args, Dir.Path(), Link.get());
    // Both terminals drained together until the caller's screen shows ANeedle.
    auto CallerShows = [&](const std::string& ANeedle, int AMilliseconds) {
      const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
      for (;;) {
        Telnet.ReadFor(10);
        Run.Console().ReadFor(10);
        if (Screen(Telnet.Output()).find(ANeedle) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= Deadline) return false;
      }
    };
    ASSERT_TRUE(CallerShows("Press any key to play some random notes", kWaitMs)) << Screen(Telnet.Output());
    // The client's answer to the door's offer of binary mode arrives now; it is no key. (Before the
    // fix the ten notes and the second prompt followed within some 40 ms.)
    EXPECT_FALSE(CallerShows("Your music has been played", 1000)) << Screen(Telnet.Output());
    EXPECT_EQ(4u, Count(Telnet.Output(), "\x1b[N")) << "notes sent before the first key";
    Telnet.Write(C.Key);
    ASSERT_TRUE(CallerShows("Your music has been played, press any key.", kWaitMs)) << Screen(Telnet.Output());
    EXPECT_EQ(14u, Count(Telnet.Output(), "\x1b[N"));
    // The door waits at the second prompt too (looked at without reaping it).
    Telnet.ReadFor(300);
    Run.Console().ReadFor(10);
    siginfo_t Info{};
    ASSERT_EQ(0, waitid(P_PID, static_cast<id_t>(Run.Console().Pid()), &Info, WEXITED | WNOHANG | WNOWAIT));
    EXPECT_EQ(0, Info.si_pid) << "the door ended without the second key";
    Telnet.Write(C.Key);
    EXPECT_EQ(0, Run.WaitExit());
    EXPECT_EQ(ExpectedLog(std::string("DDDD") + kRandomNotes), LogLines(Dir.Path()));
  }
}

}  // namespace
