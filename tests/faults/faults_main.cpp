// zelkit-faults: runs the built music door, the launcher and a tiny file-display door through the
// faults a door meets on a real BBS (callers hanging up at any moment, the BBS or the sysop sending
// signals, hostile bytes from the caller, hostile files, a log that cannot be written, many callers
// at once) and prints one Markdown table row per fault. Exit code 1 when any case failed.
//
//   zelkit-faults --short | --full [--jobs N] [--only TEXT]
//                 [--tunecraft PATH] [--launcher PATH] [--showfile PATH]

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/faults/faults_cases.h"

namespace faults {

#if defined(__SANITIZE_ADDRESS__)
bool FIgnoreRss = true;
#else
bool FIgnoreRss = false;
#endif

Options FOptions;

namespace {

// One row of the table.
struct Tally {
  int Tried = 0;
  int Failed = 0;
  std::vector<std::string> Why;
  std::string Skipped;
  long MaxRssKb = 0;
  long MaxEndMs = 0;
  std::string Measured;
};

std::mutex FLock;
std::vector<std::string> FOrder;
std::map<std::string, Tally> FTally;

}  // namespace

void Note(const std::string& AFault) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (FTally.find(AFault) == FTally.end()) FOrder.push_back(AFault);
  std::ignore = FTally[AFault];
}

void Record(const std::string& AFault, const std::string& ACase, const std::string& AWhy, long ARssKb,
            long AEndMs) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (FTally.find(AFault) == FTally.end()) FOrder.push_back(AFault);
  Tally& T = FTally[AFault];
  ++T.Tried;
  T.MaxRssKb = std::max(T.MaxRssKb, ARssKb);
  T.MaxEndMs = std::max(T.MaxEndMs, AEndMs);
  if (!AWhy.empty()) {
    ++T.Failed;
    if (T.Why.size() < 3) T.Why.push_back(ACase + ": " + AWhy);
    std::fprintf(stderr, "FAIL %s / %s: %s\n", AFault.c_str(), ACase.c_str(), AWhy.c_str());
  }
}

void Skip(const std::string& AFault, const std::string& AWhy) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (FTally.find(AFault) == FTally.end()) FOrder.push_back(AFault);
  FTally[AFault].Skipped = AWhy;
}

void Measured(const std::string& AFault, const std::string& AText) {
  std::lock_guard<std::mutex> Guard(FLock);
  FTally[AFault].Measured = AText;
}

long MsSince(Clock::time_point AFrom, Clock::time_point ATo) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(ATo - AFrom).count());
}

std::string ExpectExitZero(const Run& R) {
  return R.Describe() == "exit 0" ? "" : "ended with " + R.Describe();
}

std::string ExpectRss(const Run& R) {
  if (FIgnoreRss || R.PeakRssKb() <= kRssLimitKb) return "";
  return "peak RSS " + std::to_string(R.PeakRssKb() / 1024) + " MB";
}

