#pragma once
// zelkit-launch's shared state and the calls between its parts: options and the door table, the
// listeners and the checks on who may call, pending handshakes, the nodes and their doors.
//
// A front door of any kind (telnet, rlogin, ...) works the same way: its listener accepts, asks
// CallerMayConnect, reads its own handshake (AddPending with a step function, so that slow or
// silent clients never hold up anyone else), then hands the connected socket to StartCaller with
// the caller's identity. StartCaller does the rest: node, per-address limit, drop file, menu, door.

#include <netinet/in.h>
#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "comm/comm_telnet.h"

namespace launcher {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kExecFailedStatus = 127;

// One entry of the door table: "--door CODE=PATH [ARGS]", a bare "--door PATH", or a [[door]] of
// the config file.
struct TDoor {
  std::string Code;               // what "xtrn=<code>" names; compared without regard to case
  std::string Path;               // absolute after start-up checks
  std::vector<std::string> Args;  // the door's own arguments, after the launcher's switches
  std::string WorkDir;            // empty: --workdir
  std::string Where;              // "FILE:LINE: " for a door from the config file, else empty
};

struct TOptions {
  std::vector<TDoor> Doors;
  int Port = 2323;
  int RloginPort = -1;            // -1: no rlogin listener
  std::string Bind = "127.0.0.1";
  std::string Base = "nodes";
  std::string WorkDir;
  std::string Name;               // empty: "Guest <node>" (or the name from the caller's handshake)
  bool NameGiven = false;
  long Minutes = 60;
  bool MinutesGiven = false;
  bool ModeNs = false;
  bool Stdio = false;
  bool Console = false;
  bool Raw = false;               // hand telnet callers to the door without the BBS's telnet negotiation
  bool RloginServerUser = true;   // the caller's name is in the rlogin server-user field (else client-user)
  long MaxCalls = 0;              // 0: no limit
  int MaxNodes = 250;
  int MaxPerAddress = 64;         // calls at once from one address; a BBS sends all its callers from one
  int MaxPending = 32;            // handshakes in progress at once; see AddPending for who gives way
  int HandshakeSeconds = 10;
  std::vector<std::string> DoorArgs;  // after "--": for every door
  struct TAllow {
    std::uint32_t Network;        // host byte order
    std::uint32_t Mask;
  };
  std::vector<TAllow> Allow;      // empty: telnet from anywhere, rlogin from loopback only
  std::vector<TAllow> TrustProxy; // proxies that name the caller (PROXY header, Forwarded)
  int WebPort = -1;               // -1: no web front door
  std::string WebRoot;            // the page's folder; empty: the source tree's web/
  std::vector<std::string> WebOrigins;  // further pages that may open the WebSocket
  int WebStallSeconds = 30;       // a browser that takes nothing this long is dropped
  std::string ConfigPath;         // --config: the file read at start and at SIGHUP
  bool ShowStatus = false;        // --status: show who is on and exit
  int WatchNode = 0;              // --watch N: follow node N's screen and exit when interrupted
  int WebPending = 256;           // web connections at once that are not callers yet
  int SshPort = -1;               // -1: no SSH front door
  std::string SshHostKey;         // empty: ssh_host_ed25519_key in the nodes base directory
  std::string SshAuthorizedKeys;  // empty: any caller may come in, with any password or none
};

extern TOptions FOptions;

// --- options.cpp: one table of options serves the command line (--NAME VALUE) and the config
// file (NAME = VALUE); a new option is one row of kOptionRows.
enum TValueKind : std::uint8_t {
  vkFlag,    // --NAME alone; true or false in the file
  vkNumber,  // a whole number within [Min, Max]
  vkText,    // one string
  vkList,    // a string, repeatable; an array of strings in the file
  vkDoor,    // --door CODE=PATH [ARGS]; [[door]] tables in the file
};
enum TOptionPlace : std::uint8_t { opBoth, opCommandLine, opFile };
struct TOptionRow {
  const char* Name;       // "port": --port on the command line, port = ... in the file
  TValueKind Kind;
  long Min, Max;          // vkNumber
  // Stores one value (for a number, ANumber holds it; for a flag, 1 or 0); returns what is wrong, or "".
  std::string (*Set)(TOptions& AOptions, const std::string& AText, long ANumber);
  void (*Clear)(TOptions& AOptions);  // lists: the command line's values replace the file's
  TOptionPlace Place;
  const char* Value;      // for the usage text: "N", "DIR", ...; "" for a flag
  const char* Help;       // lines after the first start with \n
  bool IsPath;            // relative paths in the file are taken from the file's folder
};
extern const TOptionRow kOptionRows[];
extern const std::size_t kOptionRowCount;
const TOptionRow* FindOptionRow(const std::string& AName);

// The command line, applied over AOptions (the file's values, or the defaults); "" or what is wrong.
std::string ApplyCommandLine(TOptions& AOptions, const std::vector<std::string>& AArgs);
// The checks that take the options as a whole (a door given, no two doors with one code, ...).
std::string FinishOptions(TOptions& AOptions);
// Every door exists and can run; paths become absolute. "" or what is wrong, with the door's place.
std::string CheckDoors(TOptions& AOptions);
TDoor ParseDoor(const std::string& AValue);
bool SameCode(const std::string& A, const std::string& B);
// The whole start-up: the command line, the config file it names, the checks; exits with
// kExitUsage (and a message) on anything wrong, before anything listens.
void ParseOptions(int AArgc, char** AArgv);
[[noreturn]] void UsageError(const std::string& AWhy);
// One event on standard error, in one write. Under journald (JOURNAL_STREAM) with a syslog
// priority prefix, elsewhere after a timestamp.
enum TLogLevel : std::uint8_t { llError = 3, llWarning = 4, llNotice = 5, llInfo = 6 };
void Log(const std::string& ALine, TLogLevel ALevel = llInfo);

// --- status.cpp: who is on, for the sysop
void OpenStatusSocket();   // <base>/status.sock; without one (a message says why) the launcher still serves
int StatusFd();            // -1 when there is none
void AnswerStatus();       // after the status socket is readable
void CloseStatusSocket();
int ShowStatus();          // --status: asks the running launcher; the exit code
[[noreturn]] void WatchNode(int ANode);  // --watch N: follows the node's console stream until interrupted

// --- config.cpp: the TOML config file
extern std::vector<std::string> FCommandLine;  // the launcher's arguments, applied again over a reloaded file
// Reads AFile into AOptions; "" or "FILE:LINE: what is wrong".
std::string LoadConfigFile(const std::string& AFile, TOptions& AOptions);
// SIGHUP with --config: the file again, the command line over it, the checks; the new door table,
// allow list and limits then serve new callers. A bad file is logged and the running ones stay.
void ReloadConfig();

// --- listener.cpp: front doors, who may call, handshakes in progress
enum TCallerKind : std::uint8_t { ckTelnet, ckRlogin, ckWeb, ckSsh };
// Web and SSH callers reach the door through the launcher's relays, which speak telnet towards the door.
inline bool SpeaksTelnet(TCallerKind AKind) { return AKind != ckRlogin; }

// Who is calling, as far as the front door knows.
struct TCaller {
  TCallerKind Kind = ckTelnet;
  std::string Peer;               // "address:port", for log lines
  std::uint32_t Address = 0;      // IPv4, host byte order: the allow list and the per-address limit
  std::string Name;               // for the drop file; empty: --name, else "Guest <node>"
  std::string DoorCode;           // a door asked for by code; empty: the menu, or the only door
  std::uint64_t RelayId = 0;      // SSH callers: the relay told of the door's end (SshDoorEnded)
  bool AwaitingProxyHeader = false;  // a trusted proxy's connection whose PROXY header is still to come
  std::string NameNote;           // for the log: why the handshake gave no name, when it gave none
};

const char* KindName(TCallerKind AKind);  // "telnet", "rlogin", "web", "ssh"
bool AddressAllowed(TCallerKind AKind, std::uint32_t AAddress);
bool ProxyTrusted(std::uint32_t AAddress);  // on --trust-proxy
int MaxPerAddressNow();                     // --max-per-address, for the web thread (a reload may change it)
bool AddressNamed(std::uint32_t AAddress);  // given on its own (no /BITS) in --allow
std::unique_lock<std::mutex> LockAddressLists();  // held while a reload replaces FOptions
// Text from a caller for a log line: control bytes, DEL and C1 bytes (0x80-0x9F, which some
// terminals take as controls) are shown as \xHH, so the log shows what came and cannot be forged.
std::string Printable(const std::string& AText);
// The allow list's verdict on a new connection; a refusal is logged and the socket closed.
bool CallerMayConnect(int ASocket, const TCaller& ACaller);

enum THandshakeResult : std::uint8_t { hsWait, hsDone, hsFailed };
// Called whenever a pending connection is readable. Reads what it needs (never blocks), may fill
// the caller's identity; hsDone starts the call, hsFailed closes the connection (the step logs why).
using THandshakeStep = THandshakeResult (*)(int ASocket, TCaller& ACaller, std::string& AState);
// Takes over the socket until its handshake is done, failed or timed out (--handshake-timeout).
// When --max-pending handshakes are already waiting, room is made: handshakes that have arrived
// whole are started (they never give way), then the connection that has sent the least for the
// longest is closed, taken from the newcomer's own address when that address has any waiting.
// Every front door with a handshake of its own shares these bounds through this call.
void AddPending(int ASocket, const TCaller& ACaller, THandshakeStep AStep);
// Refusals are summed per address and reason: true when this one is the first of its kind in the
// current interval (log it in full); the others are counted and FlushRefusals logs one line each.
bool LogRefusal(const TCaller& ACaller, const std::string& AReason);
void FlushRefusals(bool AAll);  // AAll: now, whether or not the interval is over (at the end)
int RefusalTimeoutMs();         // until the interval ends; -1 when nothing is counted

struct TListener {
  int Fd = -1;
  TCallerKind Kind = ckTelnet;
  int Port = 0;
  std::chrono::steady_clock::time_point PausedUntil;  // after an accept error: not polled until then
  std::string Address;  // the address it listens on, for the start-up lines
};
extern std::vector<TListener> FListeners;
int OpenListener(int APort, int& ABoundPort);  // -1 with errno on failure
void AcceptOn(TListener& AListener);           // takes every waiting connection
void CloseListeners();
// Listening sockets handed in by the service manager (socket activation: LISTEN_FDS, sd_listen_fds):
// named telnet and rlogin (LISTEN_FDNAMES), or else the first is telnet and the second rlogin.
// How many were taken; 0 when none were handed in; -1 after a message when one cannot be used.
int TakeHandedSockets();
std::string PeerName(const sockaddr_in& ASin);

// Poll set contributions of the pending handshakes, and their service.
void PendingPollFds(std::vector<struct pollfd>& AFds);
void ServicePending(const std::vector<struct pollfd>& AFds, std::size_t AFrom);
int PendingTimeoutMs();  // until the next handshake deadline; -1 when none is pending
void ExpirePending();
void ClosePending();

// --- handshakes.cpp
// The BBS's telnet negotiation before a door starts: the offers, sent as the caller gets a node,
// then the client's answers, taken as they arrive while the launcher goes on with other callers.
constexpr int kNegotiationMs = 500;  // longest wait for a client's answers
struct TTelnetAnswers {
  bool Answered[4] = {};    // DO ECHO, DO SUPPRESS-GO-AHEAD, DO BINARY, WILL BINARY (or their refusals)
  std::string Partial;      // the start of a command not complete yet
  std::size_t Taken = 0;    // command bytes taken so far
};
bool SendTelnetOffers(int ASocket);
// hsWait until every offer is answered; hsDone then, or when the caller types or hangs up (the
// door's start finds that out); hsFailed, logged, when the caller's first bytes are a PROXY header
// from an address not trusted to send one.
THandshakeResult TelnetAnswersStep(int ASocket, const TCaller& ACaller, TTelnetAnswers& AState);
std::size_t TelnetCommandLength(const unsigned char* ABytes, std::size_t ALen);
THandshakeResult RloginStep(int ASocket, TCaller& ACaller, std::string& AState);
// A trusted proxy's connection: the PROXY header (proxy_header.h) names the caller, whose address
// then replaces the proxy's and meets the allow list; rlogin's own handshake follows it.
THandshakeResult ProxyStep(int ASocket, TCaller& ACaller, std::string& AState);
// Whether a caller's first bytes, as far as they have come, are a PROXY header, when its address is
// not a trusted proxy's: such a caller is refused (logged here). Never waits.
bool SentUntrustedProxyHeader(int ASocket, const TCaller& ACaller);
// The caller's input on a telnet connection with telnet commands taken out by the transport's own
// receive filter (comm/comm_telnet.h: a doubled IAC is a data byte 255, a command split between
// two blocks is carried over), then CR LF, CR NUL and a lone LF folded to CR, as the door's
// transport delivers them.
class TTelnetInput {
 public:
  void Feed(const unsigned char* ABytes, std::size_t ALen, std::string& AData);

