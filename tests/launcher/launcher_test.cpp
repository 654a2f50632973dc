// zelkit-launch end to end: the launcher runs as a child process with the test door, callers are
// loopback TCP sockets, node directories live in a temporary directory.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/launcher/launcher_harness.h"
#include "tests/support/test_files.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using namespace launcher_test;
using zelkit_test::ReadFile;
using zelkit_test::TempDir;

TEST(Launcher, GreetingCarriesNameAndNode) {
  struct Case { std::vector<std::string> args; std::string want; };
  const Case kCases[] = {
      {{}, "hello Guest 1 on node 1\r\n"},
      {{"--name", "Ann Smith"}, "hello Ann Smith on node 1\r\n"},
      {{"--name=Bob"}, "hello Bob on node 1\r\n"},
      {{"--mode", "ns"}, "hello socket caller on node 1\r\n"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.want);
    TempDir Dir;
    Launcher L(Dir.Path(), WithDoor(C.args));
    int Port = L.Port();
    ASSERT_GT(Port, 0);
    Caller A(Port);
    ASSERT_TRUE(A.Connected());
    EXPECT_EQ(C.want, A.ReadLine());
  }
}

// Without --raw the launcher negotiates as a BBS does before the door starts: the caller gets the
// offers first, and the client's answers never reach the door as keys; what the caller typed does.
TEST(Launcher, TelnetAnswersAreTakenBeforeTheDoorStarts) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--door", TEST_DOOR_PATH, "--port", "0"});
  Caller A(L.Port());
  ASSERT_TRUE(A.Connected());
  const std::string kOffers("\xff\xfb\x01\xff\xfb\x03\xff\xfb\x00\xff\xfd\x00", 12);
  EXPECT_EQ(kOffers, A.ReadUntil(std::string("\xff\xfd\x00", 3)));
  A.Send(std::string("\xff\xfd\x01\xff\xfd\x03\xff\xfd\x00\xff\xfb\x00", 12) + "nop!");
  EXPECT_EQ("hello Guest 1 on node 1\r\n", A.ReadLine());
  EXPECT_EQ("nop!", A.ReadUntil("!"));
}

TEST(Launcher, Door32SysDescribesTheCall) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({"--name", "Ann Smith", "--minutes", "45", "--base", "calls"}));
  Caller A(L.Port());
  ASSERT_EQ("hello Ann Smith on node 1\r\n", A.ReadLine());
  std::vector<std::string> Lines = SplitCrLf(ReadFile(Dir.Path() / "calls/node1/DOOR32.SYS"));
  ASSERT_EQ(12u, Lines.size());
  const std::string kWant[] = {"2", "<socket>", "38400", "zelkit-launch", "1", "Ann Smith", "Ann Smith", "10", "45", "1", "1", "127.0.0.1"};
  for (std::size_t I = 0; I < Lines.size(); ++I) {
    SCOPED_TRACE("line " + std::to_string(I + 1));
    if (I == 1) EXPECT_TRUE(std::regex_match(Lines[I], std::regex(R"(\d+)"))) << Lines[I];
    else EXPECT_EQ(kWant[I], Lines[I]);
  }
  // The handle in the drop file is the descriptor the door really holds: the door greeted on it.
  A.Send("f");
  std::string Fds = A.ReadLine();
  EXPECT_NE(std::string::npos, std::regex_replace(Fds, std::regex("\r\n$"), " ").find(" " + Lines[1] + " ")) << Fds;
}

TEST(Launcher, TwoThenTenCallersAreServedOnDistinctNodes) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({}));
  int Port = L.Port();
  ASSERT_GT(Port, 0);
  for (int Count : {2, 10}) {
    SCOPED_TRACE(std::to_string(Count) + " callers");
    std::vector<std::unique_ptr<Caller>> Callers;
    for (int I = 0; I < Count; ++I) Callers.push_back(std::make_unique<Caller>(Port));
    std::set<int> Nodes;
    for (auto& C : Callers) Nodes.insert(NodeOf(C->ReadLine()));
    std::set<int> Want;
    for (int N = 1; N <= Count; ++N) Want.insert(N);
    EXPECT_EQ(Want, Nodes);
    for (int I = 0; I < Count; ++I) Callers[I]->Send("ping" + std::to_string(I) + "!");
    for (int I = 0; I < Count; ++I) EXPECT_EQ("ping" + std::to_string(I) + "!", Callers[I]->ReadUntil("!"));
    for (auto& C : Callers) C->Send("q");
    for (auto& C : Callers) EXPECT_TRUE(C->ReadsEndOfFile());
  }
}

