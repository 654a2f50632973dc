// The receive-side telnet command filter: a byte-at-a-time state machine that keeps the caller's
// data and drops every command, with its state carried across received blocks; and the send-side
// escape of byte 255.

#include "comm/comm_telnet.h"

namespace {

constexpr unsigned char IAC = 255;
constexpr unsigned char SB = 250;   // subnegotiation begin (RFC 855)
constexpr unsigned char SE = 240;   // subnegotiation end
constexpr unsigned char WILL = 251;  // WILL, WONT, DO, DONT: 251 to 254, each followed by an option

}  // namespace

std::string TelnetFilter(TTelnetReceive& AState, const char* AData, std::size_t ALength) {
  std::string Out;
  Out.reserve(ALength + 1);
  for (std::size_t In = 0; In < ALength; ++In) {
    const auto Byte = static_cast<unsigned char>(AData[In]);
    // A subnegotiation that has run to the limit is given up: from here on the bytes are data again,
    // so a client that never closes one cannot swallow the caller's later keys.
    if (AState.State == tsSub && AState.SubLength >= TELNET_SUBNEGOTIATION_LIMIT) AState.State = tsData;
    switch (AState.State) {
      case tsData:
        if (Byte == IAC) {
          AState.State = tsCommand;
        } else {
          Out.push_back(AData[In]);
        }
        break;
      case tsSubIac:
        if (Byte == SE) {
          AState.State = tsData;
          break;
        }
        if (Byte == IAC) {  // a data byte 255 inside the subnegotiation
          AState.State = tsSub;
          ++AState.SubLength;
          break;
        }
        // Any other command cannot occur inside a subnegotiation (RFC 855): the sender has moved
        // on without IAC SE, so the subnegotiation ends here and this byte is a command of its own.
        [[fallthrough]];
      case tsCommand:
        if (Byte == IAC) {
          Out.push_back(static_cast<char>(IAC));  // IAC IAC: the data byte 255 (RFC 854)
          AState.State = tsData;
        } else if (Byte == SB) {
          AState.State = tsSub;
          AState.SubLength = 0;
        } else if (Byte >= WILL) {
          AState.State = tsOption;
        } else if (Byte >= SE) {
          AState.State = tsData;  // a two-byte command: NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, SE
        } else {
          // No command at all: a bare 255 from a client that does not escape it, and its follower.
          Out.push_back(static_cast<char>(IAC));
          Out.push_back(AData[In]);
          AState.State = tsData;
        }
        break;
      case tsOption:
        AState.State = tsData;
        break;
      case tsSub:
        if (Byte == IAC) {
          AState.State = tsSubIac;
        } else {
          ++AState.SubLength;
        }
        break;
    }
  }
  return Out;
}

bool TelnetReleaseLoneIac(TTelnetReceive& AState) {
  if (AState.State != tsCommand) return false;
  AState.State = tsData;
  return true;
}

std::string TelnetEscape(const char* AData, std::size_t ALength) {
  std::string Escaped;
  Escaped.reserve(ALength + 8);
  for (std::size_t I = 0; I < ALength; ++I) {
    Escaped.push_back(AData[I]);
    if (static_cast<unsigned char>(AData[I]) == IAC) Escaped.push_back(AData[I]);
  }
  return Escaped;
}
