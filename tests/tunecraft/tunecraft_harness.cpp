#include "tests/tunecraft/tunecraft_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace tunecraft_test {

using Clock = std::chrono::steady_clock;

std::vector<std::string> LogLines(const fs::path& ADir) {
  std::vector<std::string> Lines;
  const std::string All = ReadFile(ADir / "tunecraft.log");
  std::size_t From = 0;
  for (std::size_t Lf = All.find('\n'); Lf != std::string::npos; Lf = All.find('\n', From)) {
    Lines.push_back(All.substr(From, Lf - From));
    From = Lf + 1;
  }
  if (From < All.size()) Lines.push_back(All.substr(From));  // an unterminated last line counts too
  return Lines;
}

Connection::~Connection() {
  HangUp();
  if (Door >= 0) close(Door);
}

void Connection::HangUp() {
  if (Caller >= 0) close(Caller);
  Caller = -1;
}

std::unique_ptr<Connection> Connect(LinkKind AKind) {
  auto Link = std::make_unique<Connection>();
  if (AKind == LinkKind::SocketPair) {
    int Sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Sv) != 0) return nullptr;
    Link->Caller = Sv[0];
    Link->Door = Sv[1];
    return Link;
  }
  // Loopback TCP: the BBS listens and accepts; the door gets the accepted socket.
  const int Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Sin{};
  Sin.sin_family = AF_INET;
  Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof Sin;
  if (Listen < 0 || bind(Listen, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0 || listen(Listen, 1) != 0 ||
      getsockname(Listen, reinterpret_cast<sockaddr*>(&Sin), &Len) != 0) {
    if (Listen >= 0) close(Listen);
    return nullptr;
  }
  Link->Caller = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(Link->Caller, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0) {
    close(Listen);
    return nullptr;
  }
  Link->Door = accept4(Listen, nullptr, nullptr, SOCK_CLOEXEC);
  close(Listen);
  return Link->Door >= 0 ? std::move(Link) : nullptr;
}

DoorRun::DoorRun(const std::vector<std::string>& AArgs, const fs::path& AWorkDir, Connection* ALink,
                 const std::string& AShell)
    : FLink(ALink) {
  zelkit_test::PtyOptions Options;
  Options.WorkDir = AWorkDir.string();
  if (ALink != nullptr && ALink->Door >= 0) Options.PassFds.push_back(ALink->Door);
  // argv[0] is the door's full path, as a BBS starts it.
  std::vector<std::string> Args = {TUNECRAFT_PATH};
  Args.insert(Args.end(), AArgs.begin(), AArgs.end());
  std::string Path = TUNECRAFT_PATH;
  if (!AShell.empty()) {
    // sh -c SCRIPT DOOR ARGS...: the script runs first and then execs the door with exec "$0" "$@".
    Args.insert(Args.begin(), {"/bin/sh", "-c", AShell});
    Path = "/bin/sh";
  }
  FPty = std::make_unique<zelkit_test::PtyProcess>(Path, Args, Options);
}

void DoorRun::DrainCaller() {
  if (FLink == nullptr || FLink->Caller < 0) return;
  char Buf[4096];
  for (;;) {
    const ssize_t N = recv(FLink->Caller, Buf, sizeof Buf, MSG_DONTWAIT);
    if (N > 0) {
      FReceived.append(Buf, static_cast<std::size_t>(N));
      continue;
    }
    if (N < 0 && errno == EINTR) continue;
    return;
  }
}

bool DoorRun::CallerUntil(const std::string& ANeedle, int AMilliseconds) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(AMilliseconds);
  for (;;) {
    DrainCaller();
    FPty->ReadFor(0);  // the door must never block on a full console
    if (FReceived.find(ANeedle) != std::string::npos) return true;
    if (Clock::now() >= Deadline) return false;
    std::vector<pollfd> P = {{FPty->Master(), POLLIN, 0}};
    if (FLink != nullptr && FLink->Caller >= 0) P.push_back({FLink->Caller, POLLIN, 0});
    std::ignore = poll(P.data(), P.size(), 20);
  }
}

bool DoorRun::ConsoleUntil(const std::string& ANeedle, int AMilliseconds) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(AMilliseconds);
  for (;;) {
    DrainCaller();
    if (FPty->ReadUntil(ANeedle, 20)) return true;
    if (Clock::now() >= Deadline) return false;
  }
}

void DoorRun::SendKey(const std::string& AKeys) {
  if (FLink != nullptr && FLink->Caller >= 0)
    std::ignore = send(FLink->Caller, AKeys.data(), AKeys.size(), MSG_NOSIGNAL);
}

int DoorRun::WaitExit(int AMilliseconds) {
  const int Code = FPty->WaitExit(AMilliseconds);
  DrainCaller();
  return Code;
}

std::string WithoutMusic(const std::string& ABytes) {
  std::string Out;
  std::size_t From = 0;
  for (std::size_t At = ABytes.find("\x1b[N"); At != std::string::npos; At = ABytes.find("\x1b[N", From)) {
    const std::size_t End = ABytes.find('\x0e', At);
    if (End == std::string::npos) break;
    Out += ABytes.substr(From, At - From);
    From = End + 1;
  }
  return Out + ABytes.substr(From);
}

}  // namespace tunecraft_test
