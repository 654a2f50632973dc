// zelkit-launch's front doors: listening sockets, the allow list, and the handshakes in progress,
// which are bounded in number and in time so that connections that never finish cannot crowd out
// a real caller.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>

#include "tools/launcher/launcher_internal.h"

namespace launcher {

std::vector<TListener> FListeners;

namespace {

using TClock = std::chrono::steady_clock;

struct TPending {
  int Fd = -1;
  TCaller Caller;
  THandshakeStep Step = nullptr;
  std::string State;  // the step's own bytes between calls
  TClock::time_point Deadline;
  std::size_t Sent = 0;           // handshake bytes seen so far (taken by the step or waiting on the socket)
  TClock::time_point LastSent;    // when Sent last grew (at first, when the connection was accepted)
};

std::deque<TPending> FPending;  // oldest first
int FSpareFd = -1;              // held in reserve so a caller can still be refused when descriptors run out
constexpr auto kAcceptPause = std::chrono::milliseconds(100);  // after an accept error other than a gone caller
constexpr std::uint32_t kLoopbackNet = 0x7f000000, kLoopbackMask = 0xff000000;

void DropPending(std::size_t AIndex, const std::string& AWhy) {
  TPending& P = FPending[AIndex];
  if (!AWhy.empty()) Log("zelkit-launch: " + std::string(KindName(P.Caller.Kind)) + " caller " + P.Caller.Peer + " " + AWhy);
  close(P.Fd);
  FPending.erase(FPending.begin() + static_cast<std::ptrdiff_t>(AIndex));
}

// Refusals summed per address and reason: the first of a kind is logged in full, the rest are
// counted and reported in one line per interval, so a flood cannot grow the log without bound.
constexpr auto kRefusalInterval = std::chrono::seconds(10);
struct TRefusalKey {
  std::uint32_t Address;
  std::string Reason;
  bool operator<(const TRefusalKey& AOther) const {
    return Address != AOther.Address ? Address < AOther.Address : Reason < AOther.Reason;
  }
};
std::map<TRefusalKey, long> FRefusals;  // refusals counted but not yet logged, by address and reason
TClock::time_point FRefusalsSince;

std::string AddressName(std::uint32_t AAddress) {
  in_addr Addr{};
  Addr.s_addr = htonl(AAddress);
  char Buf[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &Addr, Buf, sizeof Buf);
  return Buf;
}

std::string WithThousands(long AValue) {
  std::string Digits = std::to_string(AValue), Out;
  for (std::size_t I = 0; I < Digits.size(); ++I) {
    if (I > 0 && (Digits.size() - I) % 3 == 0) Out += ',';
    Out += Digits[I];
  }
  return Out;
}

// The longest queue of connections the system lets a listener have: callers who come in a burst
// wait there instead of being refused by the system.
int Backlog() {
  int Max = SOMAXCONN;
  std::ifstream In("/proc/sys/net/core/somaxconn");
  int Value = 0;
  if (In >> Value && Value > Max) Max = Value;
  return Max;
}

}  // namespace

const char* KindName(TCallerKind AKind) {
  switch (AKind) {
    case ckRlogin: return "rlogin";
    case ckWeb: return "web";
    case ckSsh: return "ssh";
    case ckTelnet: break;
  }
  return "telnet";
}

namespace {
// The web and SSH threads ask who may call while a reload on the main thread may be replacing the
// lists: every reader of --allow and --trust-proxy, and the reload's swap, hold this.
std::mutex FAddressListsLock;
}  // namespace

std::unique_lock<std::mutex> LockAddressLists() { return std::unique_lock<std::mutex>(FAddressListsLock); }

bool AddressAllowed(TCallerKind AKind, std::uint32_t AAddress) {
  const std::lock_guard<std::mutex> Lock(FAddressListsLock);
  if (FOptions.Allow.empty()) return AKind != ckRlogin || (AAddress & kLoopbackMask) == kLoopbackNet;
  for (const TOptions::TAllow& A : FOptions.Allow)
    if ((AAddress & A.Mask) == A.Network) return true;
  return false;
}

int MaxPerAddressNow() {
  const std::lock_guard<std::mutex> Lock(FAddressListsLock);
  return FOptions.MaxPerAddress;
}

bool ProxyTrusted(std::uint32_t AAddress) {
  const std::lock_guard<std::mutex> Lock(FAddressListsLock);
  for (const TOptions::TAllow& A : FOptions.TrustProxy)
    if ((AAddress & A.Mask) == A.Network) return true;
  return false;
}

bool AddressNamed(std::uint32_t AAddress) {
  const std::lock_guard<std::mutex> Lock(FAddressListsLock);
  for (const TOptions::TAllow& A : FOptions.Allow)
    if (A.Mask == ~std::uint32_t{0} && A.Network == AAddress) return true;
  return false;
}

std::string Printable(const std::string& AText) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string Out;
  for (char C : AText) {
    const auto B = static_cast<unsigned char>(C);
    if (B < 32 || B == 127 || (B >= 0x80 && B <= 0x9F) || B == '\\') {
      Out += "\\x";
      Out += kHex[B >> 4];
      Out += kHex[B & 15];
    } else {
      Out += C;
    }
  }
  return Out;
}