TEST(Launcher, CallerIsHungUpWhenTheDoorEnds) {
  struct Case { std::string key, log; };
  const Case kCases[] = {
      {"q", "node 1: door ended with exit code 0, caller 127.0.0.1:"},
      {"x", "node 1: door ended with exit code 3, caller 127.0.0.1:"},
      {"k", "node 1: door ended, killed by signal 9 (SIGKILL), caller 127.0.0.1:"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.log);
    TempDir Dir;
    Launcher L(Dir.Path(), WithDoor({}));
    Caller A(L.Port());
    ASSERT_EQ(1, NodeOf(A.ReadLine()));
    A.Send(C.key);
    EXPECT_TRUE(A.ReadsEndOfFile());
    EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
    EXPECT_TRUE(L.Running());
  }
}

TEST(Launcher, NodeIsReusedAfterTheDoorEnds) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({}));
  int Port = L.Port();
  Caller A(Port);
  ASSERT_EQ(1, NodeOf(A.ReadLine()));
  Caller B(Port);
  ASSERT_EQ(2, NodeOf(B.ReadLine()));
  A.Send("q");
  ASSERT_TRUE(A.ReadsEndOfFile());
  ASSERT_TRUE(L.WaitForLog("node 1: door ended with exit code 0"));
  Caller C(Port);
  EXPECT_EQ(1, NodeOf(C.ReadLine()));
  Caller D(Port);
  EXPECT_EQ(3, NodeOf(D.ReadLine()));
}

TEST(Launcher, DoorInheritsOnlyItsOwnSocket) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({}));
  int Port = L.Port();
  Caller A(Port), B(Port), C(Port);
  std::vector<Caller*> All = {&A, &B, &C};
  for (Caller* X : All) ASSERT_GT(NodeOf(X->ReadLine()), 0);
  for (Caller* X : All) {
    X->Send("a");
    std::string Args = X->ReadLine();
    std::smatch M;
    ASSERT_TRUE(std::regex_search(Args, M, std::regex(R"(node(\d+)/DOOR32\.SYS)"))) << Args;
    std::string Socket = SplitCrLf(ReadFile(Dir.Path() / "nodes" / ("node" + M[1].str()) / "DOOR32.SYS")).at(1);
    X->Send("f");
    // Standard input, output and error and the caller's socket; no listening socket, no other caller.
    EXPECT_EQ("fds: 0 1 2 " + Socket + "\r\n", X->ReadLine());
  }
}

TEST(Launcher, DoorGetsTheArgumentsOfItsMode) {
  struct Case { std::vector<std::string> args; std::string want; };
  const Case kCases[] = {
      {{}, R"(args: -D/.*/nodes/node1/DOOR32\.SYS)"},
      {{"--stdio"}, R"(args: -D/.*/nodes/node1/DOOR32\.SYS -X)"},
      {{"--mode", "ns"}, R"(args: -N1 -S\d+)"},
      {{"--mode", "ns", "--stdio", "--", "-Zfoo", "bar baz"}, R"(args: -N1 -S\d+ -X -Zfoo bar baz)"},
      {{"--mode", "door32", "--", "--port"}, R"(args: -D/.*/node1/DOOR32\.SYS --port)"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.want);
    TempDir Dir;
    Launcher L(Dir.Path(), WithDoor(C.args));
    Caller A(L.Port());
    ASSERT_EQ(1, NodeOf(A.ReadLine()));
    A.Send("a");
    std::string Got = A.ReadLine();
    EXPECT_TRUE(std::regex_match(Got, std::regex(C.want + "\r\n"))) << Got;
  }
}

TEST(Launcher, WorkdirAndConsoleCapture) {
  TempDir Dir;
  fs::create_directory(Dir.Path() / "work");
  Launcher L(Dir.Path(), WithDoor({"--workdir", "work"}));
  Caller A(L.Port());
  ASSERT_EQ(1, NodeOf(A.ReadLine()));
  A.Send("w");
  EXPECT_EQ("cwd: " + (Dir.Path() / "work").string() + "\r\n", A.ReadLine());
  A.Send("q");
  ASSERT_TRUE(A.ReadsEndOfFile());
  ASSERT_TRUE(L.WaitForLog("door ended"));
  EXPECT_EQ("test door on node 1\n", ReadFile(Dir.Path() / "nodes/node1/console.ans"));
}

