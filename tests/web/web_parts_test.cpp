// The web front door's parts on their own: who a request behind a trusted proxy comes from
// (Forwarded, X-Forwarded-*), and the relay's telnet client towards the door.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/comm_telnet.h"
#include "tools/launcher/telnet_client.h"
#include "tools/launcher/web_internal.h"

namespace {

// Behind a trusted proxy (127.0.0.9 here): the caller is the right-most hop that is not a trusted
// proxy, hops to its left were written by the caller; Forwarded wins over X-Forwarded-*.
TEST(WebForwarded, TheRightMostUntrustedHopIsTheCaller) {
  struct Case { std::string forwarded, for_, proto, host; bool named; std::string peer, want_proto, want_host, why; };
  const Case kCases[] = {
      {"", "192.0.2.60", "https", "", true, "192.0.2.60", "https", "", ""},
      {"", "6.6.6.6, 192.0.2.60", "", "", true, "192.0.2.60", "", "", ""},
      {"", "192.0.2.60, 127.0.0.9", "http, https", "", true, "192.0.2.60", "https", "", ""},
      {"", "127.0.0.9", "", "", true, "127.0.0.9", "", "", ""},
      {"", "", "gopher", "Bbs.Example.org", false, "", "", "bbs.example.org", ""},
      {"for=192.0.2.61;proto=https;host=bbs.example.org", "6.6.6.6", "http", "", true, "192.0.2.61", "https", "bbs.example.org", ""},
      {"for=6.6.6.6, for=\"192.0.2.62:4711\";proto=https", "", "", "", true, "192.0.2.62:4711", "https", "", ""},
      {"for=\"[2001:db8::1]:4711\"", "", "", "", false, "", "", "", "not an IPv4 address ([2001:db8::1]:4711)"},
      {"", "unknown", "", "", false, "", "", "", "not an IPv4 address (unknown)"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.forwarded + " | " + C.for_);
    const launcher::TForwarded F = launcher::WebForwarded(C.forwarded, C.for_, C.proto, C.host,
                                                          [](std::uint32_t AAddress) { return AAddress == 0x7f000009u; });
    EXPECT_EQ(C.named, F.Named);
    EXPECT_EQ(C.peer, F.Peer);
    EXPECT_EQ(C.want_proto, F.Proto);
    EXPECT_EQ(C.want_host, F.Host);
    EXPECT_NE(std::string::npos, F.Why.find(C.why)) << F.Why;
    EXPECT_EQ(C.why.empty(), F.Why.empty()) << F.Why;
  }
}

std::string Bytes(std::initializer_list<int> AValues) {
  std::string Out;
  for (int V : AValues) Out.push_back(static_cast<char>(V));
  return Out;
}

// What the relay makes of the door's bytes: the browser's share and the answers for the door.
struct TFed {
  std::string Data, Replies;
};
TFed Feed(launcher::TTelnetClient& AClient, const std::string& AIn) {
  TFed Out;
  AClient.Feed(reinterpret_cast<const unsigned char*>(AIn.data()), AIn.size(), Out.Data, Out.Replies);
  return Out;
}

constexpr int IAC = 255, WILL = 251, WONT = 252, DO = 253, DONT = 254, SB = 250, SE = 240;

TEST(WebTelnetClient, TakesCommandsOutAndAnswersOnceEach) {
  struct Case { const char* Name; std::string In, Data, Replies; };
  const std::string BbsOffers = Bytes({IAC, WILL, 1, IAC, WILL, 3, IAC, WILL, 0, IAC, DO, 0});
  const std::string DoorOffers = Bytes({IAC, WILL, 0, IAC, WILL, 1});
  const Case kCases[] = {
      {"plain text", "hello\r\n", "hello\r\n", ""},
      {"a doubled IAC is byte 255", "a" + Bytes({IAC, IAC}) + "b", "a\xff" "b", ""},
      {"the door offers echo", Bytes({IAC, WILL, 1}), "", Bytes({IAC, DO, 1})},
      {"an offer already taken is not answered again", Bytes({IAC, WILL, 1, IAC, WILL, 1}), "", Bytes({IAC, DO, 1})},
      {"an unknown offer is refused once", Bytes({IAC, WILL, 24, IAC, WILL, 24}), "", Bytes({IAC, DONT, 24})},
      {"asked for binary", Bytes({IAC, DO, 0}), "", Bytes({IAC, WILL, 0})},
      {"asked for window size: refused once", Bytes({IAC, DO, 31, IAC, DO, 31}), "", Bytes({IAC, WONT, 31})},
      {"echo on, then off", Bytes({IAC, WILL, 1, IAC, WONT, 1}), "", Bytes({IAC, DO, 1, IAC, DONT, 1})},
      {"off when already off", Bytes({IAC, WONT, 1, IAC, DONT, 0}), "", ""},
      {"binary on, then off", Bytes({IAC, DO, 0, IAC, DONT, 0}), "", Bytes({IAC, WILL, 0, IAC, WONT, 0})},
      {"a subnegotiation is dropped whole", "a" + Bytes({IAC, SB, 24, 1, IAC, IAC, 7, IAC, SE}) + "b", "ab", ""},
      {"two-byte commands are dropped", "a" + Bytes({IAC, 241, IAC, 249}) + "b", "ab", ""},
      // What a BBS offers before the door starts, then the door's own offers: answered once, in order.
      {"the BBS's offers, then the door's", BbsOffers + DoorOffers + "hi", "hi",
       Bytes({IAC, DO, 1, IAC, DO, 3, IAC, DO, 0, IAC, WILL, 0})},
      {"music passes untouched", "\x1b[NT120O4D16\x0e", "\x1b[NT120O4D16\x0e", ""},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.Name);
    launcher::TTelnetClient Whole;
    const TFed Want = Feed(Whole, C.In);
    EXPECT_EQ(C.Data, Want.Data);
    EXPECT_EQ(C.Replies, Want.Replies);
    // Split anywhere, the same bytes and answers come out.
    for (std::size_t K = 0; K <= C.In.size(); ++K) {
      SCOPED_TRACE("split at " + std::to_string(K));
      launcher::TTelnetClient Split;
      TFed A = Feed(Split, C.In.substr(0, K));
      const TFed B = Feed(Split, C.In.substr(K));
      EXPECT_EQ(C.Data, A.Data + B.Data);
      EXPECT_EQ(C.Replies, A.Replies + B.Replies);
    }
  }
}

TEST(WebTelnetClient, KeysHaveByte255Doubled) {
  struct Case { std::string In, Want; };
  const Case kCases[] = {{"", ""}, {"abc", "abc"}, {"\xff", "\xff\xff"}, {"a\xff\xff" "b", "a\xff\xff\xff\xff" "b"},
                         {"\x1b[A", "\x1b[A"}};
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.In);
    EXPECT_EQ(C.Want, TelnetEscape(C.In.data(), C.In.size()));
  }
}

}  // namespace
