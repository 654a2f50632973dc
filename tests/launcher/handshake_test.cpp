// The launcher's byte parsers on their own: the telnet input filter of the --stdio relay and the
// menu, the rlogin handshake step and the PROXY header, each fed its input split at every point.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "tools/launcher/launcher_internal.h"
#include "tools/launcher/proxy_header.h"

namespace {

using namespace launcher;
using namespace std::string_literals;

std::string Filter(const std::string& AIn, std::size_t ASplit) {
  TTelnetInput Telnet;
  std::string Out;
  const auto* Bytes = reinterpret_cast<const unsigned char*>(AIn.data());
  Telnet.Feed(Bytes, ASplit, Out);
  Telnet.Feed(Bytes + ASplit, AIn.size() - ASplit, Out);
  return Out;
}

TEST(TelnetInput, CommandsOutLineEndsFoldedAtEverySplit) {
  struct Case { std::string in, want; };
  const Case kCases[] = {
      {"plain keys", "plain keys"},
      {"a\xff\xff" "b"s, "a\xff" "b"},  // doubled IAC: byte 255
      {"\xff\xfb\x01\xff\xfd\x03x\xff\xfe\x18y"s, "xy"},              // WILL, DO, DONT
      {"\xff\xf1\xff\xf6z"s, "z"},                                      // NOP, AYT
      {"\xff\xfa\x18\x00VT100\xff\xf0k"s, "k"},                        // subnegotiation
      {"\xff\xfa\x1f\x00\x50\xff\xff\x00\x19\xff\xf0w"s, "w"},         // 255 doubled inside SB
      {"\xff\xfa\x18" + std::string(3000, 'x') + "\xff\xf0!", "!"},  // a long one, within the transport's limit
      {"a\r\nb\r\0c\nd\r"s, "a\rb\rc\rd\r"},                           // Enter, every way
      {"\r\xff\xfb\x01\n"s, "\r"},  // a command between CR and LF: still one Enter
  };
  for (const auto& C : kCases) {
    for (std::size_t K = 0; K <= C.in.size(); K += (C.in.size() > 100 ? 997 : 1)) {
      SCOPED_TRACE(C.want + " split at " + std::to_string(K));
      EXPECT_EQ(C.want, Filter(C.in, K));
    }
  }
}

// The rlogin step on a socket pair, with the client's bytes arriving in two pieces.
TEST(RloginHandshake, CompleteOnlyAtTheFourthNulAtEverySplit) {
  struct Case { std::string handshake; bool server_name; std::string name, code; };
  const std::string N(1, '\0');
  const Case kCases[] = {
      {N + "ann" + N + "[XA]Ann" + N + "ansi/38400" + N, false, "ann", ""},
      {N + "pw" + N + "[XA]Ann Smith" + N + "xtrn=lord/9600" + N, true, "Ann Smith", "lord"},
      {N + N + N + "XTRN=Two" + N, false, "", "Two"},
      {N + " [T] bob " + N + N + "vt100" + N, false, "[T] bob", ""},  // the tag must come first
      // Every field at the longest allowed, 128 bytes.
      {N + std::string(128, 'c') + N + "[XA]" + std::string(124, 'a') + N + "xtrn=lord/" + std::string(118, '9') + N,
       true, std::string(124, 'a'), "lord"},
  };
  for (const auto& C : kCases) {
    for (std::size_t K = 1; K < C.handshake.size(); ++K) {
      SCOPED_TRACE(C.name + " split at " + std::to_string(K));
      FOptions.RloginServerUser = C.server_name;
      int Sv[2];
      ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, Sv));
      TCaller Caller;
      std::string State;
      ASSERT_EQ(static_cast<ssize_t>(K), write(Sv[1], C.handshake.data(), K));
      EXPECT_EQ(hsWait, RloginStep(Sv[0], Caller, State));
      // The rest, and keys the caller typed at once: those stay on the socket for the door.
      const std::string Rest = C.handshake.substr(K) + "keys";
      ASSERT_EQ(static_cast<ssize_t>(Rest.size()), write(Sv[1], Rest.data(), Rest.size()));
      EXPECT_EQ(hsDone, RloginStep(Sv[0], Caller, State));
      EXPECT_EQ(C.name, Caller.Name);
      EXPECT_EQ(C.code, Caller.DoorCode);
      char Buf[16] = {};
      EXPECT_EQ(1, read(Sv[1], Buf, sizeof Buf));  // the server's one NUL
      EXPECT_EQ('\0', Buf[0]);
      EXPECT_EQ(4, read(Sv[0], Buf, sizeof Buf));
      EXPECT_EQ("keys", std::string(Buf, 4));
      close(Sv[0]);
      close(Sv[1]);
    }
  }
  FOptions.RloginServerUser = true;
}

