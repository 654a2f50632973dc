// zelkit-launch as a sysop's service: the config file (its mistakes, the command line over it, the
// reload on SIGHUP), who is on (--status), and sockets handed in by the service manager.

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
TEST(ConfigFile, MistakesGiveFileLineAndCodeTwo) {
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
TEST(ConfigFile, CommandLineOverridesTheFile) {
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
TEST(ConfigFile, ReloadServesTheNextCallerAndKeepsTheOldOnAMistake) {
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

}  // namespace
