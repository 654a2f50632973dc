// The example doors, driven to their end: the sysop's terminal is a pseudo-terminal, the caller the
// other end of a socketpair handed to the door with -N1 -S<fd>. libvterm reads both screens back.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/pty_process.h"
#include "tests/support/vterm_screen.h"

namespace {

using zelkit_test::PtyProcess;
using zelkit_test::VtermScreen;

constexpr int kWaitMs = 15000;  // a guard against hangs only; each wait ends when its text arrives

const std::string kUp = "\x1b[A";
const std::string kDown = "\x1b[B";
const std::string kLocalF1 = "\x1bOP";
const std::string kLocalF2 = "\x1bOQ";

// Telnet commands out, doubled 255 back to one byte: what the caller's terminal would display.
std::string WithoutTelnet(const std::string& ABytes) {
  std::string Out;
  for (std::size_t I = 0; I < ABytes.size(); ++I) {
    const auto B = static_cast<unsigned char>(ABytes[I]);
    if (B != 255 || I + 1 >= ABytes.size()) {
      Out += ABytes[I];
      continue;
    }
    const auto Cmd = static_cast<unsigned char>(ABytes[I + 1]);
    if (Cmd == 255) Out += ABytes[I];
    I += (Cmd >= 251 && Cmd <= 254) ? 2 : 1;  // WILL, WONT, DO, DONT carry an option byte
  }
  return Out;
}

// One door run: the door on a pseudo-terminal, the caller on a socketpair.
class DoorRun {
 public:
  DoorRun(const std::string& APath, std::vector<std::string> AExtraArgs) {
    int Fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Fds) != 0) return;
    FCaller = Fds[0];
    const int DoorEnd = Fds[1];
    std::vector<std::string> Args = {APath, "-N1", "-S" + std::to_string(DoorEnd)};
    Args.insert(Args.end(), AExtraArgs.begin(), AExtraArgs.end());
    zelkit_test::PtyOptions Options;
    Options.PassFds = {DoorEnd};
    Options.Env = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "TERM=xterm"};
    FPty = std::make_unique<PtyProcess>(APath, Args, Options);
    close(DoorEnd);  // the door holds its own copy now
  }
  ~DoorRun() {
    FPty.reset();
    if (FCaller >= 0) close(FCaller);
  }
  DoorRun(const DoorRun&) = delete;
  DoorRun& operator=(const DoorRun&) = delete;

  bool Started() const { return FCaller >= 0 && FPty && FPty->Started(); }
  void Type(const std::string& AKeys) { std::ignore = send(FCaller, AKeys.data(), AKeys.size(), MSG_NOSIGNAL); }
  void TypeLocal(const std::string& AKeys) { FPty->Write(AKeys); }
  void HangUp() {
    close(FCaller);
    FCaller = -1;
  }

  // Reads both sides until the caller has been sent ANeedle since the last call, or time runs out.
  bool CallerSees(const std::string& ANeedle) {
    return Until([&] { return WithoutTelnet(FReceived).find(ANeedle, FMark) != std::string::npos; },
                 [&] { FMark = WithoutTelnet(FReceived).find(ANeedle, FMark) + ANeedle.size(); });
  }
  // The console redraws only the cells that changed, so the sysop's side is read off the screen.
  bool SysopSees(const std::string& ANeedle) {
    return Until([&] { return SysopScreen()->Picture().find(ANeedle) != std::string::npos; }, [] {});
  }
  int WaitExit() {
    int Code = FPty->WaitExit(kWaitMs);
    Pump(0);
    return Code;
  }

  // The caller's terminal is 8-bit; the sysop's console draws the PC character set as UTF-8.
  std::unique_ptr<VtermScreen> CallerScreen() const {
    auto S = std::make_unique<VtermScreen>(25, 80, false);
    S->Feed(WithoutTelnet(FReceived));
    return S;
  }
  std::unique_ptr<VtermScreen> SysopScreen() const {
    auto S = std::make_unique<VtermScreen>(25, 80, true);
    S->Feed(FPty->Output());
    return S;
  }
  std::string Pictures() const {
    return "caller:\n" + CallerScreen()->Picture() + "\nsysop:\n" + SysopScreen()->Picture();
  }

 private:
  template <typename Done, typename After>
  bool Until(Done ADone, After AAfter) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (std::chrono::steady_clock::now() < Deadline) {
      Pump(20);
      if (ADone()) {
        AAfter();
        return true;
      }
    }
    return false;
  }
  void Pump(int AMilliseconds) {
    FPty->ReadFor(0);
    if (FCaller < 0) return;
    pollfd P{FCaller, POLLIN, 0};
    if (poll(&P, 1, AMilliseconds) <= 0) return;
    char Buf[4096];
    const ssize_t N = recv(FCaller, Buf, sizeof Buf, MSG_DONTWAIT);
    if (N > 0) FReceived.append(Buf, static_cast<std::size_t>(N));
  }

  int FCaller = -1;
  std::unique_ptr<PtyProcess> FPty;
  std::string FReceived;
  std::size_t FMark = 0;
};

