#pragma once
// What the tunecraft end-to-end tests expect: the exact bytes a session sends the caller, the log it
// writes, and readings of the sysop's console rebuilt with libvterm.

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
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/vterm_screen.h"
#include "tests/tunecraft/tunecraft_harness.h"

namespace tunecraft_test {

using zelkit_test::VtermScreen;

inline std::string Note(char ALetter) { return std::string("\x1b[NT120O4") + ALetter + "16\x0e"; }

// The ten notes drawn from the Mersenne Twister seeded with 0, the same in every run.
constexpr const char* kRandomNotes = "DDEEDEDEDD";

inline std::string Notes(const std::string& ALetters) {
  std::string Out;
  for (char L : ALetters) Out += Note(L);
  return Out;
}

inline const std::string kClearScreen = "\x1b[2J\x1b[1;1f";  // ED 2, then HVP to the top-left corner
inline const std::string kFirstPrompt = "Press any key to play some random notes\r\n";
inline const std::string kSecondPrompt = "Your music has been played, press any key.\r\n";

// Everything the caller receives up to the first key wait: the telnet opening, the clear screen
// of the session start and the door's own, the texts and the four D notes.
inline const std::string kBeforeFirstKey =
    kTelnetOpening + kClearScreen + kClearScreen + "Playing four notes\r\n\r\n" + Notes("DDDD") + kFirstPrompt;
inline const std::string kAfterFirstKey = "\r\n" + Notes(kRandomNotes) + kSecondPrompt;

// The exit step of a session whose transport is still open: attribute 7 (from bright white),
// then the cursor 255 rows down and 255 columns left.
inline const std::string kExitStepFromWhite = "\x1b[0;37m\x1b[40m\x1b[40m\x1b[255B\x1b[255D";

inline std::vector<std::string> ExpectedLog(const std::string& ALetters) {
  std::vector<std::string> Lines;
  for (char L : ALetters) Lines.push_back(Note(L));
  return Lines;
}

inline std::string Screen(const std::string& ABytes) {
  VtermScreen S(25, 80);
  S.Feed(ABytes);
  return S.Picture();
}

// The music strings the sysop's console shows as text, in order, as note letters.
inline std::string NotesOnScreen(const std::string& APicture) {
  std::string Letters;
  static const std::regex kMusic("T120O4([CDE])16");
  for (auto It = std::sregex_iterator(APicture.begin(), APicture.end(), kMusic); It != std::sregex_iterator(); ++It)
    Letters += (*It)[1].str();
  return Letters;
}

// Waits until the sysop's screen, rebuilt from everything the console received, shows ANeedle.
inline bool ScreenShows(DoorRun& ARun, const std::string& ANeedle, int AMilliseconds = kWaitMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
  for (;;) {
    ARun.Console().ReadFor(20);
    if (Screen(ARun.Console().Output()).find(ANeedle) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= Deadline) return false;
  }
}

// The BBS still has the caller: the caller can write without EPIPE, the BBS's copy of the door's
// end receives it, and the caller sees no end of file (the door did not shut the connection down).
inline void ExpectCallerStillConnected(Connection& ALink) {
  char Byte = 0;
  errno = 0;
  EXPECT_EQ(-1, recv(ALink.Caller, &Byte, 1, MSG_DONTWAIT)) << "the caller saw the connection end";
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
  EXPECT_EQ(1, send(ALink.Caller, "z", 1, MSG_NOSIGNAL)) << std::strerror(errno);
  pollfd P{ALink.Door, POLLIN, 0};
  ASSERT_EQ(1, poll(&P, 1, kWaitMs));
  ASSERT_EQ(1, recv(ALink.Door, &Byte, 1, MSG_DONTWAIT));
  EXPECT_EQ('z', Byte);
}

inline std::string Printable(const std::string& ABytes) {
  std::string Out;
  for (unsigned char C : ABytes) {
    if (C >= 32 && C < 127) {
      Out += static_cast<char>(C);
    } else {
      char Hex[8];
      std::snprintf(Hex, sizeof Hex, "<%02X>", C);
      Out += Hex;
    }
  }
  return Out;
}

#define EXPECT_BYTES(want, got) EXPECT_EQ(Printable(want), Printable(got))

}  // namespace tunecraft_test
