// zelkit-launch as a door server: rlogin callers and their handshake, the door table and the menu,
// who may call, a flood of silent connections, and doors run on a pseudo-terminal (--stdio).
// Callers here speak rlogin or telnet bytes themselves over loopback TCP; the real client programs
// are driven in tests/tunecraft.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/launcher/launcher_harness.h"
#include "tests/support/pty_process.h"
#include "tests/support/test_files.h"

namespace {

namespace fs = std::filesystem;
using namespace launcher_test;
using zelkit_test::ReadFile;
using zelkit_test::TempDir;

const std::string kNul(1, '\0');

// Two entries in the door table, both the test door, told apart by an argument of their own.
std::vector<std::string> TwoDoors(std::vector<std::string> AMore) {
  std::vector<std::string> Args = {"--door", std::string("one=") + TEST_DOOR_PATH + " -Zone",
                                   "--door", std::string("two=") + TEST_DOOR_PATH + " -Ztwo",
                                   "--port", "0", "--rlogin-port", "0"};
  Args.insert(Args.end(), AMore.begin(), AMore.end());
  return Args;
}

std::string DropFileName(const fs::path& ADir, int ANode) {
  auto Lines = SplitCrLf(ReadFile(ADir / "nodes" / ("node" + std::to_string(ANode)) / "DOOR32.SYS"));
  return Lines.size() >= 7 && Lines[5] == Lines[6] ? Lines[5] : "<drop file: " + std::to_string(Lines.size()) + " lines>";
}

TEST(DoorServer, RloginCallerGetsTheNameFromTheHandshake) {
  struct Case { std::string client, server, terminal; std::vector<std::string> args; std::string name; };
  const Case kCases[] = {
      {"secret", "[XA]Ann Smith", "ansi/38400", {}, "Ann Smith"},
      {"root", "[XA]Ann", "ansi/38400", {"--rlogin-name", "server"}, "Ann"},
      {"ann", "[XA]Ann Smith", "ansi/38400", {"--rlogin-name", "client"}, "ann"},
      {"[XA]bob", "", "vt100/9600", {"--rlogin-name", "client"}, "bob"},
      {"root", "", "ansi/38400", {}, "Guest 1"},
      {"", "", "ansi/38400", {"--name", "Visitor"}, "Visitor"},
      {"", "Eve\r\nX", "ansi", {}, "EveX"},  // a line break would shift the drop file's lines
      {"", "[unclosed", "ansi", {}, "[unclosed"},
      {"", "Zo\x81\x9b" "e", "ansi", {}, "Zo\x81\x9b" "e"},  // CP437 letters stay in the drop file
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.client + " / " + C.server);
    TempDir Dir;
    std::vector<std::string> Args = WithDoor({"--rlogin-port", "0"});
    Args.insert(Args.end(), C.args.begin(), C.args.end());
    Launcher L(Dir.Path(), Args);
    ASSERT_GT(L.Port(), 0);
    const int RloginPort = L.RloginPort();
    ASSERT_GT(RloginPort, 0);
    Caller A(RloginPort);
    A.Send(RloginHandshake(C.client, C.server, C.terminal));
    EXPECT_EQ(kNul, A.ReadUntil(kNul));  // the server's one NUL: handshake accepted
    EXPECT_EQ("hello " + C.name + " on node 1\r\n", A.ReadLine());
    EXPECT_EQ(C.name, DropFileName(Dir.Path(), 1));
    // The log shows bytes a terminal could take as controls escaped, and says why a name is missing.
    const std::string Logged = C.name.rfind("Zo", 0) == 0 ? "(Zo\\x81\\x9Be)"
                               : C.name == "Guest 1"      ? "the rlogin server-user field (--rlogin-name server) held no name"
                                                          : "";
    EXPECT_TRUE(L.WaitForLog(Logged)) << L.Log();
    EXPECT_EQ(std::string::npos, L.Log().find('\x9b'));
    // After the handshake the connection is plain 8-bit data: no telnet, byte 255 as it is.
    A.Send("8\xff-bit!");
    EXPECT_EQ("8\xff-bit!", A.ReadUntil("!"));
  }
}

