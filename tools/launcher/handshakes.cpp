// What happens on a new connection before its door starts: a trusted proxy's PROXY header, the
// telnet negotiation a BBS does (RFC 854, 856, 857, 858), the rlogin handshake (RFC 1282) with its
// caller name and door code, and the filter that takes telnet commands out of a caller's input.

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <tuple>
#include <chrono>
#include <iterator>
#include <string_view>

#include "tools/launcher/launcher_internal.h"
#include "tools/launcher/proxy_header.h"

namespace launcher {

namespace {

constexpr std::size_t kRloginField = 128;  // longest user name or terminal type taken from a client

enum : unsigned char { kSe = 240, kSb = 250, kWill = 251, kDont = 254, kIac = 255 };

// The caller's name from an rlogin user field: a leading "[TAG]" (the calling BBS's tag) is taken
// off, and control characters go, since the drop file holds one value per line.
std::string NameFromField(const std::string& AField) {
  std::string Name = AField;
  if (!Name.empty() && Name[0] == '[') {
    const std::size_t Close = Name.find(']');
    if (Close != std::string::npos) Name.erase(0, Close + 1);
  }
  std::string Clean;
  for (char C : Name)
    if (static_cast<unsigned char>(C) >= 32 && C != 127) Clean += C;
  const std::size_t First = Clean.find_first_not_of(' ');
  if (First == std::string::npos) return {};
  return Clean.substr(First, Clean.find_last_not_of(' ') - First + 1);
}

std::string AddressText(std::uint32_t AAddress) {
  return std::to_string(AAddress >> 24) + "." + std::to_string((AAddress >> 16) & 255) + "." +
         std::to_string((AAddress >> 8) & 255) + "." + std::to_string(AAddress & 255);
}

void RefuseUntrustedHeader(const TCaller& ACaller) {
  Log("zelkit-launch: " + std::string(KindName(ACaller.Kind)) + " caller " + ACaller.Peer +
      " refused: PROXY header from an address not trusted to send one (--trust-proxy)");
}

}  // namespace

// Length of the telnet command at the start of ABytes (RFC 854: IAC and a command; option
// negotiations carry one more byte, subnegotiations run to IAC SE), or 0 when it is not complete yet.
std::size_t TelnetCommandLength(const unsigned char* ABytes, std::size_t ALen) {
  if (ALen < 2) return 0;
  const unsigned char Command = ABytes[1];
  if (Command >= kWill && Command <= kDont) return ALen >= 3 ? 3 : 0;  // WILL, WONT, DO, DONT option
  if (Command == kSb) {                                                 // SB ... IAC SE
    for (std::size_t I = 2; I + 1 < ALen; ++I)
      if (ABytes[I] == kIac && ABytes[I + 1] == kSe) return I + 2;
    return 0;
  }
  return 2;
}

// What a BBS does before it starts a door: it offers to echo, to suppress go-ahead and to send
// 8-bit data, asks the client to send 8-bit data, and takes the client's answers off the line
// (RFC 857, 858, 856). The door's own offers then find the options already in effect, so a
// client that follows the rules does not answer again and no negotiation bytes reach the door
// as keys, whether or not the door filters telnet commands itself.
bool SendTelnetOffers(int ASocket) {
  static const unsigned char kOffers[] = {255, 251, 1, 255, 251, 3, 255, 251, 0, 255, 253, 0};
  return send(ASocket, kOffers, sizeof kOffers, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(sizeof kOffers);
}

// Takes the client's answers that have arrived, never waiting. Only telnet commands are taken;
// anything the caller typed stays for the door. An unfinished command is taken off the socket as
// it comes, so the launcher's poll sleeps until more bytes arrive; only its start is kept (a
// subnegotiation's body matters not here) with its last byte, to see an IAC SE split between two
// reads. A client that sends more than kMaxNegotiationBytes of commands is given its door as it is:
// the launcher reads no more of it.
THandshakeResult TelnetAnswersStep(int ASocket, const TCaller& ACaller, TTelnetAnswers& AState) {
  // The answers awaited: DO or DONT to each WILL, WILL or WONT to the DO.
  static constexpr struct { bool ToDo; unsigned char Option; } kAwaited[] = {{false, 1}, {false, 3}, {false, 0}, {true, 0}};
  constexpr std::size_t kMaxNegotiationBytes = 4096;
  for (;;) {
    if (std::all_of(std::begin(AState.Answered), std::end(AState.Answered), [](bool A) { return A; })) return hsDone;
    if (AState.Taken > kMaxNegotiationBytes) return hsDone;
    unsigned char Peek[512];
    const ssize_t Got = recv(ASocket, Peek, sizeof Peek, MSG_PEEK | MSG_DONTWAIT);
    if (Got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return hsWait;
    if (Got <= 0) return hsDone;  // hung up: found out before the door starts
    // Else the caller's own keys: leave them for the door.
    if (AState.Partial.empty() && Peek[0] != kIac) {
      if (!StartsLikeProxyHeader(std::string_view(reinterpret_cast<const char*>(Peek), static_cast<std::size_t>(Got))))
        return hsDone;
      RefuseUntrustedHeader(ACaller);
      return hsFailed;
    }
    const std::string Seen = AState.Partial + std::string(reinterpret_cast<const char*>(Peek), static_cast<std::size_t>(Got));
    const std::size_t Length = TelnetCommandLength(reinterpret_cast<const unsigned char*>(Seen.data()), Seen.size());
    unsigned char Discard[sizeof Peek];
    if (Length == 0) {
      // All of it belongs to the command: take it, and keep what is needed to finish it.
      if (recv(ASocket, Discard, static_cast<std::size_t>(Got), MSG_DONTWAIT) != Got) return hsDone;
      AState.Taken += static_cast<std::size_t>(Got);
      AState.Partial = Seen.size() <= 3 ? Seen : Seen.substr(0, 2) + Seen.back();
      continue;
    }
    const std::size_t Take = Length - AState.Partial.size();
    if (recv(ASocket, Discard, Take, MSG_DONTWAIT) != static_cast<ssize_t>(Take)) return hsDone;
    AState.Taken += Take;
    const auto Command = static_cast<unsigned char>(Seen[1]);
    if (Length == 3 && Command >= kWill && Command <= kDont) {
      const bool IsWillWont = Command == kWill || Command == kWill + 1;
      for (std::size_t I = 0; I < std::size(kAwaited); ++I)
        if (kAwaited[I].ToDo == IsWillWont && kAwaited[I].Option == static_cast<unsigned char>(Seen[2])) AState.Answered[I] = true;
    }
    AState.Partial.clear();
  }
}

// RFC 1282: the client sends NUL, client-user NUL, server-user NUL, terminal-type/speed NUL, and
// the server answers one NUL. Bytes are taken off the socket only while they are known to belong
// to the handshake, so anything the client sends after it stays for the door.
THandshakeResult RloginStep(int ASocket, TCaller& ACaller, std::string& AState) {
  constexpr std::size_t kMax = 1 + 3 * (kRloginField + 1);
  char Peek[kMax];
  const ssize_t Got = recv(ASocket, Peek, kMax - AState.size(), MSG_PEEK);
  if (Got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return hsWait;
  auto Refuse = [&](const std::string& AWhy) {
    Log("zelkit-launch: rlogin caller " + ACaller.Peer + " refused: " + AWhy);
    return hsFailed;
  };
  if (Got <= 0) return Refuse("hung up during the handshake");
  const std::string Seen = AState + std::string(Peek, static_cast<std::size_t>(Got));
  if (StartsLikeProxyHeader(Seen)) return Refuse("PROXY header from an address not trusted to send one (--trust-proxy)");
  if (Seen[0] != '\0') return Refuse("malformed handshake (it does not start with NUL)");
  std::string Fields[3];
  std::size_t At = 1;
  for (std::string& Field : Fields) {
    const std::size_t End = Seen.find('\0', At);
    if (End == std::string::npos) {
      if (Seen.size() - At > kRloginField) return Refuse("malformed handshake (a field longer than " + std::to_string(kRloginField) + " bytes)");
      // Incomplete: everything seen so far belongs to the handshake.
      std::ignore = recv(ASocket, Peek, static_cast<std::size_t>(Got), 0);
      AState = Seen;
      return hsWait;
    }
    if (End - At > kRloginField) return Refuse("malformed handshake (a field longer than " + std::to_string(kRloginField) + " bytes)");
    Field = Seen.substr(At, End - At);
    At = End + 1;
  }
  std::ignore = recv(ASocket, Peek, At - AState.size(), 0);
  AState.clear();
  static const char kAccept = '\0';
  if (send(ASocket, &kAccept, 1, MSG_NOSIGNAL) != 1) return Refuse("hung up during the handshake");

  ACaller.Name = NameFromField(FOptions.RloginServerUser ? Fields[1] : Fields[0]);
  if (ACaller.Name.empty())
    ACaller.NameNote = std::string("the rlogin ") + (FOptions.RloginServerUser ? "server-user" : "client-user") +
                       " field (--rlogin-name " + (FOptions.RloginServerUser ? "server" : "client") + ") held no name";
  // "terminal-type/speed"; a terminal type of "xtrn=<code>" asks for one door directly.
  const std::string Terminal = Fields[2].substr(0, Fields[2].find('/'));
  std::string Lower = Terminal;
  for (char& C : Lower) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  if (Lower.rfind("xtrn=", 0) == 0) {
    // Door codes are letters, digits, "-" and "_"; anything else cannot name a door and must not
    // reach the log or the caller's screen as it came (a line break would forge a log line).
    ACaller.DoorCode = Terminal.substr(5);
    for (char& C : ACaller.DoorCode)
      if (!std::isalnum(static_cast<unsigned char>(C)) && C != '-' && C != '_') C = '?';
  }
  return hsDone;
}

THandshakeResult ProxyStep(int ASocket, TCaller& ACaller, std::string& AState) {
  if (!ACaller.AwaitingProxyHeader) return RloginStep(ASocket, ACaller, AState);
  char Peek[kProxyHeaderMax];
  const ssize_t Got = recv(ASocket, Peek, kProxyHeaderMax - AState.size(), MSG_PEEK);
  if (Got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return hsWait;
  auto Refuse = [&](const std::string& AWhy) {
    Log("zelkit-launch: " + std::string(KindName(ACaller.Kind)) + " connection from proxy " + ACaller.Peer + " refused: " + AWhy);
    return hsFailed;
  };
  // A proxy's health check connects and closes without a word: no caller, nothing to log.
  if (Got <= 0) return AState.empty() ? hsFailed : Refuse("hung up within its PROXY header");
  const std::string Seen = AState + std::string(Peek, static_cast<std::size_t>(Got));
  TProxyHeader Header;
  switch (ParseProxyHeader(Seen, Header)) {
    case ppBad:
      return Refuse(Header.Why);
    case ppIncomplete:
      // Every byte seen belongs to the header so far: take them, and wait for the rest.
      std::ignore = recv(ASocket, Peek, static_cast<std::size_t>(Got), 0);
      AState = Seen;
      return hsWait;
    case ppDone:
      break;
  }
  // Only the header is taken off the socket: what follows is the caller's (or rlogin's handshake).
  std::ignore = recv(ASocket, Peek, Header.Length - AState.size(), 0);
  AState.clear();
  ACaller.AwaitingProxyHeader = false;
  // LOCAL, UNKNOWN: the proxy's own connection, a health check, never a caller; closed without a
  // word, since a log line for every check would bury the callers' lines.
  if (Header.Local) return hsFailed;
  ACaller.Peer = AddressText(Header.Address) + ":" + std::to_string(Header.Port);
  ACaller.Address = Header.Address;
  if (!AddressAllowed(ACaller.Kind, ACaller.Address)) {
    Log("zelkit-launch: " + std::string(KindName(ACaller.Kind)) + " caller " + ACaller.Peer +
        " refused: address not allowed");
    return hsFailed;
  }
  return ACaller.Kind == ckRlogin ? RloginStep(ASocket, ACaller, AState) : hsDone;
}

bool SentUntrustedProxyHeader(int ASocket, const TCaller& ACaller) {
  char Peek[12];
  const ssize_t Got = recv(ASocket, Peek, sizeof Peek, MSG_PEEK | MSG_DONTWAIT);
  if (Got <= 0 || !StartsLikeProxyHeader(std::string_view(Peek, static_cast<std::size_t>(Got)))) return false;
  RefuseUntrustedHeader(ACaller);
  return true;
}

void TTelnetInput::Feed(const unsigned char* ABytes, std::size_t ALen, std::string& AData) {
  const std::string Block = TelnetFilter(FReceive, reinterpret_cast<const char*>(ABytes), ALen);
  for (char C : Block) {
    if (FAfterCr && (C == '\n' || C == '\0')) {
      FAfterCr = false;  // CR LF and CR NUL (RFC 854) are one Enter
      continue;
    }
    FAfterCr = C == '\r';
    AData += C == '\n' ? '\r' : C;
  }
}

}  // namespace launcher
