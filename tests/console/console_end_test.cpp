// However the program ends, the sysop's terminal gets its settings back, a visible cursor and
// default colours.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/support/pty_process.h"

namespace {

using zelkit_test::PtyProcess;

termios FreshPtySettings() {
  int M, S;
  termios T{};
  if (openpty(&M, &S, nullptr, nullptr, nullptr) == 0) {
    tcgetattr(S, &T);
    close(M);
    close(S);
  }
  return T;
}

bool SameSettings(const termios& A, const termios& B) {
  return A.c_iflag == B.c_iflag && A.c_oflag == B.c_oflag && A.c_cflag == B.c_cflag && A.c_lflag == B.c_lflag &&
         std::memcmp(A.c_cc, B.c_cc, sizeof A.c_cc) == 0;
}

TEST(ConsoleEnd, TerminalRestoredOnEveryKindOfEnd) {
  struct Case { const char* mode; int signal; int want; };
  const Case kCases[] = {{"return", 0, 0},
                         {"exit", 0, 0},
                         {"wait", SIGTERM, -SIGTERM},
                         {"wait", SIGHUP, -SIGHUP},
                         {"wait", SIGINT, -SIGINT}};
  const termios Before = FreshPtySettings();
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.signal));
    zelkit_test::PtyOptions Options;
    Options.Env = {"LANG=C.UTF-8", "LC_ALL="};
    PtyProcess P(CONSOLE_PROBE, {"console_probe", c.mode}, Options);
    ASSERT_TRUE(P.Started());
    ASSERT_TRUE(P.ReadUntil("READY", 10000)) << P.Output();
    ASSERT_TRUE(P.ReadUntil("\x1b[?25l", 10000)) << P.Output();
    termios During{};
    ASSERT_TRUE(P.GetTermios(During));
    EXPECT_EQ(0u, During.c_lflag & (ICANON | ECHO | ISIG)) << "not in raw mode while running";
    if (c.signal != 0) kill(P.Pid(), c.signal);
    else P.Write("q");
    EXPECT_EQ(c.want, P.WaitExit(10000));
    termios After{};
    ASSERT_TRUE(P.GetTermios(After));
    EXPECT_TRUE(SameSettings(Before, After));
    const std::string& Out = P.Output();
    std::size_t Hidden = Out.rfind("\x1b[?25l");
    std::size_t Shown = Out.rfind("\x1b[?25h");
    ASSERT_NE(std::string::npos, Shown) << Out;
    EXPECT_GT(Shown, Hidden);
    EXPECT_NE(std::string::npos, Out.find("\x1b[0m", Hidden));
    if (c.signal == 0) {
      EXPECT_NE(std::string::npos, Out.find("got q")) << "the last drawing is flushed at exit";
    }
  }
}

}  // namespace