 private:
  TTelnetReceive FReceive;
  bool FAfterCr = false;
};

// --- nodes.cpp
// Takes over the socket: a free node (or a polite refusal), the per-address limit, the telnet
// offers, the drop file; once the client has answered, the door on the socket, started by the
// launcher itself, or through the caller's own process when it shows the menu or runs the door on a
// pseudo-terminal (--stdio) or the launcher's terminal (--console).
void StartCaller(int ASocket, const TCaller& ACaller);
void InitNodes();
// Poll set contributions of the nodes: the callers whose telnet answers are awaited, and the
// start-up pipes of the callers' own processes; ServiceNode when one is ready.
void NodePollFds(std::vector<struct pollfd>& AFds, std::vector<int>& ANodes);
void ServiceNode(int ANode);
void ReadStartReport(int ANode);
int NodeTimeoutMs();       // until the next caller's telnet answers are due; -1 when none is awaited
void ExpireNegotiations();  // callers whose answers have not come in time get their door all the same
void EndNegotiations();     // when the launcher stops: callers whose door has not started are hung up
// A busy node as the status shows it.
struct TNodeView {
  int Node = 0;
  TCallerKind Kind = ckTelnet;
  std::string Name;
  std::string Peer;
  std::string Door;     // empty until the caller's process has chosen one (the menu)
  std::time_t Since = 0;
  int Socket = -1;      // the caller's connection, for how long the caller has sent nothing
};
std::vector<TNodeView> BusyNodes();
std::string NodePeer(int ANode);  // the address of the node's caller, for log lines; "" when free
void ReapDoors();
bool AnyDoorRunning();
void SignalDoors(int ASignal);
extern long FCallsStarted;
extern long FCallsEnded;
void RestoreTerminal();  // --console: the launcher's terminal as it was at start

// --- menu.cpp: runs in the caller's process; the index into FOptions.Doors, or -1 (caller left)
int ChooseDoor(int ASocket, TCallerKind AKind);
int FindDoor(const std::vector<TDoor>& ADoors, const std::string& ACode);  // -1 when no door has that code

// --- relay.cpp: runs in the caller's process; never returns
// AConsoleFd: node<N>/console.ans, which gets a copy of what the door shows (-1: none).
[[noreturn]] void RunOnPty(int ASocket, TCallerKind AKind, int AReportFd, int AConsoleFd, std::vector<char*>& AArgv);

// --- web_calls.cpp: the web front door (--web), when the launcher is built with it
int StartWeb(int AWakeFd);              // the web page's port, or -1 after a message
void ServiceWebCalls(bool AStopping);   // after a wake-up: a node for each web caller now connected
void StopWeb();

// --- ssh.cpp, ssh_keys.cpp: the SSH front door (--ssh-port), a thread of its own like the web one
// Loads (or makes) the host key and the allowed keys, listens and starts the thread; the port, or
// -1 after a message; AFingerprint gets the host key's. A host key or key list that cannot be read
// ends the start with kExitUsage.
int StartSsh(int AWakeFd, std::string& AFingerprint);
void ServiceSshCalls(bool AStopping);   // after a wake-up: a node for each SSH caller who asked for a door
void SshDoorEnded(std::uint64_t AId, int AWaitStatus);  // -1: no door ran; before the node's socket closes
void SshTakeOptions();  // the SSH thread's copy of the door codes, allow list and handshake limits, after a reload
void StopSsh();

// --- node_files.cpp: a node's files, and what a door's process starts with
std::string NodeDir(int ANode);  // <base>/node<N>
// The node's lock (on console.ans, or node.lock with --console), taken without waiting: the
// descriptor, or -1 when another door holds the node or it cannot be set up (AWhy says which).
int LockNode(int ANode, std::string& AWhy);
// DOOR32.SYS for the call, with a twelfth line for the caller's address; false when it cannot be written.
bool WriteDoor32(const std::string& APath, int ANode, int AHandle, const std::string& AName, const std::string& AAddress);
bool CallerGone(int ASocket);  // the caller has hung up (or the connection broke)
bool IsCrash(int ASignal);     // SIGSEGV, SIGABRT and the like, rather than a stop or a hang-up
void SayToCaller(int ASocket, const std::string& AText);  // never waits: what does not fit is lost
void HangUp(int ASocket);
std::string SignalName(int ASignal);  // "signal 9 (SIGKILL)"
[[noreturn]] void ReportFailure(int AReportFd, int AStep);  // steps: see kSteps in nodes.cpp
void ResetSignalsForChild();
// posix_spawn attributes for a door's process: AFlags (a process group, a session), an empty signal
// mask and default handling of every signal the launcher handles or ignores.
void SetDoorSpawnAttributes(posix_spawnattr_t& AAttr, short AFlags);
void KeepOnlyFd(int AFd);  // every other descriptor above 2 becomes close-on-exec

}  // namespace launcher