bool CallerMayConnect(int ASocket, const TCaller& ACaller) {
  if (AddressAllowed(ACaller.Kind, ACaller.Address)) return true;
  if (LogRefusal(ACaller, "address not allowed"))
    Log("zelkit-launch: " + std::string(KindName(ACaller.Kind)) + " caller " + ACaller.Peer +
      " refused: address not allowed" +
      (FOptions.Allow.empty() && ACaller.Kind == ckRlogin ? " (rlogin is open to loopback only without --allow)" : ""));
  close(ASocket);  // no words: a refused address learns nothing
  return false;
}

std::string PeerName(const sockaddr_in& ASin) {
  char Buf[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &ASin.sin_addr, Buf, sizeof Buf);
  return std::string(Buf) + ":" + std::to_string(ntohs(ASin.sin_port));
}

int OpenListener(int APort, int& ABoundPort) {
  in_addr Addr {};
  inet_pton(AF_INET, FOptions.Bind.c_str(), &Addr);  // checked with the options
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (Fd < 0) return -1;
  int One = 1;
  setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  sockaddr_in Sin {};
  Sin.sin_family = AF_INET;
  Sin.sin_port = htons(static_cast<std::uint16_t>(APort));
  Sin.sin_addr = Addr;
  if (bind(Fd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0 || listen(Fd, Backlog()) != 0) {
    int Saved = errno;
    close(Fd);
    errno = Saved;
    return -1;
  }
  socklen_t Len = sizeof Sin;
  getsockname(Fd, reinterpret_cast<sockaddr*>(&Sin), &Len);
  ABoundPort = ntohs(Sin.sin_port);
  if (FSpareFd < 0) FSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return Fd;
}

void CloseListeners() {
  for (TListener& L : FListeners) {
    if (L.Fd >= 0) close(L.Fd);
    L.Fd = -1;
  }
}

int TakeHandedSockets() {
  char** Names = nullptr;
  // The variables are taken away, so that no door started later thinks they are meant for it.
  const int Count = sd_listen_fds_with_names(1, &Names);
  if (Count < 0) {
    Log(std::string("zelkit-launch: the sockets handed in cannot be read: ") + std::strerror(-Count), llError);
    return -1;
  }
  bool ByName = Names != nullptr;
  for (int I = 0; ByName && I < Count; ++I)
    ByName = std::strcmp(Names[I], "telnet") == 0 || std::strcmp(Names[I], "rlogin") == 0;
  std::string Why;
  for (int I = 0; I < Count && Why.empty(); ++I) {
    const int Fd = SD_LISTEN_FDS_START + I;
    const std::string Which = "socket " + std::to_string(I + 1) + " of " + std::to_string(Count) +
                              (Names != nullptr ? std::string(" (") + Names[I] + ")" : std::string());
    if (!ByName && I >= 2) {
      Why = Which + ": without the names telnet and rlogin, the first is telnet, the second rlogin, and no more";
      break;
    }
    if (sd_is_socket_inet(Fd, AF_INET, SOCK_STREAM, 1, 0) <= 0) {
      Why = Which + " is not a listening IPv4 TCP socket (ListenStream=0.0.0.0:PORT)";
      break;
    }
    const int Flags = fcntl(Fd, F_GETFL);
    fcntl(Fd, F_SETFL, Flags | O_NONBLOCK);
    fcntl(Fd, F_SETFD, FD_CLOEXEC);
    sockaddr_in Sin {};
    socklen_t Len = sizeof Sin;
    getsockname(Fd, reinterpret_cast<sockaddr*>(&Sin), &Len);
    char Address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &Sin.sin_addr, Address, sizeof Address);
    const TCallerKind Kind = (ByName ? std::strcmp(Names[I], "rlogin") == 0 : I == 1) ? ckRlogin : ckTelnet;
    FListeners.push_back(TListener{Fd, Kind, ntohs(Sin.sin_port), {}, Address});
  }
  if (Names != nullptr) {
    for (int I = 0; I < Count; ++I) free(Names[I]);
    free(Names);
  }
  // The telnet front door comes first: the start-up line and the harnesses read it there.
  std::stable_partition(FListeners.begin(), FListeners.end(), [](const TListener& L) { return L.Kind == ckTelnet; });
  if (Why.empty() && Count > 0 && FListeners.front().Kind != ckTelnet) Why = "no telnet socket among those handed in";
  if (!Why.empty()) {
    Log("zelkit-launch: " + Why, llError);
    return -1;
  }
  if (Count > 0 && FSpareFd < 0) FSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return Count;
}

