#include "tests/faults/faults_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace faults {

namespace {

int RemainingMs(Clock::time_point ADeadline) {
  const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - Clock::now()).count();
  return Left < 0 ? 0 : static_cast<int>(std::min<long long>(Left, INT_MAX));
}

void SetNonBlocking(int AFd) { fcntl(AFd, F_SETFL, fcntl(AFd, F_GETFL) | O_NONBLOCK); }

}  // namespace

Run::Run(const std::string& APath, const std::vector<std::string>& AArgs, const fs::path& AWorkDir,
         bool AWithCaller) {
  // Everything the child needs is built before fork: after it only async-signal-safe calls, since
  // other cases may be running on other threads.
  std::vector<std::string> Args = {APath};
  Args.insert(Args.end(), AArgs.begin(), AArgs.end());
  std::vector<char*> Argv;
  for (auto& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  const std::string Dir = AWorkDir.string();

  int Pair[2] = {-1, -1};
  if (AWithCaller) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair) != 0) return;
    FCaller = Pair[0];
    FBbsCopy = Pair[1];
    SetNonBlocking(FCaller);
  }
  winsize Size{};
  Size.ws_row = 25;
  Size.ws_col = 80;
  if (openpty(&FMaster, &FSlave, nullptr, nullptr, &Size) != 0) {
    FMaster = FSlave = -1;
    return;
  }
  fcntl(FMaster, F_SETFD, FD_CLOEXEC);
  fcntl(FSlave, F_SETFD, FD_CLOEXEC);
  tcgetattr(FSlave, &FBefore);
  const int DoorEnd = FBbsCopy;
  const int Slave = FSlave;
  FPid = fork();
  if (FPid < 0) return;
  if (FPid == 0) {
    for (int Sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGWINCH}) signal(Sig, SIG_DFL);
    sigset_t None;
    sigemptyset(&None);
    sigprocmask(SIG_SETMASK, &None, nullptr);
    setsid();
    ioctl(Slave, TIOCSCTTY, 0);
    dup2(Slave, 0);
    dup2(Slave, 1);
    dup2(Slave, 2);
    if (DoorEnd >= 0) dup2(DoorEnd, 3);  // dup2 clears close-on-exec on the copy
    close_range(DoorEnd >= 0 ? 4 : 3, ~0U, 0);
    if (chdir(Dir.c_str()) != 0) _exit(126);
    execv(Argv[0], Argv.data());
    _exit(127);
  }
  SetNonBlocking(FMaster);
}

Run::~Run() {
  if (FPid > 0 && !FReaped) {
    kill(FPid, SIGKILL);
    Reap(true);
  }
  for (int Fd : {FMaster, FSlave, FCaller, FBbsCopy}) {
    if (Fd >= 0) close(Fd);
  }
}

void Run::Reap(bool ABlock) {
  if (FPid <= 0 || FReaped) return;
  pid_t R;
  do R = wait4(FPid, &FStatus, ABlock ? 0 : WNOHANG, &FUsage);
  while (R < 0 && errno == EINTR);
  if (R == FPid) {
    FReaped = true;
    FEndedAt = Clock::now();
  }
}

void Run::DrainConsole() {
  if (FMaster < 0) return;
  char Buf[65536];
  for (;;) {
    const ssize_t N = read(FMaster, Buf, sizeof Buf);
    if (N > 0) {
      FConsole.append(Buf, static_cast<std::size_t>(N));
      // Only the tail matters to the checks; a 10 MB display must not pile up here.
      if (FConsole.size() > (8u << 20)) FConsole.erase(0, FConsole.size() - (1u << 20));
      continue;
    }
    if (N < 0 && errno == EINTR) continue;
    return;
  }
}

