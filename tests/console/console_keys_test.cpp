// Keys typed on the sysop's terminal: escape sequences of xterm, the Linux console and VT100-style
// terminals become 0 + PC scan code; other bytes pass unchanged; unknown sequences vanish whole.
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "console/console_testing.h"

namespace {

class ConsoleKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, openpty(&FMaster, &FSlave, nullptr, nullptr, nullptr));
    ConsoleUseFds(FSlave, FSlave);
  }
  void TearDown() override {
    // Drain what the console drew so the pty never fills, then hand the console something harmless.
    ConsoleUseFds(FSlave, FSlave);
    close(FMaster);
  }
  void Type(const std::string& AKeys) { ASSERT_EQ(static_cast<ssize_t>(AKeys.size()), write(FMaster, AKeys.data(), AKeys.size())); }
  // Reads keys until none has come for 50 ms.
  std::string ReadAll() {
    std::string Keys;
    for (int Idle = 0; Idle < 50;) {
      if (ConsoleKeyPressed()) {
        Keys += ConsoleReadKey();
        Idle = 0;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++Idle;
      }
    }
    return Keys;
  }
  int FMaster = -1;
  int FSlave = -1;
};

std::string Ext(int AScan) { return std::string(1, '\0') + static_cast<char>(AScan); }

TEST_F(ConsoleKeys, SequencesBecomeScanCodes) {
  struct Case { const char* seq; int scan; };
  const Case kCases[] = {
      {"\x1b[A", 72}, {"\x1b[B", 80}, {"\x1b[C", 77}, {"\x1b[D", 75},
      {"\x1bOA", 72}, {"\x1bOB", 80}, {"\x1bOC", 77}, {"\x1bOD", 75},
      {"\x1b[1;5A", 72}, {"\x1b[1;2D", 75}, {"\x1b[1;3C", 77},
      {"\x1b[H", 71}, {"\x1bOH", 71}, {"\x1b[1~", 71}, {"\x1b[7~", 71},
      {"\x1b[F", 79}, {"\x1bOF", 79}, {"\x1b[4~", 79}, {"\x1b[8~", 79},
      {"\x1b[5~", 73}, {"\x1b[6~", 81}, {"\x1b[2~", 82}, {"\x1b[3~", 83}, {"\x1b[3;5~", 83},
      {"\x1bOP", 59}, {"\x1bOQ", 60}, {"\x1bOR", 61}, {"\x1bOS", 62},
      {"\x1b[11~", 59}, {"\x1b[12~", 60}, {"\x1b[13~", 61}, {"\x1b[14~", 62}, {"\x1b[15~", 63},
      {"\x1b[17~", 64}, {"\x1b[18~", 65}, {"\x1b[19~", 66}, {"\x1b[20~", 67}, {"\x1b[21~", 68},
      {"\x1b[[A", 59}, {"\x1b[[B", 60}, {"\x1b[[C", 61}, {"\x1b[[D", 62}, {"\x1b[[E", 63},
      {"\x1b[23~", 133}, {"\x1b[24~", 134},
      {"\x1b[@", 82}, {"\x1b[K", 79}, {"\x1b[V", 73}, {"\x1b[U", 81},  // BBS terminal programs
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.seq + 1);
    Type(c.seq);
    EXPECT_EQ(Ext(c.scan), ReadAll());
  }
}

