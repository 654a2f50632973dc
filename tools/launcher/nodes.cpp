// zelkit-launch's nodes: giving a caller a node, the telnet answers awaited there, the door started
// on the connected socket (by the launcher itself, or through the caller's own process for the menu,
// --stdio and --console) with that process's start-up report, and reaping.
//
// Every descriptor the launcher opens is close-on-exec; only the caller's socket (and the node's
// console.ans as output) reaches the door.

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <tuple>

#include "tools/launcher/launcher_internal.h"

namespace launcher {

long FCallsStarted = 0;
long FCallsEnded = 0;

namespace {

struct TNode {
  bool Busy = false;
  pid_t Pid = -1;        // the door's process, or the caller's own (menu, --stdio, --console); -1 before either
  int Socket = -1;
  int StartReport = -1;  // the caller's own process's start-up pipe: end of file at a successful exec, else the failed step
  int LockFd = -1;       // the node's lock while the launcher holds it, until the door's process has it
  bool NoDoor = false;   // the caller left (or asked for an unknown door) before any door started
  TCaller Caller;        // as the front door gave it
  std::string Name;      // as in the drop file
  std::string DropFile;
  std::time_t Since = 0;
  std::vector<TDoor> Doors;  // the door table this call started with (a reload may change the launcher's)
  int Door = -1;             // the door chosen; -1 until known (the menu)
  bool Negotiating = false;  // the telnet offers are out and the client's answers are awaited
  TTelnetAnswers Answers;
  std::chrono::steady_clock::time_point AnswersDue;
};

std::vector<TNode> FNodes;  // index = node number; index 0 unused
int FMyNode = 0;            // in a caller's own process: its node and address
std::string FMyPeer;
bool FHaveTerminal = false;
termios FTerminal {};

// The caller's socket in a door started straight from the launcher, as socket activation hands it.
constexpr int kDoorSocketFd = 3;

// Steps of the caller's process that can fail; the number goes back through the start-up pipe.
// kStepChosen is no failure: it names the door (the second number) before the door starts.
enum : int { kStepWorkDir = 1, kStepStreams = 2, kStepExec = 3, kStepNoDoor = 4, kStepChosen = 5 };

std::string NodeTag(int ANode) { return "node " + std::to_string(ANode) + ": "; }

// The log line that opens a call: who, from where, and once known the pid of the door's process.
std::string CallLine(int ANode, const TCaller& ACaller, pid_t APid) {
  return NodeTag(ANode) + KindName(ACaller.Kind) + " call from " + ACaller.Peer +
         (ACaller.Name.empty() ? "" : " (" + Printable(ACaller.Name) + ")") +
         (APid > 0 ? ", door pid " + std::to_string(APid) : "") + (ACaller.NameNote.empty() ? "" : "; " + ACaller.NameNote);
}

// A call that ends before any door started: the node and the connection are given back.
void EndWithoutDoor(int ANode, const std::string& AWhy, TLogLevel ALevel = llInfo) {
  TNode& Node = FNodes[static_cast<std::size_t>(ANode)];
  if (!AWhy.empty()) Log(NodeTag(ANode) + AWhy, ALevel);
  Log(NodeTag(ANode) + "call ended before a door started");
  if (Node.LockFd >= 0) close(Node.LockFd);
  if (Node.Caller.Kind == ckSsh) SshDoorEnded(Node.Caller.RelayId, -1);
  HangUp(Node.Socket);
  Node = TNode{};
  ++FCallsEnded;
}

// The door's command line: -D<DOOR32.SYS>, or -N<node> -S<socket>; -X with --stdio; then the
// door's own arguments and those after "--".
std::vector<std::string> DoorArgs(int ANode, const TNode& ANodeState, const TDoor& ADoor, int ASocketFd) {
  std::vector<std::string> Args = {ADoor.Path};
  if (FOptions.ModeNs) {
    Args.push_back("-N" + std::to_string(ANode));
    Args.push_back("-S" + std::to_string(ASocketFd));
  } else {
    Args.push_back("-D" + ANodeState.DropFile);
  }
  if (FOptions.Stdio) Args.push_back("-X");
  Args.insert(Args.end(), ADoor.Args.begin(), ADoor.Args.end());
  Args.insert(Args.end(), FOptions.DoorArgs.begin(), FOptions.DoorArgs.end());
  return Args;
}

std::vector<char*> ArgvOf(std::vector<std::string>& AArgs) {
  std::vector<char*> Argv;
  for (std::string& A : AArgs) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  return Argv;
}

const std::string& WorkDirOf(const TDoor& ADoor) { return ADoor.WorkDir.empty() ? FOptions.WorkDir : ADoor.WorkDir; }

// The caller's own process, for a call that needs one between the node and the door: the menu
// (which may take a while, so other callers must not wait on it), the --stdio relay, or the
// launcher's terminal with --console.
[[noreturn]] void RunCaller(int ANode, int AReportFd) {
  TNode& Node = FNodes[static_cast<std::size_t>(ANode)];
  const int ASocket = Node.Socket;
  const int ConsoleFd = FOptions.Console ? -1 : Node.LockFd;
  // The menu offers the door table this call started with.
  FOptions.Doors = Node.Doors;
  ResetSignalsForChild();
  FMyNode = ANode;
  FMyPeer = Node.Caller.Peer;
  // Logged here rather than by the launcher, so that it comes before anything else this call logs.
  const std::string Tag = NodeTag(ANode);
  Log(CallLine(ANode, Node.Caller, getpid()));
  // Nothing of the launcher's other connections stays open here while the caller reads the menu,
  // nor another node's lock, which must end with that node's call.
  CloseListeners();
  ClosePending();
  for (std::size_t N = 1; N < FNodes.size(); ++N) {
    if (static_cast<int>(N) == ANode || !FNodes[N].Busy) continue;
    close(FNodes[N].Socket);
    if (FNodes[N].StartReport >= 0) close(FNodes[N].StartReport);
    if (FNodes[N].LockFd >= 0) close(FNodes[N].LockFd);
  }
  // A process group of its own lets the launcher stop the door together with anything it started;
  // with --console the door stays in the terminal's foreground group so it can read the keyboard.
  if (!FOptions.Console) setpgid(0, 0);

  int Door = Node.Door;
  if (Door < 0) {
    Door = ChooseDoor(ASocket, Node.Caller.Kind);
    if (Door < 0) {
      Log(Tag + "caller left at the menu");
      ReportFailure(AReportFd, kStepNoDoor);
    }
  }
  const TDoor& Chosen = FOptions.Doors[static_cast<std::size_t>(Door)];
  if (FOptions.Doors.size() > 1) Log(Tag + "door " + Chosen.Code);
  const int Chose[2] = {kStepChosen, Door};
  std::ignore = write(AReportFd, Chose, sizeof Chose);

  // With --stdio the caller is on the door's standard streams, descriptor 0.
  std::vector<std::string> Args = DoorArgs(ANode, Node, Chosen, FOptions.Stdio ? 0 : ASocket);
  std::vector<char*> Argv = ArgvOf(Args);
  const std::string& WorkDir = WorkDirOf(Chosen);
  if (!WorkDir.empty() && chdir(WorkDir.c_str()) != 0) ReportFailure(AReportFd, kStepWorkDir);
  if (FOptions.Stdio) RunOnPty(ASocket, Node.Caller.Kind, AReportFd, ConsoleFd, Argv);
  if (ConsoleFd >= 0) {
    int Null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (Null < 0 || dup2(Null, STDIN_FILENO) < 0 || dup2(ConsoleFd, STDOUT_FILENO) < 0 ||
        dup2(ConsoleFd, STDERR_FILENO) < 0)
      ReportFailure(AReportFd, kStepStreams);
  }
  KeepOnlyFd(ASocket);
  int Flags = fcntl(ASocket, F_GETFD);
  if (Flags < 0 || fcntl(ASocket, F_SETFD, Flags & ~FD_CLOEXEC) < 0) ReportFailure(AReportFd, kStepStreams);
  // The node stays locked while the door lives: through its standard output, or with --console
  // through the lock file's descriptor, which it keeps.
  if (FOptions.Console && fcntl(Node.LockFd, F_SETFD, 0) < 0) ReportFailure(AReportFd, kStepStreams);
  execv(Argv[0], Argv.data());
  ReportFailure(AReportFd, kStepExec);
}

void ForkCaller(int ANode) {
  TNode& Node = FNodes[static_cast<std::size_t>(ANode)];
  auto CannotStart = [&](int AErr) {
    Log(CallLine(ANode, Node.Caller, -1));
    SayToCaller(Node.Socket, "Sorry, the door cannot be started right now. Please call again later.\r\n");
    EndWithoutDoor(ANode, std::string("cannot start the door: ") + std::strerror(AErr), llError);
  };
  int ErrPipe[2];
  if (pipe2(ErrPipe, O_CLOEXEC | O_NONBLOCK) != 0) return CannotStart(errno);
  const pid_t Pid = fork();
  if (Pid == 0) {
    close(ErrPipe[0]);
    RunCaller(ANode, ErrPipe[1]);
  }
  const int ForkErrno = errno;
  if (Pid > 0 && !FOptions.Console) setpgid(Pid, Pid);  // also here, so a signal sent at once finds the group
  close(ErrPipe[1]);
  if (Pid < 0) {
    close(ErrPipe[0]);
    return CannotStart(ForkErrno);
  }
  close(Node.LockFd);  // the caller's process holds the node's lock from here on
  Node.LockFd = -1;
  Node.Pid = Pid;
  // The start-up pipe is read by the poll loop, not here: the caller may be at the menu for a while.
  Node.StartReport = ErrPipe[0];
}

// The door's process started straight from the launcher, sharing the launcher's memory until its
// exec (posix_spawn), instead of a copy of the launcher made only to set up descriptors: the
// caller's first byte comes sooner, and the launcher learns at once whether the door started.
// The door gets /dev/null as input, the node's console.ans (which holds the node's lock) as output
// and error, the caller's socket on descriptor 3 and nothing else, a process group of its own and
// default signal handling.
void SpawnDoor(int ANode) {
  TNode& Node = FNodes[static_cast<std::size_t>(ANode)];
  const TDoor& Chosen = Node.Doors[static_cast<std::size_t>(Node.Door)];
  std::vector<std::string> Args = DoorArgs(ANode, Node, Chosen, kDoorSocketFd);
  std::vector<char*> Argv = ArgvOf(Args);
  const std::string& WorkDir = WorkDirOf(Chosen);

  posix_spawn_file_actions_t Actions;
  posix_spawnattr_t Attr;
  posix_spawn_file_actions_init(&Actions);
  posix_spawnattr_init(&Attr);
  if (!WorkDir.empty()) posix_spawn_file_actions_addchdir_np(&Actions, WorkDir.c_str());
  posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&Actions, Node.LockFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Node.LockFd, STDERR_FILENO);
  // Onto itself when it is already descriptor 3: that clears close-on-exec.
  posix_spawn_file_actions_adddup2(&Actions, Node.Socket, kDoorSocketFd);
  posix_spawn_file_actions_addclosefrom_np(&Actions, kDoorSocketFd + 1);
  SetDoorSpawnAttributes(Attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&Attr, 0);
  pid_t Pid = -1;
  const int Err = posix_spawn(&Pid, Argv[0], &Actions, &Attr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  posix_spawnattr_destroy(&Attr);

  if (Err != 0) {
    // The working directory is entered first: when it cannot be, that is the step that failed.
    struct stat St {};
    const bool DirFailed = !WorkDir.empty() && (stat(WorkDir.c_str(), &St) != 0 || !S_ISDIR(St.st_mode) ||
                                                access(WorkDir.c_str(), X_OK) != 0);
    Log(CallLine(ANode, Node.Caller, -1));
    SayToCaller(Node.Socket, "Sorry, the door cannot be started right now. Please call again later.\r\n");
    return EndWithoutDoor(ANode, (DirFailed ? "cannot enter the working directory " + WorkDir : std::string("cannot start the door")) +
                                     ": " + std::strerror(Err), llError);
  }
  close(Node.LockFd);  // the door holds the node's lock from here on
  Node.LockFd = -1;
  Node.Pid = Pid;
  Log(CallLine(ANode, Node.Caller, Pid));
  if (Node.Doors.size() > 1) Log(NodeTag(ANode) + "door " + Chosen.Code);
}

// The caller has a node, a drop file and (on telnet) has answered the offers: its door starts,
// straight from the launcher when nothing has to happen first, else through a process of its own.
void StartDoor(int ANode) {
  TNode& Node = FNodes[static_cast<std::size_t>(ANode)];
  Node.Negotiating = false;
  Node.Answers = {};
  if (CallerGone(Node.Socket)) {
    Log(CallLine(ANode, Node.Caller, -1));
    return EndWithoutDoor(ANode, "caller hung up before the door started");
  }
  if (!Node.Caller.DoorCode.empty()) {
    Node.Door = FindDoor(Node.Doors, Node.Caller.DoorCode);
    if (Node.Door < 0) {
      Log(CallLine(ANode, Node.Caller, -1));
      SayToCaller(Node.Socket, "Sorry, there is no door called " + Node.Caller.DoorCode + " here.\r\n");
      return EndWithoutDoor(ANode, "no door with the code " + Node.Caller.DoorCode + ", asked for by " + Node.Caller.Peer);
    }
  } else if (Node.Doors.size() == 1) {
    Node.Door = 0;
  }
  if (FOptions.Stdio || FOptions.Console || Node.Door < 0) return ForkCaller(ANode);
  SpawnDoor(ANode);
}

}  // namespace

void InitNodes() {
  FNodes.resize(static_cast<std::size_t>(FOptions.MaxNodes) + 1);
  if (FOptions.Console && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &FTerminal) == 0) FHaveTerminal = true;
}

