// zelkit-launch: a stand-in for a BBS, for trying doors without one. It listens on a TCP port and,
// for every caller that connects, takes the lowest free node, writes that node's DOOR32.SYS and
// starts the door on the connected socket, the way a BBS hands a caller to a door. When the door
// ends, the launcher takes the caller back and hangs up.
//
// Single-threaded: one poll loop over the listening socket and a self-pipe that the SIGCHLD, SIGINT
// and SIGTERM handlers write to. Every descriptor the launcher opens is close-on-exec; only the
// caller's socket is made inheritable, in the door's own process, just before exec.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <linux/close_range.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kExecFailedStatus = 127;
constexpr auto kTermGrace = std::chrono::seconds(5);  // SIGTERM to SIGKILL when the launcher stops
constexpr int kNegotiationMs = 500;  // longest wait for a client's answers to the BBS's telnet offers
constexpr auto kAcceptPause = std::chrono::milliseconds(100);  // after an accept error other than a gone caller

struct TOptions {
  std::string Door;
  int Port = 2323;
  std::string Bind = "127.0.0.1";
  std::string Base = "nodes";
  std::string WorkDir;
  std::string Name;  // empty: "Guest <node>"
  long Minutes = 60;
  bool ModeNs = false;
  bool Stdio = false;
  bool Console = false;
  bool Raw = false;  // hand the connection to the door without the BBS's own telnet negotiation
  long MaxCalls = 0;  // 0: no limit
  int MaxNodes = 250;
  std::vector<std::string> DoorArgs;
};

struct TNode {
  bool Busy = false;
  pid_t Pid = -1;
  int Socket = -1;
  int StartReport = -1;  // the door's start-up pipe: end of file at a successful exec, else the failed step
};

TOptions FOptions;
std::vector<TNode> FNodes;  // index = node number; index 0 unused
int FListen = -1;
int FWake[2] = {-1, -1};   // self-pipe: signal handlers write, the poll loop reads
int FSpareFd = -1;         // held in reserve so a caller can still be refused when descriptors run out
volatile sig_atomic_t FChildEnded = 0;
volatile sig_atomic_t FStopRequests = 0;
long FCallsStarted = 0;
long FCallsEnded = 0;
bool FStopping = false;
std::chrono::steady_clock::time_point FKillDeadline;
std::chrono::steady_clock::time_point FAcceptPausedUntil;
bool FKilled = false;

const char kUsage[] =
    "usage: zelkit-launch --door PATH [options] [-- door arguments]\n"
    "Listens for telnet callers and starts the door for each one on its own node.\n"
    "  --door PATH        the door program to start (required)\n"
    "  --port N           TCP port to listen on (default 2323; 0 picks a free port)\n"
    "  --bind ADDR        IPv4 address to listen on (default 127.0.0.1)\n"
    "  --base DIR         where the node directories go (default ./nodes)\n"
    "  --workdir DIR      the door's working directory (default: the launcher's)\n"
    "  --name NAME        the caller's name in the drop file (default \"Guest <node>\")\n"
    "  --minutes N        time left in minutes in the drop file (default 60)\n"
    "  --mode door32|ns   start the door with -D<DOOR32.SYS> (default) or -N<node> -S<socket>\n"
    "  --stdio            add -X (the door keeps all traffic on its console)\n"
    "  --console          the door keeps this terminal instead of writing node<N>/console.ans\n"
    "  --raw              skip the telnet negotiation a BBS does before it starts the door\n"
    "  --max-nodes N      nodes available at once (default 250); more callers are turned away\n"
    "  --max-calls N      exit after N calls have ended\n"
    "  --help             show this text\n";

void Log(const std::string& ALine) {
  std::string Line = ALine + "\n";
  std::ignore = write(STDERR_FILENO, Line.data(), Line.size());
}

[[noreturn]] void UsageError(const std::string& AWhy) {
  std::fprintf(stderr, "zelkit-launch: %s\n%s", AWhy.c_str(), kUsage);
  std::exit(kExitUsage);
}

// The whole text as a decimal number within [AMin, AMax], or nothing.
std::optional<long> ParseNumber(const std::string& AText, long AMin, long AMax) {
  if (AText.empty() || AText.size() > 18) return std::nullopt;
  long Value = 0;
  for (char C : AText) {
    if (C < '0' || C > '9') return std::nullopt;
    Value = Value * 10 + (C - '0');
  }
  if (Value < AMin || Value > AMax) return std::nullopt;
  return Value;
}

