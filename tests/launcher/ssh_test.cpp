// zelkit-launch's SSH front door called by the real OpenSSH client programs (ssh, sftp, scp) on
// their own terminals: what a caller may ask for, what is refused with a log line, the door's exit
// status and byte 255 through the relay, and the host key kept across a restart.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/launcher/launcher_harness.h"
#include "tests/support/loopback.h"
#include "tests/support/pty_process.h"
#include "tests/support/test_files.h"

namespace {

namespace fs = std::filesystem;
using namespace launcher_test;
using zelkit_test::ReadFile;
using zelkit_test::TempDir;

constexpr int kNonZero = -2;  // a client that ends with any failure code

// Options a test needs of the OpenSSH programs: no user configuration, the launcher's fresh host key
// taken without a question, no password prompt. Options given first win, so a case's own go before.
std::vector<std::string> Quiet(const std::string& APortFlag, int APort) {
  return {"-F", "/dev/null", "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null", "-o",
          "BatchMode=yes", "-o", "IdentityAgent=none", "-o", "LogLevel=error", APortFlag, std::to_string(APort)};
}

// One launcher, two doors, and SSH callers in a row: each asks for something and either plays the
// test door (keys, then the door's exit code as the client's) or is refused with a log line. The
// launcher serves every case, refusals included, and a caller after them all.
TEST(DoorServer, SshCallersGetDoorsAndEverythingElseIsRefused) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--door", std::string("one=") + TEST_DOOR_PATH + " -Zone", "--door",
                          std::string("two=") + TEST_DOOR_PATH + " -Ztwo", "--port", "0", "--ssh-port", "0"});
  ASSERT_GT(L.Port(), 0) << L.Log();
  const int Port = L.SshPort();
  ASSERT_GT(Port, 0) << L.Log();
  // An agent to forward: the client asks to forward one only when it has one.
  const std::string AgentSocket = (Dir.Path() / "agent").string();
  zelkit_test::PtyProcess Agent("/usr/bin/ssh-agent", {"ssh-agent", "-D", "-a", AgentSocket});
  for (int I = 0; I < 500 && !fs::exists(AgentSocket); ++I) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const int Forwarded = zelkit_test::FreeLoopbackPort();
  const std::string Copied = (Dir.Path() / "copied").string();
  std::ofstream(Copied) << "a file\n";

  struct Case {
    std::string title, program;
    std::vector<std::string> options;  // before the common ones
    std::vector<std::string> rest;     // after them: user@host and the command
    std::vector<std::string> env;
    std::string keys;    // typed once the door has greeted the caller; empty: no door expected
    int exit_code;       // the client's
    std::string output;  // shown to the caller
    std::string log;     // in the launcher's log
    bool connect_forwarded = false;  // a program connects to the caller's forwarded port meanwhile
    bool hang_up = false;            // the caller's client is killed at the door: the door ends
  };
  const std::string Ssh = "/usr/bin/ssh", Ann = "Ann@127.0.0.1";
  const Case kCases[] = {
      {"exec of a door code: byte 255 both ways, the exit code back", Ssh, {"-tt"}, {Ann, "two"}, {}, "\xff" "x", 3,
       "\xff", "node 1: door two"},
      {"a shell: the menu", Ssh, {"-tt"}, {Ann}, {}, "1q", 0, "to hang up", "node 1: door one"},
      {"exec of a code no door has", Ssh, {"-tt"}, {Ann, "nosuch"}, {}, "", kNonZero, "",
       "refused: exec of nosuch, which is no door's code"},
      {"exec of a shell command line", Ssh, {"-tt"}, {Ann, "one; sh -i"}, {}, "", kNonZero, "",
       "refused: exec of a command line"},
      {"sftp", "/usr/bin/sftp", {}, {Ann}, {}, "", kNonZero, "", "refused: subsystem sftp"},
      {"scp", "/usr/bin/scp", {}, {Copied, Ann + ":/tmp/copied"}, {}, "", kNonZero, "", "refused: subsystem sftp"},
      {"ssh -L", Ssh, {"-tt", "-L", std::to_string(Forwarded) + ":127.0.0.1:9"}, {Ann, "one"}, {}, "q", 0, "",
       "refused: port forwarding from the caller's side (-L)", true},
      {"ssh -R", Ssh, {"-tt", "-R", "0:127.0.0.1:9"}, {Ann, "one"}, {}, "q", 0, "",
       "refused: port forwarding to the caller's side (-R)"},
      {"ssh -A", Ssh, {"-tt", "-A", "-o", "IdentityAgent=" + AgentSocket}, {Ann, "one"}, {}, "q", 0, "",
       "refused: agent forwarding"},
      {"ssh -X", Ssh, {"-tt", "-X"}, {Ann, "one"}, {"DISPLAY=:9"}, "q", 0, "", "refused: X11 forwarding"},
      {"the caller hangs up", Ssh, {"-tt"}, {Ann, "one"}, {}, "-", -SIGKILL, "", "door ended with exit code 0", false,
       true},
  };
  auto Ended = [&L] {
    const std::string Log = L.Log();
    int N = 0;
    for (auto At = Log.find("door ended"); At != std::string::npos; At = Log.find("door ended", At + 1)) ++N;
    return N;
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.title);
    std::vector<std::string> Args = {fs::path(C.program).filename().string()};
    Args.insert(Args.end(), C.options.begin(), C.options.end());
    for (const std::string& A : Quiet(C.program == Ssh ? "-p" : "-P", Port)) Args.push_back(A);
    Args.insert(Args.end(), C.rest.begin(), C.rest.end());
    zelkit_test::PtyOptions Options;
    Options.Env = C.env;
    zelkit_test::PtyProcess Client(C.program, Args, Options);
    ASSERT_TRUE(Client.Started());
    if (!C.keys.empty()) {
      std::string Keys = C.keys;
      if (Keys.front() == '1') {  // the menu first, and its first door
        ASSERT_TRUE(Client.ReadUntil(C.output, kWaitMs)) << Client.Output();
        Client.Write("1");
        Keys.erase(0, 1);
      }
      ASSERT_TRUE(Client.ReadUntil("hello Ann on node", kWaitMs)) << Client.Output() << L.Log();
      if (C.connect_forwarded) {
        Caller Through(Forwarded);
        EXPECT_TRUE(Through.Connected());
        EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
      }
      if (C.hang_up) {
        const int Before = Ended();
        kill(Client.Pid(), SIGKILL);
        for (int I = 0; I < kWaitMs / 10 && Ended() == Before; ++I) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(Before + 1, Ended()) << "the door did not end with the caller's hang-up\n" << L.Log();
      } else {
        Client.Write(Keys);
      }
    }
    const int Code = Client.WaitExit(kWaitMs);
    if (C.exit_code == kNonZero) {
      EXPECT_GT(Code, 0) << Client.Output();
    } else {
      EXPECT_EQ(C.exit_code, Code) << Client.Output();
    }
    if (!C.output.empty()) {
      // Byte 255 comes back once: doubled towards the door's telnet, single again on the way out.
      const std::string Shown = Client.Output();
      EXPECT_NE(std::string::npos, Shown.find(C.output)) << Shown;
      if (C.output == "\xff") {
        EXPECT_EQ(std::string::npos, Shown.find("\xff\xff")) << Shown;
      }
    }
    EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
    if (!C.keys.empty() && !C.hang_up) {
      EXPECT_TRUE(L.WaitForLog("door ended with exit code " + std::to_string(C.exit_code))) << L.Log();
    }
    EXPECT_TRUE(L.Running());
  }
  EXPECT_EQ("Ann", SplitCrLf(ReadFile(Dir.Path() / "nodes" / "node1" / "DOOR32.SYS")).at(5));
}

