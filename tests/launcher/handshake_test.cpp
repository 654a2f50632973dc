// The launcher's byte parsers on their own: the telnet input filter of the --stdio relay and the
// menu, and the rlogin handshake step, each fed its input split at every point.

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "tools/launcher/launcher_internal.h"

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
  FOptions.RloginServerUser = false;
}

}  // namespace