void ParseOptions(int AArgc, char** AArgv) {
  bool HaveDoor = false;
  for (int I = 1; I < AArgc; ++I) {
    std::string Arg = AArgv[I];
    if (Arg == "--") {
      for (++I; I < AArgc; ++I) FOptions.DoorArgs.emplace_back(AArgv[I]);
      break;
    }
    if (Arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (Arg == "--stdio") { FOptions.Stdio = true; continue; }
    if (Arg == "--raw") { FOptions.Raw = true; continue; }
    if (Arg == "--console") { FOptions.Console = true; continue; }

    // Options with a value: "--opt VALUE" or "--opt=VALUE".
    std::string Value;
    if (auto Eq = Arg.find('='); Arg.rfind("--", 0) == 0 && Eq != std::string::npos) {
      Value = Arg.substr(Eq + 1);
      Arg.resize(Eq);
    } else {
      static const char* const kWithValue[] = {"--door", "--port", "--bind", "--base", "--workdir", "--name",
                                               "--minutes", "--mode", "--max-calls", "--max-nodes"};
      bool Known = false;
      for (const char* K : kWithValue) Known = Known || Arg == K;
      if (!Known) UsageError("unknown option " + Arg);
      if (I + 1 >= AArgc) UsageError(Arg + " needs a value");
      Value = AArgv[++I];
    }

    auto Number = [&](long AMin, long AMax) {
      auto N = ParseNumber(Value, AMin, AMax);
      if (!N) UsageError(Arg + " takes a number from " + std::to_string(AMin) + " to " + std::to_string(AMax));
      return *N;
    };
    if (Arg == "--door") {
      if (Value.empty()) UsageError("--door needs a path");
      FOptions.Door = Value;
      HaveDoor = true;
    } else if (Arg == "--port") {
      FOptions.Port = static_cast<int>(Number(0, 65535));
    } else if (Arg == "--bind") {
      FOptions.Bind = Value;
    } else if (Arg == "--base") {
      if (Value.empty()) UsageError("--base needs a directory");
      FOptions.Base = Value;
    } else if (Arg == "--workdir") {
      if (Value.empty()) UsageError("--workdir needs a directory");
      FOptions.WorkDir = Value;
    } else if (Arg == "--name") {
      // The drop file is one value per line: a line break in the name would shift every later line.
      if (Value.empty() || Value.find_first_of("\r\n") != std::string::npos)
        UsageError("--name needs a name on one line");
      FOptions.Name = Value;
    } else if (Arg == "--minutes") {
      FOptions.Minutes = Number(0, 35791394);  // the door multiplies by 60 into a 32-bit count of seconds
    } else if (Arg == "--mode") {
      if (Value == "door32") FOptions.ModeNs = false;
      else if (Value == "ns") FOptions.ModeNs = true;
      else UsageError("--mode is door32 or ns");
    } else if (Arg == "--max-calls") {
      FOptions.MaxCalls = Number(1, 1000000000);
    } else if (Arg == "--max-nodes") {
      FOptions.MaxNodes = static_cast<int>(Number(1, 9999));
    } else {
      UsageError("unknown option " + Arg);
    }
  }
  if (!HaveDoor) UsageError("--door is required");
}

void OnSignal(int ASignal) {
  int SavedErrno = errno;
  if (ASignal == SIGCHLD) FChildEnded = 1;
  else FStopRequests = FStopRequests + 1;
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
  // A caller who hangs up while being written to must not end the launcher.
  signal(SIGPIPE, SIG_IGN);
}

// Descriptors 0-2 must be taken, so that no socket the launcher opens lands on them and is then
// overwritten when the door's standard streams are set up.
void ReserveStandardFds() {
  for (int Fd = 0; Fd <= 2; ++Fd)
    if (fcntl(Fd, F_GETFD) == -1 && errno == EBADF) std::ignore = open("/dev/null", O_RDWR);
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

int OpenListener() {
  in_addr Addr {};
  if (inet_pton(AF_INET, FOptions.Bind.c_str(), &Addr) != 1) UsageError("--bind takes an IPv4 address");
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (Fd < 0) return -1;
  int One = 1;
  setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  sockaddr_in Sin {};
  Sin.sin_family = AF_INET;
  Sin.sin_port = htons(static_cast<std::uint16_t>(FOptions.Port));
  Sin.sin_addr = Addr;
  if (bind(Fd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0 || listen(Fd, 64) != 0) {
    int Saved = errno;
    close(Fd);
    errno = Saved;
    return -1;
  }
  socklen_t Len = sizeof Sin;
  getsockname(Fd, reinterpret_cast<sockaddr*>(&Sin), &Len);
  FOptions.Port = ntohs(Sin.sin_port);
  return Fd;
}

std::string NodeDir(int ANode) { return FOptions.Base + "/node" + std::to_string(ANode); }

// DOOR32.SYS: comm type, socket handle, baud, BBS name, user record (from 1), real name, alias,
// security level, minutes left, emulation (1 = ANSI), node; CR LF after every line.
bool WriteDoor32(const std::string& APath, int ANode, int ASocket) {
  std::string Name = FOptions.Name.empty() ? "Guest " + std::to_string(ANode) : FOptions.Name;
  std::string Text;
  for (const std::string& Line :
       {std::string("2"), std::to_string(ASocket), std::string("38400"), std::string("zelkit-launch"),
        std::string("1"), Name, Name, std::string("10"), std::to_string(FOptions.Minutes), std::string("1"),
        std::to_string(ANode)})
    Text += Line + "\r\n";
  std::ofstream Out(APath, std::ios::binary | std::ios::trunc);
  Out << Text;
  Out.close();
  return static_cast<bool>(Out);
}

// Length of the telnet command at the start of ABytes (RFC 854: IAC and a command; option
// negotiations carry one more byte, subnegotiations run to IAC SE), or 0 when it is not complete yet.
std::size_t TelnetCommandLength(const unsigned char* ABytes, std::size_t ALen) {
  if (ALen < 2) return 0;
  const unsigned char Command = ABytes[1];
  if (Command >= 251 && Command <= 254) return ALen >= 3 ? 3 : 0;  // WILL, WONT, DO, DONT option
  if (Command == 250) {                                               // SB ... IAC SE
    for (std::size_t I = 2; I + 1 < ALen; ++I)
      if (ABytes[I] == 255 && ABytes[I + 1] == 240) return I + 2;
    return 0;
  }
  return 2;
}

// What a BBS does before it starts a door: it offers to echo, to suppress go-ahead and to send
// 8-bit data, asks the client to send 8-bit data, and takes the client's answers off the line
// (RFC 857, 858, 856). The door's own offers then find the options already in effect, so a
// client that follows the rules does not answer again and no negotiation bytes reach the door
// as keys. Only telnet commands are taken; anything the caller typed stays for the door. Runs in
// the door's process before exec, so callers connecting at the same time never wait on each other.
void NegotiateLikeABbs(int ASocket) {
  static const unsigned char kOffers[] = {255, 251, 1, 255, 251, 3, 255, 251, 0, 255, 253, 0};
  if (send(ASocket, kOffers, sizeof kOffers, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof kOffers)) return;
  constexpr int kAnswersExpected = 4;
  int Answers = 0;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kNegotiationMs);
  for (;;) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now()).count();
    if (Left <= 0) return;
    // Once every offer has its answer, a short quiet spell ends the wait.
    pollfd Pfd{ASocket, POLLIN, 0};
    const int Ready = poll(&Pfd, 1, Answers >= kAnswersExpected ? std::min<int>(50, static_cast<int>(Left)) : static_cast<int>(Left));
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready <= 0) return;
    unsigned char Peek[512];
    const ssize_t Got = recv(ASocket, Peek, sizeof Peek, MSG_PEEK);
    if (Got <= 0 || Peek[0] != 255) return;  // hung up, or the caller's own keys: leave them
    const std::size_t Length = TelnetCommandLength(Peek, static_cast<std::size_t>(Got));
    if (Length == 0) {
      if (static_cast<std::size_t>(Got) == sizeof Peek) return;  // an endless subnegotiation: not ours to take
      continue;  // the rest of the command is on its way
    }
    unsigned char Discard[sizeof Peek];
    if (recv(ASocket, Discard, Length, 0) != static_cast<ssize_t>(Length)) return;
    if (Peek[1] >= 251 && Peek[1] <= 254) ++Answers;
  }
}

