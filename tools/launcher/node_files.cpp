// zelkit-launch's node files and the plumbing of a door's start: the node's lock and DOOR32.SYS,
// whether a caller is still there, the signals a door ends on, and the descriptors and signal
// handling a door's process starts with.

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <tuple>

#include "tools/launcher/launcher_internal.h"

namespace launcher {

std::string NodeDir(int ANode) { return FOptions.Base + "/node" + std::to_string(ANode); }

// The node's lock, held for as long as the call lasts: a lock on node<N>/console.ans, which becomes
// the door's standard output and error (with --stdio, its relay's copy of the screen), or with
// --console, on node<N>/node.lock, which the door inherits. The door's own process holds it, so a
// launcher that was killed and started again cannot hand the node of a door that still runs to a
// second caller. The descriptor, or -1 when the node is in use or cannot be set up (AWhy says which).
// The last call's screen is still in the file: it is emptied once the caller's telnet offers are out.
int LockNode(int ANode, std::string& AWhy) {
  const std::string Dir = NodeDir(ANode);
  std::error_code Ec;
  std::filesystem::create_directories(Dir, Ec);
  if (Ec) {
    AWhy = "cannot create " + Dir + ": " + Ec.message();
    return -1;
  }
  const std::string Path = Dir + (FOptions.Console ? "/node.lock" : "/console.ans");
  const int Fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (Fd < 0) {
    AWhy = "cannot create " + Path + ": " + std::strerror(errno);
    return -1;
  }
  if (flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    AWhy = "in use by a door this launcher did not start (" + Path + " is locked)";
    close(Fd);
    return -1;
  }
  return Fd;
}

// A door that ends on one of these signals crashed, rather than being stopped or hung up on.
bool IsCrash(int ASignal) {
  return ASignal == SIGSEGV || ASignal == SIGABRT || ASignal == SIGBUS || ASignal == SIGFPE || ASignal == SIGILL ||
         ASignal == SIGSYS || ASignal == SIGTRAP;
}

// The caller hung up before the door started: no door is started for nobody.
bool CallerGone(int ASocket) {
  pollfd Pfd{ASocket, POLLRDHUP, 0};
  return poll(&Pfd, 1, 0) > 0 && (Pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// DOOR32.SYS: comm type, socket handle, baud, BBS name, user record (from 1), real name, alias,
// security level, minutes left, emulation (1 = ANSI), node; CR LF after every line. A twelfth line
// carries the caller's IP address (behind a trusted proxy, the caller's, not the proxy's): readers
// of the eleven-line format stop before it.
bool WriteDoor32(const std::string& APath, int ANode, int AHandle, const std::string& AName, const std::string& AAddress) {
  std::string Text;
  for (const std::string& Line :
       {std::string("2"), std::to_string(AHandle), std::string("38400"), std::string("zelkit-launch"),
        std::string("1"), AName, AName, std::string("10"), std::to_string(FOptions.Minutes), std::string("1"),
        std::to_string(ANode), AAddress})
    Text += Line + "\r\n";
  // Written over the previous call's file rather than truncated first: emptying a file whose blocks
  // are on disk frees them in the file system's journal, which can take milliseconds on a busy disk
  // while the caller waits. Only a longer leftover tail is cut, never to nothing.
  const int Fd = open(APath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (Fd < 0) return false;
  bool Ok = pwrite(Fd, Text.data(), Text.size(), 0) == static_cast<ssize_t>(Text.size());
  struct stat St {};
  if (Ok && fstat(Fd, &St) == 0 && St.st_size > static_cast<off_t>(Text.size()))
    Ok = ftruncate(Fd, static_cast<off_t>(Text.size())) == 0;
  return close(Fd) == 0 && Ok;
}

std::string SignalName(int ASignal) {
  const char* Abbrev = sigabbrev_np(ASignal);
  return "signal " + std::to_string(ASignal) + (Abbrev != nullptr ? std::string(" (SIG") + Abbrev + ")" : "");
}

void ReportFailure(int AReportFd, int AStep) {
  int Report[2] = {AStep, errno};
  std::ignore = write(AReportFd, Report, sizeof Report);
  _exit(kExecFailedStatus);
}

void ResetSignalsForChild() {
  sigset_t All;
  sigemptyset(&All);
  sigprocmask(SIG_SETMASK, &All, nullptr);
  signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored in the door
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGCHLD, SIG_DFL);
}

void SetDoorSpawnAttributes(posix_spawnattr_t& AAttr, short AFlags) {
  // An ignored signal would stay ignored in the door, and the launcher's handlers mean nothing there.
  sigset_t Empty, Defaults;
  sigemptyset(&Empty);
  sigemptyset(&Defaults);
  for (int Signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&Defaults, Signal);
  posix_spawnattr_setflags(&AAttr, static_cast<short>(AFlags | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  posix_spawnattr_setsigmask(&AAttr, &Empty);
  posix_spawnattr_setsigdefault(&AAttr, &Defaults);
}

void KeepOnlyFd(int AFd) {
  // Descriptors the launcher itself inherited without close-on-exec stay out of the door as well.
  if ((AFd > 3 && close_range(3, static_cast<unsigned>(AFd) - 1, CLOSE_RANGE_CLOEXEC) != 0) ||
      close_range(static_cast<unsigned>(AFd) + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    long Max = sysconf(_SC_OPEN_MAX);
    for (int Fd = 3; Fd < (Max > 0 && Max < 65536 ? Max : 65536); ++Fd)
      if (Fd != AFd) fcntl(Fd, F_SETFD, FD_CLOEXEC);
  }
}

void HangUp(int ASocket) {
  // Unread bytes from the caller would turn the close into a reset that can swallow our last words.
  char Sink[4096];
  for (int I = 0; I < 16 && recv(ASocket, Sink, sizeof Sink, MSG_DONTWAIT) > 0; ++I) {}
  shutdown(ASocket, SHUT_RDWR);
  close(ASocket);
}

void SayToCaller(int ASocket, const std::string& AText) {
  std::ignore = send(ASocket, AText.data(), AText.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace launcher
