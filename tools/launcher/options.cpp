// zelkit-launch's options: the one table the command line and the config file share, the door
// table and the allow list, the checks that run before the launcher listens, and the event log.

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <iterator>
#include <filesystem>
#include <optional>
#include <sstream>
#include <tuple>

#include "tools/launcher/launcher_internal.h"

#ifndef ZELKIT_VERSION
#error "ZELKIT_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace launcher {

TOptions FOptions;

namespace {

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

bool IsCode(const std::string& AText) {
  if (AText.empty() || AText.size() > 32) return false;
  for (char C : AText)
    if (!((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '_' || C == '-'))
      return false;
  return true;
}

// An address with an optional prefix length, for the allow list and the trusted proxies (AName).
std::string ParseAllow(const char* AName, const std::string& AValue, TOptions::TAllow& AAllow) {
  const std::size_t Slash = AValue.find('/');
  long Bits = 32;
  if (Slash != std::string::npos) {
    auto N = ParseNumber(AValue.substr(Slash + 1), 0, 32);
    if (!N) return AName + (" " + AValue) + ": the prefix length is 0 to 32";
    Bits = *N;
  }
  in_addr Addr{};
  if (inet_pton(AF_INET, AValue.substr(0, Slash).c_str(), &Addr) != 1)
    return AName + std::string(" takes an IPv4 address, optionally with /BITS");
  const std::uint32_t Mask = Bits == 0 ? 0 : ~std::uint32_t{0} << (32 - Bits);
  // "10.1.2.3/0" would let everyone in while it reads as one host: everyone must be asked for plainly.
  if (Bits == 0 && (ntohl(Addr.s_addr) != 0 || AValue != "0.0.0.0/0"))
    return "allow " + AValue + ": /0 admits every address; write 0.0.0.0/0 if that is meant";
  AAllow = {ntohl(Addr.s_addr) & Mask, Mask};
  return "";
}

std::string NotEmpty(const std::string& AText, const char* AWhat) {
  return AText.empty() ? std::string("needs ") + AWhat : "";
}

using O = TOptions;
const std::string kOk;

}  // namespace

// One row per option, in the order of the usage text. Set stores a value already checked against
// the row's kind (a number within its range); anything else it checks itself.
const TOptionRow kOptionRows[] = {
    {"door", vkDoor, 0, 0,
     [](O& A, const std::string& V, long) {
       if (V.empty()) return std::string("needs a path");
       TDoor Door = ParseDoor(V);
       if (Door.Path.empty()) return "door " + V + ": no path after the code";
       A.Doors.push_back(Door);
       return kOk;
     },
     [](O& A) { A.Doors.clear(); }, opBoth, "PATH",
     "a door program; a name without \"/\" is in the current directory\n"
     "--door CODE=PATH [ARGS]  a door in the door table, chosen by rlogin's xtrn=CODE or from the menu;\n"
     "repeat --door for several doors (the menu lists the first nine)", true},
    {"config", vkText, 0, 0, [](O& A, const std::string& V, long) { A.ConfigPath = V; return NotEmpty(V, "a file"); },
     nullptr, opCommandLine, "FILE",
     "read the options from this TOML file (options given here override it);\n"
     "SIGHUP reads it again", false},
    {"port", vkNumber, 0, 65535, [](O& A, const std::string&, long N) { A.Port = static_cast<int>(N); return kOk; },
     nullptr, opBoth, "N", "telnet port (default 2323; 0 picks a free port)", false},
    {"rlogin-port", vkNumber, 0, 65535,
     [](O& A, const std::string&, long N) { A.RloginPort = static_cast<int>(N); return kOk; }, nullptr, opBoth, "N",
     "also take rlogin callers on this port (off by default; 2513 is usual)", false},
    {"rlogin-name", vkText, 0, 0,
     [](O& A, const std::string& V, long) {
       if (V != "client" && V != "server") return std::string("is client or server");
       A.RloginServerUser = V == "server";
       return kOk;
     },
     nullptr, opBoth, "server|client",
     "the rlogin field that holds the caller's name (default server, where\nBBSes put it); a leading [TAG] is taken off", false},
    {"bind", vkText, 0, 0,
     [](O& A, const std::string& V, long) {
       in_addr Addr{};
       if (inet_pton(AF_INET, V.c_str(), &Addr) != 1) return std::string("takes an IPv4 address");
       A.Bind = V;
       return kOk;
     },
     nullptr, opBoth, "ADDR", "IPv4 address to listen on (default 127.0.0.1)", false},
    {"allow", vkList, 0, 0,
     [](O& A, const std::string& V, long) {
       TOptions::TAllow Allow{};
       std::string Why = ParseAllow("allow", V, Allow);
       if (Why.empty()) A.Allow.push_back(Allow);
       return Why;
     },
     [](O& A) { A.Allow.clear(); }, opBoth, "ADDR[/BITS]",
     "who may call (repeatable); without it telnet is open to all and rlogin\n"
     "only to loopback, since rlogin trusts the name the client sends", false},
    {"trust-proxy", vkList, 0, 0,
     [](O& A, const std::string& V, long) {
       TOptions::TAllow Proxy{};
       std::string Why = ParseAllow("trust-proxy", V, Proxy);
       if (Why.empty()) A.TrustProxy.push_back(Proxy);
       return Why;
     },
     [](O& A) { A.TrustProxy.clear(); }, opBoth, "ADDR[/BITS]",
     "a proxy whose connections name the caller: a PROXY header (telnet,\n"
     "rlogin) or Forwarded/X-Forwarded-For (web); repeatable. The caller's\n"
     "address is then the one the allow list, the limits and the log use", false},
    {"max-per-address", vkNumber, 1, 9999,
     [](O& A, const std::string&, long N) { A.MaxPerAddress = static_cast<int>(N); return kOk; }, nullptr, opBoth, "N",
     "calls at once from one address (default 64); an address given on its\nown in --allow (a BBS) may fill every node", false},
    {"max-pending", vkNumber, 1, 9999,
     [](O& A, const std::string&, long N) { A.MaxPending = static_cast<int>(N); return kOk; }, nullptr, opBoth, "N",
     "handshakes in progress at once (default 32); when full, the one that has\n"
     "sent the least for the longest gives way, from the newcomer's address first", false},
    {"handshake-timeout", vkNumber, 1, 3600,
     [](O& A, const std::string&, long N) { A.HandshakeSeconds = static_cast<int>(N); return kOk; }, nullptr, opBoth,
     "S", "seconds a caller has for the rlogin handshake (default 10)", false},
    {"base", vkText, 0, 0, [](O& A, const std::string& V, long) { A.Base = V; return NotEmpty(V, "a directory"); },
     nullptr, opBoth, "DIR", "where the node directories go (default ./nodes)", true},
    {"workdir", vkText, 0, 0, [](O& A, const std::string& V, long) { A.WorkDir = V; return NotEmpty(V, "a directory"); },
     nullptr, opBoth, "DIR", "the door's working directory (default: the launcher's)", true},
    {"name", vkText, 0, 0,
     [](O& A, const std::string& V, long) {
       // The drop file is one value per line: a line break in the name would shift every later line.
       if (V.empty() || V.find_first_of("\r\n") != std::string::npos) return std::string("needs a name on one line");
       A.Name = V;
       A.NameGiven = true;
       return kOk;
     },
     nullptr, opBoth, "NAME", "the caller's name in the drop file (default \"Guest <node>\")", false},
    // The door multiplies by 60 into a 32-bit count of seconds.
    {"minutes", vkNumber, 0, 35791394,
     [](O& A, const std::string&, long N) {
       A.Minutes = N;
       A.MinutesGiven = true;
       return kOk;
     },
     nullptr, opBoth, "N", "time left in minutes in the drop file (default 60)", false},
    {"mode", vkText, 0, 0,
     [](O& A, const std::string& V, long) {
       if (V != "door32" && V != "ns") return std::string("is door32 or ns");
       A.ModeNs = V == "ns";
       return kOk;
     },
     nullptr, opBoth, "door32|ns", "start the door with -D<DOOR32.SYS> (default) or -N<node> -S<socket>", false},
    {"stdio", vkFlag, 0, 0, [](O& A, const std::string&, long N) { A.Stdio = N != 0; return kOk; }, nullptr, opBoth, "",
     "add -X and run the door on a pseudo-terminal relayed to the caller", false},
    {"console", vkFlag, 0, 0, [](O& A, const std::string&, long N) { A.Console = N != 0; return kOk; }, nullptr, opBoth,
     "", "the door keeps this terminal instead of writing node<N>/console.ans;\none caller at a time", false},
    {"raw", vkFlag, 0, 0, [](O& A, const std::string&, long N) { A.Raw = N != 0; return kOk; }, nullptr, opBoth, "",
     "skip the telnet negotiation a BBS does before it starts the door", false},
    {"max-nodes", vkNumber, 1, 9999,
     [](O& A, const std::string&, long N) { A.MaxNodes = static_cast<int>(N); return kOk; }, nullptr, opBoth, "N",
     "nodes available at once (default 250); more callers are turned away", false},
    {"web", vkNumber, 0, 65535, [](O& A, const std::string&, long N) { A.WebPort = static_cast<int>(N); return kOk; },
     nullptr, opBoth, "N",
     "also serve a web page on this port (0: any free port) where callers\n"
     "play the doors in the browser, ANSI music included", false},
    {"web-root", vkText, 0, 0, [](O& A, const std::string& V, long) { A.WebRoot = V; return NotEmpty(V, "a directory"); },
     nullptr, opBoth, "DIR",
     "the page's folder (default: share/zelkit/web beside an installed\nlauncher, else web/ of the source tree)", true},
    {"web-origin", vkList, 0, 0,
     [](O& A, const std::string& V, long) {
       // An origin is scheme, host and port (RFC 6454): "https://bbs.example.org", no path.
       if (V.find("://") == std::string::npos || V.find('/', V.find("://") + 3) != std::string::npos)
         return std::string("takes scheme://host[:port], for example https://bbs.example.org");
       A.WebOrigins.push_back(V);
       return kOk;
     },
     [](O& A) { A.WebOrigins.clear(); }, opBoth, "URL",
     "another page allowed to open the door, e.g. https://bbs.example.org\n"
     "(repeatable; the launcher's own page always may)", false},
    {"web-stall", vkNumber, 1, 3600,
     [](O& A, const std::string&, long N) { A.WebStallSeconds = static_cast<int>(N); return kOk; }, nullptr, opBoth, "S",
     "drop a web caller whose browser takes nothing for S seconds (default 30)", false},
    {"web-pending", vkNumber, 1, 9999,
     [](O& A, const std::string&, long N) { A.WebPending = static_cast<int>(N); return kOk; }, nullptr, opBoth, "N",
     "web connections at once still loading the page (default 256); beyond that, or\n"
     "beyond the per-address limit from one address: 503 with a retry time", false},
    {"ssh-port", vkNumber, 0, 65535, [](O& A, const std::string&, long N) { A.SshPort = static_cast<int>(N); return kOk; },
     nullptr, opBoth, "N",
     "also take SSH callers on this port (0: any free port); the SSH user name\n"
     "is the caller's name; ssh -t -p N NAME@host CODE asks for one door", false},
    {"ssh-host-key", vkText, 0, 0, [](O& A, const std::string& V, long) { A.SshHostKey = V; return NotEmpty(V, "a file"); },
     nullptr, opBoth, "FILE",
     "the server's key, made at first start (default: ssh_host_ed25519_key\n"
     "in the --base directory); its fingerprint is logged at start", true},
    {"ssh-authorized-keys", vkText, 0, 0,
     [](O& A, const std::string& V, long) { A.SshAuthorizedKeys = V; return NotEmpty(V, "a file"); }, nullptr, opBoth,
     "FILE", "only callers with these public keys (one a line); without it\nany caller comes in, with any password or none",
     true},
    {"max-calls", vkNumber, 1, 1000000000, [](O& A, const std::string&, long N) { A.MaxCalls = N; return kOk; },
     nullptr, opBoth, "N", "exit after N calls have ended", false},
    {"door-args", vkList, 0, 0,
     [](O& A, const std::string& V, long) {
       A.DoorArgs.push_back(V);
       return kOk;
     },
     [](O& A) { A.DoorArgs.clear(); }, opFile, "", "", false},
    {"status", vkFlag, 0, 0, [](O& A, const std::string&, long N) { A.ShowStatus = N != 0; return kOk; }, nullptr,
     opCommandLine, "", "show who is on (node, caller, address, door, since, idle) and exit", false},
    {"watch", vkNumber, 1, 9999, [](O& A, const std::string&, long N) { A.WatchNode = static_cast<int>(N); return kOk; },
     nullptr, opCommandLine, "N", "show node N's screen as its caller sees it, live, until Ctrl-C", false},
};
const std::size_t kOptionRowCount = std::size(kOptionRows);

const TOptionRow* FindOptionRow(const std::string& AName) {
  for (const TOptionRow& Row : kOptionRows)
    if (AName == Row.Name) return &Row;
  return nullptr;
}

namespace {

std::string Usage() {
  std::string Text =
      "usage: zelkit-launch --door PATH [options] [-- door arguments]\n"
      "       zelkit-launch --config FILE [options]\n"
      "A door server: listens for telnet (and rlogin) callers and starts a door for each one on its own node.\n";
  constexpr std::size_t kColumn = 23;
  for (const TOptionRow& Row : kOptionRows) {
    if (Row.Place == opFile) continue;
    std::string Left = std::string("  --") + Row.Name + (*Row.Value ? std::string(" ") + Row.Value : "");
    Left += Left.size() + 1 < kColumn ? std::string(kColumn - Left.size(), ' ') : "  ";
    Text += Left;
    for (const char* P = Row.Help; *P; ++P) {
      Text += *P;
      if (*P == '\n') {
        // A line that starts with "--" is an option of its own (a second form of this one).
        Text += P[1] == '-' ? "  " : std::string(kColumn, ' ');
      }
    }
    Text += "\n";
  }
  Text += "  --version            show the version\n  --help               show this text\n";
  return Text;
}

}  // namespace

void Log(const std::string& ALine, TLogLevel ALevel) {
  std::string Line;
  if (std::getenv("JOURNAL_STREAM") != nullptr) {
    // journald keeps its own time; "<N>" is the line's syslog priority (sd-daemon(3)).
    Line = "<" + std::to_string(static_cast<int>(ALevel)) + ">";
  } else {
    char Stamp[32];
    const std::time_t Now = std::time(nullptr);
    std::tm Tm{};
    localtime_r(&Now, &Tm);
    Line.assign(Stamp, std::strftime(Stamp, sizeof Stamp, "%Y-%m-%d %H:%M:%S ", &Tm));
  }
  // One event per line: line breaks from elsewhere (a name, a path) must not start a false event.
  for (char C : ALine) Line += C == '\n' || C == '\r' ? ' ' : C;
  // A node's event names its caller's address, so that one caller's lines can be picked out.
  if (ALine.rfind("node ", 0) == 0) {
    const std::size_t Colon = ALine.find(": ");
    const auto Node = ParseNumber(ALine.substr(5, Colon == std::string::npos ? 0 : Colon - 5), 1, 99999);
    const std::string Peer = Node ? NodePeer(static_cast<int>(*Node)) : "";
    if (!Peer.empty() && ALine.find(Peer) == std::string::npos) Line += ", caller " + Peer;
  }
  Line += "\n";
  std::ignore = write(STDERR_FILENO, Line.data(), Line.size());
}

void UsageError(const std::string& AWhy) {
  std::fprintf(stderr, "zelkit-launch: %s\n%s", AWhy.c_str(), Usage().c_str());
  std::exit(kExitUsage);
}

// "CODE=PATH ARG..." names a door in the table; anything else is a path, taken whole as today.
TDoor ParseDoor(const std::string& AValue) {
  TDoor Door;
  const std::size_t Eq = AValue.find('=');
  if (Eq != std::string::npos && IsCode(AValue.substr(0, Eq))) {
    Door.Code = AValue.substr(0, Eq);
    std::istringstream Words(AValue.substr(Eq + 1));
    std::string Word;
    Words >> Door.Path;
    while (Words >> Word) Door.Args.push_back(Word);
  } else {
    Door.Path = AValue;
    const std::size_t Slash = AValue.find_last_of('/');
    Door.Code = Slash == std::string::npos ? AValue : AValue.substr(Slash + 1);
  }
  return Door;
}

bool SameCode(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I)
    if (std::tolower(static_cast<unsigned char>(A[I])) != std::tolower(static_cast<unsigned char>(B[I]))) return false;
  return true;
}

