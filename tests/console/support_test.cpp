// The test helpers themselves: a child on a pseudo-terminal, and libvterm reading back its screen.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/cp437_glyphs.h"
#include "tests/support/pty_process.h"
#include "tests/support/vterm_screen.h"

using zelkit_test::PtyProcess;
using zelkit_test::PtyOptions;
using zelkit_test::VtermScreen;

TEST(PtyProcess, ChildDrawsAndExitCodeComesBack) {
  PtyProcess P("/bin/sh", {"sh", "-c", "printf '\\033[2;3H\\033[1;31;44mHi\\033[0m'; exit 3"});
  ASSERT_TRUE(P.Started());
  EXPECT_EQ(3, P.WaitExit(10000));
  VtermScreen S(25, 80);
  S.Feed(P.Output());
  EXPECT_EQ('H', S.Char(3, 2));
  EXPECT_EQ(0x1C, S.Attr(3, 2)) << S.Picture();  // bright red on blue
  EXPECT_EQ(0x07, S.Attr(1, 1));
  EXPECT_EQ(5, S.CursorX());
  EXPECT_EQ(2, S.CursorY());
}

TEST(PtyProcess, KeysTypedReachTheChildAndSizeIsSet) {
  PtyOptions O;
  O.Rows = 30;
  O.Cols = 100;
  PtyProcess P("/bin/sh", {"sh", "-c", "stty size; read L; echo got:$L"}, O);
  ASSERT_TRUE(P.ReadUntil("30 100", 10000)) << P.Output();
  P.Write("abc\r");
  EXPECT_TRUE(P.ReadUntil("got:abc", 10000)) << P.Output();
  EXPECT_EQ(0, P.WaitExit(10000));
}

TEST(PtyProcess, PassThroughDescriptorKeepsItsNumberOthersAreClosed) {
  int Pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, Pair));
  int Other[2];
  ASSERT_EQ(0, pipe(Other));
  PtyOptions O;
  O.PassFds = {Pair[1]};
  std::string Script = "echo pass >&" + std::to_string(Pair[1]) + "; if (: >&" + std::to_string(Other[1]) +
                       ") 2>/dev/null; then echo leaked; else echo closed; fi";
  PtyProcess P("/bin/sh", {"sh", "-c", Script}, O);
  EXPECT_EQ(0, P.WaitExit(10000));
  char Buf[16] = {};
  EXPECT_EQ(5, read(Pair[0], Buf, sizeof Buf));
  EXPECT_STREQ("pass\n", Buf);
  EXPECT_NE(std::string::npos, P.Output().find("closed")) << P.Output();
  close(Pair[0]);
  close(Pair[1]);
  close(Other[0]);
  close(Other[1]);
}

TEST(PtyProcess, OverstayingChildIsKilled) {
  PtyProcess P("/bin/sleep", {"sleep", "30"});
  EXPECT_EQ(-SIGKILL, P.WaitExit(200));
}

TEST(VtermScreen, Cp437GlyphsMapBackToBytes) {
  VtermScreen S(25, 80, true);
  S.Feed("\xe2\x96\xa0\xe2\x95\x94\xe2\x99\xab\xc3\x87\xe2\x8c\x82");  // glyphs of 254, 201, 14, 128, 127
  EXPECT_EQ(std::string("\xfe\xc9\x0e\x80\x7f"), S.Text(1).substr(0, 5));
  for (int B = 1; B < 256; ++B) {
    SCOPED_TRACE(B);
    EXPECT_EQ(B == 0x20 ? 0x20 : B, zelkit_test::Cp437ByteFromCodePoint(zelkit_test::kCp437Glyphs[static_cast<std::size_t>(B)]));
  }
}

TEST(VtermScreen, CursorVisibilityAndBlink) {
  VtermScreen S(25, 80);
  S.Feed("\x1b[?25l\x1b[5;37;41mX");
  EXPECT_FALSE(S.CursorVisible());
  EXPECT_EQ(0xC7, S.Attr(1, 1));  // ANSI red background is PC colour 4
  S.Feed("\x1b[?25h");
  EXPECT_TRUE(S.CursorVisible());
}