TEST(DoorServer, XtrnPicksTheDoorAndOtherwiseTheMenuAsks) {
  struct Case { std::string terminal, keys, want; };
  const Case kCases[] = {
      {"xtrn=two/38400", "", "-Ztwo"},
      {"XTRN=One/9600", "", "-Zone"},
      {"ansi/38400", "2", "-Ztwo"},  // no door named: the menu
      {"ansi", "x031", "-Zone"},     // keys that pick nothing are passed over: 0 and the digit after the last door
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.terminal);
    TempDir Dir;
    Launcher L(Dir.Path(), TwoDoors({}));
    ASSERT_GT(L.Port(), 0);
    Caller A(L.RloginPort());
    A.Send(RloginHandshake("ann", "ann", C.terminal));
    ASSERT_EQ(kNul, A.ReadUntil(kNul));
    if (!C.keys.empty()) {
      // A box in code page 437 double lines, a numbered line per door, and the prompt.
      std::string Menu = A.ReadUntil("to hang up: ");
      EXPECT_NE(std::string::npos, Menu.find("\xC9\xCD\xCD")) << Menu;
      EXPECT_NE(std::string::npos, Menu.find("\xCD\xBC")) << Menu;
      EXPECT_TRUE(std::regex_search(Menu, std::regex("1\x1b\\[0;37m  one"))) << Menu;
      EXPECT_TRUE(std::regex_search(Menu, std::regex("2\x1b\\[0;37m  two"))) << Menu;
      A.Send(C.keys);
      A.ReadUntil("\x1b[2J\x1b[H");
    }
    EXPECT_EQ("hello ann on node 1\r\n", A.ReadLine());
    A.Send("a");
    EXPECT_NE(std::string::npos, A.ReadLine().find(C.want));
  }
}

TEST(DoorServer, TelnetCallerChoosesFromTheMenuAfterTheNegotiation) {
  TempDir Dir;
  Launcher L(Dir.Path(), TwoDoors({}));
  Caller A(L.Port());
  const std::string kOffers("\xff\xfb\x01\xff\xfb\x03\xff\xfb\x00\xff\xfd\x00", 12);
  EXPECT_EQ(kOffers, A.ReadUntil(std::string("\xff\xfd\x00", 3)));
  // The client's answers, then one more option and a subnegotiation while the menu is up.
  A.Send(std::string("\xff\xfd\x01\xff\xfd\x03\xff\xfd\x00\xff\xfb\x00", 12));
  EXPECT_NE(std::string::npos, A.ReadUntil("to hang up: ").find("\xBA  \x1b[1;33m2"));
  A.Send(std::string("\xff\xfb\x18\xff\xfa\x18\x00VT1\xff\xf0", 12) + "2");
  A.ReadUntil("\x1b[2J\x1b[H");
  EXPECT_EQ("hello Guest 1 on node 1\r\n", A.ReadLine());
  A.Send("a");
  EXPECT_NE(std::string::npos, A.ReadLine().find("-Ztwo"));
}

TEST(DoorServer, CallerWhoGetsNoDoorIsHungUpOnWithALogLine) {
  struct Case { std::string terminal, keys, said, log; };
  const Case kCases[] = {
      {"xtrn=nope/38400", "", "Sorry, there is no door called nope here.\r\n", "node 1: no door with the code nope"},
      {"ansi/38400", "q", "Goodbye.\r\n", "node 1: caller left at the menu"},
      {"xtrn=a\nnode 9: forged/38400", "", "Sorry, there is no door called a?node?9??forged here.\r\n",
       "node 1: no door with the code a?node?9??forged,"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.terminal);
    TempDir Dir;
    Launcher L(Dir.Path(), TwoDoors({}));
    ASSERT_GT(L.Port(), 0);
    Caller A(L.RloginPort());
    A.Send(RloginHandshake("ann", "ann", C.terminal) + C.keys);
    EXPECT_NE(std::string::npos, A.ReadUntil(C.said).find(C.said));
    EXPECT_TRUE(A.ReadsEndOfFile());
    EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
    EXPECT_TRUE(L.WaitForLog("node 1: call ended before a door started")) << L.Log();
  }
}

