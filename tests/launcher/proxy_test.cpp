// zelkit-launch behind proxies: PROXY headers on the telnet and rlogin ports, taken only from
// --trust-proxy addresses, and the caller's address they carry in the log and the drop file; two
// launchers behind Debian's HAProxy, as one public address for several machines.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/launcher/launcher_harness.h"
#include "tests/support/loopback.h"
#include "tests/support/test_files.h"

extern char** environ;

namespace {

using namespace launcher_test;
using namespace std::string_literals;
using zelkit_test::ReadFile;
using zelkit_test::TempDir;

namespace fs = std::filesystem;

const std::string kNul(1, '\0');
const std::string kV2Signature = "\r\n\r\n"s + '\0' + "\r\nQUIT\n";

// Loopback addresses play the hosts: 127.0.0.9 is the proxy, 127.0.0.1 anyone else.
TEST(BehindAProxy, HeadersNameTheCallerOnlyFromATrustedProxy) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--door", TEST_DOOR_PATH, "--port", "0", "--rlogin-port", "0", "--trust-proxy", "127.0.0.9"});
  const int Port = L.Port(), RloginPort = L.RloginPort();
  ASSERT_GT(RloginPort, 0) << L.Log();

  struct Good { std::string title; bool rlogin; std::string bytes, greeting, log; };
  const Good kGood[] = {
      {"telnet, version 1", false, "PROXY TCP4 127.0.0.4 127.0.0.9 40000 2323\r\n", "hello Guest 1 on node 1\r\n",
       "node 1: telnet call from 127.0.0.4:40000"},
      {"rlogin, version 2", true,
       kV2Signature + "\x21\x11\x00\x0c\x7f\x00\x00\x05\x7f\x00\x00\x09\x9c\x41\x09\xd1"s + RloginHandshake("ann", "ann", "ansi"),
       kNul + "hello ann on node 1\r\n", "node 1: rlogin call from 127.0.0.5:40001 (ann)"},
  };
  for (const auto& C : kGood) {
    SCOPED_TRACE(C.title);
    Caller Call(C.rlogin ? RloginPort : Port, "127.0.0.9");
    Call.Send(C.bytes);
    const std::string Greeting = Call.ReadUntil(C.greeting);
    EXPECT_NE(std::string::npos, Greeting.find(C.greeting)) << Greeting;
    EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
    // The drop file's twelfth line is the caller's address, not the proxy's.
    const auto Lines = SplitCrLf(ReadFile(Dir.Path() / "nodes/node1/DOOR32.SYS"));
    ASSERT_EQ(12u, Lines.size());
    EXPECT_EQ(C.log.substr(C.log.find("from ") + 5, 9), Lines[11]);
    Call.Send("q");
    EXPECT_TRUE(Call.ReadsEndOfFile());
    EXPECT_TRUE(L.WaitForLog("node 1: door ended")) << L.Log();
  }

  struct Bad { std::string title; bool rlogin; std::string from, bytes; bool hang_up; std::string log; };
  const Bad kBad[] = {
      {"telnet from an untrusted address", false, "127.0.0.1", "PROXY TCP4 127.0.0.4 127.0.0.9 1 2\r\n", false,
       "telnet caller 127.0.0.1:"},
      {"rlogin from an untrusted address", true, "127.0.0.1", kV2Signature + "\x21\x11\x00\x0c"s + std::string(12, '\1'),
       false, "rlogin caller 127.0.0.1:"},
      {"truncated", false, "127.0.0.9", "PROXY TCP4 127.0.0.4", true, "refused: hung up within its PROXY header"},
      {"oversized", false, "127.0.0.9", "PROXY TCP4 " + std::string(200, '7'), false,
       "refused: oversized PROXY header (no line end within 107 bytes)"},
      {"version 2, unknown family", true, "127.0.0.9", kV2Signature + "\x21\x51\x00\x0c"s + std::string(12, '\1'),
       false, "refused: PROXY header with unknown address family 5"},
      {"no header from the proxy", false, "127.0.0.9", "hello\r\n", false, "refused: no PROXY header"},
  };
  for (const auto& C : kBad) {
    SCOPED_TRACE(C.title);
    Caller Call(C.rlogin ? RloginPort : Port, C.from);
    Call.Send(C.bytes);
    if (C.hang_up) shutdown(Call.Fd(), SHUT_WR);
    const std::string Said = Call.ReadAll();
    EXPECT_EQ(std::string::npos, Said.find("hello")) << Said;
    EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
  }
  // One such line for each untrusted caller, telnet and rlogin.
  const std::string Log = L.Log(), Untrusted = "refused: PROXY header from an address not trusted to send one (--trust-proxy)";
  std::size_t Count = 0;
  for (std::size_t At = Log.find(Untrusted); At != std::string::npos; At = Log.find(Untrusted, At + 1)) ++Count;
  EXPECT_EQ(2u, Count) << Log;
}

