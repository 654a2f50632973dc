// Session records, hooks, start-up from the command line or a drop file, the exit step, shutdown.

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <tuple>
#include <string>
#include <vector>

#include "ansi/ansi.h"
#include "comm/comm.h"
#include "comm/comm_internal.h"
#include "console/console.h"
#include "door/door.h"
#include "door/door_internal.h"
#include "dropfiles/dropfiles.h"

TDoorLastKey DoorLastKey;
std::int32_t DoorLiteBarIndex = 0;
std::vector<std::string> DoorLiteBarOptions;
TDoorMorePrompts DoorMorePrompts;
std::string DoorProgramNameAndVersion = "Zelkit v13.09.02";
TDoorSession DoorSession;

void (*DoorOnCLP)(char AKey, const std::string& AValue) = nullptr;
void (*DoorOnHangup)() = DefaultOnHangup;
void (*DoorOnLocalLogin)() = DefaultOnLocalLogin;
void (*DoorOnStatusBar)() = DefaultOnStatusBar;
bool (*DoorOnSysopKey)(char AKey) = nullptr;
void (*DoorOnTimeOut)() = DefaultOnTimeOut;
void (*DoorOnTimeOutWarning)(std::uint8_t AMinutes) = nullptr;
void (*DoorOnTimeUp)() = DefaultOnTimeUp;
void (*DoorOnTimeUpWarning)(std::uint8_t AMinutes) = nullptr;
void (*DoorOnUsage)() = DefaultOnUsage;

namespace {

bool Stdio = false;
bool ExitStepInstalled = false;
bool ExitStepDone = false;
std::string ProgramPath;  // argv[0] as the door was started

// Days from 1 January 1970 to the given civil date (proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t AYear, unsigned AMonth, unsigned ADay) {
  AYear -= AMonth <= 2 ? 1 : 0;
  const std::int64_t era = (AYear >= 0 ? AYear : AYear - 399) / 400;
  const auto yoe = static_cast<unsigned>(AYear - era * 400);
  const unsigned doy = (153 * (AMonth + (AMonth > 2 ? -3 : 9)) + 2) / 5 + ADay - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The exit step: puts the caller's terminal back in order (attribute 7, cursor to the bottom-left
// corner) and hands the socket back without dropping the caller. Registered with atexit after the
// console came up, so it runs before the console restores the terminal and before the kit's
// globals are destroyed; handlers registered earlier run after it.
void NewExitProc() {
  if (ExitStepDone) return;
  ExitStepDone = true;
  DoorTextAttr(7);
  DoorCursorDown(255);
  DoorCursorLeft(255);
  if (!DoorLocal() && !DoorStdio()) DoorClose(false);
  ConsoleFlush();
}

// The exit step for the signals that end a run (SIGTERM from the BBS or the system, SIGHUP when the
// BBS's terminal goes, SIGINT), which skip the normal end of the program: the caller still gets the
// exit step's bytes and the socket is handed back without a shutdown; then the handler that was in
// place before (the console's, which restores the sysop's terminal) runs, and the process ends by
// the signal, as the one who sent it expects. The bytes are built at start-up, so the handler makes
// only async-signal-safe calls (send, close, raise).
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT};
struct sigaction FSignalBefore[std::size(kEndingSignals)];
char FSignalReset[64];
std::size_t FSignalResetLength = 0;

void OnEndingSignal(int ASignal) {
  const int SavedErrno = errno;
  CommReleaseFromSignal(FSignalReset, FSignalResetLength);
  for (std::size_t I = 0; I < std::size(kEndingSignals); ++I) {
    if (kEndingSignals[I] != ASignal) continue;
    const struct sigaction& Before = FSignalBefore[I];
    if ((Before.sa_flags & SA_SIGINFO) == 0 && Before.sa_handler != SIG_DFL && Before.sa_handler != SIG_IGN) {
      Before.sa_handler(ASignal);  // the console's restore; it raises the signal again itself
    } else {
      std::ignore = raise(ASignal);  // SA_RESETHAND put the default action back: ends the process on return
    }
  }
  errno = SavedErrno;
}