TEST(Launcher, DoorThatCannotStartEndsOnlyThatCall) {
  // A working directory and a door that were there at start and are gone when the caller arrives:
  // each call ends politely and the launcher goes on.
  struct Case { std::vector<std::string> args; bool remove_door; std::string log; };
  const Case kCases[] = {
      {{"--workdir", "doomed-dir"}, false, "cannot enter the working directory doomed-dir"},
      {{"--door", "doomed-door"}, true, "cannot start the door: No such file or directory"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.log);
    TempDir Dir;
    fs::copy_file(TEST_DOOR_PATH, Dir.Path() / "doomed-door");
    fs::create_directory(Dir.Path() / "doomed-dir");
    std::vector<std::string> Args = WithDoor({});
    Args.insert(Args.end(), C.args.begin(), C.args.end());
    if (C.remove_door) Args.erase(Args.begin(), Args.begin() + 2);  // only the doomed door
    Launcher L(Dir.Path(), Args);
    int Port = L.Port();
    ASSERT_GT(Port, 0) << L.Log();
    fs::remove(Dir.Path() / (C.remove_door ? "doomed-door" : "doomed-dir"));
    for (int Call = 1; Call <= 2; ++Call) {
      Caller A(Port);
      EXPECT_EQ("Sorry, the door cannot be started right now. Please call again later.\r\n", A.ReadLine());
      EXPECT_TRUE(A.ReadsEndOfFile());
    }
    // The launcher starts the door itself and knows at once that it did not start.
    EXPECT_TRUE(L.WaitForLog("node 1: call ended before a door started")) << L.Log();
    EXPECT_NE(std::string::npos, L.Log().find(C.log)) << L.Log();
    EXPECT_TRUE(L.Running());
  }
}

// A door that cannot run is found before the launcher listens: a message naming it and code 2. A
// name without "/" is a file in the current directory, never looked up on PATH.
TEST(Launcher, DoorIsCheckedBeforeListening) {
  struct Case { std::string door; std::string message; };
  const Case kCases[] = {
      {"no-such-door", "--door no-such-door: No such file or directory"},
      {"/nonexistent/door", "--door /nonexistent/door: No such file or directory"},
      {"ls", "--door ls: No such file or directory"},  // on PATH, but not here
      {"subdir", "--door subdir: is a directory"},
      {"plain.txt", "--door plain.txt: is not executable"},
      {"games=plain.txt", "--door plain.txt: is not executable"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.door);
    TempDir Dir;
    fs::create_directory(Dir.Path() / "subdir");
    std::ofstream(Dir.Path() / "plain.txt") << "not a program\n";
    Launcher L(Dir.Path(), {"--door", C.door, "--port", "0"});
    int Status = L.WaitForExit();
    ASSERT_TRUE(WIFEXITED(Status)) << Status;
    EXPECT_EQ(2, WEXITSTATUS(Status));
    EXPECT_NE(std::string::npos, L.Log().find("zelkit-launch: " + C.message)) << L.Log();
    EXPECT_EQ("", L.FirstLine());
  }
  // The same name beside the launcher's working directory is taken as it stands.
  TempDir Dir;
  fs::copy_file(TEST_DOOR_PATH, Dir.Path() / "tunedoor");
  Launcher L(Dir.Path(), {"--door", "tunedoor", "--port", "0", "--raw"});
  Caller A(L.Port());
  EXPECT_EQ("hello Guest 1 on node 1\r\n", A.ReadLine());
}

TEST(Launcher, StopSignalHangsUpCallersAndExitsZero) {
  // SIGHUP too: closing the sysop's terminal must not leave the doors running without a launcher.
  for (int Sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(Sig);
    TempDir Dir;
    Launcher L(Dir.Path(), WithDoor({}));
    int Port = L.Port();
    Caller A(Port), B(Port);
    ASSERT_GT(NodeOf(A.ReadLine()), 0);
    ASSERT_GT(NodeOf(B.ReadLine()), 0);
    L.Signal(Sig);
    int Status = L.WaitForExit();
    ASSERT_TRUE(WIFEXITED(Status)) << Status;
    EXPECT_EQ(0, WEXITSTATUS(Status));
    EXPECT_TRUE(A.ReadsEndOfFile());
    EXPECT_TRUE(B.ReadsEndOfFile());
    EXPECT_NE(std::string::npos, L.Log().find("killed by signal 15")) << L.Log();
    EXPECT_NE(std::string::npos, L.Log().find(std::string("SIG") + sigabbrev_np(Sig) + " received, ending every door")) << L.Log();
  }
}