// True once something listens on 127.0.0.1:APort: binding there fails (the proxy listens with
// SO_REUSEPORT, we do not). Asking by connecting would make a call.
bool WaitUntilListening(int APort) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (std::chrono::steady_clock::now() < Deadline) {
    const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Sin {};
    Sin.sin_family = AF_INET;
    Sin.sin_port = htons(static_cast<std::uint16_t>(APort));
    Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool Taken = bind(Fd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0 && errno == EADDRINUSE;
    close(Fd);
    if (Taken) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Debian's haproxy in the foreground with a configuration of the test's own; ended by its PID.
class Proxy {
 public:
  Proxy(const fs::path& ADir, const std::string& AConfig) : FLog(ADir / "haproxy.log") {
    const fs::path Config = ADir / "haproxy.cfg";
    std::ofstream(Config) << AConfig;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, FLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&Actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<std::string> Args = {kHaproxy, "-db", "-f", Config.string()};
    std::vector<char*> Argv;
    for (std::string& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    if (posix_spawn(&FPid, kHaproxy, &Actions, nullptr, Argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~Proxy() {
    if (FPid <= 0) return;
    kill(FPid, SIGTERM);
    int Status = 0;
    for (int I = 0; I < 250 && waitpid(FPid, &Status, WNOHANG) == 0; ++I) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (waitpid(FPid, &Status, WNOHANG) == 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, &Status, 0);
    }
  }
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;
  bool Started() const { return FPid > 0; }
  std::string Log() const { return ReadFile(FLog); }
  bool WaitForLog(const std::string& ANeedle) const {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (Log().find(ANeedle) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= Deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  static constexpr const char* kHaproxy = "/usr/sbin/haproxy";

 private:
  fs::path FLog;
  pid_t FPid = -1;
};

// The caller's addresses in every drop file a launcher wrote (the twelfth line).
std::set<std::string> DropFileAddresses(const fs::path& ADir) {
  std::set<std::string> Addresses;
  for (const auto& Node : fs::directory_iterator(ADir / "nodes")) {
    const auto Lines = SplitCrLf(ReadFile(Node.path() / "DOOR32.SYS"));
    if (Lines.size() == 12) Addresses.insert(Lines[11]);
  }
  return Addresses;
}

// One public address, two door servers: HAProxy sends each caller (by source address) to one of two
// launchers with a PROXY version 2 header and checks their health; callers from 127.0.0.4 and
// 127.0.0.5 play tunecraft to its end, the per-address limit counts the caller, not the proxy, and
// when one launcher stops, new callers reach the other.
TEST(BehindAProxy, HaproxySpreadsCallersOverTwoDoorServers) {
  if (access(Proxy::kHaproxy, X_OK) != 0) GTEST_FAIL() << "haproxy is not installed (scripts/install-deps.sh installs it)";
  TempDir Dir;
  const fs::path DirA = Dir.Path() / "a", DirB = Dir.Path() / "b";
  fs::create_directories(DirA);
  fs::create_directories(DirB);
  auto Args = [](const std::string& ABind) {
    return std::vector<std::string>{"--door", TUNECRAFT_PATH, "--port", "0", "--bind", ABind, "--trust-proxy", "127.0.0.1",
                                    "--max-per-address", "1"};
  };
  std::vector<std::unique_ptr<Launcher>> Servers;
  Servers.push_back(std::make_unique<Launcher>(DirA, Args("127.0.0.2")));
  Servers.push_back(std::make_unique<Launcher>(DirB, Args("127.0.0.3")));
  const int PortA = Servers[0]->Port(), PortB = Servers[1]->Port();
  ASSERT_GT(PortA, 0) << Servers[0]->Log();
  ASSERT_GT(PortB, 0) << Servers[1]->Log();
  const int Port = zelkit_test::FreeLoopbackPort();
  Proxy Haproxy(Dir.Path(), "global\n  log stderr format raw local0 info\ndefaults\n  log global\n  mode tcp\n  timeout connect 2s\n  timeout client 60s\n  timeout server 60s\n"
                            "  retries 2\n  option redispatch 1\n"
                            "frontend doors\n  bind 127.0.0.1:" + std::to_string(Port) + "\n  default_backend launchers\n"
                            "backend launchers\n  balance source\n"
                            "  server a 127.0.0.2:" + std::to_string(PortA) + " send-proxy-v2 check inter 100ms fall 1 rise 1\n"
                            "  server b 127.0.0.3:" + std::to_string(PortB) + " send-proxy-v2 check inter 100ms fall 1 rise 1\n");
  ASSERT_TRUE(Haproxy.Started());
  ASSERT_TRUE(WaitUntilListening(Port)) << Haproxy.Log();

  auto Served = [&](const std::string& AFrom) {  // the launcher whose log has a call from AFrom
    for (std::size_t I = 0; I < Servers.size(); ++I)
      if (Servers[I] && Servers[I]->Log().find("telnet call from " + AFrom + ":") != std::string::npos) return static_cast<int>(I);
    return -1;
  };
  Caller First(Port, "127.0.0.4");
  ASSERT_TRUE(First.Connected());
  const std::string kPlay = "Press any key to play some random notes", kPlayed = "Your music has been played, press any key.";
  ASSERT_NE(std::string::npos, First.ReadUntil(kPlay).find(kPlay)) << Haproxy.Log() << Servers[0]->Log() << Servers[1]->Log();
  {
    Caller Second(Port, "127.0.0.4");
    EXPECT_NE(std::string::npos, Second.ReadAll().find("Sorry, too many calls from your address."));
  }
  Caller Other(Port, "127.0.0.5");
  ASSERT_NE(std::string::npos, Other.ReadUntil(kPlay).find(kPlay)) << Servers[0]->Log() << Servers[1]->Log();
  for (Caller* C : {&First, &Other}) {
    C->Send(" ");
    EXPECT_NE(std::string::npos, C->ReadUntil(kPlayed).find(kPlayed));
    C->Send(" ");
    EXPECT_TRUE(C->ReadsEndOfFile());
  }
  const int FirstServer = Served("127.0.0.4");
  ASSERT_GE(FirstServer, 0) << Servers[0]->Log() << Servers[1]->Log();
  EXPECT_GE(Served("127.0.0.5"), 0);
  EXPECT_TRUE(Servers[static_cast<std::size_t>(FirstServer)]->WaitForLog(
      "telnet caller 127.0.0.4:")) << Servers[static_cast<std::size_t>(FirstServer)]->Log();
  EXPECT_TRUE(Servers[static_cast<std::size_t>(FirstServer)]->WaitForLog("turned away: already 1 calls from that address"));
  std::set<std::string> Addresses = DropFileAddresses(DirA);
  Addresses.merge(DropFileAddresses(DirB));
  EXPECT_EQ((std::set<std::string>{"127.0.0.4", "127.0.0.5"}), Addresses);

  // The launcher that served 127.0.0.4 stops; once HAProxy's health check has taken it out, that
  // caller's next call goes to the other one.
  Servers[static_cast<std::size_t>(FirstServer)]->Signal(SIGTERM);
  EXPECT_GE(Servers[static_cast<std::size_t>(FirstServer)]->WaitForExit(), 0);
  // Its health check finds it gone.
  EXPECT_TRUE(Haproxy.WaitForLog(std::string("Server launchers/") + (FirstServer == 0 ? "a" : "b") + " is DOWN")) << Haproxy.Log();
  Servers[static_cast<std::size_t>(FirstServer)].reset();
  Caller Again(Port, "127.0.0.4");
  const std::string AgainSaw = Again.ReadUntil(kPlay);
  EXPECT_NE(std::string::npos, AgainSaw.find(kPlay)) << AgainSaw << Haproxy.Log();
  const Launcher& Remaining = *Servers[static_cast<std::size_t>(1 - FirstServer)];
  EXPECT_TRUE(Remaining.WaitForLog("telnet call from 127.0.0.4:")) << Remaining.Log();
}

}  // namespace