namespace {

// What the connection has sent towards its handshake: what its step has taken and what waits unread.
std::size_t BytesSent(const TPending& AP) {
  int Waiting = 0;
  if (ioctl(AP.Fd, FIONREAD, &Waiting) != 0 || Waiting < 0) Waiting = 0;
  return AP.State.size() + static_cast<std::size_t>(Waiting);
}

// Runs the connection's step; true when it is no longer pending (started, or failed and closed).
bool StepPending(std::deque<TPending>::iterator AIt) {
  const std::size_t Sent = BytesSent(*AIt);
  if (Sent > AIt->Sent) {
    AIt->Sent = Sent;
    AIt->LastSent = TClock::now();
  }
  const THandshakeResult Result = AIt->Step(AIt->Fd, AIt->Caller, AIt->State);
  if (Result == hsWait) return false;
  TPending Done = std::move(*AIt);
  FPending.erase(AIt);
  if (Result == hsFailed) {
    close(Done.Fd);
    return true;
  }
  const int Flags = fcntl(Done.Fd, F_GETFL);
  if (Flags >= 0) fcntl(Done.Fd, F_SETFL, Flags & ~O_NONBLOCK);
  StartCaller(Done.Fd, Done.Caller);
  return true;
}

// Makes room for one more pending connection from AAddress. Handshakes that have arrived complete
// are started first: a caller whose handshake is whole never gives way. Then the connection that
// has sent the least, and sent nothing for the longest, is closed; a newcomer whose address already
// has connections waiting can only push out its own, so one address cannot crowd out the others.
void MakeRoom(std::uint32_t AAddress) {
  for (std::size_t I = 0; I < FPending.size();) {
    pollfd Pfd{FPending[I].Fd, POLLIN, 0};
    if (poll(&Pfd, 1, 0) > 0 && StepPending(FPending.begin() + static_cast<std::ptrdiff_t>(I))) continue;
    ++I;
  }
  if (static_cast<int>(FPending.size()) < FOptions.MaxPending) return;
  const bool Own = std::any_of(FPending.begin(), FPending.end(), [AAddress](const TPending& P) { return P.Caller.Address == AAddress; });
  std::size_t Victim = FPending.size();
  for (std::size_t I = 0; I < FPending.size(); ++I) {
    const TPending& P = FPending[I];
    if (Own && P.Caller.Address != AAddress) continue;
    if (Victim == FPending.size() || P.Sent < FPending[Victim].Sent ||
        (P.Sent == FPending[Victim].Sent && P.LastSent < FPending[Victim].LastSent))
      Victim = I;
  }
  if (Victim == FPending.size()) return;
  const TPending& P = FPending[Victim];
  const std::string Why = "closed: its handshake gave way to a newer caller (--max-pending " + std::to_string(FOptions.MaxPending) + ")";
  if (LogRefusal(P.Caller, "handshake gave way (--max-pending)"))
    Log("zelkit-launch: " + std::string(KindName(P.Caller.Kind)) + " caller " + P.Caller.Peer + " " + Why);
  close(P.Fd);
  FPending.erase(FPending.begin() + static_cast<std::ptrdiff_t>(Victim));
}

}  // namespace

void AddPending(int ASocket, const TCaller& ACaller, THandshakeStep AStep) {
  if (static_cast<int>(FPending.size()) >= FOptions.MaxPending) MakeRoom(ACaller.Address);
  const int Flags = fcntl(ASocket, F_GETFL);
  if (Flags >= 0) fcntl(ASocket, F_SETFL, Flags | O_NONBLOCK);
  const TClock::time_point Now = TClock::now();
  FPending.push_back(TPending{ASocket, ACaller, AStep, {}, Now + std::chrono::seconds(FOptions.HandshakeSeconds), 0, Now});
  // A client sends its handshake right after connecting: what has already come is taken now,
  // without a turn of the poll loop in between.
  pollfd Pfd{ASocket, POLLIN, 0};
  if (poll(&Pfd, 1, 0) > 0) StepPending(FPending.end() - 1);
}

