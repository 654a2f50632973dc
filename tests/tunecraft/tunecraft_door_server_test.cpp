// zelkit-launch as a door server for tunecraft: real rlogin, telnet and SSH client programs on their
// own terminals play the door to its end, and the drop file holds the name from the handshake.

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
#include <filesystem>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/loopback.h"
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

// The OpenSSH client as a caller: no configuration of the user's, the launcher's fresh host key
// taken without a question, no agent, and only the key given with -i.
std::vector<std::string> SshArgs(std::vector<std::string> AMore) {
  std::vector<std::string> Args = {"ssh", "-tt", "-F", "/dev/null", "-o", "StrictHostKeyChecking=no", "-o",
                                   "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "IdentityAgent=none",
                                   "-o", "IdentitiesOnly=yes", "-o", "LogLevel=error", "-p", "SPORT"};
  Args.insert(Args.end(), AMore.begin(), AMore.end());
  return Args;
}

// plink over SSH, with the host key the launcher printed, never a question.
std::vector<std::string> PlinkArgs(std::vector<std::string> AMore) {
  std::vector<std::string> Args = {"plink", "-ssh", "-batch", "-t", "-P", "SPORT", "-hostkey", "HOSTKEY"};
  Args.insert(Args.end(), AMore.begin(), AMore.end());
  return Args;
}