TEST(NameMenu, NameMenuBulletinAndBackToTheBbs) {
  DoorRun Run(NAMEMENU_PATH, {});
  ASSERT_TRUE(Run.Started());
  ASSERT_TRUE(Run.CallerSees("What should we call you?")) << Run.Pictures();
  Run.Type("Alice\r");
  ASSERT_TRUE(Run.CallerSees("Back to the BBS")) << Run.Pictures();
  {
    // The menu is drawn with cursor save and restore (ESC [ s, ESC [ u), which the caller's
    // terminal emulation here does not keep; the sysop's console shows the same bytes faithfully.
    SCOPED_TRACE(Run.Pictures());
    ASSERT_TRUE(Run.SysopSees("Back to the BBS"));
    const auto S = Run.SysopScreen();
    EXPECT_NE(std::string::npos, S->Text(1).find("Hello, Alice"));
    EXPECT_EQ(" Read the bulletin ", S->Text(6).substr(4, 19));
    EXPECT_EQ(0x1F, S->Attr(5, 6));  // the bar: white on blue
    EXPECT_EQ(0x0F, S->Attr(5, 7));
  }

  Run.Type(kDown + "\r");  // "Say hello"
  ASSERT_TRUE(Run.CallerSees("Hello, Alice! You have ")) << Run.Pictures();
  ASSERT_TRUE(Run.CallerSees("Press any key")) << Run.Pictures();
  Run.Type(" ");
  ASSERT_TRUE(Run.CallerSees("Back to the BBS")) << Run.Pictures();
  ASSERT_TRUE(Run.SysopSees("Back to the BBS")) << Run.Pictures();
  EXPECT_EQ(0x1F, Run.SysopScreen()->Attr(5, 7)) << "the bar stays on the last choice\n" << Run.Pictures();

  Run.Type(kUp + "\r");  // the bulletin, the file shipped beside the door
  ASSERT_TRUE(Run.CallerSees("-- the sysop")) << Run.Pictures();
  ASSERT_TRUE(Run.CallerSees("Press any key")) << Run.Pictures();
  {
    SCOPED_TRACE(Run.Pictures());
    const auto S = Run.CallerScreen();
    EXPECT_EQ("  Bulletin of the week", S->Text(1).substr(0, 22));
    EXPECT_EQ(0x0E, S->Attr(3, 1));  // pipe code |0E in the file: yellow
    EXPECT_NE(std::string::npos, S->Text(4).find("Pipe codes colour a line: green, red, white on blue."));
    EXPECT_EQ(0x1F, S->Attr(41, 4));  // "white on blue"
  }
  Run.Type(" ");
  ASSERT_TRUE(Run.CallerSees("Back to the BBS")) << Run.Pictures();

  Run.Type("q");
  ASSERT_TRUE(Run.CallerSees("Goodbye, Alice.")) << Run.Pictures();
  EXPECT_EQ(0, Run.WaitExit()) << Run.Pictures();
  // The sysop saw the same session on the local console.
  EXPECT_NE(std::string::npos, Run.SysopScreen()->Text(1).find("Goodbye, Alice.")) << Run.Pictures();
}

