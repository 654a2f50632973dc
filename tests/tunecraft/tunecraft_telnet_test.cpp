// tunecraft for a real telnet client: called through zelkit-launch, and through a BBS that offers only
// echo and suppress-go-ahead and leaves binary mode to the door.

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
#include <sstream>
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

// A caller's keys end to end: the real telnet client (TERM=xterm) in tmux, whose send-keys
// presses keys as a terminal sends them, calls through zelkit-launch a kit door that reports each
// key it reads. Every key arrives as the sysop's PC key, Backspace erases in the line editor, and
// no key leaves a stray character ("~" or a digit) behind: the key after them is the next one read.
TEST(TunecraftTelnet, CallersKeysThroughTmuxArriveAsPcKeys) {
  const char* kTmux = "/usr/bin/tmux";
  if (access(kTmux, X_OK) != 0) GTEST_FAIL() << kTmux << " is not installed (scripts/install-deps.sh installs it)";
  if (access(TELNET_PATH, X_OK) != 0) GTEST_FAIL() << TELNET_PATH << " is not installed";
  TempDir Dir;
  const fs::path Script = Dir.Path() / "keys.script", Result = Dir.Path() / "keys.result";
  const std::vector<std::string> kKeys = {"Home", "End", "IC", "DC", "PPage", "NPage", "F1", "F2", "F3", "F4", "F5",
                                          "F6", "F7", "F8", "F9", "F10", "Up", "Down", "Left", "Right", "BSpace", "z"};
  std::vector<std::string> Want;
  for (int Scan : {71, 79, 82, 83, 73, 81, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 72, 80, 75, 77})
    Want.push_back("key " + std::to_string(Scan) + " ch=" + std::to_string(Scan) + " ext=1 loc=2");
  Want.push_back("key 8 ch=8 ext=0 loc=2");
  Want.push_back("key 122 ch=122 ext=0 loc=2");
  {
    std::ofstream(Script) << "startup\nwrite name: \ninput\nwrite keys: \nreadkey " << Want.size() << "\nexit 0\n";
  }
  setenv("DOORTEST_SCRIPT", Script.c_str(), 1);
  setenv("DOORTEST_RESULT", Result.c_str(), 1);
  Launcher Bbs(Dir.Path(), {"--door", "keys=" KIT_DOOR_PATH});
  const int Port = Bbs.Port();
  ASSERT_GT(Port, 0) << ReadFile(Dir.Path() / "launcher.err");

  // A tmux server of the test's own (its own socket name), ended at the end of the test.
  const std::string Socket = "zelkit-keys-" + std::to_string(getpid());
  const auto Tmux = [&](const std::string& AArgs) {
    std::string Out;
    FILE* Pipe = popen((std::string(kTmux) + " -L " + Socket + " -f /dev/null " + AArgs + " 2>&1").c_str(), "r");
    if (Pipe == nullptr) return Out;
    char Buf[4096];
    for (std::size_t N; (N = fread(Buf, 1, sizeof Buf, Pipe)) > 0;) Out.append(Buf, N);
    pclose(Pipe);
    return Out;
  };
  struct TmuxServer {
    std::function<std::string(const std::string&)> Run;
    ~TmuxServer() { Run("kill-server"); }
  } Server{Tmux};
  Tmux("new-session -d -x 80 -y 25 'env TERM=xterm " TELNET_PATH " 127.0.0.1 " + std::to_string(Port) + "'");
  const auto Until = [&](const std::function<bool()>& ACondition) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!ACondition()) {
      if (std::chrono::steady_clock::now() >= Deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  };
  const auto Pane = [&] { return Tmux("capture-pane -p"); };
  ASSERT_TRUE(Until([&] { return Pane().find("for a door") != std::string::npos; })) << Pane();
  Tmux("send-keys 2");
  ASSERT_TRUE(Until([&] { return Pane().find("name:") != std::string::npos; })) << Pane();
  Tmux("send-keys a b BSpace c Enter");
  ASSERT_TRUE(Until([&] { return ReadFile(Result).find("input ") != std::string::npos; })) << ReadFile(Result);
  EXPECT_NE(std::string::npos, ReadFile(Result).find("input ac ")) << ReadFile(Result);
  ASSERT_TRUE(Until([&] { return Pane().find("keys:") != std::string::npos; })) << Pane();
  std::string Keys;
  for (const auto& K : kKeys) Keys += " " + K;
  Tmux("send-keys" + Keys);
  EXPECT_EQ(0, Bbs.WaitExit(kWaitMs)) << ReadFile(Dir.Path() / "launcher.err");
  std::vector<std::string> Read;
  std::istringstream Lines(ReadFile(Result));
  for (std::string Line; std::getline(Lines, Line);)
    if (Line.rfind("key ", 0) == 0) Read.push_back(Line.substr(0, Line.find(" time=")));
  EXPECT_EQ(Want, Read) << ReadFile(Result);
}

}  // namespace