// zelkit-launch as a door server, real client programs on their own terminals as the callers a
// BBS sends over rlogin (or a telnet caller of a door run on a pseudo-terminal, or an SSH caller):
// each plays tunecraft to its end, one key per key wait, and the drop file holds the name from the
// handshake. With --ssh-authorized-keys a listed key gets in and another is refused. Two cases
// start the launcher as a service manager does, with its telnet and rlogin sockets handed in
// (systemd-socket-activate): matched by their names, or by their order.
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
    bool refused = false;        // the caller's key is not on the list: no door, a log line
    int exit_code = -1;          // the client's, when it carries the door's (SSH); -1: any
    std::string handed = "";  // "names" or "order": the sockets are handed in by systemd-socket-activate
    std::string first_key = "";  // the key at the first prompt, when not key
  };
  const std::vector<std::string> kSsh = {"--ssh-port", "0"};
  const std::vector<std::string> kSshKeys = {"--ssh-port", "0", "--ssh-authorized-keys", "KEYS"};
  std::vector<std::string> SshTwoDoors = kSsh;
  for (const char* More : {"--door", "other=" TUNECRAFT_PATH}) SshTwoDoors.push_back(More);
  const Case kCases[] = {
      // rlogin is not telnet: the caller's byte 255 comes bare, and is the caller's key all the same.
      {"rsh-redone rlogin", "/usr/bin/rsh-redone-rlogin", {"rlogin", "-p", "RPORT", "-l", "[XA]Ann Smith", "127.0.0.1"},
       kRlogin, "", "Ann Smith", " ", false, false, -1, "", "\xff"},
      {"plink -rlogin", "/usr/bin/plink", {"plink", "-batch", "-rlogin", "-P", "RPORT", "-l", "[XA]Ann", "127.0.0.1"},
       kRlogin, "", "Ann", "\r", true},
      {"npm rlogin, xtrn=tunecraft", Node, {"node", Peer, "RPORT", "password", "[XA]Ann", "xtrn=tunecraft"}, TwoDoors,
       "", "Ann"},
      {"npm rlogin, no door named", Node, {"node", Peer, "RPORT", "password", "[XA]Bob", "ansi"}, TwoDoors, "1", "Bob"},
      {"telnet, door on a pseudo-terminal", TELNET_PATH, {"telnet", "127.0.0.1", "PORT"}, {"--stdio"}, "", "Guest 1"},
      {"ssh guest, exec of a door code", SSH_PATH, SshArgs({"Ann@127.0.0.1", "tunecraft"}), kSsh, "", "Ann", " ", false,
       false, 0},
      {"ssh guest, no door named", SSH_PATH, SshArgs({"Bob@127.0.0.1"}), SshTwoDoors, "1", "Bob", " ", false, false, 0},
      {"ssh, a listed key", SSH_PATH, SshArgs({"-i", "LISTED", "Ann@127.0.0.1", "tunecraft"}), kSshKeys, "", "Ann", " ",
       false, false, 0},
      {"ssh, a key not on the list", SSH_PATH, SshArgs({"-i", "UNLISTED", "Ann@127.0.0.1", "tunecraft"}), kSshKeys, "",
       "", " ", false, true},
      {"plink -ssh guest, exec of a door code", "/usr/bin/plink", PlinkArgs({"-l", "Ann", "127.0.0.1", "tunecraft"}), kSsh,
       "", "Ann", " ", false, false, 0},
      {"plink -ssh, a listed key", "/usr/bin/plink", PlinkArgs({"-i", "LISTED.ppk", "-l", "Ann", "127.0.0.1"}), kSshKeys,
       "", "Ann", " ", false, false, 0},
      {"plink -ssh, a key not on the list", "/usr/bin/plink",
       PlinkArgs({"-i", "UNLISTED.ppk", "-l", "Ann", "127.0.0.1", "tunecraft"}), kSshKeys, "", "", " ", false, true},
      {"telnet, sockets handed in by name", TELNET_PATH, {"telnet", "127.0.0.1", "PORT"}, {"--stdio"}, "", "Guest 1",
       " ", false, false, -1, "names"},
      {"rsh-redone rlogin, sockets handed in by order", "/usr/bin/rsh-redone-rlogin",
       {"rlogin", "-p", "RPORT", "-l", "[XA]Ann Smith", "127.0.0.1"}, kRlogin, "", "Ann Smith", " ", false, false, -1, "order"},
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
    // Callers' keys, made here: "LISTED" is in the launcher's list, "UNLISTED" is not.
    std::vector<std::string> LauncherArgs = C.launcher;
    if (C.launcher == kSshKeys) {
      for (const char* Key : {"LISTED", "UNLISTED"}) {
        const std::string Path = (Dir.Path() / Key).string();
        ASSERT_EQ(0, std::system(("ssh-keygen -q -t ed25519 -N '' -f " + Path + " && puttygen " + Path +
                                  " -O private -o " + Path + ".ppk").c_str()));
      }
      std::filesystem::copy_file(Dir.Path() / "LISTED.pub", Dir.Path() / "keys");
      LauncherArgs.back() = (Dir.Path() / "keys").string();
    }
    std::vector<std::string> Activate;
    int Port = 0, RloginPort = 0;
    if (!C.handed.empty()) {
      // It opens the sockets, waits for the first caller, then execs the launcher with them.
      Port = zelkit_test::FreeLoopbackPort();
      RloginPort = zelkit_test::FreeLoopbackPort();
      Activate = {"/usr/bin/systemd-socket-activate", "-l", "127.0.0.1:" + std::to_string(Port),
                  "-l", "127.0.0.1:" + std::to_string(RloginPort)};
      if (C.handed == "names") Activate.push_back("--fdname=telnet:rlogin");
    }
    Launcher Bbs(Dir.Path(), LauncherArgs, Activate);
    if (C.handed.empty()) {
      Port = Bbs.Port();
    } else {
      // systemd-socket-activate says it listens before it takes callers.
      const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
      while (ReadFile(Dir.Path() / "launcher.err").find(":" + std::to_string(RloginPort) + " as 4") == std::string::npos &&
             std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(Port, 0) << ReadFile(Dir.Path() / "launcher.err");
    std::vector<std::string> Args = C.args;
    for (std::string& A : Args) {
      if (A == "PORT") A = std::to_string(Port);
      if (A == "RPORT") A = std::to_string(C.handed.empty() ? Bbs.RloginPort() : RloginPort);
      if (A == "SPORT") A = std::to_string(Bbs.SshPort());
      if (A == "HOSTKEY") A = Bbs.SshHostKey();
      if (A.rfind("LISTED", 0) == 0 || A.rfind("UNLISTED", 0) == 0) A = (Dir.Path() / A).string();
    }
    zelkit_test::PtyProcess Client(C.program, Args);
    ASSERT_TRUE(Client.Started());
    if (C.refused) {
      EXPECT_GT(Client.WaitExit(kWaitMs), 0) << Client.Output();
      const std::string Log = ReadFile(Dir.Path() / "launcher.err");
      EXPECT_NE(std::string::npos, Log.find("is not in --ssh-authorized-keys")) << Log;
      EXPECT_EQ(std::string::npos, Log.find("node 1")) << Log;
      continue;
    }
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
    Client.Write(C.first_key.empty() ? C.key : C.first_key);
    ASSERT_TRUE(Shows("Your music has been played, press any key.")) << Screen(Client.Output());
    Client.Write(C.key);
    const int ClientCode = Client.WaitExit(kWaitMs);
    EXPECT_GE(ClientCode, 0) << "the client did not end by itself\n" << Screen(Client.Output());
    if (C.exit_code >= 0) {
      EXPECT_EQ(C.exit_code, ClientCode) << "the door's exit status, through the client";
    }
    EXPECT_EQ(0, Bbs.WaitExit(kWaitMs)) << ReadFile(Dir.Path() / "launcher.err");
    const std::string Log = ReadFile(Dir.Path() / "launcher.err");
    EXPECT_NE(std::string::npos, Log.find("node 1: door ended with exit code 0")) << Log;
    if (C.launcher == TwoDoors || C.launcher == SshTwoDoors) {
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
