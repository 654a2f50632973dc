// --stdio: the door runs on a pseudo-terminal of its own (its standard input, output and error, and
// its controlling terminal) and this process relays between that terminal and the caller's socket,
// as a BBS runs a door that only knows its console. On telnet, byte 255 going out is doubled and
// telnet commands coming in are taken out (RFC 854); on rlogin the bytes pass as they are. When the
// caller hangs up, the terminal is closed, so the door reads end of file and gets SIGHUP.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>
#include <chrono>

#include "tools/launcher/launcher_internal.h"

namespace launcher {

namespace {

constexpr std::size_t kMaxToDoor = 64 * 1024;  // caller's bytes the door has not read yet; beyond it, stop reading
constexpr auto kHangUpGrace = std::chrono::seconds(5);  // after the caller hangs up, SIGKILL if the door lingers

volatile sig_atomic_t FDoorPid = 0;
int FWake[2] = {-1, -1};

void OnChild(int) {
  const int Saved = errno;
  char B = 0;
  std::ignore = write(FWake[1], &B, 1);
  errno = Saved;
}

// The launcher stops doors with SIGTERM to this process's group; the door is in a session of its
// own (its terminal's), so the signal is passed on.
void OnStop(int ASignal) {
  const int Saved = errno;
  if (FDoorPid > 0) kill(-FDoorPid, ASignal);
  errno = Saved;
}

bool SendAll(int ASocket, const char* AData, std::size_t ALen) {
  while (ALen > 0) {
    const ssize_t N = send(ASocket, AData, ALen, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    AData += N;
    ALen -= static_cast<std::size_t>(N);
  }
  return true;
}

int FConsoleFd = -1;  // node<N>/console.ans: what the door showed, as on a console door's screen

// The door's output to the caller; on telnet byte 255 is sent as IAC IAC.
bool Forward(int ASocket, TCallerKind AKind, const char* AData, std::size_t ALen) {
  if (FConsoleFd >= 0 && write(FConsoleFd, AData, ALen) != static_cast<ssize_t>(ALen)) {
    close(FConsoleFd);  // a full disk stops the copy, never the call
    FConsoleFd = -1;
  }
  if (!SpeaksTelnet(AKind)) return SendAll(ASocket, AData, ALen);
  const std::string Escaped = TelnetEscape(AData, ALen);
  return SendAll(ASocket, Escaped.data(), Escaped.size());
}

// This process ends the way the door ended, so the launcher's log tells the door's own story.
[[noreturn]] void EndLikeTheDoor(int AStatus) {
  if (WIFSIGNALED(AStatus)) {
    const rlimit NoCore{0, 0};
    setrlimit(RLIMIT_CORE, &NoCore);
    signal(WTERMSIG(AStatus), SIG_DFL);
    sigset_t All;
    sigemptyset(&All);
    sigprocmask(SIG_SETMASK, &All, nullptr);
    raise(WTERMSIG(AStatus));
    _exit(128 + WTERMSIG(AStatus));
  }
  _exit(WIFEXITED(AStatus) ? WEXITSTATUS(AStatus) : kExecFailedStatus);
}

}  // namespace

void RunOnPty(int ASocket, TCallerKind AKind, int AReportFd, int AConsoleFd, std::vector<char*>& AArgv) {
  int Master = -1, Slave = -1;
  winsize Size{25, 80, 0, 0};  // the PC text screen a door draws on
  FConsoleFd = AConsoleFd;
  if (openpty(&Master, &Slave, nullptr, nullptr, &Size) != 0) ReportFailure(AReportFd, 2);
  fcntl(Master, F_SETFD, FD_CLOEXEC);
  fcntl(Slave, F_SETFD, FD_CLOEXEC);
  if (pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) ReportFailure(AReportFd, 2);
  struct sigaction Sa {};
  sigemptyset(&Sa.sa_mask);
  Sa.sa_flags = SA_NOCLDSTOP | SA_RESTART;
  Sa.sa_handler = OnChild;
  sigaction(SIGCHLD, &Sa, nullptr);
  Sa.sa_handler = OnStop;
  sigaction(SIGTERM, &Sa, nullptr);
  sigaction(SIGINT, &Sa, nullptr);
  sigaction(SIGHUP, &Sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The door in a session of its own with the pseudo-terminal as controlling terminal (opening the
  // terminal by name in a new session makes it so): closing the master then hangs the door up
  // (SIGHUP), as a modem line dropping would. Started sharing this process's memory until its exec
  // (posix_spawn), which is quicker than a copy of it.
  char SlaveName[64];
  if (ptsname_r(Master, SlaveName, sizeof SlaveName) != 0) ReportFailure(AReportFd, 2);
  posix_spawn_file_actions_t Actions;
  posix_spawnattr_t Attr;
  posix_spawn_file_actions_init(&Actions);
  posix_spawnattr_init(&Attr);
  posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, SlaveName, O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&Actions, STDIN_FILENO, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, STDIN_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&Actions, STDERR_FILENO + 1);
  SetDoorSpawnAttributes(Attr, POSIX_SPAWN_SETSID);
  pid_t Door = -1;
  const int Err = posix_spawn(&Door, AArgv[0], &Actions, &Attr, AArgv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  posix_spawnattr_destroy(&Attr);
  if (Err != 0) {
    errno = Err;
    ReportFailure(AReportFd, 3);
  }
  FDoorPid = Door;
  close(Slave);
  close(AReportFd);  // the door has started: end of file tells the launcher so
  fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);

  TTelnetInput Telnet;
  std::string ToDoor;
  bool CallerGone = false, MasterOpen = true;
  std::chrono::steady_clock::time_point KillAt;
  for (;;) {
    pollfd Fds[3] = {{FWake[0], POLLIN, 0},
                     {CallerGone || ToDoor.size() >= kMaxToDoor ? -1 : ASocket, POLLIN, 0},
                     {MasterOpen ? Master : -1, static_cast<short>(POLLIN | (ToDoor.empty() ? 0 : POLLOUT)), 0}};
    int Timeout = -1;
    if (CallerGone) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(KillAt - std::chrono::steady_clock::now()).count();
      if (Left <= 0) {
        kill(-Door, SIGKILL);
        KillAt = std::chrono::steady_clock::now() + std::chrono::hours(1);
        continue;
      }
      Timeout = static_cast<int>(Left) + 1;
    }
    if (poll(Fds, 3, Timeout) < 0 && errno != EINTR) break;

    if (Fds[0].revents & POLLIN) {
      char Drain[64];
      while (read(FWake[0], Drain, sizeof Drain) > 0) {}
      int Status = 0;
      if (waitpid(Door, &Status, WNOHANG) == Door) {
        // The door's last words may still be in the terminal.
        char Buf[4096];
        ssize_t N;
        while (MasterOpen && !CallerGone && (N = read(Master, Buf, sizeof Buf)) > 0)
          if (!Forward(ASocket, AKind, Buf, static_cast<std::size_t>(N))) break;
        EndLikeTheDoor(Status);
      }
    }
    if (MasterOpen && (Fds[2].revents & POLLOUT) && !ToDoor.empty()) {
      const ssize_t N = write(Master, ToDoor.data(), ToDoor.size());
      if (N > 0) ToDoor.erase(0, static_cast<std::size_t>(N));
    }
    if (MasterOpen && (Fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      char Buf[4096];
      const ssize_t N = read(Master, Buf, sizeof Buf);
      if (N > 0) {
        if (!CallerGone && !Forward(ASocket, AKind, Buf, static_cast<std::size_t>(N))) {
          CallerGone = true;
          KillAt = std::chrono::steady_clock::now() + kHangUpGrace;
          close(Master);
          MasterOpen = false;
        }
      } else if (N == 0 || (errno != EAGAIN && errno != EINTR)) {
        // EIO: nothing holds the terminal any more; the door is ending and SIGCHLD follows.
        close(Master);
        MasterOpen = false;
      }
    }
    if (!CallerGone && (Fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      unsigned char Buf[4096];
      const ssize_t N = recv(ASocket, Buf, sizeof Buf, 0);
      if (N > 0) {
        if (SpeaksTelnet(AKind)) Telnet.Feed(Buf, static_cast<std::size_t>(N), ToDoor);
        else ToDoor.append(reinterpret_cast<const char*>(Buf), static_cast<std::size_t>(N));
      } else if (N == 0 || errno != EINTR) {
        // The caller hung up: closing the master hangs up the door's terminal.
        CallerGone = true;
        KillAt = std::chrono::steady_clock::now() + kHangUpGrace;
        if (MasterOpen) close(Master);
        MasterOpen = false;
        ToDoor.clear();
      }
    }
  }
  kill(-Door, SIGKILL);
  int Status = 0;
  while (waitpid(Door, &Status, 0) < 0 && errno == EINTR) {}
  EndLikeTheDoor(Status);
}

}  // namespace launcher
