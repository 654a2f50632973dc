// tunecraft when the caller drops carrier at either key wait (the console's terminal settings
// restored) and when its log cannot be written.

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

#include "tests/support/pty_process.h"
#include "tests/support/vterm_screen.h"
#include "tests/tunecraft/tunecraft_checks.h"
#include "tests/tunecraft/tunecraft_harness.h"

namespace {

using namespace tunecraft_test;

bool SameTerminalSettings(const termios& A, const termios& B) {
  return A.c_iflag == B.c_iflag && A.c_oflag == B.c_oflag && A.c_cflag == B.c_cflag && A.c_lflag == B.c_lflag &&
         std::memcmp(A.c_cc, B.c_cc, sizeof A.c_cc) == 0;
}

TEST(TunecraftHangup, CallerDroppingCarrierAtEitherKeyWait) {
  struct Case {
    int KeysFirst;
    std::size_t LogLines;
  };
  const Case kCases[] = {{0, 4}, {1, 14}};
  for (const Case& C : kCases) {
    SCOPED_TRACE("keys before the hang-up: " + std::to_string(C.KeysFirst));
    TempDir Dir;
    auto Link = Connect(LinkKind::SocketPair);
    ASSERT_NE(nullptr, Link);
    // The shell holds the door back until the terminal's settings as the door finds them are read.
    DoorRun Run({"-N1", "-S" + std::to_string(Link->Door)}, Dir.Path(), Link.get(), "read -r go; exec \"$0\" \"$@\"");
    termios Before{};
    ASSERT_TRUE(Run.Console().GetTermios(Before));
    Run.Console().Write("go\n");
    ASSERT_TRUE(Run.CallerUntil(kFirstPrompt)) << Printable(Run.Received());
    termios During{};
    ASSERT_TRUE(Run.Console().GetTermios(During));
    EXPECT_FALSE(SameTerminalSettings(Before, During)) << "the door did not take the keyboard raw";
    if (C.KeysFirst > 0) {
      Run.SendKey("a");
      ASSERT_TRUE(Run.CallerUntil(kSecondPrompt)) << Printable(Run.Received());
    }
    Link->HangUp();
    EXPECT_EQ(0, Run.WaitExit());
    EXPECT_NE(std::string::npos, Run.Console().Output().find("Caller Dropped Carrier.  Returning To BBS..."))
        << Screen(Run.Console().Output());
    EXPECT_EQ(C.LogLines, LogLines(Dir.Path()).size());
    EXPECT_EQ(ExpectedLog((std::string("DDDD") + kRandomNotes).substr(0, C.LogLines)), LogLines(Dir.Path()));
    termios After{};
    ASSERT_TRUE(Run.Console().GetTermios(After));
    EXPECT_TRUE(SameTerminalSettings(Before, After)) << "terminal settings not restored";
  }
}

// The log cannot be opened: tunecraft.log is a directory (root ignores mode bits, so a read-only
// directory would not stop it), or a FIFO nobody reads, whose open would wait for a reader for ever.
// The music still reaches the caller and the run ends normally; the thing in the log's place stays.
TEST(TunecraftLog, UnwritableLogDoesNotStopTheSession) {
  struct Case {
    const char* What;
    std::function<bool(const fs::path&)> Make;
    std::function<bool(const fs::path&)> Unchanged;
  };
  const Case kCases[] = {
      {"a directory", [](const fs::path& P) { return fs::create_directory(P); },
       [](const fs::path& P) { return fs::is_directory(P) && fs::is_empty(P); }},
      {"a FIFO without a reader", [](const fs::path& P) { return mkfifo(P.c_str(), 0600) == 0; },
       [](const fs::path& P) { return fs::is_fifo(P); }},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.What);
    TempDir Dir;
    ASSERT_TRUE(C.Make(Dir.Path() / "tunecraft.log"));
    auto Link = Connect(LinkKind::SocketPair);
    ASSERT_NE(nullptr, Link);
    DoorRun Run({"-N1", "-S" + std::to_string(Link->Door)}, Dir.Path(), Link.get());
    ASSERT_TRUE(Run.CallerUntil(kFirstPrompt)) << Printable(Run.Received());
    Run.SendKey("a");
    ASSERT_TRUE(Run.CallerUntil(kSecondPrompt)) << Printable(Run.Received());
    Run.SendKey("b");
    EXPECT_EQ(0, Run.WaitExit());
    EXPECT_BYTES(kBeforeFirstKey + kAfterFirstKey, Run.Received());
    EXPECT_TRUE(C.Unchanged(Dir.Path() / "tunecraft.log"));
  }
}

}  // namespace