// The client's answers to the telnet offers, taken as they come: at every split the wait goes on
// until the fourth answer (in any order, refusals too, a subnegotiation between them), and the
// keys typed after them stay on the socket for the door.
TEST(TelnetAnswers, DoneAtTheFourthAnswerAtEverySplit) {
  const std::string kAnswers[] = {
      "\xff\xfd\x01\xff\xfd\x03\xff\xfd\x00\xff\xfb\x00"s,
      "\xff\xfb\x00\xff\xfa\x1f\x00\x50\x00\x19\xff\xf0\xff\xfe\x03\xff\xfd\x01\xff\xfe\x00"s,
      "\xff\xf1\xff\xfc\x00\xff\xfd\x00\xff\xfd\x03\xff\xfa\x18\x00xterm\xff\xf0\xff\xfd\x01"s,
  };
  for (const std::string& Answers : kAnswers) {
    for (std::size_t K = 1; K < Answers.size(); ++K) {
      SCOPED_TRACE("answers " + std::to_string(&Answers - kAnswers) + " split at " + std::to_string(K));
      int Sv[2];
      ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, Sv));
      TCaller Caller;
      TTelnetAnswers State;
      ASSERT_EQ(static_cast<ssize_t>(K), write(Sv[1], Answers.data(), K));
      EXPECT_EQ(hsWait, TelnetAnswersStep(Sv[0], Caller, State));
      const std::string Rest = Answers.substr(K) + "keys";
      ASSERT_EQ(static_cast<ssize_t>(Rest.size()), write(Sv[1], Rest.data(), Rest.size()));
      EXPECT_EQ(hsDone, TelnetAnswersStep(Sv[0], Caller, State));
      char Buf[16] = {};
      EXPECT_EQ(4, read(Sv[0], Buf, sizeof Buf));
      EXPECT_EQ("keys", std::string(Buf, 4));
      close(Sv[0]);
      close(Sv[1]);
    }
  }
}

// A caller who types before answering gets the door with every key kept; a PROXY header from an
// address not trusted to send one is refused; a hang-up ends the wait.
TEST(TelnetAnswers, KeysProxyHeadersAndHangUpsEndTheWait) {
  struct Case { std::string sent; bool close; THandshakeResult want; std::size_t kept; };
  const Case kCases[] = {
      {"\xff\xfd\x01" "abc"s, false, hsDone, 3},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r\n"s, false, hsFailed, 32},
      {"\xff\xfd\x01"s, true, hsDone, 0},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.sent);
    int Sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, Sv));
    ASSERT_EQ(static_cast<ssize_t>(C.sent.size()), write(Sv[1], C.sent.data(), C.sent.size()));
    if (C.close) close(Sv[1]);
    TCaller Caller;
    TTelnetAnswers State;
    EXPECT_EQ(C.want, TelnetAnswersStep(Sv[0], Caller, State));
    char Buf[64];
    EXPECT_EQ(static_cast<ssize_t>(C.kept), std::max<ssize_t>(0, read(Sv[0], Buf, sizeof Buf)));
    close(Sv[0]);
    if (!C.close) close(Sv[1]);
  }
}