namespace {

// ---- Running and reporting ----

struct Case {
  std::string Fault;
  std::function<void()> Body;
  bool Exclusive = false;  // heavy on CPU or timing-critical: runs alone
};

bool Wanted(const std::string& AFault) { return FOptions.Only.empty() || AFault.find(FOptions.Only) != std::string::npos; }

std::vector<Case> AllCases() {
  std::vector<Case> Cases;
  const bool Full = FOptions.Full;
  auto Add = [&](const std::string& AFault, std::function<void()> ABody, bool AExclusive = false) {
    if (!Wanted(AFault)) return;
    Note(AFault);
    Cases.push_back({AFault, std::move(ABody), AExclusive});
  };

  const int HangupTries = Full ? 5 : 1;
  for (int Try = 1; Try <= HangupTries; ++Try) {
    for (const auto& P : Points()) Add("Caller hangs up at every point of a run", [P, Try] { HangupCase(P, Try); });
  }
  const int SignalTries = Full ? 3 : 1;
  for (int Try = 1; Try <= SignalTries; ++Try) {
    for (int Sig : {SIGTERM, SIGHUP, SIGINT}) {
      for (const auto& P : Points())
        Add("SIGTERM, SIGHUP, SIGINT at every point of a run", [P, Sig, Try] { SignalCase(P, Sig, Try); });
    }
  }

  std::vector<int> Bytes;
  if (Full) {
    for (int B = 0; B < 256; ++B) Bytes.push_back(B);
  } else {
    Bytes = {0, 1, 3, 8, 9, 10, 13, 26, 27, 32, 65, 91, 127, 128, 155, 200, 254, 255};
  }
  for (int B : Bytes) {
    const std::string Fault = Full ? "Every byte value 0-255 as a key" : "Byte values as a key (18 of 256)";
    Add(Fault, [B, Fault] {
      InputCase(Fault, Printable(static_cast<unsigned char>(B)), std::string(1, static_cast<char>(B)), 5000);
    });
  }

  {
    const std::string Fault = "Telnet command storms";
    std::string EveryCommand;
    for (int C = 240; C <= 255; ++C) EveryCommand += std::string("\xff") + static_cast<char>(C);
    const std::string Storms[][2] = {
        {"IAC with every command byte", EveryCommand},
        {"IAC SB without SE", "\xff\xfa\x18" + std::string(8000, '\x01')},
        {"IAC IAC x 5000", std::string(10000, '\xff')},
        {"WILL/DO storm", [] {
           std::string S;
           for (int I = 0; I < 3000; ++I) S += std::string("\xff") + static_cast<char>(251 + I % 4) + static_cast<char>(I % 256);
           return S;
         }()},
    };
    for (const auto& S : Storms) Add(Fault, [Fault, S] { InputCase(Fault, S[0], S[1], 5000); });
  }
  {
    const std::string Fault = "Telnet answers at a key wait (a BBS that left binary mode alone)";
    struct Answer {
      std::string Name, Bytes;
      bool IsKey;
    };
    const Answer Answers[] = {
        {"IAC DO BINARY", std::string("\xff\xfd\x00", 3), false},
        {"IAC DO BINARY, IAC DO ECHO", std::string("\xff\xfd\x00\xff\xfd\x01", 6), false},
        {"window size", std::string("\xff\xfb\x1f\xff\xfa\x1f\x00\x50\x00\x18\xff\xf0", 12), false},
        {"terminal type", std::string("\xff\xfa\x18\x00" "ANSI\xff\xf0", 10), false},
        {"IAC IAC (the caller's byte 255)", "\xff\xff", true},
    };
    for (const auto& A : Answers) Add(Fault, [A] { TelnetAnswerCase(A.Name, A.Bytes, A.IsKey); });
  }
  for (const char* C : {"DOOR.SYS naming COM1:", "-S99, no such descriptor", "-S3 on a file"}) {
    Add("Descriptor that is not a socket (DOOR.SYS COM1:, -S99, -S3 on a file)", [C] { NotASocketCase(C); });
  }
  if (Full) Add("Caller stops reading during a 20 MB display (60 s send bound)", [] { StalledCallerCase(); }, true);
  {
    const std::string Fault = "ESC [ with thousands of parameters";
    std::string Many = "\x1b[";
    for (int I = 0; I < 5000; ++I) Many += std::to_string(I) + ";";
    const std::string Seqs[][2] = {{"5000 parameters", Many + "A"},
                                   {"a 20000-digit parameter", "\x1b[" + std::string(20000, '9') + "B"},
                                   {"5000 ESC [ pairs", [] {
                                      std::string S;
                                      for (int I = 0; I < 5000; ++I) S += "\x1b[";
                                      return S;
                                    }()}};
    for (const auto& S : Seqs) Add(Fault, [Fault, S] { InputCase(Fault, S[0], S[1], 15000); });
  }
  {
    const std::string Fault = "Unfinished sequences at hang-up";
    const std::string Seqs[][2] = {{"ESC", "\x1b"}, {"ESC [", "\x1b["}, {"ESC [ 1 ; 2", "\x1b[1;2"},
                                   {"IAC", "\xff"}, {"IAC SB", "\xff\xfa"}, {"IAC SB TTYPE SEND", "\xff\xfa\x18\x01"}};
    for (const auto& S : Seqs) Add(Fault, [S] { UnfinishedCase(S[0], S[1]); });
  }
  {
    const std::size_t Size = Full ? (10u << 20) : (1u << 20);
    const std::string Fault = std::string("Input flood, ") + (Full ? "10 MB" : "1 MB") + " as fast as the socket takes it";
    // ESC [ Z is no key at all: the door must work through the whole flood to reach the plain key
    // after it. Every poll for a key compares the whole local screen, which a debug build does at
    // some 16 KB of input a second, so this flood is smaller than the raw one.
    const std::size_t DroppedSize = Full ? (2u << 20) : (128u << 10);
    std::string Dropped;
    Dropped.reserve(DroppedSize);
    while (Dropped.size() + 3 <= DroppedSize) Dropped += "\x1b[Z";
    Add(Fault, [Fault, Dropped] {
      InputCase(Fault, "ESC [ Z repeated, " + std::to_string(Dropped.size() >> 10) + " KB", Dropped, 600000);
    }, true);
    std::string Mixed = faults::RandomBytes(Size, 7);
    Add(Fault, [Fault, Mixed] { InputCase(Fault, "random bytes", Mixed, 60000); }, true);
  }

  for (const char* Marker : {"DOOR32.SYS", "DOOR.SYS", "DORINFO1.DEF", "INFO.1"}) {
    for (const auto& F : HostileFiles(true)) {
      const bool Heavy = F.Name.find(" MB ") != std::string::npos;
      Add("Hostile drop files (-D)", [Marker, F] { DropFileCase(Marker, F); }, Heavy);
    }
  }
  for (const auto& F : HostileFiles(false)) {
    const bool Heavy = F.Name.find(" MB ") != std::string::npos;
    Add("Hostile displayed files (DoorDisplayFile)", [F] { DisplayFileCase(F); }, Heavy);
  }
  Add("Log is a directory", [] { LogIsDirectoryCase(); });
  Add("Log is a FIFO nobody reads", [] { LogIsFifoCase(); });
  {
    const std::string Fault = "A hook that waits for a key (each hook the event check calls)";
    struct HookCase {
      std::string Hook;
      std::vector<std::string> Limits;
      bool Ends;
    };
    const HookCase Hooks[] = {{"idlewarn", {"-I2"}, false}, {"timewarn", {"-T2"}, false}, {"statusbar", {}, false},
                              {"timeout", {"-I1"}, true},   {"timeup", {"-T0"}, true},    {"hangup", {}, true}};
    for (const auto& H : Hooks) Add(Fault, [H] { HookWaitsCase(H.Hook, H.Limits, H.Ends); });
  }
  {
    const std::string Fault = "Daylight-saving change during a key wait (TZ=Europe/Berlin, faketime)";
    // 2 s before 01:00 UTC on the last Sundays of October and March 2026.
    Add(Fault, [] { DaylightSavingCase("autumn, 03:00 CEST to 02:00 CET", "1792889998"); });
    Add(Fault, [] { DaylightSavingCase("spring, 02:00 CET to 03:00 CEST", "1774745998"); });
  }
  for (const char* C : {"sysop's NUL at the first wait", "caller's CR NUL in stdio mode",
                        "local keyboard: a name, a NUL, end of file"}) {
    Add("NUL keys: the sysop's Ctrl-@, the caller's CR NUL in stdio mode", [C] { NulKeyCase(C); });
  }
  Add("Stdio mode with standard input at end of file",
      [] { StdioEofCase("</dev/null", "exec \"$0\" \"$@\" </dev/null", 4); });
  Add("Stdio mode with standard input at end of file",
      [] { StdioEofCase("one key, then the end", "printf k | exec \"$0\" \"$@\"", 14); });
  Add("Log on a full file system (64 KB tmpfs)", [] { FullDiskCases(); }, true);
  {
    // The door server: bursts of hundreds of callers only in the full run.
    const int Burst = Full ? 250 : 40;
    Add("Door server: " + std::to_string(Burst) + " rlogin callers connecting at once", [Burst] { BurstCase(true, Burst); }, true);
    Add("Door server: " + std::to_string(Burst) + " telnet callers connecting at once", [Burst] { BurstCase(false, Burst); }, true);
    const int Silent = Full ? 200 : 100, Real = Full ? 40 : 10;
    Add("Door server: " + std::to_string(Silent) + " silent rlogin connections, then " + std::to_string(Real) + " real callers",
        [Silent, Real] { SilentAndRealCase(Silent, Real); }, true);
    const int Hup = Full ? 30 : 5;
    Add("Door server: SIGHUP with " + std::to_string(Hup) + " callers, then a restart", [Hup] { SighupCase(Hup); }, true);
    Add("Door server: an unfinished telnet command during the negotiation", [] { NegotiationCpuCase(); });
    const int Closes = Full ? 1000 : 200;
    Add("Door server: " + std::to_string(Closes) + " connect-and-close, then a real caller",
        [Closes] { ConnectAndCloseCase(Closes); }, true);
    const int Flood = Full ? 60 : 3;
    Add("Door server: the log under a " + std::to_string(Flood) + " s flood of refused connections",
        [Flood] { RefusalFloodCase(Flood); }, true);
    Add("Door server: a door that crashes", [] { CrashingDoorCase(); });
    Add("Door server: C1 bytes in an rlogin name", [] { C1NameCase(); });
  }
  const int Callers = Full ? 50 : 10;
  Add("Load: " + std::to_string(Callers) + " callers at once through zelkit-launch", [Callers] { LoadCase(Callers); }, true);
  const int Versions = Full ? 200 : 40, Halves = Full ? 50 : 10, SshCallers = Full ? 20 : 2;
  Add("SSH: " + std::to_string(Versions) + " connections stop after the version, " + std::to_string(Halves) +
          " mid key exchange",
      [=] { SshFloodCase(Versions, Halves, SshCallers); }, true);
  return Cases;
}

void RunAll(const std::vector<Case>& ACases) {
  std::vector<const Case*> Shared, Alone;
  for (const auto& C : ACases) (C.Exclusive ? Alone : Shared).push_back(&C);
  std::atomic<std::size_t> Next{0};
  auto Worker = [&] {
    for (std::size_t I = Next++; I < Shared.size(); I = Next++) Shared[I]->Body();
  };
  std::vector<std::thread> Pool;
  for (int J = 0; J < std::max(1, FOptions.Jobs); ++J) Pool.emplace_back(Worker);
  for (auto& T : Pool) T.join();
  for (const Case* C : Alone) C->Body();
}

int PrintTable() {
  int Failed = 0;
  std::printf("| Fault | Tried | Outcome | Measured |\n|---|---:|---|---|\n");
  for (const auto& Fault : FOrder) {
    const Tally& T = FTally[Fault];
    std::string Outcome;
    if (!T.Skipped.empty()) {
      Outcome = "skipped: " + T.Skipped;
    } else if (T.Failed == 0) {
      Outcome = T.Tried > 0 ? "all passed" : "not run";
    } else {
      Outcome = std::to_string(T.Failed) + " failed: ";
      for (std::size_t I = 0; I < T.Why.size(); ++I) Outcome += (I ? "; " : "") + T.Why[I];
    }
    Failed += T.Failed;
    std::string Figures = T.Measured;
    if (T.MaxRssKb > 0 && !FIgnoreRss) {
      if (!Figures.empty()) Figures += ", ";
      Figures += "peak RSS " + std::to_string((T.MaxRssKb + 512) / 1024) + " MB";
    }
    if (T.MaxEndMs > 0) {
      if (!Figures.empty()) Figures += ", ";
      Figures += "slowest end " + std::to_string(T.MaxEndMs) + " ms";
    }
    for (auto& C : Outcome) {
      if (C == '|' || C == '\n') C = ' ';
    }
    std::printf("| %s | %d | %s | %s |\n", Fault.c_str(), T.Tried, Outcome.c_str(), Figures.c_str());
  }
  return Failed;
}

}  // namespace
}  // namespace faults