std::string ApplyCommandLine(TOptions& AOptions, const std::vector<std::string>& AArgs) {
  std::vector<const TOptionRow*> Cleared;  // lists given here replace the file's
  for (std::size_t I = 0; I < AArgs.size(); ++I) {
    std::string Arg = AArgs[I];
    if (Arg == "--") {
      if (std::find(Cleared.begin(), Cleared.end(), FindOptionRow("door-args")) == Cleared.end()) AOptions.DoorArgs.clear();
      AOptions.DoorArgs.insert(AOptions.DoorArgs.end(), AArgs.begin() + static_cast<std::ptrdiff_t>(I) + 1, AArgs.end());
      break;
    }
    // "--opt VALUE" or "--opt=VALUE".
    std::string Value;
    bool HasValue = false;
    if (auto Eq = Arg.find('='); Arg.rfind("--", 0) == 0 && Eq != std::string::npos) {
      Value = Arg.substr(Eq + 1);
      Arg.resize(Eq);
      HasValue = true;
    }
    const TOptionRow* Row = Arg.rfind("--", 0) == 0 ? FindOptionRow(Arg.substr(2)) : nullptr;
    if (Row == nullptr || Row->Place == opFile) return "unknown option " + Arg;
    long Number = 0;
    if (Row->Kind == vkFlag) {
      if (HasValue) return Arg + " takes no value";
      Number = 1;
      Value = "true";
    } else {
      if (!HasValue) {
        if (I + 1 >= AArgs.size()) return Arg + " needs a value";
        Value = AArgs[++I];
      }
      if (Row->Kind == vkNumber) {
        auto N = ParseNumber(Value, Row->Min, Row->Max);
        if (!N) return Arg + " takes a number from " + std::to_string(Row->Min) + " to " + std::to_string(Row->Max);
        Number = *N;
      }
    }
    if (Row->Clear != nullptr && std::find(Cleared.begin(), Cleared.end(), Row) == Cleared.end()) {
      Row->Clear(AOptions);
      Cleared.push_back(Row);
    }
    if (std::string Why = Row->Set(AOptions, Value, Number); !Why.empty())
      return Why.rfind(Row->Name, 0) == 0 ? "--" + Why : Arg + " " + Why;
  }
  return "";
}