// The host key is made once, readable by its owner only, and the same key serves after a restart;
// a key file that is not a key stops the start and stays as it was.
TEST(DoorServer, SshHostKeyIsKeptAndABadOneStopsTheStart) {
  TempDir Dir;
  const fs::path Key = Dir.Path() / "nodes" / "ssh_host_ed25519_key";
  std::string Fingerprint[2];
  for (std::string& Print : Fingerprint) {
    Launcher L(Dir.Path(), WithDoor({"--ssh-port", "0"}));
    ASSERT_GT(L.Port(), 0) << L.Log();
    const std::string Line = L.FirstLine();
    std::smatch M;
    ASSERT_TRUE(std::regex_search(Line, M, std::regex("host key (SHA256:\\S+)"))) << Line;
    Print = M[1];
    EXPECT_TRUE(L.WaitForLog(Print)) << L.Log();  // logged for the sysop to publish
  }
  EXPECT_EQ(Fingerprint[0], Fingerprint[1]);
  struct stat St {};
  ASSERT_EQ(0, stat(Key.c_str(), &St));
  EXPECT_EQ(0600U, St.st_mode & 0777U);

  struct Case { std::string file, text, option, message; };
  const Case kCases[] = {
      {"bad_key", "not a key\n", "--ssh-host-key", "bad_key: not a private key this launcher can read"},
      {"keys", "ssh-ed25519 AAAA-not-base64 ann\n", "--ssh-authorized-keys", "keys line 1: not a public key"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.file);
    std::ofstream(Dir.Path() / C.file) << C.text;
    Launcher L(Dir.Path(), WithDoor({"--ssh-port", "0", C.option, C.file}));
    const int Status = L.WaitForExit();
    ASSERT_TRUE(WIFEXITED(Status)) << Status;
    EXPECT_EQ(2, WEXITSTATUS(Status));
    EXPECT_NE(std::string::npos, L.Log().find(C.message)) << L.Log();
    EXPECT_EQ(C.text, ReadFile(Dir.Path() / C.file));
  }
}

}  // namespace
