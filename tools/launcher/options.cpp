// zelkit-launch's command line: the options, the door table and the allow list, and the checks on
// the doors that run before the launcher listens, so that a mistyped path is found at once.

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

const char kUsage[] =
    "usage: zelkit-launch --door PATH [options] [-- door arguments]\n"
    "A door server: listens for telnet (and rlogin) callers and starts a door for each one on its own node.\n"
    "  --door PATH          a door program; a name without \"/\" is in the current directory\n"
    "  --door CODE=PATH [ARGS]  a door in the door table, chosen by rlogin's xtrn=CODE or from the menu;\n"
    "                       repeat --door for several doors (the menu lists the first nine)\n"
    "  --port N             telnet port (default 2323; 0 picks a free port)\n"
    "  --rlogin-port N      also take rlogin callers on this port (off by default; 2513 is usual)\n"
    "  --rlogin-name client|server  the rlogin field that holds the caller's name (default client);\n"
    "                       a leading [TAG] is taken off\n"
    "  --bind ADDR          IPv4 address to listen on (default 127.0.0.1)\n"
    "  --allow ADDR[/BITS]  who may call (repeatable); without it telnet is open to all and rlogin\n"
    "                       only to loopback, since rlogin trusts the name the client sends\n"
    "  --max-per-address N  calls at once from one address (default 64)\n"
    "  --max-pending N      handshakes in progress at once; the oldest gives way (default 32)\n"
    "  --handshake-timeout S  seconds a caller has for the rlogin handshake (default 10)\n"
    "  --base DIR           where the node directories go (default ./nodes)\n"
    "  --workdir DIR        the door's working directory (default: the launcher's)\n"
    "  --name NAME          the caller's name in the drop file (default \"Guest <node>\")\n"
    "  --minutes N          time left in minutes in the drop file (default 60)\n"
    "  --mode door32|ns     start the door with -D<DOOR32.SYS> (default) or -N<node> -S<socket>\n"
    "  --stdio              add -X and run the door on a pseudo-terminal relayed to the caller\n"
    "  --console            the door keeps this terminal instead of writing node<N>/console.ans;\n"
    "                       one caller at a time\n"
    "  --raw                skip the telnet negotiation a BBS does before it starts the door\n"
    "  --max-nodes N        nodes available at once (default 250); more callers are turned away\n"
    "  --web N              also serve a web page on this port (0: any free port) where callers\n"
    "                       play the doors in the browser, ANSI music included\n"
    "  --web-root DIR       the page's folder (default: share/zelkit/web beside an installed\n"
    "                       launcher, else web/ of the source tree)\n"
    "  --web-origin URL     another page allowed to open the door, e.g. https://bbs.example.org\n"
    "                       (repeatable; the launcher's own page always may)\n"
    "  --web-stall S        drop a web caller whose browser takes nothing for S seconds (default 30)\n"
    "  --max-calls N        exit after N calls have ended\n"
    "  --version            show the version\n"
    "  --help               show this text\n";

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

bool SameCode(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I)
    if (std::tolower(static_cast<unsigned char>(A[I])) != std::tolower(static_cast<unsigned char>(B[I]))) return false;
  return true;
}

// "CODE=PATH ARG..." names a door in the table; anything else is a path, taken whole as today.
TDoor ParseDoor(const std::string& AValue) {
  TDoor Door;
  const std::size_t Eq = AValue.find('=');
  if (Eq != std::string::npos && IsCode(AValue.substr(0, Eq))) {
    Door.Code = AValue.substr(0, Eq);
    std::istringstream Words(AValue.substr(Eq + 1));
    std::string Word;
    if (!(Words >> Door.Path)) UsageError("--door " + AValue + ": no path after the code");
    while (Words >> Word) Door.Args.push_back(Word);
  } else {
    Door.Path = AValue;
    const std::size_t Slash = AValue.find_last_of('/');
    Door.Code = Slash == std::string::npos ? AValue : AValue.substr(Slash + 1);
  }
  return Door;
}

TOptions::TAllow ParseAllow(const std::string& AValue) {
  const std::size_t Slash = AValue.find('/');
  long Bits = 32;
  if (Slash != std::string::npos) {
    auto N = ParseNumber(AValue.substr(Slash + 1), 0, 32);
    if (!N) UsageError("--allow " + AValue + ": the prefix length is 0 to 32");
    Bits = *N;
  }
  in_addr Addr{};
  if (inet_pton(AF_INET, AValue.substr(0, Slash).c_str(), &Addr) != 1)
    UsageError("--allow takes an IPv4 address, optionally with /BITS");
  const std::uint32_t Mask = Bits == 0 ? 0 : ~std::uint32_t{0} << (32 - Bits);
  return {ntohl(Addr.s_addr) & Mask, Mask};
}

}  // namespace

void Log(const std::string& ALine) {
  std::string Line = ALine + "\n";
  std::ignore = write(STDERR_FILENO, Line.data(), Line.size());
}

void UsageError(const std::string& AWhy) {
  std::fprintf(stderr, "zelkit-launch: %s\n%s", AWhy.c_str(), kUsage);
  std::exit(kExitUsage);
}