std::string FinishOptions(TOptions& AOptions) {
  if (AOptions.ShowStatus || AOptions.WatchNode > 0) return "";
  if (AOptions.Doors.empty()) return AOptions.ConfigPath.empty() ? "--door is required" : "no door: give --door or a [[door]] in " + AOptions.ConfigPath;
  for (std::size_t A = 0; A < AOptions.Doors.size(); ++A)
    for (std::size_t B = A + 1; B < AOptions.Doors.size(); ++B)
      if (SameCode(AOptions.Doors[A].Code, AOptions.Doors[B].Code))
        return AOptions.Doors[B].Where + "two doors have the code " + AOptions.Doors[B].Code +
               (AOptions.Doors[B].Where.empty() ? "; give one of them CODE=PATH" : "");
  if (AOptions.Stdio && AOptions.Console)
    return "--stdio runs the door on the caller's own pseudo-terminal; it cannot also keep this terminal (--console)";
  if (AOptions.Console) AOptions.MaxNodes = 1;  // one door at a time owns the terminal
  return "";
}

void ParseOptions(int AArgc, char** AArgv) {
  std::vector<std::string> Args(AArgv + 1, AArgv + AArgc);
  FCommandLine = Args;
  for (const std::string& Arg : Args) {
    if (Arg == "--") break;
    if (Arg == "--help") {
      std::fputs(Usage().c_str(), stdout);
      std::exit(0);
    }
    if (Arg == "--version") {
      std::puts("zelkit-launch " ZELKIT_VERSION);
      std::exit(0);
    }
  }
  // The command line once to find --config (and to report its mistakes first), then the file, then
  // the command line again over the file's values.
  TOptions FromCommandLine;
  if (std::string Why = ApplyCommandLine(FromCommandLine, Args); !Why.empty()) UsageError(Why);
  if (!FromCommandLine.ConfigPath.empty()) {
    if (std::string Why = LoadConfigFile(FromCommandLine.ConfigPath, FOptions); !Why.empty()) {
      std::fprintf(stderr, "zelkit-launch: %s\n", Why.c_str());
      std::exit(kExitUsage);
    }
    std::ignore = ApplyCommandLine(FOptions, Args);
  } else {
    FOptions = FromCommandLine;
  }
  if (std::string Why = FinishOptions(FOptions); !Why.empty()) {
    if (FOptions.ConfigPath.empty()) UsageError(Why);
    std::fprintf(stderr, "zelkit-launch: %s\n", Why.c_str());
    std::exit(kExitUsage);
  }
  if (FOptions.ShowStatus || FOptions.WatchNode > 0) return;
  if (FOptions.ModeNs) {
    // -N<node> -S<socket> carries neither a name nor a time limit.
    if (FOptions.NameGiven) Log("zelkit-launch: --name has no effect with --mode ns (the door gets no drop file)", llWarning);
    if (FOptions.MinutesGiven)
      Log("zelkit-launch: --minutes has no effect with --mode ns (the door gets no drop file)", llWarning);
  }
  if (FOptions.Doors.size() > 9)
    Log("zelkit-launch: the menu lists the first nine doors; the others are reached with xtrn=CODE", llWarning);
}

