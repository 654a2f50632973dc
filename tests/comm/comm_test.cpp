#include "comm/comm.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "comm/comm_internal.h"
#include "comm/comm_telnet.h"
#include "comm/comm_testing.h"

namespace {

const std::string kOpening("\xff\xfb\x00\xff\xfb\x01", 6);

// Both ends of a connected stream socket: Door is handed to the transport, Caller plays the
// caller's client.
struct TLink {
  int Door = -1;
  int Caller = -1;
};

TLink SocketPairLink() {
  int Fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, Fds) != 0) return {};
  return {Fds[0], Fds[1]};
}

TLink TcpLink() {
  const int Listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof Addr;
  TLink Link;
  if (Listener >= 0 && bind(Listener, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) == 0 &&
      listen(Listener, 1) == 0 &&
      getsockname(Listener, reinterpret_cast<sockaddr*>(&Addr), &Len) == 0) {
    Link.Caller = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(Link.Caller, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) == 0) {
      Link.Door = accept(Listener, nullptr, nullptr);
    }
  }
  if (Listener >= 0) close(Listener);
  return Link;
}

void CloseFd(int& AFd) {
  if (AFd >= 0) close(AFd);
  AFd = -1;
}

// Everything the caller receives within AMs milliseconds of quiet, or until AWant bytes arrived.
std::string CallerRead(int AFd, std::size_t AWant, int AMs = 2000) {
  std::string Got;
  char Buf[65536];
  while (Got.size() < AWant) {
    pollfd Pfd{AFd, POLLIN, 0};
    if (poll(&Pfd, 1, AMs) <= 0) break;
    const ssize_t N = recv(AFd, Buf, sizeof Buf, 0);
    if (N <= 0) break;
    Got.append(Buf, static_cast<std::size_t>(N));
  }
  return Got;
}

void CallerSend(int AFd, const std::string& AText) {
  ASSERT_EQ(static_cast<ssize_t>(AText.size()), send(AFd, AText.data(), AText.size(), MSG_NOSIGNAL));
}

// Takes everything the transport has available without waiting.
std::string DoorDrain() {
  std::string Got;
  while (CommCharAvail()) Got.push_back(CommReadChar());
  return Got;
}

// Waits until the door has a character to read (CommReadChar would wait for ever for one that never
// comes), or the deadline passes.
bool AwaitChar(int ADoorFd, std::chrono::steady_clock::time_point ADeadline) {
  while (!CommCharAvail()) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) return false;
    pollfd Pfd{ADoorFd, POLLIN, 0};
    std::ignore = poll(&Pfd, 1, static_cast<int>(std::min<long long>(Left.count(), 100)));
  }
  return true;
}

// Waits until the data sent by the caller has reached the door's socket, so that one
// CommCharAvail sees the whole block.
void AwaitReadable(int AFd) {
  pollfd Pfd{AFd, POLLIN, 0};
  ASSERT_EQ(1, poll(&Pfd, 1, 2000));
}

class CommLinkTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    CommResetForTesting();
    FLink = std::string(GetParam()) == "tcp" ? TcpLink() : SocketPairLink();
    ASSERT_GE(FLink.Door, 0);
    ASSERT_GE(FLink.Caller, 0);
  }
  void TearDown() override {
    CommClose(false);
    CloseFd(FLink.Caller);
    CommResetForTesting();
  }
  // Opens the transport and takes the telnet opening off the caller's side.
  void Open() {
    CommOpen(FLink.Door);
    ASSERT_EQ(kOpening, CallerRead(FLink.Caller, kOpening.size()));
  }
  TLink FLink;
};