// The door's side of the fork: standard streams, working directory, the socket made inheritable,
// exec. On failure the step and errno go back to the launcher through the close-on-exec pipe.
[[noreturn]] void RunDoor(int ASocket, int AConsoleFd, int AErrFd, std::vector<char*>& AArgv) {
  sigset_t All;
  sigemptyset(&All);
  sigprocmask(SIG_SETMASK, &All, nullptr);
  signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored in the door
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGCHLD, SIG_DFL);
  int Report[2] = {0, 0};
  auto Fail = [&](int AStep) {
    Report[0] = AStep;
    Report[1] = errno;
    std::ignore = write(AErrFd, Report, sizeof Report);
    _exit(kExecFailedStatus);
  };
  // A process group of its own lets the launcher stop the door together with anything it started;
  // with --console the door stays in the terminal's foreground group so it can read the keyboard.
  if (!FOptions.Console) setpgid(0, 0);
  if (!FOptions.WorkDir.empty() && chdir(FOptions.WorkDir.c_str()) != 0) Fail(1);
  if (!FOptions.Raw) NegotiateLikeABbs(ASocket);
  if (AConsoleFd >= 0) {
    int Null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (Null < 0 || dup2(Null, STDIN_FILENO) < 0 || dup2(AConsoleFd, STDOUT_FILENO) < 0 ||
        dup2(AConsoleFd, STDERR_FILENO) < 0)
      Fail(2);
  }
  // Descriptors the launcher itself inherited without close-on-exec stay out of the door as well.
  if ((ASocket > 3 && close_range(3, static_cast<unsigned>(ASocket) - 1, CLOSE_RANGE_CLOEXEC) != 0) ||
      close_range(static_cast<unsigned>(ASocket) + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    long Max = sysconf(_SC_OPEN_MAX);
    for (int Fd = 3; Fd < (Max > 0 && Max < 65536 ? Max : 65536); ++Fd)
      if (Fd != ASocket) fcntl(Fd, F_SETFD, FD_CLOEXEC);
  }
  int Flags = fcntl(ASocket, F_GETFD);
  if (Flags < 0 || fcntl(ASocket, F_SETFD, Flags & ~FD_CLOEXEC) < 0) Fail(2);
  if (FOptions.Door.find('/') != std::string::npos) execv(AArgv[0], AArgv.data());
  else execvp(AArgv[0], AArgv.data());
  Fail(3);
  _exit(kExecFailedStatus);
}

