// The launcher's test harness: the launcher as a child process, callers over loopback TCP.

#include "tests/launcher/launcher_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <regex>
#include <thread>
#include <tuple>

namespace launcher_test {

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Caller::Caller(int APort, const std::string& ASource) {
  FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Sin {};
  Sin.sin_family = AF_INET;
  if (!ASource.empty()) {
    inet_pton(AF_INET, ASource.c_str(), &Sin.sin_addr);
    if (bind(FFd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0) return;
  }
  Sin.sin_port = htons(static_cast<std::uint16_t>(APort));
  Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  FConnected = connect(FFd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) == 0;
}

Caller Caller::Adopt(int AFd) {
  Caller C;
  C.FFd = AFd;
  C.FConnected = AFd >= 0;
  return C;
}

Caller::Caller(Caller&& AOther) noexcept
    : FFd(AOther.FFd), FConnected(AOther.FConnected), FEof(AOther.FEof), FError(AOther.FError),
      FBuffer(std::move(AOther.FBuffer)) {
  AOther.FFd = -1;
}

Caller::~Caller() {
  if (FFd >= 0) close(FFd);
}

void Caller::Abort() {
  linger Lg {1, 0};
  setsockopt(FFd, SOL_SOCKET, SO_LINGER, &Lg, sizeof Lg);
  close(FFd);
  FFd = -1;
}

void Caller::Send(const std::string& AText) { std::ignore = send(FFd, AText.data(), AText.size(), MSG_NOSIGNAL); }

std::string Caller::ReadUntil(const std::string& ANeedle) {
  const long long Deadline = NowMs() + kWaitMs;
  for (;;) {
    if (auto At = FBuffer.find(ANeedle); At != std::string::npos) {
      std::string Got = FBuffer.substr(0, At + ANeedle.size());
      FBuffer.erase(0, At + ANeedle.size());
      return Got;
    }
    if (!Fill(Deadline)) {
      std::string Got;
      Got.swap(FBuffer);
      return Got;
    }
  }
}

bool Caller::ReadsEndOfFile() {
  const long long Deadline = NowMs() + kWaitMs;
  while (Fill(Deadline)) FBuffer.clear();
  return FEof;
}

std::string Caller::ReadAll() {
  const long long Deadline = NowMs() + kWaitMs;
  while (Fill(Deadline)) {}
  std::string Got;
  Got.swap(FBuffer);
  return Got;
}

bool Caller::Fill(long long ADeadlineMs) {
  if (FEof || FError || FFd < 0) return false;
  for (;;) {
    const long long Left = ADeadlineMs - NowMs();
    if (Left <= 0) return false;
    pollfd P {FFd, POLLIN, 0};
    int R = poll(&P, 1, static_cast<int>(Left));
    if (R < 0 && errno == EINTR) continue;
    if (R <= 0) return false;
    char Buf[1024];
    ssize_t N = recv(FFd, Buf, sizeof Buf, 0);
    if (N < 0 && errno == EINTR) continue;
    if (N == 0) FEof = true;
    if (N < 0) FError = true;
    if (N <= 0) return false;
    FBuffer.append(Buf, static_cast<std::size_t>(N));
    return true;
  }
}

Launcher::Launcher(const std::filesystem::path& ADir, std::vector<std::string> AArgs) : FErrPath(ADir / "launcher.err") {
  int Out[2];
  if (pipe2(Out, O_CLOEXEC) != 0) return;
  std::vector<std::string> Args = {LAUNCHER_PATH};
  Args.insert(Args.end(), AArgs.begin(), AArgs.end());
  std::vector<char*> Argv;
  for (auto& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  std::string Err = FErrPath.string(), Dir = ADir.string();
  FPid = fork();
  if (FPid == 0) {
    int ErrFd = open(Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(Dir.c_str()) != 0 || ErrFd < 0) _exit(120);
    dup2(Out[1], STDOUT_FILENO);
    dup2(ErrFd, STDERR_FILENO);
    execv(Argv[0], Argv.data());
    _exit(121);
  }
  close(Out[1]);
  FOut = Out[0];
}

Launcher::~Launcher() {
  if (FPid > 0 && !FReaped) {
    // SIGTERM first, so that doors on pseudo-terminals are stopped by the launcher, not orphaned. The
    // launcher gives its doors 5 s before SIGKILL; one that is still there 3 s after that ignored
    // the signal, which fails the test instead of passing slowly.
    constexpr long long kTermWaitMs = 8000;
    kill(FPid, SIGTERM);
    bool Ended = false;
    for (const long long Deadline = NowMs() + kTermWaitMs; !Ended && NowMs() < Deadline;) {
      Ended = waitpid(FPid, nullptr, WNOHANG) == FPid;
      if (!Ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Ended) {
      ADD_FAILURE() << "zelkit-launch was still running " << kTermWaitMs / 1000 << " s after SIGTERM\n" << Log();
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  if (FOut >= 0) close(FOut);
}

std::string Launcher::FirstLine() {
  std::string Line;
  const long long Deadline = NowMs() + kWaitMs;
  while (Line.find('\n') == std::string::npos && NowMs() < Deadline) {
    pollfd P {FOut, POLLIN, 0};
    if (poll(&P, 1, 100) <= 0) continue;
    char C;
    if (read(FOut, &C, 1) != 1) break;
    Line += C;
  }
  return Line;
}

int Launcher::Port() {
  std::smatch M;
  std::string Line = FirstLine();
  static const std::regex kListening(R"(^zelkit-launch: listening on 127\.\d+\.\d+\.\d+:(\d+), doors? .*\n$)");
  return std::regex_match(Line, M, kListening) ? std::stoi(M[1]) : -1;
}

int Launcher::RloginPort() {
  std::smatch M;
  std::string Line = FirstLine();
  static const std::regex kRlogin(R"(^zelkit-launch: rlogin on 127\.0\.0\.1:(\d+)\n$)");
  return std::regex_match(Line, M, kRlogin) ? std::stoi(M[1]) : -1;
}

int Launcher::SshPort() {
  std::smatch M;
  std::string Line = FirstLine();
  static const std::regex kSsh(R"(^zelkit-launch: ssh on 127\.0\.0\.1:(\d+), host key SHA256:\S+\n$)");
  return std::regex_match(Line, M, kSsh) ? std::stoi(M[1]) : -1;
}

std::string Launcher::Log() const { return zelkit_test::ReadFile(FErrPath); }

bool Launcher::WaitForLog(const std::string& ANeedle) const {
  const long long Deadline = NowMs() + kWaitMs;
  while (Log().find(ANeedle) == std::string::npos) {
    if (NowMs() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int Launcher::WaitForExit() {
  const long long Deadline = NowMs() + kWaitMs;
  while (NowMs() < Deadline) {
    int Status = 0;
    if (waitpid(FPid, &Status, WNOHANG) == FPid) {
      FReaped = true;
      return Status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

bool Launcher::Running() const { return !FReaped && waitpid(FPid, nullptr, WNOHANG) == 0; }
void Launcher::Signal(int ASignal) const { kill(FPid, ASignal); }

std::vector<std::string> WithDoor(std::vector<std::string> AMore, const std::string& ADoor) {
  std::vector<std::string> Args = {"--door", ADoor, "--port", "0", "--raw"};
  Args.insert(Args.end(), AMore.begin(), AMore.end());
  return Args;
}

int NodeOf(const std::string& AGreeting) {
  std::smatch M;
  static const std::regex kGreeting(R"(^hello .* on node (\d+)\r\n$)");
  return std::regex_match(AGreeting, M, kGreeting) ? std::stoi(M[1]) : -1;
}

std::vector<std::string> SplitCrLf(const std::string& AText) {
  std::vector<std::string> Lines;
  std::size_t From = 0;
  for (std::size_t At; (At = AText.find("\r\n", From)) != std::string::npos; From = At + 2)
    Lines.push_back(AText.substr(From, At - From));
  if (From != AText.size()) Lines.push_back(AText.substr(From) + "<no CR LF>");
  return Lines;
}

std::string RloginHandshake(const std::string& AClientUser, const std::string& AServerUser, const std::string& ATerminal) {
  return std::string(1, '\0') + AClientUser + '\0' + AServerUser + '\0' + ATerminal + '\0';
}

}  // namespace launcher_test