void RestoreTerminal() {
  if (FHaveTerminal) tcsetattr(STDIN_FILENO, TCSADRAIN, &FTerminal);
}

void StartCaller(int ASocket, const TCaller& ACaller) {
  // A connection already closed by its caller takes no node and no process: a flood of
  // connect-and-close costs an accept and a close each.
  if (CallerGone(ASocket)) {
    if (LogRefusal(ACaller, "hung up before it was answered"))
      Log("zelkit-launch: " + std::string(KindName(ACaller.Kind)) + " caller " + ACaller.Peer + " hung up before it was answered");
    close(ASocket);
    return;
  }
  // A PROXY header from an address not trusted to send one is refused before the caller takes a node.
  if (ACaller.Kind == ckTelnet && SentUntrustedProxyHeader(ASocket, ACaller)) {
    HangUp(ASocket);
    return;
  }
  int FromAddress = 0;
  for (int N = 1; N <= FOptions.MaxNodes; ++N)
    if (FNodes[N].Busy && FNodes[N].Caller.Address == ACaller.Address) ++FromAddress;
  const std::string Who = std::string(KindName(ACaller.Kind)) + " caller " + ACaller.Peer;
  // An address named on its own in --allow (a BBS sending its callers) may fill every node.
  if (FromAddress >= FOptions.MaxPerAddress && !AddressNamed(ACaller.Address)) {
    if (LogRefusal(ACaller, "per-address limit"))
      Log("zelkit-launch: " + Who + " turned away: already " + std::to_string(FromAddress) +
          " calls from that address (--max-per-address)");
    SayToCaller(ASocket, "Sorry, too many calls from your address. Please call again later.\r\n");
    HangUp(ASocket);
    return;
  }
  int Node = 0, LockFd = -1;
  for (int N = 1; N <= FOptions.MaxNodes && Node == 0; ++N) {
    if (FNodes[N].Busy) continue;
    std::string Why;
    LockFd = LockNode(N, Why);
    if (LockFd >= 0) Node = N;
    else if (LogRefusal(ACaller, "node " + std::to_string(N) + " unavailable"))
      Log("node " + std::to_string(N) + ": " + Why + "; passed over");
  }
  if (Node == 0) {
    if (LogRefusal(ACaller, "all nodes busy")) {
      if (FOptions.MaxNodes == 1) Log("zelkit-launch: the node is busy, " + Who + " turned away");
      else Log("zelkit-launch: all " + std::to_string(FOptions.MaxNodes) + " nodes are busy, " + Who + " turned away");
    }
    SayToCaller(ASocket, FOptions.MaxNodes == 1 ? "Sorry, the node is busy. Please call again later.\r\n"
                                                : "Sorry, all nodes are busy. Please call again later.\r\n");
    HangUp(ASocket);
    return;
  }

  // From here on the caller holds a node and counts as a call, whether or not the door starts.
  ++FCallsStarted;
  if (FOptions.MaxCalls > 0 && FCallsStarted >= FOptions.MaxCalls) {
    // The last call of this run: later callers are refused by the system at once. Closed before the
    // door starts, so nobody the door has already greeted can see the launcher still answering.
    CloseListeners();
  }
  // The telnet offers go out first, so that the client's answers travel while the node is made ready.
  const bool Negotiate = ((ACaller.Kind == ckTelnet && !FOptions.Raw) || ACaller.Kind == ckWeb || ACaller.Kind == ckSsh) &&
                         SendTelnetOffers(ASocket);
  auto Refuse = [&](const std::string& AWhy) {
    close(LockFd);
    Log("node " + std::to_string(Node) + ": " + AWhy + ", caller " + ACaller.Peer);
    SayToCaller(ASocket, "Sorry, the door cannot be started right now. Please call again later.\r\n");
    HangUp(ASocket);
    ++FCallsEnded;
  };
  const std::string Dir = NodeDir(Node);
  // Emptied only once it is ours: the screen of a door still running elsewhere stays as it is.
  if (!FOptions.Console && ftruncate(LockFd, 0) != 0)
    return Refuse("cannot empty " + Dir + "/console.ans: " + std::strerror(errno));
  TNode Started;
  Started.Busy = true;
  Started.Socket = ASocket;
  Started.LockFd = LockFd;
  Started.Caller = ACaller;
  Started.Name = !ACaller.Name.empty() ? ACaller.Name : !FOptions.Name.empty() ? FOptions.Name : "Guest " + std::to_string(Node);
  Started.DropFile = Dir + "/DOOR32.SYS";
  Started.Since = std::time(nullptr);
  Started.Doors = FOptions.Doors;
  // The socket's number in the door: with --stdio the door's input; descriptor 3 when the launcher
  // starts the door itself (one door, or the one the caller named), else the launcher's own number,
  // which the caller's process keeps.
  const bool Straight = !FOptions.Stdio && !FOptions.Console && (!ACaller.DoorCode.empty() || Started.Doors.size() == 1);
  char Address[INET_ADDRSTRLEN] = "";
  const in_addr Caller{htonl(ACaller.Address)};
  inet_ntop(AF_INET, &Caller, Address, sizeof Address);
  if (!WriteDoor32(Started.DropFile, Node, FOptions.Stdio ? 0 : Straight ? kDoorSocketFd : ASocket, Started.Name, Address))
    return Refuse("cannot write " + Started.DropFile);
  FNodes[static_cast<std::size_t>(Node)] = std::move(Started);
  if (!Negotiate) return StartDoor(Node);
  // The answers are taken by the poll loop as they come (ServiceNode), so other callers never wait.
  TNode& Waiting = FNodes[static_cast<std::size_t>(Node)];
  Waiting.Negotiating = true;
  Waiting.AnswersDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(kNegotiationMs);
  ServiceNode(Node);
}

