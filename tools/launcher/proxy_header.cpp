// The PROXY protocol header parser: version 1 ("PROXY TCP4 src dst sport dport" CR LF) and
// version 2 (a 12-byte signature, command, family, length, addresses, extensions).

#include "tools/launcher/proxy_header.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace launcher {

namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::size_t kV1Max = 107;  // the longest version 1 line, CR LF included
constexpr char kV2SignatureBytes[] = "\r\n\r\n\0\r\nQUIT\n";
constexpr std::string_view kV2Signature(kV2SignatureBytes, 12);
constexpr std::size_t kV2Fixed = 16;  // signature, version and command, family, length

enum : unsigned { kCmdLocal = 0, kCmdProxy = 1 };
enum : unsigned { kFamUnspec = 0, kFamInet = 1, kFamInet6 = 2, kFamUnix = 3 };
enum : unsigned { kTransportStream = 1 };

TProxyParse Bad(TProxyHeader& AHeader, std::string AWhy) {
  AHeader.Why = std::move(AWhy);
  return ppBad;
}

bool IsPrefixOf(std::string_view AShort, std::string_view ALong) {
  return ALong.substr(0, std::min(AShort.size(), ALong.size())) == AShort.substr(0, std::min(AShort.size(), ALong.size()));
}

// A version 2 address block holds an IPv6 address; an IPv4-mapped one (::ffff:a.b.c.d) is a caller
// the door server can name.
bool MappedV4(const unsigned char* ABytes, std::uint32_t& AAddress) {
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(ABytes, kMapped, sizeof kMapped) != 0) return false;
  AAddress = (std::uint32_t{ABytes[12]} << 24) | (std::uint32_t{ABytes[13]} << 16) | (std::uint32_t{ABytes[14]} << 8) | ABytes[15];
  return true;
}

// A port in a version 1 line: 1 to 5 decimal digits, at most 65535.
bool ParsePort(std::string_view AText, std::uint16_t& APort) {
  if (AText.empty() || AText.size() > 5) return false;
  unsigned Value = 0;
  for (char C : AText) {
    if (C < '0' || C > '9') return false;
    Value = Value * 10 + static_cast<unsigned>(C - '0');
  }
  if (Value > 65535) return false;
  APort = static_cast<std::uint16_t>(Value);
  return true;
}

TProxyParse ParseV1(std::string_view ABytes, TProxyHeader& AHeader) {
  const std::size_t Lf = ABytes.substr(0, kV1Max).find('\n');
  if (Lf == std::string_view::npos) {
    if (ABytes.size() >= kV1Max) return Bad(AHeader, "oversized PROXY header (no line end within " + std::to_string(kV1Max) + " bytes)");
    return ppIncomplete;
  }
  if (ABytes[Lf - 1] != '\r') return Bad(AHeader, "malformed PROXY header (its line ends without CR)");
  const std::string_view Line = ABytes.substr(kV1Prefix.size(), Lf - 1 - kV1Prefix.size());
  std::vector<std::string_view> Fields;
  for (std::size_t At = 0;;) {
    const std::size_t Space = Line.find(' ', At);
    Fields.push_back(Line.substr(At, Space == std::string_view::npos ? std::string_view::npos : Space - At));
    if (Space == std::string_view::npos || Fields.size() > 5) break;
    At = Space + 1;
  }
  AHeader.Length = Lf + 1;
  // UNKNOWN: the proxy could not say (or it is the proxy's own connection); the rest is ignored.
  if (Fields[0] == "UNKNOWN") {
    AHeader.Local = true;
    return ppDone;
  }
  if (Fields[0] != "TCP4" && Fields[0] != "TCP6") return Bad(AHeader, "malformed PROXY header (unknown protocol)");
  if (Fields.size() != 5) return Bad(AHeader, "malformed PROXY header (not five fields)");
  const std::string Source(Fields[1]), Destination(Fields[2]);
  std::uint16_t DestinationPort = 0;
  if (!ParsePort(Fields[3], AHeader.Port) || !ParsePort(Fields[4], DestinationPort))
    return Bad(AHeader, "malformed PROXY header (a port is not a number from 0 to 65535)");
  if (Fields[0] == "TCP4") {
    in_addr Src {}, Dst {};
    if (inet_pton(AF_INET, Source.c_str(), &Src) != 1 || inet_pton(AF_INET, Destination.c_str(), &Dst) != 1)
      return Bad(AHeader, "malformed PROXY header (an address is not IPv4)");
    AHeader.Address = ntohl(Src.s_addr);
    return ppDone;
  }
  in6_addr Src {}, Dst {};
  if (inet_pton(AF_INET6, Source.c_str(), &Src) != 1 || inet_pton(AF_INET6, Destination.c_str(), &Dst) != 1)
    return Bad(AHeader, "malformed PROXY header (an address is not IPv6)");
  if (!MappedV4(Src.s6_addr, AHeader.Address)) return Bad(AHeader, "PROXY header names an IPv6 caller (IPv4 only here)");
  return ppDone;
}

