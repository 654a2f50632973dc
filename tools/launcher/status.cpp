// zelkit-launch's view for the sysop: the status socket in the node folder that the running
// launcher answers with who is on, the --status command that asks it, and --watch, which follows
// one node's console stream as the caller sees it.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "tools/launcher/launcher_internal.h"

namespace launcher {

namespace {

int FStatusFd = -1;
std::string FStatusPath;

std::string StatusPath() { return FOptions.Base + "/status.sock"; }

bool FillAddress(const std::string& APath, sockaddr_un& AAddress) {
  AAddress = {};
  AAddress.sun_family = AF_UNIX;
  if (APath.size() >= sizeof AAddress.sun_path) return false;
  std::memcpy(AAddress.sun_path, APath.c_str(), APath.size() + 1);
  return true;
}

// Never cut: a longer name or code pushes the rest of its row to the right.
std::string Column(const std::string& AText, std::size_t AWidth) {
  return AText + std::string(AText.size() < AWidth ? AWidth - AText.size() + 2 : 2, ' ');
}

// How long the caller has sent nothing, from the kernel's record of the connection.
std::string IdleFor(int ASocket) {
  tcp_info Info{};
  socklen_t Len = sizeof Info;
  if (ASocket < 0 || getsockopt(ASocket, IPPROTO_TCP, TCP_INFO, &Info, &Len) != 0) return "-";
  const unsigned Seconds = Info.tcpi_last_data_recv / 1000;
  char Text[32];
  std::snprintf(Text, sizeof Text, "%u:%02u:%02u", Seconds / 3600, Seconds / 60 % 60, Seconds % 60);
  return Text;
}

std::string StatusText() {
  std::string Text = Column("node", 4) + Column("caller", 20) + Column("address", 28) + Column("door", 16) +
                     Column("since", 19) + "idle\n";
  const std::vector<TNodeView> Nodes = BusyNodes();
  for (const TNodeView& N : Nodes) {
    char Since[32];
    std::tm Tm{};
    localtime_r(&N.Since, &Tm);
    std::strftime(Since, sizeof Since, "%Y-%m-%d %H:%M:%S", &Tm);
    Text += Column(std::to_string(N.Node), 4) + Column(N.Name, 20) +
            Column(std::string(KindName(N.Kind)) + " " + N.Peer, 28) + Column(N.Door.empty() ? "(menu)" : N.Door, 16) +
            Column(Since, 19) + IdleFor(N.Socket) + "\n";
  }
  Text += std::to_string(Nodes.size()) + " of " + std::to_string(FOptions.MaxNodes) + " nodes busy\n";
  return Text;
}

}  // namespace

void OpenStatusSocket() {
  sockaddr_un Address{};
  FStatusPath = StatusPath();
  if (!FillAddress(FStatusPath, Address)) {
    Log("zelkit-launch: no status socket: the path " + FStatusPath + " is too long for one", llWarning);
    return;
  }
  // A socket left behind by a launcher that was killed is in the way; a running one answers.
  const int Probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Probe >= 0 && connect(Probe, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0) {
    close(Probe);
    Log("zelkit-launch: no status socket: another launcher answers at " + FStatusPath + " (same --base?)", llWarning);
    return;
  }
  if (Probe >= 0) close(Probe);
  std::error_code Ec;
  std::filesystem::create_directories(FOptions.Base, Ec);
  unlink(FStatusPath.c_str());
  FStatusFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // Only the launcher's own user (and root) may ask: callers' names and addresses are private.
  const mode_t Old = umask(0077);
  const bool Ok = FStatusFd >= 0 && bind(FStatusFd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0 &&
                  listen(FStatusFd, 8) == 0;
  umask(Old);
  if (!Ok) {
    Log("zelkit-launch: no status socket at " + FStatusPath + ": " + std::strerror(errno), llWarning);
    if (FStatusFd >= 0) close(FStatusFd);
    FStatusFd = -1;
  }
}

int StatusFd() { return FStatusFd; }

void AnswerStatus() {
  for (;;) {
    const int Fd = accept4(FStatusFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0) return;
    // A few kilobytes into an empty socket buffer: never waits on a slow reader.
    const std::string Text = StatusText();
    std::ignore = send(Fd, Text.data(), Text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    close(Fd);
  }
}

void CloseStatusSocket() {
  if (FStatusFd < 0) return;
  close(FStatusFd);
  FStatusFd = -1;
  unlink(FStatusPath.c_str());
}

int ShowStatus() {
  sockaddr_un Address{};
  const std::string Path = StatusPath();
  const int Fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0 || !FillAddress(Path, Address) || connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) {
    std::fprintf(stderr, "zelkit-launch: no launcher answers at %s (%s); is it running, with this --base or --config?\n",
                 Path.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  pollfd Wait{Fd, POLLIN, 0};
  std::string Text;
  char Buffer[4096];
  ssize_t Got = 0;
  while (poll(&Wait, 1, 5000) == 1 && (Got = read(Fd, Buffer, sizeof Buffer)) > 0) Text.append(Buffer, static_cast<std::size_t>(Got));
  close(Fd);
  std::fputs(Text.c_str(), stdout);
  return Text.empty() ? kExitFailure : 0;
}

void WatchNode(int ANode) {
  const std::string Path = FOptions.Base + "/node" + std::to_string(ANode) + "/console.ans";
  std::fprintf(stderr, "zelkit-launch: watching %s; Ctrl-C to stop\n", Path.c_str());
  int Fd = -1;
  ino_t Inode = 0;
  off_t Shown = 0;
  char Buffer[8192];
  for (;;) {
    struct stat St {};
    if (Fd < 0 && (Fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC)) >= 0 && fstat(Fd, &St) == 0) {
      Inode = St.st_ino;
      Shown = 0;
    }
    if (Fd >= 0) {
      // A new call starts the stream afresh (the file is truncated): show it from its beginning.
      if (fstat(Fd, &St) == 0 && St.st_size < Shown) {
        std::fputs("\x1b[0m\x1b[2J\x1b[H", stdout);
        lseek(Fd, 0, SEEK_SET);
        Shown = 0;
      }
      ssize_t Got;
      while ((Got = read(Fd, Buffer, sizeof Buffer)) > 0) {
        std::fwrite(Buffer, 1, static_cast<std::size_t>(Got), stdout);
        Shown += Got;
      }
      std::fflush(stdout);
      struct stat Now {};
      if (stat(Path.c_str(), &Now) == 0 && Now.st_ino != Inode) {
        close(Fd);
        Fd = -1;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace launcher
