// What the sysop's terminal shows: the console drives a pseudo-terminal, libvterm reads it back,
// and the picture must equal the shadow buffer cell for cell. Also the console without a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "console/console.h"
#include "console/console_testing.h"
#include "tests/support/vterm_screen.h"

namespace {

using zelkit_test::VtermScreen;

// A pseudo-terminal whose master is drained by a thread, so a large flush never blocks.
class PtyTerminal {
 public:
  PtyTerminal(int ARows, int ACols) {
    winsize Size{};
    Size.ws_row = static_cast<unsigned short>(ARows);
    Size.ws_col = static_cast<unsigned short>(ACols);
    Ok = openpty(&Master, &Slave, nullptr, nullptr, &Size) == 0;
    if (Ok) FReader = std::thread([this] { ReadLoop(); });
  }
  ~PtyTerminal() {
    FStop = true;
    if (FReader.joinable()) FReader.join();
    if (Ok) {
      close(Master);
      close(Slave);
    }
  }
  // Everything the console wrote since the last call: a marker written behind it on the same
  // descriptor shows when it has all come through.
  std::string Take() {
    const std::string Marker = "\x1b_sync" + std::to_string(++FMarkers) + "\x1b\\";
    std::ignore = write(Slave, Marker.data(), Marker.size());
    for (int I = 0; I < 5000; ++I) {
      {
        std::lock_guard<std::mutex> Lock(FMutex);
        auto At = FData.find(Marker);
        if (At != std::string::npos) {
          std::string Before = FData.substr(0, At);
          FData.erase(0, At + Marker.size());
          return Before;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "terminal output did not arrive";
    return {};
  }
  bool Ok = false;
  int Master = -1;
  int Slave = -1;

 private:
  void ReadLoop() {
    char Buf[8192];
    while (!FStop) {
      pollfd P{Master, POLLIN, 0};
      if (poll(&P, 1, 10) <= 0) continue;
      ssize_t N = read(Master, Buf, sizeof Buf);
      if (N <= 0) continue;
      std::lock_guard<std::mutex> Lock(FMutex);
      FData.append(Buf, static_cast<std::size_t>(N));
    }
  }
  std::thread FReader;
  std::atomic<bool> FStop{false};
  std::mutex FMutex;
  std::string FData;
  int FMarkers = 0;
};

// The byte a terminal cell should show for a shadow-buffer byte. libvterm's 8-bit mode shows bytes
// 0xA0-0xFF through its ASCII character set, so there only their low seven bits can be compared.
char Expected(std::uint8_t AByte, bool AUtf8) {
  if (AByte == 0) return ' ';
  if (!AUtf8 && (AByte < 0x20 || AByte == 0x7F || (AByte >= 0x80 && AByte < 0xA0))) return '?';
  if (!AUtf8 && AByte >= 0xA0) return static_cast<char>(AByte & 0x7F);
  return static_cast<char>(AByte);
}

std::string ShadowPicture(int ARows, int ACols, bool AUtf8) {
  std::string All;
  for (int Y = 1; Y <= ARows; ++Y) {
    if (Y > 1) All += '\n';
    for (int X = 1; X <= ACols; ++X)
      All += Expected(ConsoleShadowBuffer[static_cast<std::size_t>(2 * ((Y - 1) * ConsoleScreenWidth + X - 1))], AUtf8);
  }
  return All;
}

// Compares characters, attributes, cursor and its visibility; on failure prints both pictures.
void ExpectScreenMatches(const VtermScreen& AScreen, bool AUtf8, bool ACursorVisible, const std::string& AWhere) {
  SCOPED_TRACE(AWhere);
  std::string Want = ShadowPicture(AScreen.Rows(), AScreen.Cols(), AUtf8);
  std::string Got = AScreen.Picture();
  ASSERT_EQ(Want, Got) << "want:\n" << Want << "\ngot:\n" << Got;
  for (int Y = 1; Y <= AScreen.Rows(); ++Y)
    for (int X = 1; X <= AScreen.Cols(); ++X) {
      std::uint8_t Attr = ConsoleShadowBuffer[static_cast<std::size_t>(2 * ((Y - 1) * ConsoleScreenWidth + X - 1) + 1)];
      std::uint8_t Shown = AScreen.Attr(X, Y);
      // Of a blank only the background shows; an erase may leave the terminal's own foreground there.
      if (AScreen.Char(X, Y) == ' ') {
        Attr &= 0x70;
        Shown &= 0x70;
      }
      ASSERT_EQ(Attr, Shown) << "cell " << X << "," << Y;
    }
  EXPECT_EQ(ConsoleWindowLeft() + ConsoleWhereX() - 1, AScreen.CursorX());
  EXPECT_EQ(ConsoleWindowTop() + ConsoleWhereY() - 1, AScreen.CursorY());
  EXPECT_EQ(ACursorVisible, AScreen.CursorVisible());
}

std::string RandomText(std::mt19937& ARng, bool AUtf8) {
  std::uniform_int_distribution<int> Len(0, 120), Kind(0, 19), Byte(0, 255), Printable(32, 126);
  std::string S;
  int N = Len(ARng);
  for (int I = 0; I < N; ++I) {
    int K = Kind(ARng);
    if (K == 0) S += '\n';
    else if (K == 1) S += '\r';
    else if (K == 2) S += '\b';
    else if (K < 8) {
      int B = Byte(ARng);
      if (!AUtf8 && B >= 0x80 && B < 0xA0) B += 0x20;  // 8-bit terminals keep C1 for controls
      if (!AUtf8 && B == 0xFF) B = 0xFE;  // libvterm's 8-bit mode reads 0xFF as DEL and draws nothing
      S += static_cast<char>(B);
    } else {
      S += static_cast<char>(Printable(ARng));
    }
  }
  return S;
}

// A long random series of console operations, compared with the terminal after every flush.
void RunRandomSession(int ARows, int ACols, bool AUtf8, unsigned ASeed) {
  PtyTerminal T(ARows, ACols);
  ASSERT_TRUE(T.Ok);
  ConsoleUseFds(T.Slave, T.Slave);
  ASSERT_EQ(std::max(80, ACols), ConsoleScreenWidth);
  ASSERT_EQ(std::max(25, ARows), ConsoleScreenHeight);
  ConsoleSetUtf8ForTesting(AUtf8);
  VtermScreen Screen(ARows, ACols, AUtf8);
  std::mt19937 Rng(ASeed);
  auto Pick = [&](int ALo, int AHi) { return std::uniform_int_distribution<int>(ALo, AHi)(Rng); };
  bool Visible = true;
  for (int Step = 0; Step < 3000; ++Step) {
    switch (Pick(0, 13)) {
      case 0: case 1: case 2: case 3: ConsoleWrite(RandomText(Rng, AUtf8)); break;
      case 4: ConsoleGotoXY(static_cast<std::uint8_t>(Pick(0, 110)), static_cast<std::uint8_t>(Pick(0, 35))); break;
      case 5: {
        int L = Pick(1, ACols), T2 = Pick(1, ARows);
        ConsoleWindow(static_cast<std::uint8_t>(L), static_cast<std::uint8_t>(T2),
                      static_cast<std::uint8_t>(Pick(L - 1, ConsoleScreenWidth + 1)),
                      static_cast<std::uint8_t>(Pick(T2 - 1, ConsoleScreenHeight + 1)));
        break;
      }
      case 6: ConsoleTextAttr = static_cast<std::uint8_t>(Pick(0, 255)); break;
      case 7: if (Pick(0, 9) == 0) ConsoleClrScr(); else ConsoleClrEol(); break;
      case 8: ConsoleInsLine(); break;
      case 9: ConsoleDelLine(); break;
      case 10:
        Visible = Pick(0, 1) == 1;
        if (Visible) ConsoleCursorOn(); else ConsoleCursorOff();
        break;
      case 11: ConsoleSetForeground(static_cast<std::uint8_t>(Pick(0, 15))); ConsoleSetBackground(static_cast<std::uint8_t>(Pick(0, 7))); break;
      case 12: ConsoleHighVideo(); break;
      default: ConsoleWindow(1, 1, static_cast<std::uint8_t>(ConsoleScreenWidth), static_cast<std::uint8_t>(ConsoleScreenHeight)); break;
    }
    if (Pick(0, 20) == 0 || Step == 2999) {
      ConsoleFlush();
      Screen.Feed(T.Take());
      ExpectScreenMatches(Screen, AUtf8, Visible, "seed " + std::to_string(ASeed) + " step " + std::to_string(Step));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(ConsoleTerminal, RandomSessionsMatchTheShadowBuffer) {
  struct Case { int rows, cols; bool utf8; unsigned seed; };
  const Case kCases[] = {{25, 80, true, 1}, {25, 80, false, 2}, {30, 100, true, 3}, {30, 100, false, 4}, {25, 80, true, 5}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.cols) + "x" + std::to_string(c.rows) + (c.utf8 ? " utf8" : " 8-bit"));
    RunRandomSession(c.rows, c.cols, c.utf8, c.seed);
  }
}

TEST(ConsoleTerminal, NoControlByteReachesTheTerminal) {
  for (bool Utf8 : {true, false}) {
    SCOPED_TRACE(Utf8 ? "utf8" : "8-bit");
    PtyTerminal T(25, 80);
    ConsoleUseFds(T.Slave, T.Slave);
    ConsoleSetUtf8ForTesting(Utf8);
    std::string All;
    for (int B = 1; B < 256; ++B) All += static_cast<char>(B);
    ConsoleWrite(All);
    ConsoleFlush();
    std::string Out = T.Take();
    // Strip the console's own sequences (CSI ... final); nothing else may be below 32, nor DEL, nor C1 on 8-bit.
    std::string Plain;
    for (std::size_t I = 0; I < Out.size(); ++I) {
      if (Out[I] == '\x1b' && I + 1 < Out.size() && Out[I + 1] == '[') {
        I += 2;
        while (I < Out.size() && (Out[I] < 0x40 || Out[I] > 0x7E)) ++I;
        continue;
      }
      Plain += Out[I];
    }
    for (char C : Plain) {
      auto B = static_cast<std::uint8_t>(C);
      EXPECT_FALSE(B < 0x20 || B == 0x7F) << "byte " << int(B);
      if (!Utf8) {
        EXPECT_FALSE(B >= 0x80 && B < 0xA0) << "byte " << int(B);
      }
    }
  }
}

TEST(ConsoleTerminal, UnchangedScreenWritesNothingAndResizeRedraws) {
  PtyTerminal T(25, 80);
  ConsoleUseFds(T.Slave, T.Slave);
  ConsoleTextAttr = 0x1E;
  ConsoleClrScr();
  ConsoleWrite("Hello, sysop");
  ConsoleFlush();
  EXPECT_FALSE(T.Take().empty());
  ConsoleFlush();
  ConsoleGotoXY(1, 1);
  ConsoleWrite("H");  // same cell again, cursor where it was
  ConsoleGotoXY(13, 1);
  ConsoleFlush();
  EXPECT_EQ("", T.Take());
  // After a window change the whole screen is drawn again.
  raise(SIGWINCH);
  ConsoleFlush();
  VtermScreen Fresh(25, 80);
  Fresh.Feed(T.Take());
  ExpectScreenMatches(Fresh, true, true, "after SIGWINCH");
}

TEST(ConsoleTerminal, ScrolledRowsMoveOnTheTerminalInsteadOfBeingRedrawn) {
  PtyTerminal T(25, 80);
  ConsoleUseFds(T.Slave, T.Slave);
  VtermScreen Screen(25, 80);
  for (int Y = 1; Y <= 25; ++Y) {
    ConsoleGotoXY(1, static_cast<std::uint8_t>(Y));
    ConsoleTextAttr = static_cast<std::uint8_t>(0x10 * (Y % 8) + Y % 16);
    ConsoleWrite("Row " + std::to_string(Y) + std::string(60, static_cast<char>('a' + Y)));
  }
  ConsoleWindow(1, 1, 80, 24);
  ConsoleFlush();
  Screen.Feed(T.Take());
  struct Case { const char* name; void (*op)(); };
  const Case kCases[] = {
      {"line feed on the bottom row", [] { ConsoleGotoXY(1, 24); ConsoleWrite("\nnew"); }},
      {"three lines at once", [] { ConsoleGotoXY(1, 24); ConsoleWrite("\n1\n2\n3"); }},
      {"insert line", [] { ConsoleGotoXY(1, 5); ConsoleInsLine(); }},
      {"delete line", [] { ConsoleGotoXY(1, 2); ConsoleDelLine(); }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    c.op();
    ConsoleFlush();
    std::string Out = T.Take();
    EXPECT_LT(Out.size(), 200u) << "rows were redrawn instead of moved";
    Screen.Feed(Out);
    ExpectScreenMatches(Screen, true, true, c.name);
  }
}

class ConsoleWithoutTerminal : public ::testing::Test {
 protected:
  void TearDown() override {
    int Null = open("/dev/null", O_RDWR);
    ConsoleUseFds(Null, Null);  // the console keeps the number; /dev/null stays open until exit
  }
};

TEST_F(ConsoleWithoutTerminal, InputAtEndOfFileGivesNoKeys) {
  int Null = open("/dev/null", O_RDONLY);
  int Empty[2];
  ASSERT_EQ(0, pipe(Empty));
  close(Empty[1]);
  struct Case { const char* name; int fd; };
  const Case kCases[] = {{"/dev/null", Null}, {"pipe at EOF", Empty[0]}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ConsoleUseFds(c.fd, Null);
    EXPECT_EQ(80, ConsoleScreenWidth);
    EXPECT_EQ(25, ConsoleScreenHeight);
    for (int I = 0; I < 100; ++I) EXPECT_FALSE(ConsoleKeyPressed());
    EXPECT_EQ(-1, ConsoleInputHandle());
  }
  close(Null);
  close(Empty[0]);
}

TEST_F(ConsoleWithoutTerminal, PipedKeysThenEndOfFile) {
  int In[2];
  ASSERT_EQ(0, pipe(In));
  int Null = open("/dev/null", O_WRONLY);
  ASSERT_EQ(6, write(In[1], "ab\x1b[Bc", 6));
  close(In[1]);
  ConsoleUseFds(In[0], Null);
  std::string Keys;
  while (ConsoleKeyPressed()) Keys += ConsoleReadKey();
  EXPECT_EQ(std::string("ab\0\x50" "c", 5), Keys);
  EXPECT_EQ(-1, ConsoleInputHandle());
  close(In[0]);
  close(Null);
}

TEST_F(ConsoleWithoutTerminal, ClosedOutputDoesNotEndTheProgram) {
  int Out[2];
  ASSERT_EQ(0, pipe(Out));
  close(Out[0]);
  int Null = open("/dev/null", O_RDONLY);
  ConsoleUseFds(Null, Out[1]);
  ConsoleWrite("nobody reads this");
  ConsoleFlush();
  ConsoleDelay(1);
  sigset_t Pending;
  sigpending(&Pending);
  EXPECT_FALSE(sigismember(&Pending, SIGPIPE));
  // A descriptor that is not open at all.
  ConsoleUseFds(Null, 987);
  ConsoleWrite("lost");
  ConsoleFlush();
  close(Out[1]);
  close(Null);
}

}  // namespace