TProxyParse ParseV2(std::string_view ABytes, TProxyHeader& AHeader) {
  if (ABytes.size() < kV2Fixed) return ppIncomplete;
  const auto* Bytes = reinterpret_cast<const unsigned char*>(ABytes.data());
  if ((Bytes[12] >> 4) != 2) return Bad(AHeader, "PROXY header of unknown version " + std::to_string(Bytes[12] >> 4));
  const unsigned Command = Bytes[12] & 0x0f, Family = Bytes[13] >> 4, Transport = Bytes[13] & 0x0f;
  if (Command != kCmdLocal && Command != kCmdProxy) return Bad(AHeader, "PROXY header with unknown command " + std::to_string(Command));
  const std::size_t Length = kV2Fixed + ((std::size_t{Bytes[14]} << 8) | Bytes[15]);
  if (Length > kProxyHeaderMax)
    return Bad(AHeader, "oversized PROXY header (" + std::to_string(Length) + " bytes, at most " + std::to_string(kProxyHeaderMax) + ")");
  if (ABytes.size() < Length) return ppIncomplete;
  AHeader.Length = Length;
  const std::size_t Block = Length - kV2Fixed;
  const unsigned char* Addresses = Bytes + kV2Fixed;
  // LOCAL: the proxy's own connection, such as a health check; UNSPEC: the proxy does not say.
  if (Command == kCmdLocal || Family == kFamUnspec) {
    AHeader.Local = true;
    return ppDone;
  }
  if (Family != kFamInet && Family != kFamInet6 && Family != kFamUnix)
    return Bad(AHeader, "PROXY header with unknown address family " + std::to_string(Family));
  if (Family == kFamUnix) return Bad(AHeader, "PROXY header names a local-socket caller (no address)");
  if (Transport != kTransportStream) return Bad(AHeader, "PROXY header for a connection that is not a stream");
  if (Family == kFamInet) {
    if (Block < 12) return Bad(AHeader, "malformed PROXY header (address block too short)");
    AHeader.Address = (std::uint32_t{Addresses[0]} << 24) | (std::uint32_t{Addresses[1]} << 16) |
                      (std::uint32_t{Addresses[2]} << 8) | Addresses[3];
    AHeader.Port = static_cast<std::uint16_t>((Addresses[8] << 8) | Addresses[9]);
    return ppDone;
  }
  if (Block < 36) return Bad(AHeader, "malformed PROXY header (address block too short)");
  if (!MappedV4(Addresses, AHeader.Address)) return Bad(AHeader, "PROXY header names an IPv6 caller (IPv4 only here)");
  AHeader.Port = static_cast<std::uint16_t>((Addresses[32] << 8) | Addresses[33]);
  return ppDone;
}

}  // namespace

TProxyParse ParseProxyHeader(std::string_view ABytes, TProxyHeader& AHeader) {
  AHeader = TProxyHeader{};
  if (ABytes.empty()) return ppIncomplete;
  if (IsPrefixOf(kV1Prefix, ABytes)) return ABytes.size() < kV1Prefix.size() ? ppIncomplete : ParseV1(ABytes, AHeader);
  if (IsPrefixOf(kV2Signature, ABytes)) return ABytes.size() < kV2Signature.size() ? ppIncomplete : ParseV2(ABytes, AHeader);
  return Bad(AHeader, "no PROXY header");
}

bool StartsLikeProxyHeader(std::string_view ABytes) {
  return ABytes.substr(0, kV1Prefix.size()) == kV1Prefix || ABytes.substr(0, kV2Signature.size()) == kV2Signature;
}

}  // namespace launcher
