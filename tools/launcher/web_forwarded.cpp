// Web callers behind a trusted proxy: who the caller is, from Forwarded (RFC 7239) or
// X-Forwarded-For, and the scheme and host the browser used, from the same headers.

#include <arpa/inet.h>

#include <cctype>
#include <vector>

#include "tools/launcher/web_internal.h"

namespace launcher {

namespace {

std::string_view Trim(std::string_view AText) {
  while (!AText.empty() && (AText.front() == ' ' || AText.front() == '\t')) AText.remove_prefix(1);
  while (!AText.empty() && (AText.back() == ' ' || AText.back() == '\t')) AText.remove_suffix(1);
  return AText;
}

std::vector<std::string_view> Split(std::string_view AText, char ASeparator) {
  std::vector<std::string_view> Parts;
  for (;;) {
    const std::size_t At = AText.find(ASeparator);
    Parts.push_back(Trim(AText.substr(0, At)));
    if (At == std::string_view::npos) return Parts;
    AText.remove_prefix(At + 1);
  }
}

std::string Lower(std::string_view AText) {
  std::string Out(AText);
  for (char& C : Out) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Out;
}

// One hop: "192.0.2.60", "192.0.2.60:4711", or anything a door server cannot name ("unknown", an
// obfuscated "_hidden", "[2001:db8::1]"). RFC 7239 quotes values with a port; the quotes are gone.
struct THop {
  bool V4 = false;
  std::uint32_t Address = 0;
  std::string Text;
};

THop ParseHop(std::string_view AText) {
  THop Hop;
  if (AText.size() >= 2 && AText.front() == '"' && AText.back() == '"') AText = AText.substr(1, AText.size() - 2);
  Hop.Text = std::string(AText.substr(0, 64));
  const std::size_t Colon = AText.find(':');
  if (Colon != std::string_view::npos && AText.find(':', Colon + 1) != std::string_view::npos) return Hop;  // IPv6
  const std::string Address(AText.substr(0, Colon));
  in_addr Addr {};
  if (inet_pton(AF_INET, Address.c_str(), &Addr) != 1) return Hop;
  Hop.V4 = true;
  Hop.Address = ntohl(Addr.s_addr);
  return Hop;
}

// The value of AName= in one element of Forwarded ("for=1.2.3.4;proto=https"), or "".
std::string_view Pair(std::string_view AElement, std::string_view AName) {
  for (std::string_view Item : Split(AElement, ';')) {
    const std::size_t Eq = Item.find('=');
    if (Eq != std::string_view::npos && Lower(Trim(Item.substr(0, Eq))) == AName) {
      std::string_view Value = Trim(Item.substr(Eq + 1));
      if (Value.size() >= 2 && Value.front() == '"' && Value.back() == '"') Value = Value.substr(1, Value.size() - 2);
      return Value;
    }
  }
  return {};
}

}  // namespace

TForwarded WebForwarded(std::string_view AForwarded, std::string_view AForwardedFor, std::string_view AProto,
                        std::string_view AHost, bool (*ATrusted)(std::uint32_t)) {
  TForwarded Result;
  std::vector<std::string_view> Hops;
  if (!Trim(AForwarded).empty()) {
    // Each proxy adds an element; the last one is from the proxy that called us.
    const std::vector<std::string_view> Elements = Split(AForwarded, ',');
    for (std::string_view Element : Elements)
      if (const std::string_view For = Pair(Element, "for"); !For.empty()) Hops.push_back(For);
    Result.Proto = Lower(Pair(Elements.back(), "proto"));
    Result.Host = Lower(Pair(Elements.back(), "host"));
  } else {
    if (!Trim(AForwardedFor).empty())
      for (std::string_view Hop : Split(AForwardedFor, ',')) Hops.push_back(Hop);
    if (!Trim(AProto).empty()) Result.Proto = Lower(Split(AProto, ',').back());
    if (!Trim(AHost).empty()) Result.Host = Lower(Split(AHost, ',').back());
  }
  if (Result.Proto != "http" && Result.Proto != "https") Result.Proto.clear();
  if (Hops.empty()) return Result;
  // From the right: hops that are trusted proxies passed the call on; the first other hop is the
  // caller. Hops further left were written by the caller and prove nothing.
  for (std::size_t I = Hops.size(); I-- > 0;) {
    const THop Hop = ParseHop(Hops[I]);
    if (!Hop.V4) {
      Result.Why = "the proxy names a caller that is not an IPv4 address (" + Hop.Text + ")";
      return Result;
    }
    if (I > 0 && ATrusted && ATrusted(Hop.Address)) continue;
    Result.Named = true;
    Result.Address = Hop.Address;
    Result.Peer = Hop.Text;
    return Result;
  }
  return Result;
}

}  // namespace launcher
