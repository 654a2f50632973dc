#pragma once
// zelkit-launch's shared state and the calls between its parts: options and the door table, the
// listeners and the checks on who may call, pending handshakes, the nodes and their doors.
//
// A front door of any kind (telnet, rlogin, ...) works the same way: its listener accepts, asks
// CallerMayConnect, reads its own handshake (AddPending with a step function, so that slow or
// silent clients never hold up anyone else), then hands the connected socket to StartCaller with
// the caller's identity. StartCaller does the rest: node, per-address limit, drop file, menu, door.

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "comm/comm_telnet.h"

namespace launcher {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kExecFailedStatus = 127;

// One entry of the door table: "--door CODE=PATH [ARGS]" or a bare "--door PATH".
struct TDoor {
  std::string Code;               // what "xtrn=<code>" names; compared without regard to case
  std::string Path;               // absolute after start-up checks
  std::vector<std::string> Args;  // the door's own arguments, after the launcher's switches
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
  bool RloginServerUser = false;  // the caller's name is in the rlogin server-user field, not client-user
  long MaxCalls = 0;              // 0: no limit
  int MaxNodes = 250;
  int MaxPerAddress = 64;         // calls at once from one address; a BBS sends all its callers from one
  int MaxPending = 32;            // handshakes in progress at once; the oldest gives way to a newcomer
  int HandshakeSeconds = 10;
  std::vector<std::string> DoorArgs;  // after "--": for every door
  struct TAllow {
    std::uint32_t Network;        // host byte order
    std::uint32_t Mask;
  };
  std::vector<TAllow> Allow;      // empty: telnet from anywhere, rlogin from loopback only
  int WebPort = -1;               // -1: no web front door
  std::string WebRoot;            // the page's folder; empty: the source tree's web/
  std::vector<std::string> WebOrigins;  // further pages that may open the WebSocket
  int WebStallSeconds = 30;       // a browser that takes nothing this long is dropped
};

extern TOptions FOptions;

// --- options.cpp
void ParseOptions(int AArgc, char** AArgv);  // exits with kExitUsage on a bad command line
void CheckDoors();                           // every door exists and can run; else a message and kExitUsage
[[noreturn]] void UsageError(const std::string& AWhy);
void Log(const std::string& ALine);          // one line on standard error, in one write

// --- listener.cpp: front doors, who may call, handshakes in progress
enum TCallerKind : std::uint8_t { ckTelnet, ckRlogin, ckWeb };
// Web callers reach the door through the launcher's relay, which speaks telnet towards the door.
inline bool SpeaksTelnet(TCallerKind AKind) { return AKind != ckRlogin; }

// Who is calling, as far as the front door knows.
struct TCaller {
  TCallerKind Kind = ckTelnet;
  std::string Peer;               // "address:port", for log lines
  std::uint32_t Address = 0;      // IPv4, host byte order: the allow list and the per-address limit
  std::string Name;               // for the drop file; empty: --name, else "Guest <node>"
  std::string DoorCode;           // a door asked for by code; empty: the menu, or the only door
};

const char* KindName(TCallerKind AKind);  // "telnet", "rlogin", "web"
bool AddressAllowed(TCallerKind AKind, std::uint32_t AAddress);
// The allow list's verdict on a new connection; a refusal is logged and the socket closed.
bool CallerMayConnect(int ASocket, const TCaller& ACaller);

enum THandshakeResult : std::uint8_t { hsWait, hsDone, hsFailed };
// Called whenever a pending connection is readable. Reads what it needs (never blocks), may fill
// the caller's identity; hsDone starts the call, hsFailed closes the connection (the step logs why).
using THandshakeStep = THandshakeResult (*)(int ASocket, TCaller& ACaller, std::string& AState);
// Takes over the socket until its handshake is done, failed or timed out (--handshake-timeout).
// When --max-pending handshakes are already waiting, the oldest is closed to make room.
void AddPending(int ASocket, const TCaller& ACaller, THandshakeStep AStep);

struct TListener {
  int Fd = -1;
  TCallerKind Kind = ckTelnet;
  int Port = 0;
  std::chrono::steady_clock::time_point PausedUntil;  // after an accept error: not polled until then
};
extern std::vector<TListener> FListeners;
int OpenListener(int APort, int& ABoundPort);  // -1 with errno on failure
void AcceptOn(TListener& AListener);           // takes every waiting connection
void CloseListeners();
std::string PeerName(const sockaddr_in& ASin);

// Poll set contributions of the pending handshakes, and their service.
void PendingPollFds(std::vector<struct pollfd>& AFds);
void ServicePending(const std::vector<struct pollfd>& AFds, std::size_t AFrom);
int PendingTimeoutMs();  // until the next handshake deadline; -1 when none is pending
void ExpirePending();
void ClosePending();

// --- handshakes.cpp
void NegotiateLikeABbs(int ASocket);  // blocking; runs in the caller's own process
std::size_t TelnetCommandLength(const unsigned char* ABytes, std::size_t ALen);
THandshakeResult RloginStep(int ASocket, TCaller& ACaller, std::string& AState);
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
// Takes over the socket: a free node (or a polite refusal), the per-address limit, the drop file,
// then the caller's own process, which negotiates, shows the menu when no door is named, and runs
// the door on the socket (or on a pseudo-terminal with --stdio).
void StartCaller(int ASocket, const TCaller& ACaller);
void SayToCaller(int ASocket, const std::string& AText);
void HangUp(int ASocket);
void InitNodes();
void NodePollFds(std::vector<struct pollfd>& AFds, std::vector<int>& ANodes);
void ReadStartReport(int ANode);
void ReapDoors();
bool AnyDoorRunning();
void SignalDoors(int ASignal);
extern long FCallsStarted;
extern long FCallsEnded;
void RestoreTerminal();  // --console: the launcher's terminal as it was at start

// --- menu.cpp: runs in the caller's process; the index into FOptions.Doors, or -1 (caller left)
int ChooseDoor(int ASocket, TCallerKind AKind);
int FindDoor(const std::string& ACode);  // -1 when no door has that code

// --- relay.cpp: runs in the caller's process; never returns
[[noreturn]] void RunOnPty(int ASocket, TCallerKind AKind, int AReportFd, std::vector<char*>& AArgv);

// --- web_calls.cpp: the web front door (--web), when the launcher is built with it
int StartWeb(int AWakeFd);              // the web page's port, or -1 after a message
void ServiceWebCalls(bool AStopping);   // after a wake-up: a node for each web caller now connected
void StopWeb();

// --- shared with the door's side of the fork
[[noreturn]] void ReportFailure(int AReportFd, int AStep);  // steps: see kSteps in nodes.cpp
void ResetSignalsForChild();
void KeepOnlyFd(int AFd);  // every other descriptor above 2 becomes close-on-exec

}  // namespace launcher