void NodePollFds(std::vector<pollfd>& AFds, std::vector<int>& ANodes) {
  for (std::size_t N = 1; N < FNodes.size(); ++N) {
    const TNode& Node = FNodes[N];
    if (!Node.Busy || (!Node.Negotiating && Node.StartReport < 0)) continue;
    AFds.push_back(Node.Negotiating ? pollfd{Node.Socket, POLLIN | POLLRDHUP, 0} : pollfd{Node.StartReport, POLLIN, 0});
    ANodes.push_back(static_cast<int>(N));
  }
}

void ServiceNode(int ANode) {
  TNode& Node = FNodes[static_cast<std::size_t>(ANode)];
  if (!Node.Busy) return;
  if (!Node.Negotiating) return ReadStartReport(ANode);
  switch (TelnetAnswersStep(Node.Socket, Node.Caller, Node.Answers)) {
    case hsWait:
      return;
    case hsFailed:
      return EndWithoutDoor(ANode, "");
    case hsDone:
      return StartDoor(ANode);
  }
}

int NodeTimeoutMs() {
  int Soonest = -1;
  const auto Now = std::chrono::steady_clock::now();
  for (const TNode& Node : FNodes) {
    if (!Node.Busy || !Node.Negotiating) continue;
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Node.AnswersDue - Now).count();
    const int Ms = Left <= 0 ? 0 : static_cast<int>(Left) + 1;
    Soonest = Soonest < 0 ? Ms : std::min(Soonest, Ms);
  }
  return Soonest;
}

