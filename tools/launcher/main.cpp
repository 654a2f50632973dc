// zelkit-launch: a door server, and a stand-in for a BBS when trying a door. It listens for telnet
// callers (and, with --rlogin-port, for callers that BBSes send over rlogin) and, for every caller,
// takes the lowest free node, writes that node's DOOR32.SYS and starts the door on the connected
// socket, the way a BBS hands a caller to a door. When the door ends, the launcher hangs up.
//
// Single-threaded: one poll loop over the listening sockets, the handshakes in progress, the
// callers whose telnet answers are awaited, the start-up pipes of callers' own processes and a
// self-pipe that the SIGCHLD, SIGINT and SIGTERM handlers write to. Nothing in it waits on one
// caller; what may take a caller a while (the menu, a pseudo-terminal relay) runs in that caller's
// own process. The web front door (--web) and the SSH front door (--ssh-port) each run on a thread
// of their own and hand each caller to this loop through the self-pipe; nodes and doors stay here.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tools/launcher/launcher_internal.h"

using namespace launcher;

namespace {

constexpr auto kTermGrace = std::chrono::seconds(5);  // SIGTERM to SIGKILL when the launcher stops

int FWake[2] = {-1, -1};  // self-pipe: signal handlers write, the poll loop reads
volatile sig_atomic_t FChildEnded = 0;
volatile sig_atomic_t FStopRequests = 0;
volatile sig_atomic_t FReloadRequests = 0;
volatile sig_atomic_t FStopSignal = 0;  // the last of SIGTERM, SIGHUP, SIGINT that asked to stop
bool FStopping = false;
bool FKilled = false;
std::chrono::steady_clock::time_point FKillDeadline;

void OnSignal(int ASignal) {
  int SavedErrno = errno;
  if (ASignal == SIGCHLD) FChildEnded = 1;
  else if (ASignal == SIGHUP && !FOptions.ConfigPath.empty()) FReloadRequests = FReloadRequests + 1;
  else {
    FStopSignal = ASignal;
    FStopRequests = FStopRequests + 1;
  }
  char B = 0;
  std::ignore = write(FWake[1], &B, 1);
  errno = SavedErrno;
}

void InstallSignals() {
  struct sigaction Sa {};
  Sa.sa_handler = OnSignal;
  sigemptyset(&Sa.sa_mask);
  Sa.sa_flags = SA_NOCLDSTOP;  // no SA_RESTART: poll returns EINTR and the loop looks at the flags
  sigaction(SIGCHLD, &Sa, nullptr);
  sigaction(SIGINT, &Sa, nullptr);
  sigaction(SIGTERM, &Sa, nullptr);
  // With --config, SIGHUP reads the file again; without, it ends the launcher as SIGTERM does:
  // closing the sysop's terminal ends every door and hangs up every caller, never orphans them.
  sigaction(SIGHUP, &Sa, nullptr);
  // A caller who hangs up while being written to must not end the launcher.
  signal(SIGPIPE, SIG_IGN);
}

// Descriptors 0-2 must be taken, so that no socket the launcher opens lands on them and is then
// overwritten when the door's standard streams are set up.
void ReserveStandardFds() {
  for (int Fd = 0; Fd <= 2; ++Fd)
    if (fcntl(Fd, F_GETFD) == -1 && errno == EBADF) std::ignore = open("/dev/null", O_RDWR);
}

void BeginStop(const std::string& AWhy) {
  if (FStopping) return;
  FStopping = true;
  if (!AWhy.empty()) Log("zelkit-launch: " + AWhy + ", ending every door and hanging up every caller");
  CloseListeners();
  ClosePending();
  EndNegotiations();
  SignalDoors(SIGTERM);
  FKillDeadline = std::chrono::steady_clock::now() + kTermGrace;
}

int Serve() {
  sig_atomic_t StopsSeen = 0;
  sig_atomic_t ReloadsSeen = 0;
  for (;;) {
    if (FReloadRequests != ReloadsSeen) {
      ReloadsSeen = FReloadRequests;
      if (!FStopping) {
        ReloadConfig();
        if (FOptions.SshPort >= 0) SshTakeOptions();
      }
    }
    if (FChildEnded) {
      FChildEnded = 0;
      ReapDoors();
    }
    if (FStopRequests != StopsSeen) {
      // A second request while stopping does not wait for the grace period.
      if (FStopping && !FKilled) {
        SignalDoors(SIGKILL);
        FKilled = true;
      }
      StopsSeen = FStopRequests;
      const char* Abbrev = sigabbrev_np(FStopSignal);
      BeginStop(std::string("SIG") + (Abbrev != nullptr ? Abbrev : "?") + " received");
    }
    if (FOptions.MaxCalls > 0 && FCallsEnded >= FOptions.MaxCalls) BeginStop("");
    if (FStopping && !AnyDoorRunning()) {
      FlushRefusals(true);
      return 0;
    }
    ExpirePending();
    ExpireNegotiations();
    FlushRefusals(false);

    int Timeout = PendingTimeoutMs();
    auto Sooner = [&Timeout](int AMs) { Timeout = Timeout < 0 ? AMs : std::min(Timeout, AMs); };
    if (const int Answers = NodeTimeoutMs(); Answers >= 0) Sooner(Answers);
    if (const int Refusals = RefusalTimeoutMs(); Refusals >= 0) Sooner(Refusals);
    if (FStopping && !FKilled) {
      auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(FKillDeadline - std::chrono::steady_clock::now());
      if (Left.count() <= 0) {
        Log("zelkit-launch: doors still running after SIGTERM, sending SIGKILL");
        SignalDoors(SIGKILL);
        FKilled = true;
      } else {
        Sooner(static_cast<int>(Left.count()) + 1);
      }
    }

    std::vector<pollfd> Fds = {{FWake[0], POLLIN, 0}};
    const auto Now = std::chrono::steady_clock::now();
    for (const TListener& L : FListeners) {
      const auto Paused = std::chrono::duration_cast<std::chrono::milliseconds>(L.PausedUntil - Now).count();
      if (Paused > 0) Sooner(static_cast<int>(Paused) + 1);
      Fds.push_back({L.Fd >= 0 && !FStopping && Paused <= 0 ? L.Fd : -1, POLLIN, 0});
    }
    std::vector<int> Reporting;  // node of each start-up pipe or caller watched, in the order of Fds
    const std::size_t ReportsFrom = Fds.size();
    NodePollFds(Fds, Reporting);
    const std::size_t PendingFrom = Fds.size();
    PendingPollFds(Fds);
    const std::size_t StatusAt = Fds.size();
    Fds.push_back({StatusFd(), POLLIN, 0});

    int Ready = poll(Fds.data(), Fds.size(), Timeout);
    if (Ready < 0) {
      if (errno == EINTR) continue;
      Log(std::string("zelkit-launch: poll: ") + std::strerror(errno));
      return kExitFailure;
    }
    if (Fds[0].revents & POLLIN) {
      char Drain[64];
      while (read(FWake[0], Drain, sizeof Drain) > 0) {}
      if (FOptions.WebPort >= 0) ServiceWebCalls(FStopping);
      if (FOptions.SshPort >= 0) ServiceSshCalls(FStopping);
    }
    for (std::size_t I = 0; I < Reporting.size(); ++I)
      if (Fds[ReportsFrom + I].revents != 0) ServiceNode(Reporting[I]);
    if (Fds[StatusAt].revents & POLLIN) AnswerStatus();
    if (!FStopping) ServicePending(Fds, PendingFrom);
    for (std::size_t I = 0; I < FListeners.size(); ++I)
      if (!FStopping && FListeners[I].Fd >= 0 && (Fds[1 + I].revents & POLLIN)) AcceptOn(FListeners[I]);
  }
}

bool Listen(int APort, TCallerKind AKind) {
  int Bound = 0;
  int Fd = OpenListener(APort, Bound);
  if (Fd < 0) {
    const int Err = errno;
    std::fprintf(stderr, "zelkit-launch: cannot listen for %s callers on %s:%d: %s\n", KindName(AKind),
                 FOptions.Bind.c_str(), APort, std::strerror(Err));
    if (Err == EADDRINUSE)
      std::fprintf(stderr, "zelkit-launch: another program has that port; choose another, or 0 for any free port (%s 0)\n",
                   AKind == ckRlogin ? "--rlogin-port" : "--port");
    if (Err == EACCES && APort < 1024)
      std::fprintf(stderr, "zelkit-launch: ports below 1024 need root; use e.g. %d\n", AKind == ckRlogin ? 2513 : 2323);
    return false;
  }
  FListeners.push_back(TListener{Fd, AKind, Bound, {}, FOptions.Bind});
  return true;
}

// A start-up line: on standard output for a sysop or script that starts the launcher, into the log
// under journald.
void Announce(const std::string& ALine) {
  if (std::getenv("JOURNAL_STREAM") != nullptr) return Log(ALine, llNotice);
  std::printf("%s\n", ALine.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  ReserveStandardFds();
  ParseOptions(argc, argv);

  // The drop file path handed to the door is absolute, so a --workdir does not change its meaning.
  std::error_code Ec;
  std::filesystem::path Base = std::filesystem::absolute(FOptions.Base, Ec);
  if (Ec) UsageError("--base: " + Ec.message());
  FOptions.Base = Base.lexically_normal().string();
  if (FOptions.Base.size() > 1 && FOptions.Base.back() == '/') FOptions.Base.pop_back();
  if (FOptions.ShowStatus) return ShowStatus();
  if (FOptions.WatchNode > 0) WatchNode(FOptions.WatchNode);

  const std::string DoorAsGiven = FOptions.Doors.front().Path;
  if (std::string Why = CheckDoors(FOptions); !Why.empty()) {
    std::fprintf(stderr, "zelkit-launch: %s\n", Why.c_str());
    return kExitUsage;
  }
  InitNodes();

  if (pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("zelkit-launch: pipe");
    return kExitFailure;
  }
  InstallSignals();
  // Sockets handed in by the service manager take the place of --port and --rlogin-port.
  const int Handed = TakeHandedSockets();
  if (Handed < 0) return kExitFailure;
  if (Handed == 0) {
    if (!Listen(FOptions.Port, ckTelnet)) return kExitFailure;
    if (FOptions.RloginPort >= 0 && !Listen(FOptions.RloginPort, ckRlogin)) return kExitFailure;
  }
  const int WebPort = FOptions.WebPort >= 0 ? StartWeb(FWake[1]) : -1;
  if (FOptions.WebPort >= 0 && WebPort < 0) return kExitFailure;
  std::string SshFingerprint;
  const int SshPort = FOptions.SshPort >= 0 ? StartSsh(FWake[1], SshFingerprint) : -1;
  if (FOptions.SshPort >= 0 && SshPort < 0) return kExitFailure;
  OpenStatusSocket();
  std::string Doors = FOptions.Doors.size() == 1 ? "door " + DoorAsGiven : "doors " + FOptions.Doors[0].Code;
  for (std::size_t I = 1; I < FOptions.Doors.size(); ++I) Doors += ", " + FOptions.Doors[I].Code;
  for (const TListener& L : FListeners) {
    const std::string Where = L.Address + ":" + std::to_string(L.Port);
    if (&L == &FListeners.front()) Announce("zelkit-launch: listening on " + Where + ", " + Doors);
    else Announce(std::string("zelkit-launch: ") + KindName(L.Kind) + " on " + Where);
  }
  if (WebPort >= 0)
    Announce("zelkit-launch: web page on http://" + FOptions.Bind + ":" + std::to_string(WebPort) + "/");
  if (SshPort >= 0)
    Announce("zelkit-launch: ssh on " + FOptions.Bind + ":" + std::to_string(SshPort) + ", host key " + SshFingerprint);
  std::fflush(stdout);
  const int Code = Serve();
  StopWeb();
  StopSsh();
  CloseStatusSocket();
  RestoreTerminal();
  return Code;
}