TEST(DoorServer, MalformedRloginHandshakeIsRefusedWithALogLine) {
  struct Case { std::string bytes; bool hang_up; std::string log; };
  const Case kCases[] = {
      {"hello" + kNul, false, "refused: malformed handshake (it does not start with NUL)"},
      {kNul + std::string(129, 'x'), false, "refused: malformed handshake (a field longer than 128 bytes)"},
      {kNul + "ann" + kNul + "ann" + kNul + std::string(200, 't') + kNul, false, "a field longer than 128 bytes"},
      {kNul + "ann" + kNul, true, "refused: hung up during the handshake"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.log);
    TempDir Dir;
    Launcher L(Dir.Path(), WithDoor({"--rlogin-port", "0"}));
    ASSERT_GT(L.Port(), 0);
    const int Port = L.RloginPort();
    {
      Caller Bad(Port);
      Bad.Send(C.bytes);
      if (C.hang_up) shutdown(Bad.Fd(), SHUT_WR);
      EXPECT_EQ("", Bad.ReadAll());  // not even the NUL of an accepted handshake
      EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
    }
    Caller Good(Port);
    Good.Send(RloginHandshake("ann", "ann", "ansi/38400"));
    EXPECT_EQ(kNul + "hello ann on node 1\r\n", Good.ReadLine());
  }
}

TEST(DoorServer, AllowListDecidesWhoMayCall) {
  // Loopback addresses other than 127.0.0.1 play other hosts.
  struct Case { std::vector<std::string> args; bool rlogin; std::string from; bool allowed; };
  const Case kCases[] = {
      {{}, false, "127.0.0.2", true},
      {{}, true, "127.0.0.1", true},   // rlogin without --allow: loopback only
      {{"--allow", "127.0.0.2"}, false, "127.0.0.1", false},
      {{"--allow", "127.0.0.2"}, true, "127.0.0.2", true},
      {{"--allow", "127.0.0.2"}, true, "127.0.0.1", false},
      {{"--allow", "127.0.0.0/30"}, false, "127.0.0.3", true},
      {{"--allow", "127.0.0.0/30"}, false, "127.0.0.4", false},
      {{"--allow", "10.0.0.0/8", "--allow", "127.0.0.9"}, true, "127.0.0.9", true},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE((C.rlogin ? "rlogin from " : "telnet from ") + C.from + (C.args.empty() ? "" : " " + C.args[1]));
    TempDir Dir;
    std::vector<std::string> Args = WithDoor({"--rlogin-port", "0"});
    Args.insert(Args.end(), C.args.begin(), C.args.end());
    Launcher L(Dir.Path(), Args);
    const int Port = L.Port();
    const int RloginPort = L.RloginPort();
    ASSERT_GT(RloginPort, 0);
    Caller A(C.rlogin ? RloginPort : Port, C.from);
    ASSERT_TRUE(A.Connected());
    if (C.rlogin) A.Send(RloginHandshake("ann", "ann", "ansi"));
    if (C.allowed) {
      EXPECT_EQ((C.rlogin ? kNul : "") + "hello " + (C.rlogin ? "ann" : "Guest 1") + " on node 1\r\n", A.ReadLine());
    } else {
      EXPECT_EQ("", A.ReadAll());  // closed without a word
      EXPECT_TRUE(L.WaitForLog("caller " + C.from + ":")) << L.Log();
      EXPECT_TRUE(L.WaitForLog("refused: address not allowed")) << L.Log();
    }
  }
}