TEST_F(ConsoleKeys, PairIsPendingBetweenTheTwoReads) {
  Type("\x1b[A");
  std::string Got;
  while (!ConsoleKeyPressed()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(0, ConsoleReadKey());
  EXPECT_TRUE(ConsoleKeyPressed());
  EXPECT_EQ(72, ConsoleReadKey());
}

TEST_F(ConsoleKeys, OrdinaryBytesPassUnchanged) {
  std::string All;
  for (int B = 1; B < 256; ++B)
    if (B != 27 && B != 127) All += static_cast<char>(B);  // 127 is this terminal's erase character
  Type(All.substr(0, 120));
  EXPECT_EQ(All.substr(0, 120), ReadAll());
  Type(All.substr(120));
  EXPECT_EQ(All.substr(120), ReadAll());
}

// The bytes a PC keyboard gives differently from a terminal: the terminal's erase character (VERASE,
// 127 on a new pty as on xterm and the Linux console) is Backspace, 8; a NUL (Ctrl-@, Ctrl-Space,
// Ctrl-2) is 0 and scan code 3, so a 0 is always followed by a scan code. When standard input is the
// caller's telnet stream, a NUL right after a CR is the line end CR NUL and is dropped.
TEST_F(ConsoleKeys, EraseCharacterAndNulAsOnAPc) {
  struct Case {
    const char* Name;
    std::vector<std::string> Pieces;  // typed one after the other, each read before the next
    std::string Want;
    bool CallerInput;
    int Erase;  // VERASE of the terminal when the console takes it over
  };
  const std::string Nul(1, '\0');
  const Case kCases[] = {
      {"DEL, the erase character", {"\x7f"}, "\b", false, 127},
      {"Backspace key sending 8", {"\b"}, "\b", false, 127},
      {"Delete stays an extended key", {"\x1b[3~"}, Ext(83), false, 127},
      {"erase character ^H: DEL passes", {"\x7f\b"}, "\x7f\b", false, 8},
      {"NUL", {Nul}, Ext(3), false, 127},
      {"NUL after a key", {"a" + Nul + "b"}, "a" + Ext(3) + "b", false, 127},
      {"sysop's CR NUL is Enter and Ctrl-@", {"\r" + Nul}, "\r" + Ext(3), false, 127},
      {"caller's CR NUL is one Enter", {"\r" + Nul + "x"}, "\rx", true, 127},
      {"caller's CR NUL split between reads", {"\r", Nul}, "\r", true, 127},
      {"caller's CR NUL NUL", {"\r" + Nul + Nul}, "\r" + Ext(3), true, 127},
      {"caller's lone NUL", {"a" + Nul}, "a" + Ext(3), true, 127},
      {"caller's CR ESC [ A NUL", {"\r\x1b[A" + Nul}, "\r" + Ext(72) + Ext(3), true, 127},
      {"caller's DEL", {"\x7f"}, "\b", true, 127},
      {"caller's DEL whatever the terminal's erase character", {"\x7f"}, "\b", true, 8},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    ConsoleUseFds(-1, FSlave);  // the console lets go of the terminal: its own settings are back
    termios Settings{};
    ASSERT_EQ(0, tcgetattr(FSlave, &Settings));
    Settings.c_cc[VERASE] = static_cast<cc_t>(c.Erase);
    ASSERT_EQ(0, tcsetattr(FSlave, TCSANOW, &Settings));
    ConsoleUseFds(FSlave, FSlave);
    ConsoleSetCallerInput(c.CallerInput);
    std::string Got;
    for (const auto& Piece : c.Pieces) {
      Type(Piece);
      Got += ReadAll();
    }
    EXPECT_EQ(c.Want, Got);
  }
}

TEST_F(ConsoleKeys, UnknownSequencesAreSwallowedWhole) {
  struct Case { const char* seq; };
  const Case kCases[] = {{"\x1b[Z"}, {"\x1b[99~"}, {"\x1b[<0;10;5M"}, {"\x1b[?1;2c"}, {"\x1bOx"}, {"\x1b[[Z"},
                         {"\x1b[1;5X"}, {"\x1b[200~"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.seq + 1);
    Type(std::string(c.seq) + "k");
    EXPECT_EQ("k", ReadAll());
  }
}

TEST_F(ConsoleKeys, LoneEscape) {
  Type("\x1b");
  EXPECT_EQ("\x1b", ReadAll());
  Type("\x1bx");  // Escape, then an ordinary key
  EXPECT_EQ("\x1bx", ReadAll());
  Type("\x1b\x1b[A");
  EXPECT_EQ("\x1b" + Ext(72), ReadAll());
  Type("\x1b");
  EXPECT_EQ(27, ConsoleReadKey());  // a blocking read gives it up after the short wait too
}

TEST_F(ConsoleKeys, CtrlCIsAKey) {
  Type("\x03\x1a\x1c");
  EXPECT_EQ("\x03\x1a\x1c", ReadAll());
}

}  // namespace