// Installed once the console is up, so its own restore handler is in place to be chained to. A
// signal the process ignores (a BBS started under nohup, say) stays ignored, and a handler of the
// program's own that takes extra information (SA_SIGINFO) is left alone.
void InstallSignalExitStep() {
  const std::string Reset = AnsiTextAttr(7) + AnsiCursorDown(255) + AnsiCursorLeft(255);
  if (Reset.size() > sizeof FSignalReset) return;
  std::memcpy(FSignalReset, Reset.data(), Reset.size());
  FSignalResetLength = Reset.size();
  for (std::size_t I = 0; I < std::size(kEndingSignals); ++I) {
    struct sigaction Before {};
    if (sigaction(kEndingSignals[I], nullptr, &Before) != 0 || Before.sa_handler == SIG_IGN ||
        (Before.sa_flags & SA_SIGINFO) != 0) {
      continue;
    }
    FSignalBefore[I] = Before;
    struct sigaction Act {};
    Act.sa_handler = OnEndingSignal;
    sigemptyset(&Act.sa_mask);
    for (const int Other : kEndingSignals) sigaddset(&Act.sa_mask, Other);  // one ending at a time
    Act.sa_flags = SA_RESETHAND;
    std::ignore = sigaction(kEndingSignals[I], &Act, nullptr);
  }
}

std::string UpperAscii(std::string AText) {
  for (char& c : AText) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return AText;
}

// A drop file counts as present when the path, symbolic links followed, names a regular file: a
// directory or a device in its place is reported like a missing file rather than read as empty.
bool DropFileExists(const std::string& APath) {
  struct stat st {};
  return stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

[[noreturn]] void FailStartup(const std::vector<std::string>& ALines) {
  ConsoleClrScr();
  for (const auto& line : ALines) ConsoleWrite(line + "\n");
  ConsoleDelay(2500);
  door_internal::EndProgram();
}

std::vector<std::string> OwnCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::string current;
  for (char c : all) {
    if (c == '\0') {
      args.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) args.push_back(current);
  return args;
}

void Startup(const std::vector<std::string>& AArgs) {
  if (!AArgs.empty()) ProgramPath = AArgs[0];

  std::string dropFile;
  bool local = true;
  std::int32_t node = 0;
  std::int32_t socket = -1;
  Stdio = false;

  for (std::size_t i = 1; i < AArgs.size(); ++i) {
    const std::string& arg = AArgs[i];
    if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) continue;
    const char letter = UpperAscii(arg.substr(1, 1))[0];
    const std::string value = arg.substr(2);
    switch (letter) {
      case '?':
        local = false;
        break;
      case 'D':
        local = false;
        dropFile = value;
        break;
      case 'N':
        node = StrToIntDef(value, 0);
        break;
      case 'S':
        local = false;
        socket = StrToIntDef(value, -1);
        break;
      case 'X':
        Stdio = true;
        break;
      default:
        if (DoorOnCLP) DoorOnCLP(letter, value);
        break;
    }
  }

  if (local) {
    DoorDropInfo.Node = node;
    if (DoorOnLocalLogin) {
      DoorOnLocalLogin();
      DoorClrScr();
    }
  } else if (socket >= 0 && node > 0) {
    DoorDropInfo.ComNum = socket;
    DoorDropInfo.ComType = 2;
    DoorDropInfo.Node = node;
  } else if (!dropFile.empty()) {
    struct Format {
      const char* Marker;
      void (*Reader)(const std::string&);
    };
    static constexpr Format kFormats[] = {{"DOOR32.SYS", ReadDoor32},
                                          {"DOOR.SYS", ReadDoorSys},
                                          {"DORINFO", ReadDorInfo},
                                          {"INFO.", ReadLordInfo}};
    const std::string upper = UpperAscii(dropFile);
    const bool exists = DropFileExists(dropFile);
    bool taken = false;
    for (const auto& format : kFormats) {
      if (exists && upper.find(format.Marker) != std::string::npos) {
        format.Reader(dropFile);
        taken = true;
        break;
      }
    }
    if (!taken) FailStartup({"", "  Drop File Does Not Exist Or Is Not Supported:", "  " + dropFile, ""});
  } else {
    if (DoorOnUsage) DoorOnUsage();
    door_internal::EndProgram();
  }

  DoorLastKey.Time = door_internal::TakeMark(door_internal::LastKeyMark);
  DoorSession.TimeOn = door_internal::TakeMark(door_internal::TimeOnMark);

  // A stdio session's keyboard is the caller, relayed by the BBS with telnet's line ends, and its
  // standard output goes to the caller: the door's bytes as a socket caller gets them. So too with
  // a drop file that says the connection is local (a BBS that runs its stdio doors so).
  if (Stdio && !door_internal::StdioCaller) {
    door_internal::StdioCaller = true;
    ConsoleSetCallerInput(true);
    ConsoleSetCallerOutput(true);
  }

  if (DoorLocal()) return;

  // A send that has to wait for the caller first brings the sysop's terminal up to date.
  CommOnSendWait = ConsoleFlush;
  if (!DoorOpenComm()) FailStartup({"", "  No Carrier Detected", ""});

  if (!ExitStepInstalled) {
    ExitStepInstalled = true;
    std::ignore = std::atexit(NewExitProc);
  }

  DoorSession.Events = true;
  DoorSession.EventsTime = 0;

  DoorClrScr();
  ConsoleWindow(1, 1, 80, 24);
  static bool SignalExitStepInstalled = false;
  if (!Stdio && !SignalExitStepInstalled) {
    SignalExitStepInstalled = true;
    InstallSignalExitStep();
  }
}

}  // namespace