TEST(DoorServer, CallsFromOneAddressAreLimited) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({"--max-per-address", "2"}));
  const int Port = L.Port();
  Caller A(Port), B(Port);
  ASSERT_GT(NodeOf(A.ReadLine()), 0);
  ASSERT_GT(NodeOf(B.ReadLine()), 0);
  Caller Third(Port);
  EXPECT_EQ("Sorry, too many calls from your address. Please call again later.\r\n", Third.ReadLine());
  EXPECT_TRUE(Third.ReadsEndOfFile());
  EXPECT_TRUE(L.WaitForLog("telnet caller 127.0.0.1:")) << L.Log();
  EXPECT_TRUE(L.WaitForLog("turned away: already 2 calls from that address")) << L.Log();
  Caller Other(Port, "127.0.0.2");
  EXPECT_EQ(3, NodeOf(Other.ReadLine()));
  A.Send("q");
  ASSERT_TRUE(A.ReadsEndOfFile());
  ASSERT_TRUE(L.WaitForLog("node 1: door ended"));
  Caller Again(Port);
  EXPECT_EQ(1, NodeOf(Again.ReadLine()));
}

// A BBS sends all its callers from one address: named on its own in --allow, it may fill every
// node; an address only inside an allowed network keeps the limit.
TEST(DoorServer, AnAddressNamedInTheAllowListMayFillEveryNode) {
  struct Case { std::string allow; bool limited; };
  const Case kCases[] = {{"127.0.0.1", false}, {"127.0.0.0/8", true}};
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.allow);
    TempDir Dir;
    Launcher L(Dir.Path(), WithDoor({"--max-per-address", "2", "--allow", C.allow}));
    const int Port = L.Port();
    Caller A(Port), B(Port);
    ASSERT_GT(NodeOf(A.ReadLine()), 0);
    ASSERT_GT(NodeOf(B.ReadLine()), 0);
    Caller Third(Port);
    if (C.limited) EXPECT_EQ("Sorry, too many calls from your address. Please call again later.\r\n", Third.ReadLine());
    else EXPECT_EQ(3, NodeOf(Third.ReadLine()));
  }
}

// Two hundred connections that never send a handshake, then a real caller who plays tunecraft to
// its end: the oldest silent connections give way, the caller is served.
TEST(DoorServer, SilentConnectionsDoNotStopARealCaller) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--door", TUNECRAFT_PATH, "--port", "0", "--rlogin-port", "0", "--workdir",
                          Dir.Path().string(), "--handshake-timeout", "3"});
  ASSERT_GT(L.Port(), 0);
  const int Port = L.RloginPort();
  ASSERT_GT(Port, 0);
  std::vector<std::unique_ptr<Caller>> Silent;
  for (int I = 0; I < 200; ++I) {
    Silent.push_back(std::make_unique<Caller>(Port));
    ASSERT_TRUE(Silent.back()->Connected()) << I;
  }
  Caller A(Port);
  A.Send(RloginHandshake("player", "[XA]Player", "ansi/38400"));
  EXPECT_EQ(kNul, A.ReadUntil(kNul));
  EXPECT_NE(std::string::npos, A.ReadUntil("Press any key to play some random notes").find("Playing four notes"));
  A.Send(" ");
  EXPECT_NE(std::string::npos, A.ReadUntil("Your music has been played, press any key.").find("\x1b[N"));
  A.Send(" ");
  EXPECT_TRUE(A.ReadsEndOfFile());
  EXPECT_TRUE(L.WaitForLog("node 1: door ended with exit code 0")) << L.Log();
  EXPECT_EQ("Player", DropFileName(Dir.Path(), 1));
  EXPECT_NE(std::string::npos, L.Log().find("gave way to a newer caller (--max-pending 32)"));
  // Every silent connection was closed by the server: most gave way, the newest few timed out.
  int Closed = 0;
  for (auto& S : Silent) Closed += S->ReadsEndOfFile() ? 1 : 0;
  EXPECT_EQ(200, Closed);
}

