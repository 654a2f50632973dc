// zelkit-launch as a door server for tunecraft: real rlogin and telnet client programs on their own
// terminals play the door to its end, and the drop file holds the name from the handshake.

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

#include <cerrno>
#include <chrono>
#include <cstdint>
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
#include "tests/tunecraft/tunecraft_launcher.h"

namespace {

using namespace tunecraft_test;

// rlogin clients send from a reserved source port (512-1023), which only root (or a process with
// CAP_NET_BIND_SERVICE) may bind; some clients refuse to call without one.
bool CanBindReservedPort() {
  for (int Port = 1023; Port >= 512; --Port) {
    const int Fd = socket(AF_INET, SOCK_STREAM, 0);
    if (Fd < 0) return false;
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_port = htons(static_cast<std::uint16_t>(Port));
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int Rc = bind(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr);
    const int Err = errno;
    close(Fd);
    if (Rc == 0) return true;
    if (Err != EADDRINUSE) return false;
  }
  return false;
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
    bool reserved_port = false;  // the client will not call without a reserved source port
  };
  const Case kCases[] = {
      {"rsh-redone rlogin", "/usr/bin/rsh-redone-rlogin", {"rlogin", "-p", "RPORT", "-l", "[XA]Ann Smith", "127.0.0.1"},
       kRlogin, "", "Ann Smith"},
      {"plink -rlogin", "/usr/bin/plink", {"plink", "-batch", "-rlogin", "-P", "RPORT", "-l", "[XA]Ann", "127.0.0.1"},
       kRlogin, "", "Ann", "\r", true},
      {"npm rlogin, xtrn=tunecraft", Node, {"node", Peer, "RPORT", "password", "[XA]Ann", "xtrn=tunecraft"}, TwoDoors,
       "", "Ann"},
      {"npm rlogin, no door named", Node, {"node", Peer, "RPORT", "password", "[XA]Bob", "ansi"}, TwoDoors, "1", "Bob"},
      {"telnet, door on a pseudo-terminal", TELNET_PATH, {"telnet", "127.0.0.1", "PORT"}, {"--stdio"}, "", "Guest 1"},
  };
  const bool Reserved = CanBindReservedPort();
  std::string Skipped;
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.title);
    if (C.reserved_port && !Reserved) {
      Skipped += "\n  " + C.title + ": needs root (binds a source port below 1024); run the tests as root for it";
      continue;
    }
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
  // Every other case ran; one left out says so (a failure above still fails the test).
  if (!Skipped.empty()) GTEST_SKIP() << "not run here:" << Skipped;
}

}  // namespace