int FindDoor(const std::vector<TDoor>& ADoors, const std::string& ACode) {
  for (std::size_t I = 0; I < ADoors.size(); ++I)
    if (SameCode(ADoors[I].Code, ACode)) return static_cast<int>(I);
  return -1;
}

std::string CheckDoors(TOptions& AOptions) {
  namespace fs = std::filesystem;
  for (TDoor& Door : AOptions.Doors) {
    const std::string AsGiven = Door.Path;
    const std::string Which = Door.Where + (Door.Where.empty() ? "--door " + AsGiven : "door " + Door.Code) + ": ";
    // A name without "/" is a file here, as a sysop who types "--door tunecraft" beside it means;
    // the door is never looked up on PATH.
    std::error_code Ec;
    fs::path Path = fs::absolute(AsGiven, Ec);
    if (Ec) return Which + Ec.message();
    Door.Path = Path.lexically_normal().string();
    struct stat St {};
    if (stat(Door.Path.c_str(), &St) != 0) return Which + std::strerror(errno) + " (looked for " + Door.Path + ")";
    if (S_ISDIR(St.st_mode)) return Which + "is a directory, not a program";
    if (!S_ISREG(St.st_mode)) return Which + "is not a regular file";
    if (access(Door.Path.c_str(), X_OK) != 0) return Which + "is not executable (chmod +x " + Door.Path + ")";
    if (!Door.WorkDir.empty() && (stat(Door.WorkDir.c_str(), &St) != 0 || !S_ISDIR(St.st_mode)))
      return Which + "its workdir " + Door.WorkDir + " is not a directory";
  }
  // A working directory that is not there would fail every caller: it is found before listening.
  if (!AOptions.WorkDir.empty()) {
    struct stat St {};
    if (stat(AOptions.WorkDir.c_str(), &St) != 0) return "--workdir " + AOptions.WorkDir + ": " + std::strerror(errno);
    if (!S_ISDIR(St.st_mode)) return "--workdir " + AOptions.WorkDir + ": is not a directory";
    if (access(AOptions.WorkDir.c_str(), X_OK) != 0) return "--workdir " + AOptions.WorkDir + ": cannot be entered";
  }
  return "";
}

}  // namespace launcher
