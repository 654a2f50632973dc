// zelkit-launch's front doors: listening sockets, the allow list, and the handshakes in progress,
// which are bounded in number and in time so that connections that never finish cannot crowd out
// a real caller.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>

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

bool AddressAllowed(TCallerKind AKind, std::uint32_t AAddress) {
  if (FOptions.Allow.empty()) return AKind != ckRlogin || (AAddress & kLoopbackMask) == kLoopbackNet;
  for (const TOptions::TAllow& A : FOptions.Allow)
    if ((AAddress & A.Mask) == A.Network) return true;
  return false;
}

bool ProxyTrusted(std::uint32_t AAddress) {
  for (const TOptions::TAllow& A : FOptions.TrustProxy)
    if ((AAddress & A.Mask) == A.Network) return true;
  return false;
}

bool CallerMayConnect(int ASocket, const TCaller& ACaller) {
  if (AddressAllowed(ACaller.Kind, ACaller.Address)) return true;
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
  if (bind(Fd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0 || listen(Fd, 128) != 0) {
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

void AddPending(int ASocket, const TCaller& ACaller, THandshakeStep AStep) {
  if (static_cast<int>(FPending.size()) >= FOptions.MaxPending)
    DropPending(0, "closed: its handshake gave way to a newer caller (--max-pending " +
                       std::to_string(FOptions.MaxPending) + ")");
  const int Flags = fcntl(ASocket, F_GETFL);
  if (Flags >= 0) fcntl(ASocket, F_SETFL, Flags | O_NONBLOCK);
  FPending.push_back(TPending{ASocket, ACaller, AStep, {}, TClock::now() + std::chrono::seconds(FOptions.HandshakeSeconds)});
}

void AcceptOn(TListener& AListener) {
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
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        // The caller stays in the backlog and the socket stays readable: wait a little instead of spinning.
        Log(std::string("zelkit-launch: accept: ") + std::strerror(errno));
        AListener.PausedUntil = TClock::now() + kAcceptPause;
      }
      return;
    }
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
    if (AListener.Kind == ckRlogin) AddPending(Fd, Caller, RloginStep);
    else StartCaller(Fd, Caller);
    // The last call of a --max-calls run may have closed this listener.
    if (AListener.Fd < 0) return;
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
    if (It == FPending.end()) continue;
    const THandshakeResult Result = It->Step(It->Fd, It->Caller, It->State);
    if (Result == hsWait) continue;
    TPending Done = std::move(*It);
    FPending.erase(It);
    if (Result == hsFailed) {
      close(Done.Fd);
      continue;
    }
    const int Flags = fcntl(Done.Fd, F_GETFL);
    if (Flags >= 0) fcntl(Done.Fd, F_SETFL, Flags & ~O_NONBLOCK);
    StartCaller(Done.Fd, Done.Caller);
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
      DropPending(I, "closed: no handshake within " + std::to_string(FOptions.HandshakeSeconds) + " s");
    else
      ++I;
  }
}

void ClosePending() {
  while (!FPending.empty()) DropPending(0, "");
}

}  // namespace launcher
