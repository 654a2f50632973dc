// zelkit-launch behind proxies: PROXY headers on the telnet and rlogin ports, taken only from
// --trust-proxy addresses, and the caller's address they carry in the log and the drop file.

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/launcher/launcher_harness.h"
#include "tests/support/test_files.h"

namespace {

using namespace launcher_test;
using namespace std::string_literals;
using zelkit_test::ReadFile;
using zelkit_test::TempDir;

const std::string kNul(1, '\0');
const std::string kV2Signature = "\r\n\r\n"s + '\0' + "\r\nQUIT\n";

// Loopback addresses play the hosts: 127.0.0.9 is the proxy, 127.0.0.1 anyone else.
TEST(BehindAProxy, HeadersNameTheCallerOnlyFromATrustedProxy) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--door", TEST_DOOR_PATH, "--port", "0", "--rlogin-port", "0", "--trust-proxy", "127.0.0.9"});
  const int Port = L.Port(), RloginPort = L.RloginPort();
  ASSERT_GT(RloginPort, 0) << L.Log();

  struct Good { std::string title; bool rlogin; std::string bytes, greeting, log; };
  const Good kGood[] = {
      {"telnet, version 1", false, "PROXY TCP4 127.0.0.4 127.0.0.9 40000 2323\r\n", "hello Guest 1 on node 1\r\n",
       "node 1: telnet call from 127.0.0.4:40000"},
      {"rlogin, version 2", true,
       kV2Signature + "\x21\x11\x00\x0c\x7f\x00\x00\x05\x7f\x00\x00\x09\x9c\x41\x09\xd1"s + RloginHandshake("ann", "ann", "ansi"),
       kNul + "hello ann on node 1\r\n", "node 1: rlogin call from 127.0.0.5:40001 (ann)"},
  };
  for (const auto& C : kGood) {
    SCOPED_TRACE(C.title);
    Caller Call(C.rlogin ? RloginPort : Port, "127.0.0.9");
    Call.Send(C.bytes);
    const std::string Greeting = Call.ReadUntil(C.greeting);
    EXPECT_NE(std::string::npos, Greeting.find(C.greeting)) << Greeting;
    EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
    // The drop file's twelfth line is the caller's address, not the proxy's.
    const auto Lines = SplitCrLf(ReadFile(Dir.Path() / "nodes/node1/DOOR32.SYS"));
    ASSERT_EQ(12u, Lines.size());
    EXPECT_EQ(C.log.substr(C.log.find("from ") + 5, 9), Lines[11]);
    Call.Send("q");
    EXPECT_TRUE(Call.ReadsEndOfFile());
    EXPECT_TRUE(L.WaitForLog("node 1: door ended")) << L.Log();
  }

  struct Bad { std::string title; bool rlogin; std::string from, bytes; bool hang_up; std::string log; };
  const Bad kBad[] = {
      {"telnet from an untrusted address", false, "127.0.0.1", "PROXY TCP4 127.0.0.4 127.0.0.9 1 2\r\n", false,
       "telnet caller 127.0.0.1:"},
      {"rlogin from an untrusted address", true, "127.0.0.1", kV2Signature + "\x21\x11\x00\x0c"s + std::string(12, '\1'),
       false, "rlogin caller 127.0.0.1:"},
      {"truncated", false, "127.0.0.9", "PROXY TCP4 127.0.0.4", true, "refused: hung up within its PROXY header"},
      {"oversized", false, "127.0.0.9", "PROXY TCP4 " + std::string(200, '7'), false,
       "refused: oversized PROXY header (no line end within 107 bytes)"},
      {"version 2, unknown family", true, "127.0.0.9", kV2Signature + "\x21\x51\x00\x0c"s + std::string(12, '\1'),
       false, "refused: PROXY header with unknown address family 5"},
      {"no header from the proxy", false, "127.0.0.9", "hello\r\n", false, "refused: no PROXY header"},
  };
  for (const auto& C : kBad) {
    SCOPED_TRACE(C.title);
    Caller Call(C.rlogin ? RloginPort : Port, C.from);
    Call.Send(C.bytes);
    if (C.hang_up) shutdown(Call.Fd(), SHUT_WR);
    const std::string Said = Call.ReadAll();
    EXPECT_EQ(std::string::npos, Said.find("hello")) << Said;
    EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
  }
  // One such line for each untrusted caller, telnet and rlogin.
  const std::string Log = L.Log(), Untrusted = "refused: PROXY header from an address not trusted to send one (--trust-proxy)";
  std::size_t Count = 0;
  for (std::size_t At = Log.find(Untrusted); At != std::string::npos; At = Log.find(Untrusted, At + 1)) ++Count;
  EXPECT_EQ(2u, Count) << Log;
}

}  // namespace