// A burst of rlogin callers, each sending its whole handshake at once, five times as many as the
// handshakes that may wait (--max-pending 8): a complete handshake never gives way, so every one of
// them reaches the door.
TEST(DoorServer, BurstOfCompleteHandshakesAllReachTheDoor) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({"--rlogin-port", "0", "--max-pending", "8"}));
  ASSERT_GT(L.Port(), 0);
  const int Port = L.RloginPort();
  std::vector<std::unique_ptr<Caller>> Burst;
  for (int I = 0; I < 40; ++I) {
    Burst.push_back(std::make_unique<Caller>(Port));
    ASSERT_TRUE(Burst.back()->Connected()) << I;
    Burst.back()->Send(RloginHandshake("pw", "caller" + std::to_string(I), "ansi/38400"));
  }
  std::set<int> Nodes;
  for (int I = 0; I < 40; ++I) {
    const std::string Greeting = Burst[I]->ReadLine();
    EXPECT_TRUE(Greeting.starts_with(kNul + "hello caller" + std::to_string(I) + " on node ")) << I << ": " << Greeting;
    Nodes.insert(NodeOf(Greeting.substr(1)));
  }
  EXPECT_EQ(40U, Nodes.size());
  EXPECT_EQ(std::string::npos, L.Log().find("gave way")) << L.Log();
}

// The door of a launcher that was killed goes on with its caller; a launcher started again on the
// same nodes passes that node over instead of handing it to a second caller. A door that crashes
// leaves its caller a word and a terminal put back to normal.
TEST(DoorServer, RestartedLauncherNeverDoublesANodeAndACrashIsTold) {
  TempDir Dir;
  std::unique_ptr<Launcher> First = std::make_unique<Launcher>(Dir.Path(), WithDoor({}));
  Caller A(First->Port());
  ASSERT_EQ("hello Guest 1 on node 1\r\n", A.ReadLine());
  First->Signal(SIGKILL);
  First.reset();
  Launcher Second(Dir.Path(), WithDoor({}));
  Caller B(Second.Port());
  EXPECT_EQ("hello Guest 2 on node 2\r\n", B.ReadLine());
  EXPECT_TRUE(Second.WaitForLog("node 1: in use by a door this launcher did not start")) << Second.Log();
  EXPECT_EQ("Guest 1", DropFileName(Dir.Path(), 1));  // the first caller's drop file, not rewritten
  A.Send("still here!");
  EXPECT_EQ("still here!", A.ReadUntil("!"));
  B.Send("c");
  EXPECT_EQ("\x1b[0m\x1b[?25h\r\n\r\nSorry, the door ended unexpectedly. Goodbye.\r\n",
            B.ReadUntil("Goodbye.\r\n"));
  EXPECT_TRUE(B.ReadsEndOfFile());
  EXPECT_TRUE(Second.WaitForLog("node 2: door ended, killed by signal 6 (SIGABRT)")) << Second.Log();
  A.Send("q");
  EXPECT_EQ("bye\r\n", A.ReadLine());
}

// Refusals of one kind from one address are summed: the first in full, the rest in one line.
TEST(DoorServer, RepeatedRefusalsAreSummedInTheLog) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({"--allow", "127.0.0.2"}));
  const int Port = L.Port();
  for (int I = 0; I < 25; ++I) {
    Caller Refused(Port);
    EXPECT_EQ("", Refused.ReadAll());
  }
  L.Signal(SIGTERM);
  ASSERT_EQ(0, L.WaitForExit());  // exit code 0
  const std::string Log = L.Log();
  std::size_t Full = 0;
  for (std::size_t At = Log.find("refused: address not allowed"); At != std::string::npos;
       At = Log.find("refused: address not allowed", At + 1))
    ++Full;
  EXPECT_EQ(1U, Full) << Log;
  EXPECT_NE(std::string::npos, Log.find("refused 24 connections from 127.0.0.1 in the last 10 s: address not allowed")) << Log;
}

TEST(DoorServer, HandshakeThatNeverComesTimesOut) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({"--rlogin-port", "0", "--handshake-timeout", "1"}));
  ASSERT_GT(L.Port(), 0);
  Caller Slow(L.RloginPort());
  Slow.Send(kNul + "ann");  // a start, never finished
  EXPECT_EQ("", Slow.ReadAll());
  EXPECT_TRUE(L.WaitForLog("closed: no handshake within 1 s")) << L.Log();
}