void ExpireNegotiations() {
  const auto Now = std::chrono::steady_clock::now();
  // A client that answers nothing gets its door all the same once the wait is over.
  for (std::size_t N = 1; N < FNodes.size(); ++N)
    if (FNodes[N].Busy && FNodes[N].Negotiating && FNodes[N].AnswersDue <= Now) StartDoor(static_cast<int>(N));
}

void EndNegotiations() {
  for (std::size_t N = 1; N < FNodes.size(); ++N)
    if (FNodes[N].Busy && FNodes[N].Negotiating) {
      Log(CallLine(static_cast<int>(N), FNodes[N].Caller, -1));
      EndWithoutDoor(static_cast<int>(N), "");
    }
}

// Reads the door's start-up reports once its pipe is readable (or the door has ended): the door
// chosen, then end of file at a successful exec or the step that failed.
void ReadStartReport(int ANode) {
  TNode& Node = FNodes[static_cast<std::size_t>(ANode)];
  while (Node.StartReport >= 0) {
    int Report[2] = {0, 0};
    ssize_t Got;
    do Got = read(Node.StartReport, Report, sizeof Report);
    while (Got < 0 && errno == EINTR);
    if (Got < 0 && errno == EAGAIN) return;  // the door has not started yet
    if (Got == static_cast<ssize_t>(sizeof Report) && Report[0] == kStepChosen) {
      if (Report[1] >= 0 && static_cast<std::size_t>(Report[1]) < Node.Doors.size()) Node.Door = Report[1];
      continue;
    }
    close(Node.StartReport);
    Node.StartReport = -1;
    if (Got != static_cast<ssize_t>(sizeof Report)) return;
    if (Report[0] == kStepNoDoor) {
      Node.NoDoor = true;  // the caller's process has said why
      return;
    }
    static const char* const kSteps[] = {"", "cannot enter the working directory ", "cannot set up the door's streams",
                                         "cannot start the door"};
    std::string What = kSteps[Report[0] >= 1 && Report[0] <= 3 ? Report[0] : 3];
    if (Report[0] == kStepWorkDir)
      What += Node.Door >= 0 && !Node.Doors[static_cast<std::size_t>(Node.Door)].WorkDir.empty()
                  ? Node.Doors[static_cast<std::size_t>(Node.Door)].WorkDir
                  : FOptions.WorkDir;
    Log("node " + std::to_string(ANode) + ": " + What + ": " + std::strerror(Report[1]), llError);
    SayToCaller(Node.Socket, "Sorry, the door cannot be started right now. Please call again later.\r\n");
  }
}