namespace door_internal {

bool StdioCaller = false;

std::string ProgramFileName() {
  std::string path = ProgramPath;
  if (path.empty()) {
    const auto args = OwnCommandLine();
    if (!args.empty()) path = args[0];
  }
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

TDoorDateTime TakeMark(TTimeMark& AMark) {
  AMark.MonotonicNs = MonotonicNs();
  AMark.Stamp = DoorNow();
  AMark.Taken = true;
  return AMark.Stamp;
}

std::int64_t MillisecondsSince(TDoorDateTime AStamp, const TTimeMark& AMark) {
  if (AMark.Taken && AStamp == AMark.Stamp) return (MonotonicNs() - AMark.MonotonicNs + 500000) / 1000000;
  const double ms = std::floor(std::fabs(DoorNow() - AStamp) * 86400000.0 + 0.5);
  // A stamp of 0 against now is about 4e12 ms: well inside the range of a 64-bit count.
  if (!(ms < 9.0e15)) return INT64_MAX / 1000;
  return static_cast<std::int64_t>(ms);
}

void EndProgram() {
  ConsoleFlush();
  std::exit(0);
}

}  // namespace door_internal

TDoorDateTime DoorNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  const time_t seconds = ts.tv_sec;
  localtime_r(&seconds, &local);
  // Day 0 is 30 December 1899, which lies 25569 days before 1 January 1970.
  const std::int64_t days =
      DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) +
      25569;
  const double secondsOfDay = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
                              static_cast<double>(ts.tv_nsec) / 1e9;
  return static_cast<double>(days) + secondsOfDay / 86400.0;
}

void DoorStartup() { Startup(OwnCommandLine()); }

void DoorStartup(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv != nullptr; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  Startup(args);
}

void DoorShutdown() {
  DoorClose(false);
  DoorLiteBarOptions.clear();
  DoorLiteBarOptions.shrink_to_fit();
}

void DoorClose(bool ADisconnect) {
  if (!DoorLocal() && !DoorStdio()) CommClose(ADisconnect);
}

bool DoorLocal() { return DoorDropInfo.ComType == 0; }

bool DoorStdio() { return Stdio; }

// In a stdio session standard input is the caller, relayed by the BBS: its end of file (the BBS
// closed the caller's terminal) is the caller's hang-up, as end of file on the socket is.
bool DoorCarrier() {
  if (DoorLocal()) return true;
  if (Stdio) return ConsoleInputHandle() >= 0;
  return CommCarrier();
}

bool DoorOpenComm() {
  if (DoorDropInfo.ComNum == 0 || DoorDropInfo.ComType == 0 || Stdio) return true;
  // A serial port's number ("COM1:" in DOOR.SYS, for a telnet caller too) is no descriptor the BBS
  // handed down: 1 and 2 are the door's own standard output and error, which may well be a socket
  // (a service manager's journal). No carrier, then, as for any descriptor that is not the caller's.
  if (DoorDropInfo.ComType == 1 && DoorDropInfo.ComNum <= 2) return false;
  CommOpen(DoorDropInfo.ComNum);
  return CommCarrier();
}