// --stdio: the door's standard streams are a pseudo-terminal relayed to the caller. On telnet,
// byte 255 is escaped going out and telnet commands are taken out coming in; on rlogin bytes pass.
TEST(DoorServer, StdioDoorTalksToTheCallerThroughAPseudoTerminal) {
  struct Case { bool rlogin; std::string keys, echo; };
  const Case kCases[] = {
      {false, "hi\xff\xff!", "hi\xff\xff!"},
      {false, std::string("\xff\xfb\x18\xff\xfa\x18\x00VT100\xff\xf0yes!", 18), "yes!"},
      {false, std::string("z\r\nz\r\0z\n!", 9), "z\rz\rz\r!"},
      {true, "hi\xff!", "hi\xff!"},
      {true, "z\r\n!", "z\r\n!"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE((C.rlogin ? "rlogin " : "telnet ") + C.echo);
    TempDir Dir;
    Launcher L(Dir.Path(), WithDoor({"--stdio", "--rlogin-port", "0"}));
    const int Port = L.Port();
    const int RloginPort = L.RloginPort();
    Caller A(C.rlogin ? RloginPort : Port);
    if (C.rlogin) {
      A.Send(RloginHandshake("ann", "ann", "ansi"));
      ASSERT_EQ(kNul, A.ReadUntil(kNul));
    }
    ASSERT_EQ("hello " + std::string(C.rlogin ? "ann" : "Guest 1") + " on node 1\r\n", A.ReadLine());
    A.Send("Y");
    EXPECT_EQ("tty\r\n", A.ReadLine());
    A.Send("a");
    EXPECT_TRUE(std::regex_match(A.ReadLine(), std::regex(R"(args: -D/.*/nodes/node1/DOOR32\.SYS -X\r\n)")));
    A.Send(C.keys);
    EXPECT_EQ(C.echo, A.ReadUntil("!"));
    A.Send("q");
    EXPECT_EQ("bye\r\n", A.ReadLine());
    EXPECT_TRUE(A.ReadsEndOfFile());
    EXPECT_TRUE(L.WaitForLog("node 1: door ended with exit code 0")) << L.Log();
  }
}

TEST(DoorServer, CallerHangingUpEndsTheStdioDoor) {
  struct Case { std::string door, shown; };
  const Case kCases[] = {
      {TEST_DOOR_PATH, "hello Guest 1 on node 1\r\n"},
      {TUNECRAFT_PATH, "Press any key to play some random notes"},  // at its key wait
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.door);
    TempDir Dir;
    Launcher L(Dir.Path(), WithDoor({"--stdio", "--workdir", Dir.Path().string()}, C.door));
    {
      Caller A(L.Port());
      ASSERT_NE(std::string::npos, A.ReadUntil(C.shown).find(C.shown));
    }
    // The door gets SIGHUP from its terminal at once and ends (not by the SIGKILL that follows 5 s
    // later when the terminal was left open); the log says the caller hung up, and the node's
    // console.ans holds what the door showed, as in the other modes.
    EXPECT_TRUE(L.WaitForLog("node 1: caller hung up")) << L.Log();
    EXPECT_EQ(std::string::npos, L.Log().find("killed by signal")) << L.Log();
    EXPECT_EQ(std::string::npos, L.Log().find("SIGKILL")) << L.Log();
    EXPECT_NE(std::string::npos, ReadFile(Dir.Path() / "nodes/node1/console.ans").find(C.shown));
    EXPECT_TRUE(L.Running());
  }
}