void StartCall(int ASocket, const std::string& APeer) {
  int Node = 0;
  for (int N = 1; N <= FOptions.MaxNodes && Node == 0; ++N)
    if (!FNodes[N].Busy) Node = N;
  if (Node == 0) {
    Log("zelkit-launch: all " + std::to_string(FOptions.MaxNodes) + " nodes busy, caller " + APeer + " turned away");
    SayToCaller(ASocket, "Sorry, all nodes are busy. Please call again later.\r\n");
    HangUp(ASocket);
    return;
  }

  // From here on the caller holds a node and counts as a call, whether or not the door starts.
  ++FCallsStarted;
  if (FOptions.MaxCalls > 0 && FCallsStarted >= FOptions.MaxCalls && FListen >= 0) {
    // The last call of this run: later callers are refused by the system at once. Closed before the
    // door starts, so nobody the door has already greeted can see the launcher still answering.
    close(FListen);
    FListen = -1;
  }
  auto Refuse = [&](const std::string& AWhy) {
    Log("node " + std::to_string(Node) + ": " + AWhy);
    SayToCaller(ASocket, "Sorry, the door cannot be started right now. Please call again later.\r\n");
    HangUp(ASocket);
    ++FCallsEnded;
  };
  std::string Dir = NodeDir(Node);
  std::error_code Ec;
  std::filesystem::create_directories(Dir, Ec);
  if (Ec) return Refuse("cannot create " + Dir + ": " + Ec.message());
  std::string DropFile = Dir + "/DOOR32.SYS";
  if (!WriteDoor32(DropFile, Node, ASocket)) return Refuse("cannot write " + DropFile);

  int ConsoleFd = -1;
  if (!FOptions.Console) {
    std::string Capture = Dir + "/console.ans";
    ConsoleFd = open(Capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (ConsoleFd < 0) return Refuse("cannot create " + Capture + ": " + std::strerror(errno));
  }
  int ErrPipe[2];
  if (pipe2(ErrPipe, O_CLOEXEC) != 0) {
    if (ConsoleFd >= 0) close(ConsoleFd);
    return Refuse(std::string("cannot start the door: ") + std::strerror(errno));
  }

  std::vector<std::string> Args = {FOptions.Door};
  if (FOptions.ModeNs) {
    Args.push_back("-N" + std::to_string(Node));
    Args.push_back("-S" + std::to_string(ASocket));
  } else {
    Args.push_back("-D" + DropFile);
  }
  if (FOptions.Stdio) Args.push_back("-X");
  Args.insert(Args.end(), FOptions.DoorArgs.begin(), FOptions.DoorArgs.end());
  std::vector<char*> Argv;
  for (std::string& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);

  pid_t Pid = fork();
  if (Pid == 0) RunDoor(ASocket, ConsoleFd, ErrPipe[1], Argv);
  int ForkErrno = errno;
  if (Pid > 0 && !FOptions.Console) setpgid(Pid, Pid);  // also here, so a signal sent at once finds the group
  close(ErrPipe[1]);
  if (ConsoleFd >= 0) close(ConsoleFd);
  if (Pid < 0) {
    close(ErrPipe[0]);
    return Refuse(std::string("cannot start the door: ") + std::strerror(ForkErrno));
  }

  FNodes[Node] = TNode{true, Pid, ASocket, ErrPipe[0]};
  Log("node " + std::to_string(Node) + ": call from " + APeer + ", door pid " + std::to_string(Pid));
  // The start-up pipe is read by the poll loop, not here: the door's process negotiates with the
  // caller before its exec, and other callers must not wait for that.
}

// Reads the door's start-up report once its pipe is readable (or the door has ended).
void ReadStartReport(int ANode) {
  TNode& Node = FNodes[static_cast<std::size_t>(ANode)];
  if (Node.StartReport < 0) return;
  int Report[2] = {0, 0};
  ssize_t Got;
  do Got = read(Node.StartReport, Report, sizeof Report);
  while (Got < 0 && errno == EINTR);
  close(Node.StartReport);
  Node.StartReport = -1;
  if (Got == static_cast<ssize_t>(sizeof Report)) {
    static const char* const kSteps[] = {"", "cannot enter the working directory ", "cannot set up the door's streams",
                                         "cannot start the door "};
    std::string What = kSteps[Report[0] >= 1 && Report[0] <= 3 ? Report[0] : 3];
    if (Report[0] == 1) What += FOptions.WorkDir;
    if (Report[0] == 3) What += FOptions.Door;
    Log("node " + std::to_string(ANode) + ": " + What + ": " + std::strerror(Report[1]));
    SayToCaller(Node.Socket, "Sorry, the door cannot be started right now. Please call again later.\r\n");
  }
}

std::string PeerName(const sockaddr_in& ASin) {
  char Buf[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &ASin.sin_addr, Buf, sizeof Buf);
  return std::string(Buf) + ":" + std::to_string(ntohs(ASin.sin_port));
}

void AcceptCallers() {
  while (!FStopping && (FOptions.MaxCalls == 0 || FCallsStarted < FOptions.MaxCalls)) {
    sockaddr_in Sin {};
    socklen_t Len = sizeof Sin;
    int Fd = accept4(FListen, reinterpret_cast<sockaddr*>(&Sin), &Len, SOCK_CLOEXEC);
    if (Fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;  // a caller gone before we answered
      if ((errno == EMFILE || errno == ENFILE) && FSpareFd >= 0) {
        // Out of descriptors: free the spare to take the caller, hang up, take the spare back.
        close(FSpareFd);
        Fd = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
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
        FAcceptPausedUntil = std::chrono::steady_clock::now() + kAcceptPause;
      }
      return;
    }
    StartCall(Fd, PeerName(Sin));
  }
}

void ReapDoors() {
  for (;;) {
    int Status = 0;
    pid_t Pid = waitpid(-1, &Status, WNOHANG);
    if (Pid < 0 && errno == EINTR) continue;
    if (Pid <= 0) return;
    for (std::size_t N = 1; N < FNodes.size(); ++N) {
      if (!FNodes[N].Busy || FNodes[N].Pid != Pid) continue;
      ReadStartReport(static_cast<int>(N));
      std::string How = WIFEXITED(Status) ? "door ended with exit code " + std::to_string(WEXITSTATUS(Status))
                                          : "door ended, killed by signal " + std::to_string(WTERMSIG(Status));
      Log("node " + std::to_string(N) + ": " + How);
      HangUp(FNodes[N].Socket);
      FNodes[N] = TNode{};
      ++FCallsEnded;
    }
  }
}

bool AnyDoorRunning() {
  for (const TNode& N : FNodes)
    if (N.Busy) return true;
  return false;
}

void SignalDoors(int ASignal) {
  for (const TNode& N : FNodes)
    if (N.Busy) kill(FOptions.Console ? N.Pid : -N.Pid, ASignal);
}

void BeginStop() {
  if (FStopping) return;
  FStopping = true;
  if (FListen >= 0) close(FListen);
  FListen = -1;
  SignalDoors(SIGTERM);
  FKillDeadline = std::chrono::steady_clock::now() + kTermGrace;
}

int Serve() {
  sig_atomic_t StopsSeen = 0;
  for (;;) {
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
      BeginStop();
    }
    if (FOptions.MaxCalls > 0 && FCallsEnded >= FOptions.MaxCalls) BeginStop();
    if (FStopping && !AnyDoorRunning()) return 0;

    int Timeout = -1;
    if (FStopping && !FKilled) {
      auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(FKillDeadline - std::chrono::steady_clock::now());
      if (Left.count() <= 0) {
        Log("zelkit-launch: doors still running after SIGTERM, sending SIGKILL");
        SignalDoors(SIGKILL);
        FKilled = true;
      } else {
        Timeout = static_cast<int>(Left.count()) + 1;
      }
    }

    bool Accepting = FListen >= 0 && (FOptions.MaxCalls == 0 || FCallsStarted < FOptions.MaxCalls);
    if (Accepting && !FStopping) {
      auto Paused = std::chrono::duration_cast<std::chrono::milliseconds>(FAcceptPausedUntil - std::chrono::steady_clock::now());
      if (Paused.count() > 0) {
        Accepting = false;
        Timeout = static_cast<int>(Paused.count()) + 1;
      }
    }
    std::vector<pollfd> Fds = {{FWake[0], POLLIN, 0}, {Accepting ? FListen : -1, POLLIN, 0}};
    std::vector<int> Reporting;  // node of each start-up pipe watched, in the order of Fds from 2 on
    for (std::size_t N = 1; N < FNodes.size(); ++N) {
      if (FNodes[N].Busy && FNodes[N].StartReport >= 0) {
        Fds.push_back({FNodes[N].StartReport, POLLIN, 0});
        Reporting.push_back(static_cast<int>(N));
      }
    }
    int Ready = poll(Fds.data(), Fds.size(), Timeout);
    if (Ready < 0) {
      if (errno == EINTR) continue;
      Log(std::string("zelkit-launch: poll: ") + std::strerror(errno));
      return kExitFailure;
    }
    if (Fds[0].revents & POLLIN) {
      char Drain[64];
      while (read(FWake[0], Drain, sizeof Drain) > 0) {}
    }
    for (std::size_t I = 0; I < Reporting.size(); ++I)
      if (Fds[I + 2].revents != 0) ReadStartReport(Reporting[I]);
    if (Accepting && (Fds[1].revents & POLLIN)) AcceptCallers();
  }
}

}  // namespace