TEST(NameMenu, EscapeKeepsTheAliasAndLeavingTheMenuEndsTheDoor) {
  DoorRun Run(NAMEMENU_PATH, {});
  ASSERT_TRUE(Run.Started());
  ASSERT_TRUE(Run.CallerSees("What should we call you?")) << Run.Pictures();
  Run.Type("Bob\x1b");  // Esc: the field's default, empty for -N -S, so the door says "stranger"
  ASSERT_TRUE(Run.CallerSees("Hello, stranger")) << Run.Pictures();
  ASSERT_TRUE(Run.CallerSees("Back to the BBS")) << Run.Pictures();
  Run.Type(kDown + kDown + kDown + "\r");  // the bar stops at the last option
  ASSERT_TRUE(Run.CallerSees("Goodbye, stranger.")) << Run.Pictures();
  EXPECT_EQ(0, Run.WaitExit()) << Run.Pictures();
}

TEST(HookDoor, SysopKeysChangeTheTimeOnItsOwnStatusBarUntilTimeIsUp) {
  DoorRun Run(HOOKDOOR_PATH, {});
  ASSERT_TRUE(Run.Started());
  ASSERT_TRUE(Run.CallerSees("You have 01:00:00")) << Run.Pictures();
  ASSERT_TRUE(Run.SysopSees("F2 -5 min")) << Run.Pictures();
  Run.Type("hi");
  ASSERT_TRUE(Run.CallerSees("hi")) << Run.Pictures();

  Run.TypeLocal(kLocalF1);
  ASSERT_TRUE(Run.SysopSees("Left 01:04:")) << Run.Pictures();
  {
    SCOPED_TRACE(Run.Pictures());
    const auto S = Run.SysopScreen();
    EXPECT_EQ(" Node 1 ", S->Text(25).substr(0, 8));
    EXPECT_EQ(0x70, S->Attr(2, 25));  // black on grey, the door's own colours
    // F1 was the sysop's: nothing of it reached the caller or the door's echo.
    EXPECT_EQ(std::string::npos, Run.CallerScreen()->Picture().find("[scan"));
  }

  // Thirteen times five minutes takes all of the 65 minutes: the kit's time-up handler ends the run.
  for (int I = 0; I < 13; ++I) Run.TypeLocal(kLocalF2);
  ASSERT_TRUE(Run.CallerSees("Your Time Has Expired.")) << Run.Pictures();
  EXPECT_EQ(0, Run.WaitExit()) << Run.Pictures();
}

TEST(HookDoor, IdleWarningReachesTheCallerBeforeTheIdleLimit) {
  DoorRun Run(HOOKDOOR_PATH, {"-I2"});  // the door's own switch: two seconds of idle time
  ASSERT_TRUE(Run.Started());
  ASSERT_TRUE(Run.CallerSees("may idle 2 seconds")) << Run.Pictures();
  ASSERT_TRUE(Run.CallerSees("Still there? You will be disconnected in less than a minute."))
      << Run.Pictures();
  ASSERT_TRUE(Run.CallerSees("Idle Time Limit Exceeded.")) << Run.Pictures();
  EXPECT_EQ(0, Run.WaitExit()) << Run.Pictures();
}

TEST(HookDoor, CallerEchoAndQuit) {
  DoorRun Run(HOOKDOOR_PATH, {});
  ASSERT_TRUE(Run.Started());
  ASSERT_TRUE(Run.CallerSees("Q ends.")) << Run.Pictures();
  Run.Type("ab\rc" + kUp);
  ASSERT_TRUE(Run.CallerSees("[scan 72]")) << Run.Pictures();
  Run.Type("Q");
  ASSERT_TRUE(Run.CallerSees("Bye.")) << Run.Pictures();
  EXPECT_EQ(0, Run.WaitExit()) << Run.Pictures();
  const auto S = Run.CallerScreen();
  EXPECT_EQ("ab", S->Text(3).substr(0, 2)) << Run.Pictures();
  EXPECT_EQ("c", S->Text(4).substr(0, 1)) << Run.Pictures();
}

TEST(HookDoor, LostCarrierEndsTheDoorWithTheKitsDefault) {
  DoorRun Run(HOOKDOOR_PATH, {});
  ASSERT_TRUE(Run.Started());
  ASSERT_TRUE(Run.CallerSees("Q ends.")) << Run.Pictures();
  Run.HangUp();
  ASSERT_TRUE(Run.SysopSees("Caller Dropped Carrier.")) << Run.Pictures();
  EXPECT_EQ(0, Run.WaitExit()) << Run.Pictures();
}

}  // namespace