// Handshakes that must make room for a newcomer (--max-pending 3): the connection that has sent the
// least, for the longest, gives way; a newcomer whose address already has connections waiting can
// only push out its own. Each waiting connection is a socket pair whose client end has sent some
// handshake bytes; the one that gave way is the one whose client end reads end of file.
TEST(PendingHandshakes, TheOneThatHasSentLeastForLongestGivesWay) {
  constexpr std::uint32_t A = 0x7f000001, B = 0x7f000002, C = 0x7f000003;
  struct Waiting { std::uint32_t address; std::string sent; };
  struct Case { std::string name; std::vector<Waiting> waiting; std::uint32_t newcomer; std::size_t gives_way; };
  const std::string N(1, '\0');
  const Case kCases[] = {
      {"all silent: the oldest, not the newest", {{A, ""}, {A, ""}, {A, ""}}, A, 0},
      {"the oldest has sent a part: the oldest silent one", {{A, N + "an"}, {A, ""}, {A, ""}}, A, 1},
      {"the least sent goes before the oldest", {{A, N + "ann"}, {A, N}, {A, N + "a"}}, A, 1},
      {"a newcomer with its own waiting pushes out only its own", {{B, ""}, {A, N + "x"}, {B, ""}}, A, 1},
      {"a newcomer with none of its own: the least sent of all", {{A, N + "a"}, {B, ""}, {A, ""}}, C, 1},
  };
  const THandshakeStep Waits = [](int, TCaller&, std::string&) { return hsWait; };
  const int SavedMax = FOptions.MaxPending;
  FOptions.MaxPending = 3;
  for (const auto& Cs : kCases) {
    SCOPED_TRACE(Cs.name);
    std::vector<int> Clients;
    auto Add = [&](std::uint32_t AAddress, const std::string& ASent) {
      int Sv[2];
      ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Sv));
      fcntl(Sv[1], F_SETFL, O_NONBLOCK);
      if (!ASent.empty()) {
        ASSERT_EQ(static_cast<ssize_t>(ASent.size()), write(Sv[1], ASent.data(), ASent.size()));
      }
      TCaller Caller;
      Caller.Kind = ckRlogin;
      Caller.Address = AAddress;
      Caller.Peer = std::to_string(Clients.size());
      AddPending(Sv[0], Caller, Waits);
      Clients.push_back(Sv[1]);
    };
    for (const Waiting& W : Cs.waiting) Add(W.address, W.sent);
    Add(Cs.newcomer, "");
    for (std::size_t I = 0; I < Clients.size(); ++I) {
      // Closed: end of file, or a reset when the server had bytes of it unread; else nothing to read yet.
      char Byte;
      const bool Closed = read(Clients[I], &Byte, 1) == 0 || errno == ECONNRESET;
      EXPECT_EQ(I == Cs.gives_way, Closed) << "connection " << I;
    }
    ClosePending();
    for (int Fd : Clients) close(Fd);
  }
  FOptions.MaxPending = SavedMax;
}

const std::string kV2 = "\r\n\r\n"s + '\0' + "\r\nQUIT\n";

// A version 2 header: command and family bytes, then the address block (source, destination,
// source port, destination port) and any extensions.
std::string V2(unsigned char ACommand, unsigned char AFamily, const std::string& ABlock) {
  return kV2 + static_cast<char>(ACommand) + static_cast<char>(AFamily) + static_cast<char>(ABlock.size() >> 8) +
         static_cast<char>(ABlock.size() & 255) + ABlock;
}

TEST(ProxyHeader, ValidHeadersNameTheCallerAtEverySplit) {
  struct Case { std::string title, header; bool local; std::uint32_t address; std::uint16_t port; };
  const std::string V4Block = "\x7f\x00\x00\x04\x7f\x00\x00\x02\x9c\x40\x09\x13"s;  // 127.0.0.4:40000 to :2323
  const std::string V6Block = std::string(10, '\0') + "\xff\xff\x0a\x00\x00\x01"s + std::string(16, '\0') + "\x00\x50\x00\x17"s;
  const Case kCases[] = {
      {"v1 TCP4", "PROXY TCP4 127.0.0.4 127.0.0.2 40000 2323\r\n", false, 0x7f000004, 40000},
      {"v1 TCP6, IPv4-mapped", "PROXY TCP6 ::ffff:10.0.0.1 ::1 80 23\r\n", false, 0x0a000001, 80},
      {"v1 UNKNOWN", "PROXY UNKNOWN ffff:: ffff:: 1 2\r\n", true, 0, 0},
      {"v2 PROXY TCP4", V2(0x21, 0x11, V4Block), false, 0x7f000004, 40000},
      {"v2 PROXY TCP4 with an extension", V2(0x21, 0x11, V4Block + "\x04\x00\x03xyz"s), false, 0x7f000004, 40000},
      {"v2 PROXY TCP6, IPv4-mapped", V2(0x21, 0x21, V6Block), false, 0x0a000001, 80},
      {"v2 LOCAL (a health check)", V2(0x20, 0x00, ""), true, 0, 0},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.title);
    const std::string Bytes = C.header + "keys";
    TProxyHeader Header;
    ASSERT_EQ(ppDone, ParseProxyHeader(Bytes, Header)) << Header.Why;
    EXPECT_EQ(C.header.size(), Header.Length);
    EXPECT_EQ(C.local, Header.Local);
    EXPECT_EQ(C.address, Header.Address);
    EXPECT_EQ(C.port, Header.Port);
    for (std::size_t K = 0; K < C.header.size(); ++K) {
      SCOPED_TRACE("first " + std::to_string(K) + " bytes");
      EXPECT_EQ(ppIncomplete, ParseProxyHeader(C.header.substr(0, K), Header)) << Header.Why;
    }
  }
}