TEST(Launcher, CallerBeyondMaxNodesIsTurnedAwayPolitely) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({"--max-nodes", "1"}));
  int Port = L.Port();
  Caller A(Port);
  ASSERT_EQ(1, NodeOf(A.ReadLine()));
  Caller B(Port);
  EXPECT_EQ("Sorry, the node is busy. Please call again later.\r\n", B.ReadLine());
  EXPECT_TRUE(B.ReadsEndOfFile());
  A.Send("still here!");
  EXPECT_EQ("still here!", A.ReadUntil("!"));
}

TEST(Launcher, CallersWhoHangUpAtOnceDoNotDisturbOthers) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({}));
  int Port = L.Port();
  for (int I = 0; I < 8; ++I) {
    Caller Gone(Port);
    if (I % 2 == 0) Gone.Abort();
  }
  Caller A(Port);
  EXPECT_GT(NodeOf(A.ReadLine()), 0);
  A.Send("hi!");
  EXPECT_EQ("hi!", A.ReadUntil("!"));
  EXPECT_TRUE(L.Running());
}

// A caller gone before it is answered, or while the telnet offers are out, gets no door: the
// node is free again at once, and the next caller has it.
TEST(Launcher, CallerGoneBeforeTheDoorStartsGetsNoDoor) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--door", TEST_DOOR_PATH, "--port", "0", "--max-nodes", "1", "--raw"});
  const int Port = L.Port();
  // The launcher is stopped while the caller comes and goes, so the connection it then accepts is
  // surely one whose caller has already hung up (otherwise it may start the door first, rightly).
  ASSERT_EQ(0, kill(L.Pid(), SIGSTOP));
  { Caller Gone(Port); }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(0, kill(L.Pid(), SIGCONT));
  EXPECT_TRUE(L.WaitForLog("hung up before")) << L.Log();
  EXPECT_EQ(std::string::npos, L.Log().find("door ended")) << L.Log();
  Caller Next(Port);
  EXPECT_EQ("hello Guest 1 on node 1\r\n", Next.ReadLine());
}

TEST(Launcher, MaxCallsEndsTheLauncher) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({"--max-calls", "2"}));
  int Port = L.Port();
  Caller A(Port);
  ASSERT_EQ(1, NodeOf(A.ReadLine()));
  Caller B(Port);
  ASSERT_EQ(2, NodeOf(B.ReadLine()));
  Caller Third(Port);  // beyond the last call of the run: nobody answers any more
  EXPECT_FALSE(Third.Connected());
  A.Send("q");
  EXPECT_TRUE(A.ReadsEndOfFile());
  EXPECT_TRUE(L.Running());
  B.Send("x");
  EXPECT_TRUE(B.ReadsEndOfFile());
  int Status = L.WaitForExit();
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_EQ(0, WEXITSTATUS(Status));
}

TEST(Launcher, BadCommandLinesGiveUsageAndCodeTwo) {
  const std::vector<std::string> kCases[] = {
      {},
      {"--port", "0"},
      {"--door"},
      {"--door", ""},
      {"--door", "d", "--port", "abc"},
      {"--door", "d", "--port", "70000"},
      {"--door", "d", "--port", "-1"},
      {"--door", "d", "--mode", "serial"},
      {"--door", "d", "--minutes", "1e3"},
      {"--door", "d", "--max-calls", "0"},
      {"--door", "d", "--max-nodes", "0"},
      {"--door", "d", "--name", "two\nlines"},
      {"--door", "d", "--bind", "localhost"},
      {"--door", "d", "--frobnicate"},
      {"--door", "d", "extra"},
  };
  for (const auto& Args : kCases) {
    std::string Trace;
    for (const auto& A : Args) Trace += "[" + A + "] ";
    SCOPED_TRACE(Trace);
    TempDir Dir;
    Launcher L(Dir.Path(), Args);
    int Status = L.WaitForExit();
    ASSERT_TRUE(WIFEXITED(Status)) << Status;
    EXPECT_EQ(2, WEXITSTATUS(Status));
    EXPECT_NE(std::string::npos, L.Log().find("usage: zelkit-launch --door PATH")) << L.Log();
    EXPECT_EQ("", L.FirstLine());
  }
}

TEST(Launcher, HelpPrintsUsageAndExitsZero) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--help"});
  EXPECT_EQ("usage: zelkit-launch --door PATH [options] [-- door arguments]\n", L.FirstLine());
  int Status = L.WaitForExit();
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(0, WEXITSTATUS(Status));
}

}  // namespace
