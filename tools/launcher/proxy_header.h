#pragma once
// PROXY protocol headers (version 1 text, version 2 binary) that a load balancer puts in front of a
// caller's own bytes to say who the caller is; a pure parser, shared by the telnet and rlogin doors.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

// Version 1 lines are at most 107 bytes; version 2 headers may carry extensions after the
// addresses, and nothing a door server needs runs longer than this.
constexpr std::size_t kProxyHeaderMax = 536;

enum TProxyParse : std::uint8_t { ppIncomplete, ppDone, ppBad };

struct TProxyHeader {
  std::size_t Length = 0;      // ppDone: bytes the header takes; the caller's own bytes follow
  bool Local = false;          // the proxy's own connection (a health check): no caller address in it
  std::uint32_t Address = 0;   // the caller's IPv4 address, host byte order
  std::uint16_t Port = 0;      // the caller's port
  std::string Why;             // ppBad: what is wrong with it, for the log
};

// Reads the header at the start of ABytes (the bytes received so far). ppIncomplete means every
// byte seen may still be part of a valid header and more must come; no input ever gives anything
// but these three answers, and more than kProxyHeaderMax bytes without a whole header is ppBad.
TProxyParse ParseProxyHeader(std::string_view ABytes, TProxyHeader& AHeader);
// True when ABytes starts the way a PROXY header does ("PROXY " or the version 2 signature).
bool StartsLikeProxyHeader(std::string_view ABytes);

}  // namespace launcher