void Run::DrainCaller() {
  if (FCaller < 0 || FCallerEof || FCallerPaused) return;
  char Buf[65536];
  for (;;) {
    const ssize_t N = recv(FCaller, Buf, sizeof Buf, MSG_DONTWAIT);
    if (N > 0) {
      FReceived.append(Buf, static_cast<std::size_t>(N));
      if (FReceived.size() > (8u << 20)) FReceived.erase(0, FReceived.size() - (1u << 20));
      continue;
    }
    if (N == 0) FCallerEof = true;
    if (N < 0 && errno == EINTR) continue;
    return;
  }
}

void Run::SamplePeak() {
  if (FPid <= 0 || FReaped) return;
  std::ifstream Status("/proc/" + std::to_string(FPid) + "/status");
  std::string Line;
  bool Exec = false;
  while (std::getline(Status, Line)) {
    if (Line.rfind("Name:", 0) == 0) Exec = Line.find("zelkit-faults") == std::string::npos;  // past exec
    if (Exec && Line.rfind("VmHWM:", 0) == 0) FPeakRssKb = std::max(FPeakRssKb, std::atol(Line.c_str() + 6));
  }
}

bool Run::PumpUntil(const std::function<bool()>& APredicate, int AMilliseconds) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(AMilliseconds);
  for (;;) {
    DrainConsole();
    DrainCaller();
    if (APredicate && APredicate()) return true;
    SamplePeak();
    Reap(false);
    if (FReaped) {
      // Whatever the program wrote before it ended is in the buffers now.
      DrainConsole();
      DrainCaller();
      return APredicate && APredicate();
    }
    const int Left = RemainingMs(Deadline);
    if (Left == 0) return false;
    std::vector<pollfd> P;
    if (FMaster >= 0) P.push_back({FMaster, POLLIN, 0});
    if (FCaller >= 0 && !FCallerEof && !FCallerPaused) P.push_back({FCaller, POLLIN, 0});
    // The slave stays open here, so the master never reports the end: poll in short steps for wait4.
    std::ignore = poll(P.data(), P.size(), std::min(Left, 10));
  }
}

bool Run::CallerSaw(const std::string& ANeedle, int AMilliseconds) {
  return PumpUntil([&] { return FReceived.find(ANeedle) != std::string::npos; }, AMilliseconds);
}

bool Run::ConsoleSaw(const std::string& ANeedle, int AMilliseconds) {
  return PumpUntil([&] { return FConsole.find(ANeedle) != std::string::npos; }, AMilliseconds);
}

void Run::Pump(int AMilliseconds) { std::ignore = PumpUntil(nullptr, AMilliseconds); }