void ParseOptions(int AArgc, char** AArgv) {
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
    if (Arg == "--version") {
      std::puts("zelkit-launch " ZELKIT_VERSION);
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
      static const char* const kWithValue[] = {
          "--door", "--port", "--bind", "--base", "--workdir", "--name", "--minutes", "--mode", "--max-calls",
          "--max-nodes", "--rlogin-port", "--rlogin-name", "--allow", "--max-per-address", "--max-pending",
          "--handshake-timeout", "--web", "--web-root", "--web-origin", "--web-stall"};
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
      FOptions.Doors.push_back(ParseDoor(Value));
    } else if (Arg == "--port") {
      FOptions.Port = static_cast<int>(Number(0, 65535));
    } else if (Arg == "--rlogin-port") {
      FOptions.RloginPort = static_cast<int>(Number(0, 65535));
    } else if (Arg == "--rlogin-name") {
      if (Value == "client") FOptions.RloginServerUser = false;
      else if (Value == "server") FOptions.RloginServerUser = true;
      else UsageError("--rlogin-name is client or server");
    } else if (Arg == "--allow") {
      FOptions.Allow.push_back(ParseAllow(Value));
    } else if (Arg == "--max-per-address") {
      FOptions.MaxPerAddress = static_cast<int>(Number(1, 9999));
    } else if (Arg == "--max-pending") {
      FOptions.MaxPending = static_cast<int>(Number(1, 9999));
    } else if (Arg == "--handshake-timeout") {
      FOptions.HandshakeSeconds = static_cast<int>(Number(1, 3600));
    } else if (Arg == "--web") {
      FOptions.WebPort = static_cast<int>(Number(0, 65535));
    } else if (Arg == "--web-root") {
      if (Value.empty()) UsageError("--web-root needs a directory");
      FOptions.WebRoot = Value;
    } else if (Arg == "--web-origin") {
      // An origin is scheme, host and port (RFC 6454): "https://bbs.example.org", no path.
      if (Value.find("://") == std::string::npos || Value.find('/', Value.find("://") + 3) != std::string::npos)
        UsageError("--web-origin takes scheme://host[:port], for example https://bbs.example.org");
      FOptions.WebOrigins.push_back(Value);
    } else if (Arg == "--web-stall") {
      FOptions.WebStallSeconds = static_cast<int>(Number(1, 3600));
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
      FOptions.NameGiven = true;
    } else if (Arg == "--minutes") {
      FOptions.Minutes = Number(0, 35791394);  // the door multiplies by 60 into a 32-bit count of seconds
      FOptions.MinutesGiven = true;
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
  if (FOptions.Doors.empty()) UsageError("--door is required");
  for (std::size_t A = 0; A < FOptions.Doors.size(); ++A)
    for (std::size_t B = A + 1; B < FOptions.Doors.size(); ++B)
      if (SameCode(FOptions.Doors[A].Code, FOptions.Doors[B].Code))
        UsageError("two doors have the code " + FOptions.Doors[B].Code + "; give one of them CODE=PATH");
  if (FOptions.Stdio && FOptions.Console)
    UsageError("--stdio runs the door on the caller's own pseudo-terminal; it cannot also keep this terminal (--console)");
  in_addr Addr{};
  if (inet_pton(AF_INET, FOptions.Bind.c_str(), &Addr) != 1) UsageError("--bind takes an IPv4 address");
  if (FOptions.Console) FOptions.MaxNodes = 1;  // one door at a time owns the terminal
  if (FOptions.ModeNs) {
    // -N<node> -S<socket> carries neither a name nor a time limit.
    if (FOptions.NameGiven) Log("zelkit-launch: --name has no effect with --mode ns (the door gets no drop file)");
    if (FOptions.MinutesGiven) Log("zelkit-launch: --minutes has no effect with --mode ns (the door gets no drop file)");
  }
  if (FOptions.Doors.size() > 9)
    Log("zelkit-launch: the menu lists the first nine doors; the others are reached with xtrn=CODE");
}

int FindDoor(const std::string& ACode) {
  for (std::size_t I = 0; I < FOptions.Doors.size(); ++I)
    if (SameCode(FOptions.Doors[I].Code, ACode)) return static_cast<int>(I);
  return -1;
}

void CheckDoors() {
  namespace fs = std::filesystem;
  for (TDoor& Door : FOptions.Doors) {
    const std::string AsGiven = Door.Path;
    // A name without "/" is a file here, as a sysop who types "--door tunecraft" beside it means;
    // the door is never looked up on PATH.
    std::error_code Ec;
    fs::path Path = fs::absolute(AsGiven, Ec);
    if (Ec) UsageError("--door " + AsGiven + ": " + Ec.message());
    Door.Path = Path.lexically_normal().string();
    auto Fail = [&](const std::string& AWhy) {
      std::fprintf(stderr, "zelkit-launch: --door %s: %s\n", AsGiven.c_str(), AWhy.c_str());
      std::exit(kExitUsage);
    };
    struct stat St {};
    if (stat(Door.Path.c_str(), &St) != 0)
      Fail(std::string(std::strerror(errno)) + " (looked for " + Door.Path + ")");
    if (S_ISDIR(St.st_mode)) Fail("is a directory, not a program");
    if (!S_ISREG(St.st_mode)) Fail("is not a regular file");
    if (access(Door.Path.c_str(), X_OK) != 0) Fail("is not executable (chmod +x " + AsGiven + ")");
  }
}

}  // namespace launcher
