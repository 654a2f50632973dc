#include "tests/support/pty_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <tuple>

extern char** environ;

namespace zelkit_test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point ADeadline) {
  auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - Clock::now()).count();
  return Left < 0 ? 0 : static_cast<int>(std::min<long long>(Left, INT_MAX));
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& AExtra) {
  std::vector<std::string> Result;
  for (char** E = environ; E != nullptr && *E != nullptr; ++E) {
    std::string Entry = *E;
    std::string Name = Entry.substr(0, Entry.find('='));
    bool Replaced = std::any_of(AExtra.begin(), AExtra.end(), [&](const std::string& X) {
      return X.substr(0, X.find('=')) == Name;
    });
    if (!Replaced) Result.push_back(Entry);
  }
  Result.insert(Result.end(), AExtra.begin(), AExtra.end());
  return Result;
}

}  // namespace

PtyProcess::PtyProcess(const std::string& APath, const std::vector<std::string>& AArgs,
                       const PtyOptions& AOptions) {
  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  std::vector<std::string> Args = AArgs.empty() ? std::vector<std::string>{APath} : AArgs;
  std::vector<char*> Argv;
  for (auto& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  std::vector<std::string> Env = MergedEnvironment(AOptions.Env);
  std::vector<char*> Envp;
  for (auto& E : Env) Envp.push_back(E.data());
  Envp.push_back(nullptr);
  std::vector<int> Keep = AOptions.PassFds;
  std::sort(Keep.begin(), Keep.end());

  winsize Size{};
  Size.ws_row = static_cast<unsigned short>(AOptions.Rows);
  Size.ws_col = static_cast<unsigned short>(AOptions.Cols);
  int Slave = -1;
  if (openpty(&FMaster, &Slave, nullptr, nullptr, &Size) != 0) {
    FMaster = -1;
    return;
  }
  FPid = fork();
  if (FPid < 0) {
    close(Slave);
    close(FMaster);
    FMaster = -1;
    return;
  }
  if (FPid == 0) {
    // The child starts with default signal actions and nothing blocked, whatever the test runner set.
    for (int Sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGWINCH}) signal(Sig, SIG_DFL);
    sigset_t None;
    sigemptyset(&None);
    sigprocmask(SIG_SETMASK, &None, nullptr);
    setsid();
    ioctl(Slave, TIOCSCTTY, 0);
    dup2(Slave, 0);
    dup2(Slave, 1);
    dup2(Slave, 2);
    if (!AOptions.StdinPath.empty()) {
      const int In = open(AOptions.StdinPath.c_str(), O_RDONLY);
      if (In < 0) _exit(126);
      dup2(In, 0);
      if (In != 0) close(In);
    }
    // Close every other descriptor except the pass-through ones, which stay open across exec.
    unsigned int From = 3;
    for (int Fd : Keep) {
      if (Fd < 3) continue;
      if (static_cast<unsigned int>(Fd) > From) close_range(From, static_cast<unsigned int>(Fd) - 1, 0);
      int Flags = fcntl(Fd, F_GETFD);
      if (Flags >= 0) fcntl(Fd, F_SETFD, Flags & ~FD_CLOEXEC);
      From = static_cast<unsigned int>(Fd) + 1;
    }
    close_range(From, ~0U, 0);
    if (!AOptions.WorkDir.empty() && chdir(AOptions.WorkDir.c_str()) != 0) _exit(126);
    execve(APath.c_str(), Argv.data(), Envp.data());
    _exit(127);
  }
  close(Slave);
  fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
  fcntl(FMaster, F_SETFD, FD_CLOEXEC);
}

PtyProcess::~PtyProcess() {
  if (FPid > 0 && !FReaped) {
    kill(FPid, SIGKILL);
    std::ignore = waitpid(FPid, &FStatus, 0);
  }
  if (FMaster >= 0) close(FMaster);
}

void PtyProcess::Write(const std::string& AKeys) {
  std::size_t Done = 0;
  auto Deadline = Clock::now() + std::chrono::seconds(5);
  while (FMaster >= 0 && Done < AKeys.size() && Clock::now() < Deadline) {
    ssize_t N = write(FMaster, AKeys.data() + Done, AKeys.size() - Done);
    if (N > 0) {
      Done += static_cast<std::size_t>(N);
    } else if (N < 0 && (errno == EAGAIN || errno == EINTR)) {
      Drain();  // the child may be blocked writing to us
      pollfd P{FMaster, POLLOUT, 0};
      std::ignore = poll(&P, 1, 10);
    } else {
      return;
    }
  }
}

bool PtyProcess::Drain() {
  if (FMaster < 0) return false;
  char Buf[4096];
  for (;;) {
    ssize_t N = read(FMaster, Buf, sizeof Buf);
    if (N > 0) {
      FOutput.append(Buf, static_cast<std::size_t>(N));
      continue;
    }
    if (N < 0 && errno == EINTR) continue;
    if (N < 0 && errno == EAGAIN) return true;
    return false;  // EIO: every slave descriptor is closed
  }
}

void PtyProcess::ReadFor(int AMilliseconds) {
  auto Deadline = Clock::now() + std::chrono::milliseconds(AMilliseconds);
  while (Drain()) {
    int Left = RemainingMs(Deadline);
    if (Left == 0) return;
    pollfd P{FMaster, POLLIN, 0};
    std::ignore = poll(&P, 1, Left);
  }
}

bool PtyProcess::ReadUntil(const std::string& ANeedle, int AMilliseconds) {
  auto Deadline = Clock::now() + std::chrono::milliseconds(AMilliseconds);
  for (;;) {
    bool Alive = Drain();
    if (FOutput.find(ANeedle) != std::string::npos) return true;
    int Left = RemainingMs(Deadline);
    if (!Alive || Left == 0) return false;
    pollfd P{FMaster, POLLIN, 0};
    std::ignore = poll(&P, 1, std::min(Left, 50));
  }
}

int PtyProcess::WaitExit(int AMilliseconds) {
  if (FPid <= 0) return -1;
  auto Deadline = Clock::now() + std::chrono::milliseconds(AMilliseconds);
  while (!FReaped) {
    Drain();
    pid_t R = waitpid(FPid, &FStatus, WNOHANG);
    if (R == FPid) {
      FReaped = true;
      break;
    }
    if (RemainingMs(Deadline) == 0) {
      kill(FPid, SIGKILL);
      std::ignore = waitpid(FPid, &FStatus, 0);
      FReaped = true;
      Drain();
      return -SIGKILL;
    }
    pollfd P{FMaster, POLLIN, 0};
    std::ignore = poll(&P, 1, 5);
  }
  Drain();
  if (WIFEXITED(FStatus)) return WEXITSTATUS(FStatus);
  if (WIFSIGNALED(FStatus)) return -WTERMSIG(FStatus);
  return -1;
}

bool PtyProcess::GetTermios(termios& ATermios) const {
  // On Linux the termios ioctls on a pty master act on its slave.
  return FMaster >= 0 && tcgetattr(FMaster, &ATermios) == 0;
}

bool PtyProcess::Resize(int ARows, int ACols) {
  winsize Size{};
  Size.ws_row = static_cast<unsigned short>(ARows);
  Size.ws_col = static_cast<unsigned short>(ACols);
  return FMaster >= 0 && ioctl(FMaster, TIOCSWINSZ, &Size) == 0;
}

}  // namespace zelkit_test