void Run::SendFromCaller(const std::string& ABytes) {
  std::size_t Done = 0;
  while (FCaller >= 0 && Done < ABytes.size()) {
    const ssize_t N = send(FCaller, ABytes.data() + Done, ABytes.size() - Done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (N > 0) {
      Done += static_cast<std::size_t>(N);
      continue;
    }
    if (N < 0 && errno == EINTR) continue;
    if (N < 0 && errno == EAGAIN) {
      // As fast as the socket takes it: wait for room while keeping both sides drained.
      SamplePeak();
      DrainConsole();
      DrainCaller();
      Reap(false);
      if (FReaped) return;
      pollfd P[2] = {{FCaller, POLLOUT | POLLIN, 0}, {FMaster, POLLIN, 0}};
      std::ignore = poll(P, 2, 10);
      continue;
    }
    return;  // the door's end is gone
  }
}

void Run::TypeOnConsole(const std::string& AKeys) {
  std::size_t Done = 0;
  while (FMaster >= 0 && Done < AKeys.size()) {
    const ssize_t N = write(FMaster, AKeys.data() + Done, AKeys.size() - Done);
    if (N > 0) {
      Done += static_cast<std::size_t>(N);
    } else if (N < 0 && (errno == EAGAIN || errno == EINTR)) {
      DrainConsole();
      pollfd P{FMaster, POLLOUT, 0};
      std::ignore = poll(&P, 1, 10);
    } else {
      return;
    }
  }
}

void Run::HangUp() {
  if (FCaller >= 0) close(FCaller);
  FCaller = -1;
}

void Run::Signal(int ASignal) {
  if (FPid > 0 && !FReaped) kill(FPid, ASignal);
}

bool Run::WaitEnd(int AMilliseconds) {
  const bool Ended = PumpUntil([&] { return FReaped; }, AMilliseconds) || FReaped;
  if (!Ended && FPid > 0) {
    kill(FPid, SIGKILL);
    Reap(true);
    return false;
  }
  return true;
}

std::string Run::Describe() const {
  if (FPid <= 0) return "not started";
  if (!FReaped) return "still running";
  if (WIFEXITED(FStatus)) return "exit " + std::to_string(WEXITSTATUS(FStatus));
  if (WIFSIGNALED(FStatus)) return std::string("signal ") + std::to_string(WTERMSIG(FStatus));
  return "status " + std::to_string(FStatus);
}

std::string Run::CallerStillConnected() {
  if (FCaller < 0) return "the caller hung up";
  DrainCaller();
  if (FCallerEof) return "the caller saw the connection shut down";
  const char Probe = 'k';
  const ssize_t N = send(FCaller, &Probe, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  // EAGAIN: the BBS's copy holds bytes nobody has read yet (a flood the door left behind); the link is up.
  if (N < 0 && errno == EAGAIN) return "";
  if (N != 1) return std::string("the caller cannot send: ") + (N < 0 ? std::strerror(errno) : "short send");
  return "";
}

std::string Run::TerminalRestored() const {
  termios After{};
  if (FSlave < 0 || tcgetattr(FSlave, &After) != 0) return "terminal settings unreadable";
  const bool Same = After.c_iflag == FBefore.c_iflag && After.c_oflag == FBefore.c_oflag &&
                    After.c_cflag == FBefore.c_cflag && After.c_lflag == FBefore.c_lflag &&
                    After.c_cc[VMIN] == FBefore.c_cc[VMIN] && After.c_cc[VTIME] == FBefore.c_cc[VTIME];
  if (Same) return "";
  std::ostringstream S;
  S << std::hex << "terminal left changed (lflag " << FBefore.c_lflag << " -> " << After.c_lflag << ", iflag "
    << FBefore.c_iflag << " -> " << After.c_iflag << ")";
  return S.str();
}

const std::vector<std::string>& MusicLines() {
  static const std::vector<std::string> kLines = {"\x1b[NT120O4C16\x0e", "\x1b[NT120O4D16\x0e",
                                                  "\x1b[NT120O4E16\x0e"};
  return kLines;
}

std::size_t LogLineCount(const fs::path& ADir) {
  const std::string All = ReadFile(ADir / "tunecraft.log");
  return static_cast<std::size_t>(std::count(All.begin(), All.end(), '\n'));
}

std::string CheckLog(const fs::path& ADir, const std::vector<std::size_t>& ACounts) {
  std::error_code Ec;
  const fs::path Log = ADir / "tunecraft.log";
  std::string All;
  if (fs::is_regular_file(Log, Ec)) All = ReadFile(Log);
  std::size_t Lines = 0;
  std::size_t From = 0;
  for (std::size_t Lf = All.find('\n'); Lf != std::string::npos; Lf = All.find('\n', From)) {
    const std::string Line = All.substr(From, Lf - From);
    const auto& Music = MusicLines();
    if (std::find(Music.begin(), Music.end(), Line) == Music.end())
      return "log line " + std::to_string(Lines + 1) + " is not a whole music sequence";
    ++Lines;
    From = Lf + 1;
  }
  if (From < All.size()) return "log ends in a partial line of " + std::to_string(All.size() - From) + " bytes";
  if (std::find(ACounts.begin(), ACounts.end(), Lines) == ACounts.end())
    return "log has " + std::to_string(Lines) + " lines";
  return "";
}

std::string RandomBytes(std::size_t ACount, unsigned ASeed) {
  std::mt19937 Gen(ASeed);
  std::string Out(ACount, '\0');
  for (auto& C : Out) C = static_cast<char>(Gen() & 0xFF);
  return Out;
}

}  // namespace faults