int main(int argc, char** argv) {
  ReserveStandardFds();
  ParseOptions(argc, argv);
  const std::string DoorAsGiven = FOptions.Door;

  // The drop file path handed to the door is absolute, so a --workdir does not change its meaning.
  std::error_code Ec;
  std::filesystem::path Base = std::filesystem::absolute(FOptions.Base, Ec);
  if (Ec) UsageError("--base: " + Ec.message());
  FOptions.Base = Base.lexically_normal().string();
  if (FOptions.Base.size() > 1 && FOptions.Base.back() == '/') FOptions.Base.pop_back();
  if (FOptions.Door.find('/') != std::string::npos) {
    std::filesystem::path Door = std::filesystem::absolute(FOptions.Door, Ec);
    if (!Ec) FOptions.Door = Door.lexically_normal().string();
  }
  FNodes.resize(static_cast<std::size_t>(FOptions.MaxNodes) + 1);

  if (pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("zelkit-launch: pipe");
    return kExitFailure;
  }
  InstallSignals();
  FSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  FListen = OpenListener();
  if (FListen < 0) {
    std::fprintf(stderr, "zelkit-launch: cannot listen on %s:%d: %s\n", FOptions.Bind.c_str(), FOptions.Port,
                 std::strerror(errno));
    return kExitFailure;
  }
  std::printf("zelkit-launch: listening on %s:%d, door %s\n", FOptions.Bind.c_str(), FOptions.Port, DoorAsGiven.c_str());
  std::fflush(stdout);
  return Serve();
}