std::string NodePeer(int ANode) {
  if (ANode == FMyNode) return FMyPeer;
  if (ANode < 1 || static_cast<std::size_t>(ANode) >= FNodes.size() || !FNodes[static_cast<std::size_t>(ANode)].Busy)
    return "";
  return FNodes[static_cast<std::size_t>(ANode)].Caller.Peer;
}

std::vector<TNodeView> BusyNodes() {
  std::vector<TNodeView> Views;
  for (std::size_t N = 1; N < FNodes.size(); ++N) {
    const TNode& Node = FNodes[N];
    if (!Node.Busy) continue;
    Views.push_back(TNodeView{static_cast<int>(N), Node.Caller.Kind, Node.Name, Node.Caller.Peer,
                              Node.Door >= 0 ? Node.Doors[static_cast<std::size_t>(Node.Door)].Code : "",
                              Node.Since, Node.Socket});
  }
  return Views;
}

void ReapDoors() {
  for (;;) {
    int Status = 0;
    pid_t Pid = waitpid(-1, &Status, WNOHANG);
    if (Pid < 0 && errno == EINTR) continue;
    if (Pid <= 0) return;
    for (std::size_t N = 1; N < FNodes.size(); ++N) {
      if (!FNodes[N].Busy || FNodes[N].Pid != Pid) continue;
      RestoreTerminal();  // a door on the launcher's terminal may have left it raw
      ReadStartReport(static_cast<int>(N));
      const bool Signalled = !FNodes[N].NoDoor && WIFSIGNALED(Status);
      std::string How = FNodes[N].NoDoor    ? "call ended before a door started"
                        : WIFEXITED(Status) ? "door ended with exit code " + std::to_string(WEXITSTATUS(Status))
                        // On a pseudo-terminal the door's hang-up signal comes from the caller hanging up.
                        : FOptions.Stdio && WTERMSIG(Status) == SIGHUP
                            ? "caller hung up; the door ended on its terminal's hang-up (SIGHUP)"
                            : "door ended, killed by " + SignalName(WTERMSIG(Status));
      Log("node " + std::to_string(N) + ": " + How);
      if (Signalled && IsCrash(WTERMSIG(Status))) {
        // The door could not say goodbye: colours and cursor back to normal, and a word to the caller.
        SayToCaller(FNodes[N].Socket, "\x1b[0m\x1b[?25h\r\n\r\nSorry, the door ended unexpectedly. Goodbye.\r\n");
      }
      // The SSH relay closes the caller's channel with the door's exit status when the socket closes.
      if (FNodes[N].Caller.Kind == ckSsh) SshDoorEnded(FNodes[N].Caller.RelayId, FNodes[N].NoDoor ? -1 : Status);
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
    if (N.Busy && N.Pid > 0) kill(FOptions.Console ? N.Pid : -N.Pid, ASignal);
}

}  // namespace launcher