TEST_P(CommLinkTest, OpeningIsBinaryThenEchoAndLeavesSocketBlocking) {
  ASSERT_EQ(0, fcntl(FLink.Door, F_SETFL, fcntl(FLink.Door, F_GETFL) | O_NONBLOCK));
  CommOpen(FLink.Door);
  EXPECT_EQ(kOpening, CallerRead(FLink.Caller, 64, 200));
  EXPECT_EQ(0, fcntl(FLink.Door, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(CommCarrier());
  EXPECT_EQ(FLink.Door, CommInputHandle());
}

TEST_P(CommLinkTest, BurstLargerThanOneReceiveArrivesWholeAndInOrder) {
  Open();
  std::string Burst;
  for (int I = 0; I < 5000; ++I) {
    const char Ch = static_cast<char>(I * 7 % 256);
    if (Ch != '\r' && Ch != '\n') Burst.push_back(Ch);  // bytes the folding leaves alone, NUL and 255 included
  }
  // The caller's client sends its data byte 255 as IAC IAC; some of the pairs straddle two receives.
  std::string Sent;
  for (const char Ch : Burst) {
    Sent.push_back(Ch);
    if (Ch == '\xff') Sent.push_back(Ch);
  }
  CallerSend(FLink.Caller, Sent);
  std::string Got;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (std::size_t I = 0; I < Burst.size(); ++I) {
    ASSERT_TRUE(AwaitChar(FLink.Door, Deadline))
        << "the door has read " << I << " of " << Burst.size() << " bytes; no more came within 10 s";
    const char Peeked = CommPeekChar();
    const char Read = CommReadChar();
    ASSERT_EQ(Peeked, Read) << "at " << I;
    Got.push_back(Read);
  }
  EXPECT_EQ(Burst, Got);
  EXPECT_FALSE(CommCharAvail());
  EXPECT_TRUE(CommCarrier());
}

TEST_P(CommLinkTest, CallerHangingUpDropsCarrierAfterBufferedInput) {
  Open();
  CallerSend(FLink.Caller, "xy");
  CloseFd(FLink.Caller);
  EXPECT_EQ('x', CommReadChar());
  EXPECT_EQ('y', CommReadChar());
  EXPECT_TRUE(CommCarrier());  // nothing has looked at the socket since the data
  EXPECT_FALSE(CommCharAvail());
  EXPECT_FALSE(CommCarrier());
  EXPECT_EQ(-1, CommInputHandle());
  // A stand-alone wait after the loss answers at once instead of spinning forever.
  EXPECT_EQ('\0', CommReadChar());
  EXPECT_EQ('\0', CommPeekChar());
  EXPECT_FALSE(CommCarrier());
}

TEST_P(CommLinkTest, WriteAfterCallerClosedDoesNotEndTheProgram) {
  Open();
  CloseFd(FLink.Caller);
  // In a child, with the broken-pipe signal at its default action (which ends a process).
  EXPECT_EXIT(
      {
        std::ignore = signal(SIGPIPE, SIG_DFL);
        std::ignore = CommCharAvail();  // notices the loss
        for (int I = 0; I < 3; ++I) CommWrite(std::string(4096, 'z'));
        CommWriteRaw("after");
        std::exit(CommCarrier() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

// A caller that reads slowly, in small pieces, while the door writes far more than the socket
// buffers hold.
std::string SlowReader(int AFd, std::size_t AWant) {
  std::string Got;
  char Buf[3000];
  while (Got.size() < AWant) {
    pollfd Pfd{AFd, POLLIN, 0};
    if (poll(&Pfd, 1, 5000) <= 0) break;
    const ssize_t N = recv(AFd, Buf, sizeof Buf, 0);
    if (N <= 0) break;
    Got.append(Buf, static_cast<std::size_t>(N));
    if (Got.size() % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return Got;
}

TEST_P(CommLinkTest, LargeWriteToSlowReaderArrivesWhole) {
  struct Case {
    const char* Name;
    bool NonBlocking;  // the BBS (or anyone sharing the socket) switched it back to non-blocking
  };
  const Case kCases[] = {{"blocking", false}, {"non-blocking", true}};
  Open();
  const int Small = 4096;
  std::ignore = setsockopt(FLink.Door, SOL_SOCKET, SO_SNDBUF, &Small, sizeof Small);
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    if (C.NonBlocking) {
      ASSERT_EQ(0, fcntl(FLink.Door, F_SETFL, fcntl(FLink.Door, F_GETFL) | O_NONBLOCK));
    }
    std::string Text(1 << 20, '\0');
    for (std::size_t I = 0; I < Text.size(); ++I) Text[I] = static_cast<char>('A' + I % 26);
    Text[12345] = '\xff';
    std::string Got;
    std::thread Reader([&] { Got = SlowReader(FLink.Caller, Text.size() + 1); });
    CommWrite(Text);
    Reader.join();
    std::string Want = Text;
    Want.insert(12345, 1, '\xff');
    EXPECT_EQ(Want.size(), Got.size());
    EXPECT_TRUE(Want == Got);
  }
}

INSTANTIATE_TEST_SUITE_P(Links, CommLinkTest, ::testing::Values("socketpair", "tcp"),
                         [](const auto& AInfo) { return std::string(AInfo.param); });

class CommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CommResetForTesting();
    FLink = SocketPairLink();
    ASSERT_GE(FLink.Door, 0);
    CommOpen(FLink.Door);
    ASSERT_EQ(kOpening, CallerRead(FLink.Caller, kOpening.size()));
  }
  void TearDown() override {
    CommClose(false);
    CloseFd(FLink.Caller);
    CommResetForTesting();
  }
  TLink FLink;
};

TEST_F(CommTest, LineEndingsFoldToOneCarriageReturnWithinABlock) {
  struct Case {
    const char* Name;
    std::string Sent, Read;
  };
  const Case kCases[] = {
      {"CR LF", "a\r\nb", "a\rb"},
      {"CR NUL", std::string("a\r\0b", 4), "a\rb"},
      {"lone LF", "a\nb", "a\rb"},
      {"lone CR", "a\rb", "a\rb"},
      {"CR CR LF", "\r\r\n", "\r\r"},
      {"CR LF LF", "\r\n\n", "\r\r"},
      {"LF CR", "\n\r", "\r\r"},
      {"CR LF NUL", std::string("\r\n\0", 3), "\r"},
      {"CR NUL LF", std::string("\r\0\n", 3), "\r\r"},
      {"NUL alone", std::string("x\0y", 3), std::string("x\0y", 3)},
      // Telnet commands are taken out first; the data that remains is folded.
      {"telnet reply", "\xff\xfd\x01", ""},
      {"CR, command, LF", "a\r\xff\xf1\nb", "a\rb"},
      {"CR, window size, NUL", std::string("a\r\xff\xfa\x1f\x00\x50\x00\x18\xff\xf0\0b", 13), "a\rb"},
      {"IAC IAC before CR LF", "\xff\xff\r\n", "\xff\r"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    CallerSend(FLink.Caller, C.Sent);
    AwaitReadable(FLink.Door);
    EXPECT_EQ(C.Read, DoorDrain());
  }
}

TEST_F(CommTest, LineEndSplitAcrossBlocksIsNotJoined) {
  CallerSend(FLink.Caller, "a\r");
  AwaitReadable(FLink.Door);
  EXPECT_EQ("a\r", DoorDrain());
  CallerSend(FLink.Caller, "\nb");
  AwaitReadable(FLink.Door);
  EXPECT_EQ("\rb", DoorDrain());  // the block's own LF becomes a second CR
}

// The commands a client sends, each between two data bytes where that makes sense.
struct TTelnetCase {
  std::string Name, Sent, Data;
};

std::vector<TTelnetCase> TelnetCases() {
  std::vector<TTelnetCase> Cases = {
      {"WILL", "a\xff\xfb\x01" "b", "ab"},
      {"WONT", "a\xff\xfc\x01" "b", "ab"},
      {"DO BINARY, the reply to the opening", std::string("a\xff\xfd\x00" "b", 5), "ab"},
      {"DONT", "a\xff\xfe\x22" "b", "ab"},
      {"option byte 255", "a\xff\xfd\xff" "b", "ab"},
      {"window size", std::string("a\xff\xfa\x1f\x00\x50\x00\x18\xff\xf0" "b", 11), "ab"},
      {"terminal type", std::string("a\xff\xfa\x18\x00" "ANSI\xff\xf0" "b", 12), "ab"},
      {"subnegotiation with IAC IAC inside", std::string("\xff\xfa\x1f\x00\xff\xff\x00\x18\xff\xf0" "b", 11), "b"},
      {"subnegotiation cut short by IAC WILL", "\xff\xfa\x18\x01\xff\xfb\x03" "b", "b"},
      {"IAC IAC", "a\xff\xff" "b", "a\xff" "b"},
      {"IAC IAC twice", "\xff\xff\xff\xff", "\xff\xff"},
      // A client that does not escape 255 (an rlogin caller's): IAC and a byte below 240 are both data.
      {"IAC and a byte that is no command", "\xff" "A", "\xff" "A"},
      {"IAC and CR", "a\xff\r", "a\xff\r"},
      {"two replies in a row", std::string("\xff\xfd\x00\xff\xfd\x01" "k", 7), "k"},
  };
  for (int Command = 240; Command <= 249; ++Command) {  // SE, NOP, DM, BRK, IP, AO, AYT, EC, EL, GA
    Cases.push_back({"two-byte command " + std::to_string(Command),
                     std::string("a\xff") + static_cast<char>(Command) + "b", "ab"});
  }
  return Cases;
}

std::string Filter(TTelnetReceive& AState, const std::string& AText) {
  return TelnetFilter(AState, AText.data(), AText.size());
}

TEST(CommTelnetFilter, EveryCommandFormIsTakenOutAtEverySplit) {
  for (const auto& C : TelnetCases()) {
    SCOPED_TRACE(C.Name);
    TTelnetReceive Whole;
    EXPECT_EQ(C.Data, Filter(Whole, C.Sent));
    EXPECT_EQ(tsData, Whole.State);
    for (std::size_t K = 0; K <= C.Sent.size(); ++K) {
      SCOPED_TRACE("split at " + std::to_string(K));
      TTelnetReceive Split;
      const std::string First = Filter(Split, C.Sent.substr(0, K));
      EXPECT_EQ(C.Data, First + Filter(Split, C.Sent.substr(K)));
    }
  }
}

TEST(CommTelnetFilter, SubnegotiationWithoutEndIsGivenUpAtTheLimit) {
  // 1 MB after IAC SB, fed in receive-sized blocks: nothing is stored, and once the limit is passed
  // the bytes are data again, so the caller's keys are not swallowed for ever.
  const std::size_t kSize = 1 << 20;
  TTelnetReceive State;
  std::string Block = "\xff\xfa";
  std::size_t Data = 0;
  for (std::size_t Sent = 0; Sent < kSize;) {
    while (Block.size() < 1024 && Sent < kSize) {
      Block.push_back(static_cast<char>('a' + Sent % 26));
      ++Sent;
    }
    Data += Filter(State, Block).size();
    EXPECT_LE(State.SubLength, TELNET_SUBNEGOTIATION_LIMIT);
    Block.clear();
  }
  EXPECT_EQ(kSize - TELNET_SUBNEGOTIATION_LIMIT, Data);
  EXPECT_EQ(tsData, State.State);
  EXPECT_EQ("k", Filter(State, "\xff\xfd\x01k"));
}

// Reads the caller's data until AWant bytes have come, or 2 s have passed.
std::string DoorReadUntil(std::size_t AWant) {
  std::string Got;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (Got.size() < AWant && std::chrono::steady_clock::now() < Deadline) {
    if (CommCharAvail()) {
      Got.push_back(CommReadChar());
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return Got;
}

TEST_F(CommTest, TelnetCommandSplitAcrossReceivesIsStillTakenOut) {
  // Each command form reaches the door in two receive steps, split at every byte boundary, the
  // second part a moment after the first, as a client's command split by the network arrives.
  for (const auto& C : TelnetCases()) {
    SCOPED_TRACE(C.Name);
    for (std::size_t K = 1; K < C.Sent.size(); ++K) {
      SCOPED_TRACE("split at " + std::to_string(K));
      CallerSend(FLink.Caller, C.Sent.substr(0, K));
      AwaitReadable(FLink.Door);
      std::thread Rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        CallerSend(FLink.Caller, C.Sent.substr(K) + "z");
      });
      const std::string Got = DoorReadUntil(C.Data.size() + 1);
      Rest.join();
      EXPECT_EQ(C.Data + "z", Got);
    }
  }
}

// An rlogin caller's client sends 255 bare: when nothing follows the IAC, it is the caller's byte.
TEST_F(CommTest, LoneByte255WithNothingAfterItIsData) {
  for (const std::string Sent : {"\xff", "a\xff"}) {
    SCOPED_TRACE(Sent.size());
    CallerSend(FLink.Caller, Sent);
    AwaitReadable(FLink.Door);
    EXPECT_EQ(Sent, DoorReadUntil(Sent.size()));
    EXPECT_FALSE(CommCharAvail());
  }
}

TEST_F(CommTest, WriteDoublesByte255AndWriteRawDoesNot) {
  struct Case {
    const char* Name;
    void (*Write)(const std::string&);
    std::string Text, Sent;
  };
  const Case kCases[] = {
      {"write", CommWrite, "a\xff" "b", "a\xff\xff" "b"},
      {"write, two in a row", CommWrite, "\xff\xff", "\xff\xff\xff\xff"},
      {"write, line end and NUL unchanged", CommWrite, std::string("\r\n\0\xfe", 4), std::string("\r\n\0\xfe", 4)},
      {"raw", CommWriteRaw, "a\xff" "b", "a\xff" "b"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    C.Write(C.Text);
    EXPECT_EQ(C.Sent, CallerRead(FLink.Caller, C.Sent.size()));
  }
}

TEST(CommSendCount, EmptyTextSendsNothingAndTextIsOneSend) {
  // On a datagram socket every send is one message, an empty one included, so the caller's side
  // counts the sends exactly.
  CommResetForTesting();
  int Fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM, 0, Fds));
  CommOpen(Fds[0]);
  CommWrite("");
  CommWriteRaw("");
  CommWriteBlock("ignored", 0);
  CommWriteBlock("ignored", -5);
  CommWrite("one\xff");
  CommWriteBlock("two", 3);
  const std::string kWant[] = {std::string("\xff\xfb\x00", 3), std::string("\xff\xfb\x01", 3), "one\xff\xff", "two"};
  for (const auto& Want : kWant) {
    SCOPED_TRACE(Want);
    char Buf[64];
    const ssize_t N = recv(Fds[1], Buf, sizeof Buf, MSG_DONTWAIT);
    ASSERT_GE(N, 0);
    EXPECT_EQ(Want, std::string(Buf, static_cast<std::size_t>(N)));
  }
  char Buf[8];
  EXPECT_EQ(-1, recv(Fds[1], Buf, sizeof Buf, MSG_DONTWAIT));  // no further message, empty or not
  CommClose(false);
  close(Fds[1]);
}

TEST(CommClose, ForgetsTheDescriptorSoLateCallsTouchNothing) {
  struct Case {
    const char* Name;
    bool Disconnect;
  };
  const Case kCases[] = {{"keep caller", false}, {"disconnect", true}};
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    CommResetForTesting();
    TLink Link = SocketPairLink();
    const int BbsCopy = dup(Link.Door);  // the BBS still holds the caller's connection
    CommOpen(Link.Door);
    ASSERT_EQ(kOpening, CallerRead(Link.Caller, kOpening.size()));
    CommClose(C.Disconnect);
    EXPECT_EQ(-1, fcntl(Link.Door, F_GETFD));  // the door's descriptor is released
    EXPECT_EQ(-1, CommInputHandle());
    char Ch;
    const ssize_t N = recv(Link.Caller, &Ch, 1, MSG_DONTWAIT);
    if (C.Disconnect) {
      EXPECT_EQ(0, N);  // shut down in both directions: the caller sees the end
    } else {
      EXPECT_EQ(-1, N);  // the connection lives on in the BBS
    }

    // The process reuses the number for something else; the exit step's late write and second
    // close must not touch it.
    int Other[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, Other));
    ASSERT_EQ(Link.Door, dup2(Other[0], Link.Door));
    CommWrite("late");
    CommClose(true);
    EXPECT_NE(-1, fcntl(Link.Door, F_GETFD));
    EXPECT_EQ(-1, recv(Other[1], &Ch, 1, MSG_DONTWAIT));
    EXPECT_FALSE(CommCharAvail());
    close(Link.Door);
    close(Other[0]);
    close(Other[1]);
    close(BbsCopy);
    close(Link.Caller);
  }
}

// A descriptor that is not an open socket (what "COM1:" in DOOR.SYS or a wrong -S names) is never
// taken over: no opening, no mode change, no write, no close; the carrier is absent at once.
TEST(CommOpen, DescriptorThatIsNotASocketIsLeftAlone) {
  struct Case {
    const char* Name;
    int (*Make)(int& AOther);  // returns the descriptor to open; AOther is the far end, if any
  };
  const Case kCases[] = {
      {"pipe, as standard output to a terminal or a log", [](int& AOther) {
         int Fds[2];
         if (pipe(Fds) != 0) return -1;
         AOther = Fds[0];
         return Fds[1];
       }},
      {"regular file", [](int& AOther) {
         AOther = -1;
         return open("/etc/hostname", O_RDONLY);
       }},
      {"no such descriptor", [](int& AOther) {
         AOther = -1;
         return 999;
       }},
      {"negative", [](int& AOther) {
         AOther = -1;
         return -1;
       }},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    CommResetForTesting();
    int Other = -1;
    const int Fd = C.Make(Other);
    const bool Open = Fd >= 0 && fcntl(Fd, F_GETFD) != -1;
    if (Open) {
      ASSERT_EQ(0, fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) | O_NONBLOCK));
    }
    CommOpen(Fd);
    EXPECT_FALSE(CommCarrier());
    EXPECT_EQ(-1, CommInputHandle());
    EXPECT_FALSE(CommCharAvail());
    CommWrite("never sent");
    CommClose(false);
    if (Open) {
      EXPECT_NE(-1, fcntl(Fd, F_GETFD)) << "the descriptor was closed";
      EXPECT_NE(0, fcntl(Fd, F_GETFL) & O_NONBLOCK) << "the descriptor's mode was changed";
      close(Fd);
    }
    if (Other >= 0) {
      char Buf[64];
      EXPECT_EQ(0, read(Other, Buf, sizeof Buf)) << "bytes were written";  // end of file: nothing came
      close(Other);
    }
  }
  CommResetForTesting();
}

// A caller whose client takes nothing: the write gives up after the stall bound (shortened here),
// the rest of it is dropped and the carrier counts as lost. The console hook runs once, before the
// first wait; a write after the loss does not wait at all (the hook, which precedes every wait, is
// not called again).
TEST(CommSend, CallerWhoStopsReadingCountsAsGoneAfterTheStallBound) {
  static int HookCalls = 0;
  HookCalls = 0;
  CommResetForTesting();
  CommOnSendWait = [] { ++HookCalls; };
  CommSetSendStallForTesting(300);
  TLink Link = SocketPairLink();
  const int Small = 4096;
  std::ignore = setsockopt(Link.Door, SOL_SOCKET, SO_SNDBUF, &Small, sizeof Small);
  CommOpen(Link.Door);
  ASSERT_EQ(kOpening, CallerRead(Link.Caller, kOpening.size()));
  const std::string Text(1 << 20, 'x');
  CommWrite(Text);
  EXPECT_FALSE(CommCarrier());
  EXPECT_EQ(1, HookCalls);
  CommWrite(Text);
  CommWriteRaw("late");
  EXPECT_EQ(1, HookCalls);
  const std::string Got = CallerRead(Link.Caller, 2 * Text.size(), 200);
  EXPECT_GT(Got.size(), 0u);
  EXPECT_LT(Got.size(), Text.size());
  EXPECT_EQ(std::string::npos, Got.find("late"));
  CommOnSendWait = nullptr;
  CommClose(false);
  close(Link.Caller);
  CommResetForTesting();
}

TEST(CommUnopened, PollsNothingAndNeverWaits) {
  CommResetForTesting();
  CommWrite("nowhere");
  EXPECT_FALSE(CommCharAvail());
  EXPECT_TRUE(CommCarrier());
  EXPECT_EQ('\0', CommReadChar());
  EXPECT_EQ(-1, CommInputHandle());
  CommClose(true);
  CommSetBaud(19200);
  CommFlushOutBuffer();
  CommPurgeOutBuffer();
  EXPECT_TRUE(CommCarrier());
}

TEST(CommHighDescriptor, DescriptorAbove1024IsPolled) {
  constexpr int kHigh = 1500;
  rlimit Limit{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &Limit));
  if (Limit.rlim_cur <= kHigh) {
    if (Limit.rlim_max != RLIM_INFINITY && Limit.rlim_max <= kHigh) GTEST_SKIP() << "hard descriptor limit too low";
    Limit.rlim_cur = kHigh + 1;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &Limit));
  }
  CommResetForTesting();
  TLink Link = SocketPairLink();
  ASSERT_EQ(kHigh, dup2(Link.Door, kHigh));
  close(Link.Door);
  CommOpen(kHigh);
  EXPECT_EQ(kOpening, CallerRead(Link.Caller, kOpening.size()));
  EXPECT_EQ(kHigh, CommInputHandle());
  CallerSend(Link.Caller, "hi\r\n");
  EXPECT_EQ('h', CommReadChar());
  EXPECT_EQ("i\r", DoorDrain());
  close(Link.Caller);
  EXPECT_FALSE(CommCharAvail());
  EXPECT_FALSE(CommCarrier());
  CommClose(false);
  EXPECT_EQ(-1, fcntl(kHigh, F_GETFD));
}

}  // namespace