// --console: one caller at a time owns the launcher's terminal; the terminal is put back after each
// door, so Ctrl-C stops the launcher afterwards.
TEST(DoorServer, ConsoleTakesOneCallerAndGivesTheTerminalBack) {
  TempDir Dir;
  zelkit_test::PtyOptions Options;
  Options.WorkDir = Dir.Path().string();
  zelkit_test::PtyProcess Pty(LAUNCHER_PATH, {LAUNCHER_PATH, "--door", TEST_DOOR_PATH, "--port", "0", "--raw", "--console"},
                              Options);
  ASSERT_TRUE(Pty.Started());
  ASSERT_TRUE(Pty.ReadUntil("listening on 127.0.0.1:", kWaitMs));
  ASSERT_TRUE(Pty.ReadUntil(", door", kWaitMs));
  std::smatch M;
  ASSERT_TRUE(std::regex_search(Pty.Output(), M, std::regex(R"(127\.0\.0\.1:(\d+),)")));
  const int Port = std::stoi(M[1]);
  Caller A(Port);
  ASSERT_EQ("hello Guest 1 on node 1\r\n", A.ReadLine());
  A.Send("R");  // the door puts the terminal in raw mode, as a console door does
  EXPECT_EQ("raw\r\n", A.ReadLine());
  Caller B(Port);
  EXPECT_EQ("Sorry, the node is busy. Please call again later.\r\n", B.ReadLine());
  A.Send("q");
  ASSERT_TRUE(A.ReadsEndOfFile());
  ASSERT_TRUE(Pty.ReadUntil("node 1: door ended with exit code 0", kWaitMs)) << Pty.Output();
  termios T {};
  ASSERT_TRUE(Pty.GetTermios(T));
  EXPECT_TRUE((T.c_lflag & ICANON) && (T.c_lflag & ECHO) && (T.c_lflag & ISIG)) << std::hex << T.c_lflag;
  Pty.Write("\x03");  // Ctrl-C
  EXPECT_EQ(0, Pty.WaitExit(kWaitMs)) << Pty.Output();
}

TEST(DoorServer, StartUpMessages) {
  // A port that is taken.
  const int Taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Sin {};
  Sin.sin_family = AF_INET;
  Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(Taken, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin));
  ASSERT_EQ(0, listen(Taken, 1));
  socklen_t Len = sizeof Sin;
  getsockname(Taken, reinterpret_cast<sockaddr*>(&Sin), &Len);
  const std::string TakenPort = std::to_string(ntohs(Sin.sin_port));

  struct Case { std::vector<std::string> args; int code; std::string out, log; };
  const Case kCases[] = {
      {{"--version"}, 0, "zelkit-launch " ZELKIT_VERSION "\n", ""},
      {WithDoor({"--port", TakenPort}), 1, "", "Address already in use"},
      {WithDoor({"--port", TakenPort}), 1, "", "or 0 for any free port (--port 0)"},
      {WithDoor({"--rlogin-port", TakenPort}), 1, "", "(--rlogin-port 0)"},
      {WithDoor({"--mode", "ns", "--name", "Ann", "--max-calls", "1"}), -1, "", "--name has no effect with --mode ns"},
      {WithDoor({"--mode", "ns", "--minutes", "5", "--max-calls", "1"}), -1, "", "--minutes has no effect with --mode ns"},
      {WithDoor({"--stdio", "--console"}), 2, "", "cannot also keep this terminal (--console)"},
      {{"--door", "a=" TEST_DOOR_PATH, "--door", "A=" TEST_DOOR_PATH}, 2, "", "two doors have the code A"},
      {WithDoor({"--allow", "10.0.0.0/33"}), 2, "", "--allow 10.0.0.0/33: the prefix length is 0 to 32"},
      {WithDoor({"--rlogin-name", "password"}), 2, "", "--rlogin-name is client or server"},
      {WithDoor({"--allow", "127.0.0.1/0"}), 2, "", "--allow 127.0.0.1/0: /0 admits every address; write 0.0.0.0/0"},
      {WithDoor({"--allow", "0.0.0.0/0", "--max-calls", "1"}), -1, "", ""},
      {WithDoor({"--workdir", "no-such-dir"}), 2, "", "--workdir no-such-dir: No such file or directory"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.log.empty() ? C.out : C.log);
    TempDir Dir;
    Launcher L(Dir.Path(), C.args);
    if (C.code < 0) {  // starts and keeps running: the message is a warning
      EXPECT_GT(L.Port(), 0);
      EXPECT_TRUE(L.Running());
    } else {
      int Status = L.WaitForExit();
      ASSERT_TRUE(WIFEXITED(Status)) << Status;
      EXPECT_EQ(C.code, WEXITSTATUS(Status));
      EXPECT_EQ(C.out, L.FirstLine());
    }
    EXPECT_NE(std::string::npos, L.Log().find(C.log)) << L.Log();
  }
  close(Taken);
}

}  // namespace