int main(int argc, char** argv) {
  using namespace faults;
  for (int I = 1; I < argc; ++I) {
    const std::string Arg = argv[I];
    auto Value = [&]() -> std::string {
      if (I + 1 >= argc) {
        std::fprintf(stderr, "zelkit-faults: %s needs a value\n", Arg.c_str());
        std::exit(2);
      }
      return argv[++I];
    };
    if (Arg == "--short") {
      FOptions.Full = false;
    } else if (Arg == "--full") {
      FOptions.Full = true;
    } else if (Arg == "--jobs") {
      FOptions.Jobs = std::max(1, std::atoi(Value().c_str()));
    } else if (Arg == "--only") {
      FOptions.Only = Value();
    } else if (Arg == "--tunecraft") {
      FOptions.Tunecraft = Value();
    } else if (Arg == "--launcher") {
      FOptions.Launcher = Value();
    } else if (Arg == "--showfile") {
      FOptions.ShowFile = Value();
    } else if (Arg == "--no-rss") {
      FIgnoreRss = true;
    } else {
      std::fprintf(stderr,
                   "usage: zelkit-faults --short|--full [--jobs N] [--only TEXT] [--tunecraft PATH] "
                   "[--launcher PATH] [--showfile PATH] [--no-rss]\n");
      return 2;
    }
  }
  // The runner writes to callers that may be gone; the doors' own handling is what is under test.
  signal(SIGPIPE, SIG_IGN);
  const auto Start = Clock::now();
  RunAll(AllCases());
  const int Failed = PrintTable();
  std::printf("\n%s run, %ld s; %s\n", FOptions.Full ? "Full" : "Short", MsSince(Start, Clock::now()) / 1000,
              Failed == 0 ? "every case passed" : (std::to_string(Failed) + " case(s) failed").c_str());
  return Failed == 0 ? 0 : 1;
}