TEST(ProxyHeader, MalformedHeadersAreRefusedWithAReason) {
  struct Case { std::string bytes, why; };
  const std::string V4Block = "\x7f\x00\x00\x04\x7f\x00\x00\x02\x9c\x40\x09\x13"s;
  const Case kCases[] = {
      {"hello\r\n", "no PROXY header"},
      {"PROXY TCP4 " + std::string(120, '1'), "oversized PROXY header (no line end within 107 bytes)"},
      {"PROXY TCP4 127.0.0.4 127.0.0.2 40000\r\n", "not five fields"},
      {"PROXY TCP4 127.0.0.4 127.0.0.2 40000 2323 9\r\n", "not five fields"},
      {"PROXY TCP4 127.0.0.4 127.0.0.2 70000 2323\r\n", "a port is not a number from 0 to 65535"},
      {"PROXY TCP4 127.0.0.256 127.0.0.2 1 2\r\n", "an address is not IPv4"},
      {"PROXY TCP4 127.0.0.4 127.0.0.2 1 2\n", "its line ends without CR"},
      {"PROXY UDP4 127.0.0.4 127.0.0.2 1 2\r\n", "unknown protocol"},
      {"PROXY TCP6 2001:db8::1 ::1 1 2\r\n", "names an IPv6 caller"},
      {V2(0x21, 0x11, std::string(600, 'x')), "oversized PROXY header (616 bytes, at most 536)"},
      {V2(0x21, 0x41, V4Block), "unknown address family 4"},
      {V2(0x21, 0x31, std::string(216, '\0')), "local-socket caller"},
      {V2(0x21, 0x12, V4Block), "not a stream"},
      {V2(0x22, 0x11, V4Block), "unknown command 2"},
      {V2(0x11, 0x11, V4Block), "unknown version 1"},
      {V2(0x21, 0x11, V4Block.substr(0, 8)), "address block too short"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.why);
    TProxyHeader Header;
    EXPECT_EQ(ppBad, ParseProxyHeader(C.bytes, Header));
    EXPECT_NE(std::string::npos, Header.Why.find(C.why)) << Header.Why;
  }
}

// A trusted proxy's rlogin connection: the header, rlogin's handshake and the caller's first keys in
// one block; the step takes the header and the handshake and leaves the keys for the door.
TEST(ProxyHeader, StepTakesOnlyTheHeaderAndTheHandshake) {
  const std::string N(1, '\0');
  const std::string Bytes = "PROXY TCP4 127.0.0.4 127.0.0.2 40000 2513\r\n" + N + "ann" + N + "ann" + N + "ansi" + N + "keys";
  for (std::size_t K = 1; K < Bytes.size() - 4; ++K) {
    SCOPED_TRACE("split at " + std::to_string(K));
    int Sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, Sv));
    TCaller Caller;
    Caller.Kind = ckRlogin;
    Caller.Peer = "127.0.0.1:5000";
    Caller.AwaitingProxyHeader = true;
    std::string State;
    ASSERT_EQ(static_cast<ssize_t>(K), write(Sv[1], Bytes.data(), K));
    EXPECT_EQ(hsWait, ProxyStep(Sv[0], Caller, State));
    ASSERT_EQ(static_cast<ssize_t>(Bytes.size() - K), write(Sv[1], Bytes.data() + K, Bytes.size() - K));
    EXPECT_EQ(hsDone, ProxyStep(Sv[0], Caller, State));
    EXPECT_EQ("127.0.0.4:40000", Caller.Peer);
    EXPECT_EQ(0x7f000004u, Caller.Address);
    EXPECT_EQ("ann", Caller.Name);
    char Buf[16] = {};
    EXPECT_EQ(4, read(Sv[0], Buf, sizeof Buf));
    EXPECT_EQ("keys", std::string(Buf, 4));
    close(Sv[0]);
    close(Sv[1]);
  }
}

}  // namespace
