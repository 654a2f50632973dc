// zelkit-launch as a sysop's service: the config file (its mistakes, the command line over it, the
// reload on SIGHUP), who is on (--status), and sockets handed in by the service manager.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/launcher/launcher_harness.h"
#include "tests/support/test_files.h"

namespace {

namespace fs = std::filesystem;
using namespace launcher_test;
using zelkit_test::TempDir;

void WriteConfig(const fs::path& APath, const std::string& AText) {
  // Written beside and renamed, as an editor saves: a reload never sees half a file.
  std::ofstream(APath.string() + ".new") << AText;
  fs::rename(APath.string() + ".new", APath);
}

std::string DoorTable(const std::string& AArg) {
  return "[[door]]\ncode = \"echo\"\npath = \"" TEST_DOOR_PATH "\"\nargs = [\"" + AArg + "\"]\n";
}

// Every kind of mistake names the file and line and ends the launcher with code 2 before it listens.
TEST(LauncherConfig, MistakesGiveFileLineAndCodeTwo) {
  const std::string Door = "[[door]]\npath = \"" TEST_DOOR_PATH "\"\n";
  struct Case { std::string text, message; };
  const Case kCases[] = {
      {"port = 0\nport = [1\n", "cfg.toml:2: "},                                   // syntax
      {"port = 0\n\nbogus = 1\n" + Door, "cfg.toml:3: unknown key bogus"},
      {"port = \"23\"\n" + Door, "cfg.toml:1: port takes a number from 0 to 65535"},
      {"port = 0\nstdio = 1\n" + Door, "cfg.toml:2: stdio takes true or false"},
      {"allow = [\"10.0.0.0/33\"]\n" + Door, "cfg.toml:1: allow 10.0.0.0/33: the prefix length is 0 to 32"},
      {"status = true\n" + Door, "cfg.toml:1: unknown key status"},
      {"port = 0\n[[door]]\ncode = \"x\"\npath = \"no-such-door\"\n", "cfg.toml:2: door x: No such file or directory"},
      {Door + "\n[[door]]\ncode = \"LAUNCHER_TEST_DOOR\"\npath = \"" TEST_DOOR_PATH "\"\n",
       "cfg.toml:4: two doors have the code LAUNCHER_TEST_DOOR"},
      {"[[door]]\ncode = \"x\"\n", "cfg.toml:1: a [[door]] needs a path"},
      {"[[door]]\npath = \"" TEST_DOOR_PATH "\"\ncolour = \"red\"\n", "cfg.toml:3: unknown key colour in a [[door]]"},
      {"port = 0\n", "no door: give --door or a [[door]] in cfg.toml"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.text);
    TempDir Dir;
    std::ofstream(Dir.Path() / "cfg.toml") << C.text;
    Launcher L(Dir.Path(), {"--config", "cfg.toml"});
    int Status = L.WaitForExit();
    ASSERT_TRUE(WIFEXITED(Status)) << Status;
    EXPECT_EQ(2, WEXITSTATUS(Status));
    EXPECT_NE(std::string::npos, L.Log().find("zelkit-launch: " + C.message)) << L.Log();
    EXPECT_EQ("", L.FirstLine());
  }
}

// The command line wins over the file: here the port, the name and the door's arguments.
TEST(LauncherConfig, CommandLineOverridesTheFile) {
  TempDir Dir;
  WriteConfig(Dir.Path() / "cfg.toml", "port = 1\nname = \"From File\"\nraw = true\n" + DoorTable("file"));
  Launcher L(Dir.Path(), {"--config", "cfg.toml", "--port", "0", "--name", "From Line", "--", "line"});
  Caller A(L.Port());
  EXPECT_EQ("hello From Line on node 1\r\n", A.ReadLine());
  A.Send("a");
  EXPECT_NE(std::string::npos, A.ReadLine().find(" file line\r\n"));
}

// SIGHUP reads the file again: the next caller gets the new door table, a caller already in a door
// goes on as before, and a bad file keeps the running table.
TEST(LauncherConfig, ReloadServesTheNextCallerAndKeepsTheOldOnAMistake) {
  TempDir Dir;
  const fs::path File = Dir.Path() / "cfg.toml";
  WriteConfig(File, "port = 0\nraw = true\n" + DoorTable("first"));
  Launcher L(Dir.Path(), {"--config", "cfg.toml"});
  const int Port = L.Port();
  Caller A(Port);
  ASSERT_EQ(1, NodeOf(A.ReadLine()));

  WriteConfig(File, "port = 0\nraw = true\n" + DoorTable("second"));
  L.Signal(SIGHUP);
  ASSERT_TRUE(L.WaitForLog("reloaded")) << L.Log();
  Caller B(Port);
  ASSERT_EQ(2, NodeOf(B.ReadLine()));
  B.Send("a");
  EXPECT_NE(std::string::npos, B.ReadLine().find(" second\r\n"));
  A.Send("a");
  EXPECT_NE(std::string::npos, A.ReadLine().find(" first\r\n"));

  WriteConfig(File, "port = 0\nraw = true\n" + DoorTable("third") + "bogus = 1\n");
  L.Signal(SIGHUP);
  ASSERT_TRUE(L.WaitForLog("reload refused, the running configuration stays: ")) << L.Log();
  EXPECT_NE(std::string::npos, L.Log().find("cfg.toml:7: unknown key bogus")) << L.Log();
  Caller C(Port);
  ASSERT_EQ(3, NodeOf(C.ReadLine()));
  C.Send("a");
  EXPECT_NE(std::string::npos, C.ReadLine().find(" second\r\n"));
  EXPECT_TRUE(L.Running());
}

// What a command prints on standard output, and its exit code.
std::pair<std::string, int> RunCommand(const std::string& ACommand) {
  std::string Out;
  FILE* Pipe = popen(ACommand.c_str(), "r");
  if (Pipe == nullptr) return {"", -1};
  char Buffer[4096];
  for (std::size_t N; (N = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0;) Out.append(Buffer, N);
  const int Status = pclose(Pipe);
  return {Out, WIFEXITED(Status) ? WEXITSTATUS(Status) : -1};
}

int LocalPort(int AFd) {
  sockaddr_in Sin{};
  socklen_t Len = sizeof Sin;
  getsockname(AFd, reinterpret_cast<sockaddr*>(&Sin), &Len);
  return ntohs(Sin.sin_port);
}

// --status asks the running launcher: a row for every busy node, with the caller's name and
// address, the door, since when and idle for how long; nothing is kept once a caller has gone.
TEST(LauncherStatus, ShowsEveryBusyNode) {
  TempDir Dir;
  const std::string Status = std::string(LAUNCHER_PATH) + " --status --base " + (Dir.Path() / "nodes").string();
  EXPECT_EQ(1, RunCommand(Status + " 2>/dev/null").second) << "no launcher runs yet";

  Launcher L(Dir.Path(), WithDoor({"--name", "Ann Smith", "--door", "other=" TEST_DOOR_PATH}));
  const int Port = L.Port();
  std::vector<Caller> Callers;
  for (int I = 1; I <= 3; ++I) {
    Callers.emplace_back(Port);
    ASSERT_NE(std::string::npos, Callers.back().ReadUntil(" to hang up: ").find(" to hang up: "));
    Callers.back().Send(I == 2 ? "2" : "1");
    const std::string Greeting = "hello Ann Smith on node " + std::to_string(I) + "\r\n";
    ASSERT_NE(std::string::npos, Callers.back().ReadUntil(Greeting).find(Greeting));
  }
  auto [Text, Code] = RunCommand(Status);
  EXPECT_EQ(0, Code);
  for (int I = 1; I <= 3; ++I) {
    SCOPED_TRACE(I);
    const std::string Row = std::to_string(I) + " +Ann Smith +telnet 127\\.0\\.0\\.1:" +
                            std::to_string(LocalPort(Callers[static_cast<std::size_t>(I - 1)].Fd())) + " +" +
                            (I == 2 ? "other" : "launcher_test_door") +
                            R"( +\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +\d+:\d\d:\d\d\n)";
    EXPECT_TRUE(std::regex_search(Text, std::regex("(^|\n)" + Row))) << Text;
  }
  EXPECT_NE(std::string::npos, Text.find("\n3 of 250 nodes busy\n")) << Text;

  Callers[1].Send("q");
  ASSERT_TRUE(Callers[1].ReadsEndOfFile());
  ASSERT_TRUE(L.WaitForLog("node 2: door ended"));
  Text = RunCommand(Status).first;
  EXPECT_EQ(std::string::npos, Text.find("other")) << Text;
  EXPECT_NE(std::string::npos, Text.find("\n2 of 250 nodes busy\n")) << Text;
}

// --watch shows a node's console stream from the start of the call, as the door wrote it.
TEST(LauncherStatus, WatchShowsTheNodesScreenFromTheStart) {
  TempDir Dir;
  Launcher L(Dir.Path(), WithDoor({}));
  Caller A(L.Port());
  ASSERT_EQ(1, NodeOf(A.ReadLine()));
  A.Send("a");
  A.ReadLine();
  // It follows the stream until interrupted; two seconds are plenty to show what is there.
  const auto [Shown, Code] = RunCommand("timeout -s INT 2 " + std::string(LAUNCHER_PATH) + " --watch 1 --base " +
                                        (Dir.Path() / "nodes").string() + " 2>/dev/null");
  EXPECT_EQ(0U, Shown.find("test door on node 1\n")) << Shown;
}

// Under journald every line is an event with its syslog priority and no clock of its own (the
// journal keeps the time); elsewhere each line starts with the time.
TEST(LauncherStatus, LogLinesSuitTheirKeeper) {
  for (const bool Journal : {false, true}) {
    SCOPED_TRACE(Journal);
    TempDir Dir;
    if (Journal) setenv("JOURNAL_STREAM", "8:12345", 1);
    Launcher L(Dir.Path(), WithDoor({"--max-calls", "1"}));
    unsetenv("JOURNAL_STREAM");
    int Port = -1;
    if (Journal) {
      // The start-up lines go into the journal too.
      ASSERT_TRUE(L.WaitForLog(", door ")) << L.Log();
      std::smatch M;
      const std::string Log = L.Log();
      ASSERT_TRUE(std::regex_search(Log, M, std::regex(R"(<5>zelkit-launch: listening on 127\.0\.0\.1:(\d+), door )")));
      Port = std::stoi(M[1]);
    } else {
      Port = L.Port();
    }
    Caller A(Port);
    ASSERT_EQ(1, NodeOf(A.ReadLine()));
    A.Send("q");
    ASSERT_TRUE(L.WaitForLog("door ended"));
    const std::string Log = L.Log();
    const std::regex Line(Journal ? R"([<][0-7][>](node|zelkit-launch).*)"
                                  : R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (node|zelkit-launch).*)");
    std::size_t Lines = 0;
    for (std::size_t From = 0, At; (At = Log.find('\n', From)) != std::string::npos; From = At + 1, ++Lines)
      EXPECT_TRUE(std::regex_match(Log.substr(From, At - From), Line)) << Log.substr(From, At - From);
    EXPECT_GE(Lines, 2U) << Log;
    EXPECT_NE(std::string::npos, Log.find("node 1: telnet call from 127.0.0.1:" + std::to_string(LocalPort(A.Fd())))) << Log;
  }
}

}  // namespace