void AcceptOn(TListener& AListener) {
  // Every waiting connection is accepted before any door is started, so that starting doors never
  // keeps callers in the system's queue.
  std::vector<std::pair<int, TCaller>> Accepted;
  for (;;) {
    sockaddr_in Sin {};
    socklen_t Len = sizeof Sin;
    int Fd = accept4(AListener.Fd, reinterpret_cast<sockaddr*>(&Sin), &Len, SOCK_CLOEXEC);
    if (Fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;  // a caller gone before we answered
      if ((errno == EMFILE || errno == ENFILE) && FSpareFd >= 0) {
        // Out of descriptors: free the spare to take the caller, hang up, take the spare back.
        close(FSpareFd);
        Fd = accept4(AListener.Fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (Fd >= 0) {
          SayToCaller(Fd, "Sorry, the system is busy. Please call again later.\r\n");
          HangUp(Fd);
        }
        FSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        Log("zelkit-launch: out of descriptors, caller turned away");
        if (Accepted.empty()) continue;
        break;  // start the callers already taken: their descriptors come back when they end
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        // The caller stays in the backlog and the socket stays readable: wait a little instead of spinning.
        Log(std::string("zelkit-launch: accept: ") + std::strerror(errno));
        AListener.PausedUntil = TClock::now() + kAcceptPause;
      }
      break;
    }
    // The door's small writes go out at once instead of waiting for the caller's acknowledgement
    // (the door inherits the option with the socket).
    int One = 1;
    setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    TCaller Caller;
    Caller.Kind = AListener.Kind;
    Caller.Peer = PeerName(Sin);
    Caller.Address = ntohl(Sin.sin_addr.s_addr);
    if (ProxyTrusted(Caller.Address)) {
      // The caller behind the proxy meets the allow list once the PROXY header has named it.
      Caller.AwaitingProxyHeader = true;
      AddPending(Fd, Caller, ProxyStep);
      continue;
    }
    if (!CallerMayConnect(Fd, Caller)) continue;
    Accepted.emplace_back(Fd, Caller);
  }
  for (auto& [Fd, Caller] : Accepted) {
    // The last call of a --max-calls run may have closed this listener: later callers are not taken.
    if (AListener.Fd < 0) {
      close(Fd);
      continue;
    }
    if (AListener.Kind == ckRlogin) AddPending(Fd, Caller, RloginStep);
    else StartCaller(Fd, Caller);
  }
}

void PendingPollFds(std::vector<pollfd>& AFds) {
  for (const TPending& P : FPending) AFds.push_back({P.Fd, POLLIN, 0});
}

void ServicePending(const std::vector<pollfd>& AFds, std::size_t AFrom) {
  // Ready connections, by descriptor: steps may add or drop entries, so indexes do not last.
  std::vector<int> Ready;
  for (std::size_t I = AFrom; I < AFds.size(); ++I)
    if (AFds[I].revents != 0) Ready.push_back(AFds[I].fd);
  for (int Fd : Ready) {
    auto It = std::find_if(FPending.begin(), FPending.end(), [Fd](const TPending& P) { return P.Fd == Fd; });
    if (It != FPending.end()) StepPending(It);
  }
}

int PendingTimeoutMs() {
  if (FPending.empty()) return -1;
  TClock::time_point First = FPending.front().Deadline;
  for (const TPending& P : FPending) First = std::min(First, P.Deadline);
  const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(First - TClock::now()).count();
  return Left <= 0 ? 0 : static_cast<int>(Left) + 1;
}

void ExpirePending() {
  const TClock::time_point Now = TClock::now();
  for (std::size_t I = 0; I < FPending.size();) {
    if (FPending[I].Deadline <= Now)
      DropPending(I, LogRefusal(FPending[I].Caller, "no handshake in time")
                         ? "closed: no handshake within " + std::to_string(FOptions.HandshakeSeconds) + " s"
                         : "");
    else
      ++I;
  }
}

bool LogRefusal(const TCaller& ACaller, const std::string& AReason) {
  if (FRefusals.empty()) FRefusalsSince = TClock::now();
  auto [It, First] = FRefusals.try_emplace(TRefusalKey{ACaller.Address, AReason}, 0);
  if (!First) ++It->second;
  return First;
}

void FlushRefusals(bool AAll) {
  if (FRefusals.empty() || (!AAll && TClock::now() - FRefusalsSince < kRefusalInterval)) return;
  const long Seconds = std::chrono::duration_cast<std::chrono::seconds>(kRefusalInterval).count();
  for (const auto& [Key, Count] : FRefusals)
    if (Count > 0)
      Log("zelkit-launch: refused " + WithThousands(Count) + (Count == 1 ? " connection" : " connections") + " from " +
          AddressName(Key.Address) + " in the last " + std::to_string(Seconds) + " s: " + Key.Reason);
  FRefusals.clear();
}

int RefusalTimeoutMs() {
  if (FRefusals.empty()) return -1;
  const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(FRefusalsSince + kRefusalInterval - TClock::now()).count();
  return Left <= 0 ? 0 : static_cast<int>(Left) + 1;
}

void ClosePending() {
  while (!FPending.empty()) DropPending(0, "");
}

}  // namespace launcher
