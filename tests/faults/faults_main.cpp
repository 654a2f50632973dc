// zelkit-faults: runs the built music door, the launcher and a tiny file-display door through the
// faults a door meets on a real BBS (callers hanging up at any moment, the BBS or the sysop sending
// signals, hostile bytes from the caller, hostile files, a log that cannot be written, many callers
// at once) and prints one Markdown table row per fault. Exit code 1 when any case failed.
//
//   zelkit-faults --short | --full [--jobs N] [--only TEXT]
//                 [--tunecraft PATH] [--launcher PATH] [--showfile PATH]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/faults/faults_support.h"

namespace {

using faults::Clock;
using faults::Run;
using faults::TempDir;
namespace fs = std::filesystem;

// Resident sizes mean nothing under a memory checker: AddressSanitizer's shadow memory, or valgrind
// running the door (--no-rss), counts as the door's own.
#if defined(__SANITIZE_ADDRESS__)
bool FIgnoreRss = true;
#else
bool FIgnoreRss = false;
#endif

constexpr long kRssLimitKb = 16 * 1024;
constexpr int kHangupPauseMs = 2500;  // the kit's "Caller Dropped Carrier" message stays this long
constexpr int kEventStepMs = 1000;    // the carrier is checked once a second while the door waits
constexpr int kPromptMs = 10000;      // a guard against hangs only: every wait ends at its event
constexpr int kEndMs = 2000;          // a door that was told to end must be gone within this

const std::string kFirstPrompt = "Press any key to play some random notes";
const std::string kSecondPrompt = "Your music has been played, press any key.";

struct Options {
  bool Full = false;
  int Jobs = 4;
  std::string Only;
  std::string Tunecraft = TUNECRAFT_PATH;
  std::string Launcher = LAUNCHER_PATH;
  std::string ShowFile = SHOWFILE_PATH;
};
Options FOptions;

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

void Note(const std::string& AFault) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (FTally.find(AFault) == FTally.end()) FOrder.push_back(AFault);
  std::ignore = FTally[AFault];
}

void Record(const std::string& AFault, const std::string& ACase, const std::string& AWhy, long ARssKb = 0,
            long AEndMs = 0) {
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

// Joins the non-empty complaints of one case.
struct Verdict {
  std::string Text;
  void Add(const std::string& AWhy) {
    if (AWhy.empty()) return;
    if (!Text.empty()) Text += "; ";
    Text += AWhy;
  }
};

std::string ExpectExitZero(const Run& R) {
  return R.Describe() == "exit 0" ? "" : "ended with " + R.Describe();
}

std::string ExpectRss(const Run& R) {
  if (FIgnoreRss || R.PeakRssKb() <= kRssLimitKb) return "";
  return "peak RSS " + std::to_string(R.PeakRssKb() / 1024) + " MB";
}

// ---- Hang-ups and signals at every point of a run ----

enum class Point { BeforeOpening, DuringOutput, FirstWait, EscFirst, EscBracketFirst, SecondWait, EscSecond, ExitStep };

struct PointInfo {
  Point Where;
  const char* Name;
  std::vector<std::size_t> HangupLines;  // log lines after a hang-up at this point
  bool HangupNoticed;                    // the hang-up ends the run through the carrier check
  std::vector<std::size_t> SignalLines;  // log lines after a signal at this point
};

const std::vector<PointInfo>& Points() {
  static const std::vector<PointInfo> kPoints = {
      {Point::BeforeOpening, "before the opening is read", {4}, true, {0, 1, 2, 3, 4}},
      {Point::DuringOutput, "during output", {4}, true, {0, 1, 2, 3, 4}},
      {Point::FirstWait, "first key wait", {4}, true, {4}},
      // A lone ESC is a key once the caller is gone: the ten notes follow, then the second wait.
      {Point::EscFirst, "ESC at the first wait", {14}, true, {4}},
      {Point::EscBracketFirst, "ESC [ at the first wait", {4}, true, {4}},
      {Point::SecondWait, "second key wait", {14}, true, {14}},
      {Point::EscSecond, "ESC at the second wait", {14}, false, {14}},
      {Point::ExitStep, "exit step", {14}, false, {14}},
  };
  return kPoints;
}

// Drives a run to APoint; "" when it got there. For the ESC points the bytes are sent here; with
// ASettle the door is given time to be inside its wait for the rest of the sequence.
std::string Reach(Run& R, Point APoint, bool ASettle) {
  auto Prompt = [&](const std::string& AText) {
    return R.CallerSaw(AText, kPromptMs) ? "" : "never saw \"" + AText + "\" (" + R.Describe() + ")";
  };
  std::string Why;
  switch (APoint) {
    case Point::BeforeOpening:
      return "";
    case Point::DuringOutput:
      return R.CallerSaw("\x1b[N", kPromptMs) ? "" : "no music arrived";
    case Point::FirstWait:
      return Prompt(kFirstPrompt);
    case Point::EscFirst:
    case Point::EscBracketFirst:
      if (!(Why = Prompt(kFirstPrompt)).empty()) return Why;
      R.SendFromCaller(APoint == Point::EscFirst ? "\x1b" : "\x1b[");
      if (ASettle) R.Pump(100);
      return "";
    case Point::SecondWait:
    case Point::EscSecond:
    case Point::ExitStep:
      if (!(Why = Prompt(kFirstPrompt)).empty()) return Why;
      R.SendFromCaller("a");
      if (!(Why = Prompt(kSecondPrompt)).empty()) return Why;
      if (APoint == Point::EscSecond) {
        R.SendFromCaller("\x1b");
        if (ASettle) R.Pump(100);
      }
      if (APoint == Point::ExitStep) R.SendFromCaller("b");
      return "";
  }
  return "";
}

void HangupCase(const PointInfo& AInfo, int ATry) {
  const std::string Fault = "Caller hangs up at every point of a run";
  TempDir Dir;
  Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
  Verdict V;
  V.Add(Reach(R, AInfo.Where, false));
  const auto At = Clock::now();
  R.HangUp();
  const int Budget = AInfo.HangupNoticed ? kEventStepMs + kHangupPauseMs + kEndMs : kEndMs;
  const bool Ended = R.WaitEnd(Budget + kPromptMs);
  const long EndMs = Ended ? MsSince(At, R.EndedAt()) : -1;
  if (!Ended) {
    V.Add("did not end");
  } else if (EndMs > Budget) {
    V.Add("ended " + std::to_string(EndMs) + " ms after the hang-up");
  }
  V.Add(ExpectExitZero(R));
  V.Add(faults::CheckLog(Dir.Path(), AInfo.HangupLines));
  V.Add(R.TerminalRestored());
  Record(Fault, std::string(AInfo.Name) + " #" + std::to_string(ATry), V.Text, R.PeakRssKb(), EndMs);
}

void SignalCase(const PointInfo& AInfo, int ASignal, int ATry) {
  const std::string Fault = "SIGTERM, SIGHUP, SIGINT at every point of a run";
  TempDir Dir;
  Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
  Verdict V;
  V.Add(Reach(R, AInfo.Where, true));
  const auto At = Clock::now();
  R.Signal(ASignal);
  const bool Ended = R.WaitEnd(kEndMs + kPromptMs);
  const long EndMs = Ended ? MsSince(At, R.EndedAt()) : -1;
  if (!Ended) {
    V.Add("did not end");
  } else if (EndMs > kEndMs) {
    V.Add("ended " + std::to_string(EndMs) + " ms after the signal");
  }
  const std::string How = R.Describe();
  if (How != "signal " + std::to_string(ASignal) && How != "exit 0") V.Add("ended with " + How);
  // Ended by the signal once the session was up: the exit step's bytes (attribute 7, cursor to the
  // bottom-left corner) still reached the caller. (Before the opening the session may not be up yet.)
  const std::string kResetTail = "\x1b[40m\x1b[255B\x1b[255D";
  if (How == "signal " + std::to_string(ASignal) && AInfo.Where != Point::BeforeOpening &&
      (R.Received().size() < kResetTail.size() ||
       R.Received().compare(R.Received().size() - kResetTail.size(), kResetTail.size(), kResetTail) != 0)) {
    V.Add("the caller's terminal was not reset");
  }
  V.Add(faults::CheckLog(Dir.Path(), AInfo.SignalLines));
  V.Add(R.TerminalRestored());
  V.Add(R.CallerStillConnected());
  Record(Fault, std::string(strsignal(ASignal)) + " " + AInfo.Name + " #" + std::to_string(ATry), V.Text,
         R.PeakRssKb(), EndMs);
}

// ---- Hostile caller input ----

// Sends AInput at the first key wait and expects the run to reach its normal end: the door takes
// whatever keys the input holds, then answers the plain keys that follow.
void InputCase(const std::string& AFault, const std::string& ACase, const std::string& AInput, int AWithinMs) {
  TempDir Dir;
  Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
  Verdict V;
  V.Add(Reach(R, Point::FirstWait, false));
  const auto At = Clock::now();
  R.SendFromCaller(AInput);
  // Plain keys until the door has ended: each one answers the wait the door is in.
  for (int Key = 0; Key < 2 && !R.Ended(); ++Key) {
    const std::string Needle = Key == 0 ? kSecondPrompt : "";
    if (Key == 0 && !R.CallerSaw(kSecondPrompt, 700)) R.SendFromCaller("x");
    if (Key == 0 && !R.CallerSaw(kSecondPrompt, AWithinMs)) {
      V.Add("the door did not reach the second wait");
      break;
    }
    if (Key == 1 && !R.PumpUntil([&] { return R.Ended(); }, 700)) R.SendFromCaller("y");
  }
  if (!R.WaitEnd(AWithinMs)) V.Add("did not end within " + std::to_string(AWithinMs) + " ms");
  const long EndMs = MsSince(At, R.EndedAt());
  V.Add(ExpectExitZero(R));
  V.Add(faults::CheckLog(Dir.Path(), {14}));
  V.Add(ExpectRss(R));
  V.Add(R.TerminalRestored());
  V.Add(R.CallerStillConnected());
  Record(AFault, ACase, V.Text, R.PeakRssKb(), EndMs);
}

// Sends AInput at the first key wait and hangs up straight after: the door ends on its own.
void UnfinishedCase(const std::string& ACase, const std::string& AInput) {
  const std::string Fault = "Unfinished sequences at hang-up";
  TempDir Dir;
  Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
  Verdict V;
  V.Add(Reach(R, Point::FirstWait, false));
  const auto At = Clock::now();
  R.SendFromCaller(AInput);
  R.HangUp();
  const int Budget = 500 + kEventStepMs + kHangupPauseMs + kEndMs;  // 500: the wait after a lone ESC
  if (!R.WaitEnd(Budget + kPromptMs)) V.Add("did not end");
  const long EndMs = MsSince(At, R.EndedAt());
  if (EndMs > Budget) V.Add("ended " + std::to_string(EndMs) + " ms after the hang-up");
  V.Add(ExpectExitZero(R));
  V.Add(faults::CheckLog(Dir.Path(), {4, 14}));
  V.Add(ExpectRss(R));
  V.Add(R.TerminalRestored());
  Record(Fault, ACase, V.Text, R.PeakRssKb(), EndMs);
}

// A client's telnet answers at the first key wait (as a client answers the door's offer of binary
// mode when the BBS did not negotiate it): no key unless it is the caller's own byte 255 (IAC IAC).
// A door that took them as keys would pass both prompts at once.
void TelnetAnswerCase(const std::string& ACase, const std::string& AAnswer, bool AIsKey) {
  const std::string Fault = "Telnet answers at a key wait (a BBS that left binary mode alone)";
  TempDir Dir;
  Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
  Verdict V;
  V.Add(Reach(R, Point::FirstWait, false));
  const auto At = Clock::now();
  R.SendFromCaller(AAnswer);
  const bool Passed = R.CallerSaw(kSecondPrompt, AIsKey ? kPromptMs : 1000);
  if (Passed != AIsKey) V.Add(AIsKey ? "the byte 255 was no key" : "the answer was taken as a key");
  if (!Passed) R.SendFromCaller("a");
  if (!R.CallerSaw(kSecondPrompt, kPromptMs)) V.Add("never reached the second wait");
  R.SendFromCaller("b");
  if (!R.WaitEnd(kPromptMs)) V.Add("did not end");
  V.Add(ExpectExitZero(R));
  V.Add(faults::CheckLog(Dir.Path(), {14}));
  V.Add(R.CallerStillConnected());
  Record(Fault, ACase, V.Text, R.PeakRssKb(), MsSince(At, R.EndedAt()));
}

// Descriptors that are not a socket: what BBSes write into DOOR.SYS for a telnet caller ("COM1:",
// descriptor 1, the door's own standard output), a closed number, a file. The run ends with "No
// Carrier Detected" before anything is drawn, sent or logged.
void NotASocketCase(const std::string& ACase) {
  const std::string Fault = "Descriptor that is not a socket (DOOR.SYS COM1:, -S99, -S3 on a file)";
  TempDir Dir;
  std::string Program = FOptions.Tunecraft;
  std::vector<std::string> Args = {"-N1", "-S99"};
  bool WithCaller = true;
  if (ACase == "DOOR.SYS naming COM1:") {
    std::string Text;
    for (int Line = 1; Line <= 52; ++Line) {
      Text += Line == 1 ? "COM1:" : Line == 4 ? "1" : Line == 10 ? "GRACE HOPPER" : Line == 18 ? "3600" : "";
      Text += "\r\n";
    }
    faults::WriteFile(Dir.Path() / "DOOR.SYS", Text);
    Args = {"-D" + (Dir.Path() / "DOOR.SYS").string()};
  } else if (ACase == "-S3 on a file") {
    Program = "/bin/sh";
    Args = {"-c", "exec \"$0\" \"$@\" 3</etc/hostname", FOptions.Tunecraft, "-N1", "-S3"};
    WithCaller = false;
  }
  Run R(Program, Args, Dir.Path(), WithCaller);
  Verdict V;
  const auto At = Clock::now();
  if (!R.ConsoleSaw("No Carrier Detected", kPromptMs)) V.Add("no \"No Carrier Detected\"");
  const int Budget = kHangupPauseMs + kEndMs;  // the failure message stays as long as a hang-up's
  if (!R.WaitEnd(Budget + kPromptMs)) V.Add("did not end");
  const long EndMs = MsSince(At, R.EndedAt());
  if (EndMs > Budget) V.Add("ended " + std::to_string(EndMs) + " ms after the message");
  V.Add(ExpectExitZero(R));
  V.Add(faults::CheckLog(Dir.Path(), {0}));
  if (!R.Received().empty()) V.Add("the caller was sent " + std::to_string(R.Received().size()) + " bytes");
  if (R.Console().find("\xff\xfb") != std::string::npos) V.Add("the telnet opening went to the console");
  if (R.Console().find("\x1b[N") != std::string::npos) V.Add("music went to the console");
  V.Add(R.TerminalRestored());
  if (WithCaller) V.Add(R.CallerStillConnected());
  Record(Fault, ACase, V.Text, R.PeakRssKb(), EndMs);
}

// A caller whose client stops reading in the middle of a 20 MB display: the send gives up after
// COMM_SEND_STALL_SECONDS (60) without progress, and the door ends through the hang-up path at its
// next key wait. Meanwhile the sysop's terminal already shows what was drawn before the send
// blocked. The real bound, so this runs in the full suite only.
void StalledCallerCase() {
  const std::string Fault = "Caller stops reading during a 20 MB display (60 s send bound)";
  constexpr int kStallMs = 60000;
  TempDir Dir;
  const fs::path Path = Dir.Path() / "BIG.TXT";
  {
    std::ofstream Out(Path, std::ios::binary);
    std::string Line(78, '.');
    for (std::size_t Written = 0, N = 0; Written < (20u << 20); ++N) {
      const std::string Text = "LINE " + std::to_string(N) + " " + Line.substr(0, 60) + "\r\n";
      Out << Text;
      Written += Text.size();
    }
  }
  Run R(FOptions.ShowFile, {"-N1", "-S3", "-W", "-F" + Path.string()}, Dir.Path(), true);
  R.StopReading();
  Verdict V;
  // The console is brought up to date before the send waits: lines of the file show up while the
  // door is still stuck in that send.
  if (!R.ConsoleSaw("LINE ", kPromptMs)) V.Add("the sysop's terminal showed nothing while the send waited");
  const auto At = Clock::now();
  if (R.Ended()) V.Add("ended before the stall");
  const int Budget = kStallMs + kEventStepMs + kHangupPauseMs + kEndMs;
  if (!R.ConsoleSaw("Caller Dropped Carrier", Budget + kPromptMs)) V.Add("no hang-up path");
  if (!R.WaitEnd(Budget + kPromptMs)) V.Add("did not end");
  const long EndMs = MsSince(At, R.EndedAt());
  if (EndMs > Budget) V.Add("ended " + std::to_string(EndMs) + " ms after the send blocked");
  if (EndMs < kStallMs - 1000) V.Add("ended " + std::to_string(EndMs) + " ms after the send blocked, before the bound");
  V.Add(ExpectExitZero(R));
  V.Add(R.TerminalRestored());
  char Figure[64];
  std::snprintf(Figure, sizeof Figure, "ended %.1f s after the send blocked", static_cast<double>(EndMs) / 1000.0);
  Measured(Fault, Figure);
  Record(Fault, "20 MB file, -W", V.Text, R.PeakRssKb(), EndMs);
}

std::string Printable(unsigned char AByte) {
  char Buf[8];
  std::snprintf(Buf, sizeof Buf, "0x%02X", AByte);
  return Buf;
}

// ---- Hostile files ----

// Runs AProgram on the console until it ends, typing the keys a session asks for. "" when it
// ended with exit code 0 within AWithinMs.
std::string DriveToEnd(Run& R, int AWithinMs, bool AKeysFromCaller) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(AWithinMs);
  std::size_t Answered = 0;
  const std::string kAsks[] = {kFirstPrompt, kSecondPrompt, "Hit a key to continue"};
  while (!R.Ended() && Clock::now() < Deadline) {
    R.Pump(20);
    // Every prompt seen so far, on either side, gets one key.
    std::size_t Seen = 0;
    for (const auto& Ask : kAsks) {
      for (std::size_t At = R.Console().find(Ask); At != std::string::npos; At = R.Console().find(Ask, At + 1)) ++Seen;
    }
    if (AKeysFromCaller) {
      std::size_t Remote = 0;
      for (const auto& Ask : kAsks) {
        for (std::size_t At = R.Received().find(Ask); At != std::string::npos; At = R.Received().find(Ask, At + 1))
          ++Remote;
      }
      Seen = std::max(Seen, Remote);
    }
    while (Answered < Seen) {
      if (AKeysFromCaller) {
        R.SendFromCaller("k");
      } else {
        R.TypeOnConsole("k");
      }
      ++Answered;
    }
  }
  if (!R.WaitEnd(0)) return "still running after " + std::to_string(AWithinMs) + " ms";
  return ExpectExitZero(R);
}

struct HostileFile {
  std::string Name;
  // Makes the hostile thing at APath; false when this system cannot make it.
  std::function<bool(const fs::path&)> Make;
};

std::vector<HostileFile> HostileFiles(bool AForDropFile) {
  const std::size_t Long = FOptions.Full ? (10u << 20) : (1u << 20);
  const std::string LongName = FOptions.Full ? "a 10 MB line" : "a 1 MB line";
  std::vector<HostileFile> Files;
  const int Seeds = FOptions.Full ? 20 : 3;
  for (int Seed = 1; Seed <= Seeds; ++Seed) {
    Files.push_back({"random bytes, seed " + std::to_string(Seed), [Seed](const fs::path& P) {
                       return faults::WriteFile(P, faults::RandomBytes(4096u * static_cast<unsigned>(Seed), static_cast<unsigned>(Seed)));
                     }});
  }
  Files.push_back({"NUL bytes", [](const fs::path& P) { return faults::WriteFile(P, std::string(8192, '\0')); }});
  Files.push_back({LongName, [Long](const fs::path& P) { return faults::WriteFile(P, std::string(Long, 'A') + "\r\n"); }});
  Files.push_back({LongName + " of digits", [Long](const fs::path& P) { return faults::WriteFile(P, "2" + std::string(Long, '9') + "\n"); }});
  Files.push_back({"a directory", [](const fs::path& P) { return fs::create_directory(P); }});
  Files.push_back({"a FIFO without a writer", [](const fs::path& P) { return mkfifo(P.c_str(), 0600) == 0; }});
  Files.push_back({"a symbolic link loop", [](const fs::path& P) {
                     std::error_code Ec;
                     fs::create_symlink(P.filename(), P, Ec);
                     return !Ec;
                   }});
  if (AForDropFile) {
    // Drop files that look right but name descriptors and connection types nobody handed down.
    const char* kOdd[][2] = {{"2", "0"}, {"2", "1"}, {"2", "2"}, {"2", "3"}, {"2", "-1"}, {"2", "1023"},
                             {"2", "1024"}, {"2", "2147483647"}, {"1", "99999"}, {"255", "3"}, {"256", "3"},
                             {"-2", "3"}, {"2", "99999999999999999999"}};
    for (const auto& Odd : kOdd) {
      const std::string Text = std::string(Odd[0]) + "\n" + Odd[1] + "\n38400\nBBS\n1\nAnn\nAnn\n10\n60\n1\n1\n";
      Files.push_back({std::string("comm type ") + Odd[0] + ", descriptor " + Odd[1],
                       [Text](const fs::path& P) { return faults::WriteFile(P, Text); }});
    }
  } else {
    Files.push_back({"a missing file", [](const fs::path&) { return true; }});
    for (int Seed = 1; Seed <= Seeds; ++Seed) {
      // Dense in what the local interpreter and the pipe and backtick codes look for.
      Files.push_back({"escape-dense bytes, seed " + std::to_string(Seed), [Seed](const fs::path& P) {
                         const std::string Alphabet = "\x1b\x1b[[;;0123456789|`ABCDHJKmsuf?\r\n\xff\x0e\x08\x07\x09";
                         std::string Raw = faults::RandomBytes(65536, 100u + static_cast<unsigned>(Seed));
                         for (auto& C : Raw) C = Alphabet[static_cast<unsigned char>(C) % Alphabet.size()];
                         return faults::WriteFile(P, Raw);
                       }});
    }
  }
  return Files;
}

void DropFileCase(const std::string& AMarker, const HostileFile& AFile) {
  const std::string Fault = "Hostile drop files (-D)";
  TempDir Dir;
  const fs::path Path = Dir.Path() / AMarker;
  if (!AFile.Make(Path)) {
    Record(Fault, AMarker + " " + AFile.Name, "could not make the file");
    return;
  }
  Run R(FOptions.Tunecraft, {"-D" + Path.string()}, Dir.Path(), false);
  Verdict V;
  // The longest defined outcomes: a failure message or a lost-carrier message with its pause.
  const int Within = (FOptions.Full ? 60000 : 20000);
  const auto At = Clock::now();
  V.Add(DriveToEnd(R, Within, false));
  const long EndMs = MsSince(At, R.EndedAt());
  V.Add(R.TerminalRestored());
  V.Add(faults::CheckLog(Dir.Path(), {0, 4, 14}));
  Record(Fault, AMarker + " " + AFile.Name, V.Text, R.PeakRssKb(), EndMs);
}

void DisplayFileCase(const HostileFile& AFile) {
  const std::string Fault = "Hostile displayed files (DoorDisplayFile)";
  TempDir Dir;
  const fs::path Path = Dir.Path() / "SHOW.ANS";
  if (!AFile.Make(Path)) {
    Record(Fault, AFile.Name, "could not make the file");
    return;
  }
  Run R(FOptions.ShowFile, {"-N1", "-S3", "-F" + Path.string()}, Dir.Path(), true);
  Verdict V;
  const auto At = Clock::now();
  V.Add(DriveToEnd(R, FOptions.Full ? 120000 : 30000, true));
  const long EndMs = MsSince(At, R.EndedAt());
  if (R.Received().find("End of display") == std::string::npos) V.Add("the caller never got to the end");
  V.Add(R.TerminalRestored());
  V.Add(R.CallerStillConnected());
  Record(Fault, AFile.Name, V.Text, R.PeakRssKb(), EndMs);
}

// ---- The log ----

// A whole remote session played by the caller; the log checks are the caller's business.
void PlayWhole(Run& R, Verdict& V) {
  V.Add(Reach(R, Point::SecondWait, false));
  R.SendFromCaller("b");
  if (!R.WaitEnd(kEndMs + kPromptMs)) V.Add("did not end");
  V.Add(ExpectExitZero(R));
  V.Add(R.TerminalRestored());
  V.Add(R.CallerStillConnected());
}

void LogIsDirectoryCase() {
  const std::string Fault = "Log is a directory";
  TempDir Dir;
  fs::create_directory(Dir.Path() / "tunecraft.log");
  Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
  Verdict V;
  PlayWhole(R, V);
  if (!fs::is_directory(Dir.Path() / "tunecraft.log")) V.Add("the directory was replaced");
  if (faults::MusicLines().empty() || R.Received().find(faults::MusicLines()[1]) == std::string::npos)
    V.Add("the caller got no music");
  Record(Fault, "tunecraft.log is a directory", V.Text, R.PeakRssKb());
}

// Fills the file system holding ADir completely with a filler file.
void FillUp(const fs::path& ADir) {
  const int Fd = open((ADir / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (Fd < 0) return;
  const std::string Block(4096, 'f');
  while (write(Fd, Block.data(), Block.size()) > 0) {
  }
  // The last page may have taken part of a block; top it up byte-wise.
  while (write(Fd, "f", 1) > 0) {
  }
  close(Fd);
}

void FullDiskCases() {
  const std::string Fault = "Log on a full file system (64 KB tmpfs)";
  struct Case {
    const char* Name;
    std::size_t LinesBefore;  // whole lines already in the log before the disk fills up
  };
  // 292 lines are 4088 bytes: the next line would straddle the end of the log's first page.
  const Case kCases[] = {{"full before the log exists", 0}, {"full with the log 8 bytes short of a page", 292}};
  for (const auto& C : kCases) {
    TempDir Dir;
    const fs::path Mount = Dir.Path() / "full";
    fs::create_directory(Mount);
    if (mount("tmpfs", Mount.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
      Skip(Fault, std::string("mount -t tmpfs not permitted here: ") + std::strerror(errno));
      return;
    }
    std::string Before;
    for (std::size_t I = 0; I < C.LinesBefore; ++I) Before += faults::MusicLines()[1] + "\n";
    if (!Before.empty()) faults::WriteFile(Mount / "tunecraft.log", Before);
    FillUp(Mount);
    {
      Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Mount, true);
      Verdict V;
      PlayWhole(R, V);
      V.Add(faults::CheckLog(Mount, {C.LinesBefore}));
      Record(Fault, C.Name, V.Text, R.PeakRssKb());
    }
    umount2(Mount.c_str(), MNT_DETACH);
  }
}

// ---- Load ----

struct CallerLink {
  int Fd = -1;
  std::string Got;
  bool Eof = false;
};

void DrainLinks(std::vector<CallerLink>& ALinks, int AMs) {
  std::vector<pollfd> P;
  for (auto& L : ALinks) {
    if (L.Fd >= 0 && !L.Eof) P.push_back({L.Fd, POLLIN, 0});
  }
  std::ignore = poll(P.data(), P.size(), AMs);
  char Buf[4096];
  for (auto& L : ALinks) {
    while (L.Fd >= 0 && !L.Eof) {
      const ssize_t N = recv(L.Fd, Buf, sizeof Buf, MSG_DONTWAIT);
      if (N > 0) {
        L.Got.append(Buf, static_cast<std::size_t>(N));
      } else {
        if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR)) L.Eof = true;
        break;
      }
    }
  }
}

bool AllSaw(std::vector<CallerLink>& ALinks, const std::string& ANeedle, int AMs) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(AMs);
  for (;;) {
    DrainLinks(ALinks, 10);
    const bool All = std::all_of(ALinks.begin(), ALinks.end(), [&](const CallerLink& L) {
      return ANeedle.empty() ? L.Eof : L.Got.find(ANeedle) != std::string::npos;
    });
    if (All) return true;
    if (Clock::now() >= Deadline) return false;
  }
}

std::vector<pid_t> ChildrenOf(pid_t APid) {
  std::vector<pid_t> Kids;
  std::ifstream In("/proc/" + std::to_string(APid) + "/task/" + std::to_string(APid) + "/children");
  pid_t Kid;
  while (In >> Kid) Kids.push_back(Kid);
  if (!Kids.empty()) return Kids;
  // Without the children file: every process whose parent is APid.
  for (const auto& Entry : fs::directory_iterator("/proc")) {
    const std::string Name = Entry.path().filename().string();
    if (Name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream Stat(Entry.path() / "stat");
    std::string Line;
    std::getline(Stat, Line);
    const auto Close = Line.rfind(')');
    if (Close == std::string::npos) continue;
    std::istringstream S(Line.substr(Close + 2));
    std::string State;
    pid_t Parent = 0;
    S >> State >> Parent;
    if (Parent == APid) Kids.push_back(static_cast<pid_t>(std::stol(Name)));
  }
  return Kids;
}

// CPU time of APids in seconds: the scheduler's nanosecond count where the kernel keeps one,
// otherwise utime + stime in clock ticks (too coarse to see an idle door, but never too small).
double CpuSeconds(const std::vector<pid_t>& APids) {
  double Sum = 0;
  for (pid_t Pid : APids) {
    std::ifstream Sched("/proc/" + std::to_string(Pid) + "/schedstat");
    unsigned long long OnCpuNs = 0;
    if (Sched >> OnCpuNs) {
      Sum += static_cast<double>(OnCpuNs) / 1e9;
      continue;
    }
    std::ifstream Stat("/proc/" + std::to_string(Pid) + "/stat");
    std::string Line;
    std::getline(Stat, Line);
    const auto Close = Line.rfind(')');
    if (Close == std::string::npos) continue;
    std::istringstream S(Line.substr(Close + 2));
    std::string Field;
    for (int I = 3; I <= 13; ++I) S >> Field;  // state .. cmajflt
    long long UTime = 0, STime = 0;
    S >> UTime >> STime;
    Sum += static_cast<double>(UTime + STime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return Sum;
}

void LoadCase(int ACallers) {
  const std::string Fault = "Load: " + std::to_string(ACallers) + " callers at once through zelkit-launch";
  TempDir Dir;
  fs::create_directory(Dir.Path() / "work");
  int Out[2];
  if (pipe2(Out, O_CLOEXEC) != 0) return;
  const std::string ErrPath = (Dir.Path() / "launcher.err").string();
  std::vector<std::string> Args = {FOptions.Launcher, "--door", FOptions.Tunecraft, "--port", "0",
                                   "--workdir", (Dir.Path() / "work").string(), "--base",
                                   (Dir.Path() / "nodes").string(), "--max-nodes", std::to_string(ACallers + 5)};
  std::vector<char*> Argv;
  for (auto& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  const pid_t Pid = fork();
  if (Pid == 0) {
    dup2(Out[1], 1);
    const int Err = open(ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (Err >= 0) dup2(Err, 2);
    const int Null = open("/dev/null", O_RDONLY);
    if (Null >= 0) dup2(Null, 0);
    close_range(3, ~0U, 0);
    for (int Sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) signal(Sig, SIG_DFL);
    execv(Argv[0], Argv.data());
    _exit(127);
  }
  close(Out[1]);
  Verdict V;
  // "zelkit-launch: listening on 127.0.0.1:<port>, door <path>"
  std::string Line;
  const auto Deadline = Clock::now() + std::chrono::milliseconds(kPromptMs);
  while (Line.find('\n') == std::string::npos && Clock::now() < Deadline) {
    pollfd P{Out[0], POLLIN, 0};
    if (poll(&P, 1, 100) > 0) {
      char Buf[256];
      const ssize_t N = read(Out[0], Buf, sizeof Buf);
      if (N <= 0) break;
      Line.append(Buf, static_cast<std::size_t>(N));
    }
  }
  int Port = 0;
  const auto Colon = Line.find("127.0.0.1:");
  if (Colon != std::string::npos) Port = std::atoi(Line.c_str() + Colon + 10);
  std::vector<CallerLink> Links(static_cast<std::size_t>(ACallers));
  double PerNodePercent = -1;
  if (Port <= 0) {
    V.Add("the launcher did not start: " + Line + faults::ReadFile(ErrPath));
  } else {
    sockaddr_in Sin{};
    Sin.sin_family = AF_INET;
    Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Sin.sin_port = htons(static_cast<std::uint16_t>(Port));
    for (auto& L : Links) {
      L.Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (connect(L.Fd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0) V.Add("connect failed");
    }
    const int Wait = 30000 + 500 * ACallers;
    if (!AllSaw(Links, kFirstPrompt, Wait)) {
      V.Add("not every caller reached the first key wait");
    } else {
      // All doors now sit in their first key wait: their CPU over a few quiet seconds.
      const auto Kids = ChildrenOf(Pid);
      if (static_cast<int>(Kids.size()) != ACallers)
        V.Add(std::to_string(Kids.size()) + " doors running for " + std::to_string(ACallers) + " callers");
      const double Cpu0 = CpuSeconds(Kids);
      const auto T0 = Clock::now();
      std::this_thread::sleep_for(std::chrono::seconds(FOptions.Full ? 5 : 3));
      const double CoreSeconds = CpuSeconds(Kids) - Cpu0;
      const double Seconds = static_cast<double>(MsSince(T0, Clock::now())) / 1000.0;
      PerNodePercent = Kids.empty() ? -1 : 100.0 * CoreSeconds / Seconds / static_cast<double>(Kids.size());
      if (PerNodePercent >= 1.0) V.Add("idle doors use " + std::to_string(PerNodePercent) + "% of a core each");
      for (auto& L : Links) std::ignore = send(L.Fd, "a", 1, MSG_NOSIGNAL);
      if (!AllSaw(Links, kSecondPrompt, Wait)) V.Add("not every first key was answered");
      for (auto& L : Links) std::ignore = send(L.Fd, "b", 1, MSG_NOSIGNAL);
      if (!AllSaw(Links, "", Wait)) V.Add("not every connection was closed after the second key");
    }
  }
  for (auto& L : Links) {
    if (L.Fd >= 0) close(L.Fd);
  }
  kill(Pid, SIGTERM);
  int Status = 0;
  const auto StopBy = Clock::now() + std::chrono::seconds(10);
  while (waitpid(Pid, &Status, WNOHANG) == 0) {
    if (Clock::now() > StopBy) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &Status, 0);
      V.Add("the launcher did not stop");
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  close(Out[0]);
  V.Add(faults::CheckLog(Dir.Path() / "work", {static_cast<std::size_t>(ACallers) * 14}));
  Record(Fault, "all callers", V.Text);
  char Buf[96];
  std::snprintf(Buf, sizeof Buf, "idle CPU %.4f%% of a core per node", PerNodePercent);
  Measured(Fault, Buf);
}

void LogIsFifoCase() {
  const std::string Fault = "Log is a FIFO nobody reads";
  TempDir Dir;
  if (mkfifo((Dir.Path() / "tunecraft.log").c_str(), 0600) != 0) {
    Record(Fault, "tunecraft.log is a FIFO", "could not make the FIFO");
    return;
  }
  Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
  Verdict V;
  PlayWhole(R, V);
  if (!fs::is_fifo(Dir.Path() / "tunecraft.log")) V.Add("the FIFO was replaced");
  if (faults::MusicLines().empty() || R.Received().find(faults::MusicLines()[1]) == std::string::npos)
    V.Add("the caller got no music");
  Record(Fault, "tunecraft.log is a FIFO without a reader", V.Text, R.PeakRssKb());
}

// ---- Hooks, clocks and keys ----

std::size_t Count(const std::string& AText, const std::string& ANeedle) {
  std::size_t N = 0;
  for (auto At = AText.find(ANeedle); At != std::string::npos; At = AText.find(ANeedle, At + 1)) ++N;
  return N;
}

// A hook of the event check that writes a line and waits for a key (the file-display door's -H):
// the hook runs once, its line is sent once however long it waits, and once the key comes the door
// goes on, or ends as the hook's default does. The hang-up hook's key comes from the sysop.
void HookWaitsCase(const std::string& AHook, const std::vector<std::string>& ALimits, bool AEnds) {
  const std::string Fault = "A hook that waits for a key (each hook the event check calls)";
  TempDir Dir;
  const fs::path Shown = Dir.Path() / "SHOW.ANS";
  faults::WriteFile(Shown, "Shown\r\n");
  std::vector<std::string> Args = {"-N1", "-S3", "-F" + Shown.string(), "-W", "-H" + AHook};
  Args.insert(Args.end(), ALimits.begin(), ALimits.end());
  Run R(FOptions.ShowFile, Args, Dir.Path(), true);
  Verdict V;
  const std::string Line = AHook + " hook waits for a key";
  const bool Hangup = AHook == "hangup";
  if (Hangup) {
    if (!R.CallerSaw("Press a key to end", kPromptMs)) V.Add("never saw the door's key wait");
    R.HangUp();
    if (!R.ConsoleSaw(Line, kPromptMs)) V.Add("the hook's line never came");
  } else if (!R.CallerSaw(Line, kPromptMs)) {
    V.Add("the hook's line never came (" + R.Describe() + ")");
  }
  R.Pump(1500);  // the hook keeps waiting: nothing may run it again meanwhile
  const auto At = Clock::now();
  if (Hangup) {
    R.TypeOnConsole("s");
  } else {
    R.SendFromCaller(AEnds ? "a" : "ab");  // the hook's key, then the door's own
  }
  if (!R.WaitEnd(kHangupPauseMs + kEndMs + kPromptMs)) V.Add("did not end");
  const long EndMs = MsSince(At, R.EndedAt());
  V.Add(ExpectExitZero(R));
  const std::size_t Sent = Count(Hangup ? R.Console() : R.Received(), Line);
  if (Sent != 1) V.Add("the hook's line came " + std::to_string(Sent) + " times");
  if (AEnds && !Hangup && R.Received().find("Returning To BBS...") == std::string::npos) V.Add("no end message");
  if (!AEnds && !Hangup && R.Received().find("End of display") == std::string::npos) V.Add("the door did not go on");
  if (Hangup && R.Console().find("Caller Dropped Carrier") == std::string::npos) V.Add("no hang-up message");
  V.Add(ExpectRss(R));
  V.Add(R.TerminalRestored());
  if (!Hangup) V.Add(R.CallerStillConnected());
  Record(Fault, AHook, V.Text, R.PeakRssKb(), EndMs);
}

// tunecraft's clock starts 2 s before a change of daylight-saving time (libfaketime, Berlin time):
// the first key wait runs across it, and the session neither ends for idling nor loses or gains an hour.
void DaylightSavingCase(const std::string& ACase, const std::string& AEpoch) {
  const std::string Fault = "Daylight-saving change during a key wait (TZ=Europe/Berlin, faketime)";
  if (access("/usr/bin/faketime", X_OK) != 0) {
    Skip(Fault, "faketime is not installed (scripts/install-deps.sh)");
    return;
  }
  TempDir Dir;
  const char* Asan = std::getenv("ASAN_OPTIONS");
  // libfaketime is preloaded ahead of a sanitizer's runtime, which would refuse to start otherwise.
  const std::string AsanOptions = "ASAN_OPTIONS=" + std::string(Asan != nullptr ? Asan : "") + ":verify_asan_link_order=0";
  Run R("/usr/bin/env", {"TZ=Europe/Berlin", AsanOptions, "faketime", "@" + AEpoch, FOptions.Tunecraft, "-N1", "-S3"},
        Dir.Path(), true);
  Verdict V;
  V.Add(Reach(R, Point::FirstWait, false));
  R.Pump(4000);
  if (R.Ended() || R.Received().find("Returning To BBS") != std::string::npos)
    V.Add("the session ended at the change (" + R.Describe() + ")");
  R.SendFromCaller("a");
  if (!R.CallerSaw(kSecondPrompt, kPromptMs)) V.Add("never saw the second prompt");
  R.SendFromCaller("b");
  if (!R.WaitEnd(kEndMs + kPromptMs)) V.Add("did not end");
  V.Add(ExpectExitZero(R));
  V.Add(faults::CheckLog(Dir.Path(), {14}));
  V.Add(R.TerminalRestored());
  V.Add(R.CallerStillConnected());
  Record(Fault, ACase, V.Text, R.PeakRssKb());
}

// A NUL from the terminal is a whole key (Ctrl-@, 0 then scan code 3); in stdio mode, where the
// terminal is the caller's, a NUL right after CR is telnet's line end and gives no key of its own.
void NulKeyCase(const std::string& ACase) {
  const std::string Fault = "NUL keys: the sysop's Ctrl-@, the caller's CR NUL in stdio mode";
  TempDir Dir;
  Verdict V;
  if (ACase == "sysop's NUL at the first wait") {
    Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
    V.Add(Reach(R, Point::FirstWait, false));
    const auto At = Clock::now();
    R.TypeOnConsole(std::string(1, '\0'));
    if (!R.CallerSaw(kSecondPrompt, kPromptMs)) V.Add("the NUL did not answer the wait");
    R.SendFromCaller("b");  // the caller's key is still served
    if (!R.WaitEnd(kEndMs + kPromptMs)) V.Add("did not end");
    V.Add(ExpectExitZero(R));
    V.Add(faults::CheckLog(Dir.Path(), {14}));
    V.Add(R.TerminalRestored());
    V.Add(R.CallerStillConnected());
    Record(Fault, ACase, V.Text, R.PeakRssKb(), MsSince(At, R.EndedAt()));
  } else if (ACase == "caller's CR NUL in stdio mode") {
    Run R(FOptions.Tunecraft, {"-N1", "-S3", "-X"}, Dir.Path(), true);
    if (!R.ConsoleSaw(kFirstPrompt, kPromptMs)) V.Add("never saw the first prompt");
    R.TypeOnConsole(std::string("\r\0", 2));
    if (!R.ConsoleSaw(kSecondPrompt, kPromptMs)) V.Add("the Enter did not answer the wait");
    R.Pump(500);
    if (R.Ended()) V.Add("the NUL after the CR answered the second wait as a key");
    R.TypeOnConsole("k");
    if (!R.WaitEnd(kEndMs + kPromptMs)) V.Add("did not end");
    V.Add(ExpectExitZero(R));
    V.Add(faults::CheckLog(Dir.Path(), {14}));
    V.Add(R.TerminalRestored());
    Record(Fault, ACase, V.Text, R.PeakRssKb());
  } else {  // a local run whose keyboard gives a name, a NUL and then its end of file
    Run R("/bin/sh", {"-c", "printf 'Bob\\r\\000' | exec \"$0\" \"$@\"", FOptions.Tunecraft}, Dir.Path(), false);
    if (!R.WaitEnd(kPromptMs)) V.Add("did not end after the keyboard's end of file");
    V.Add(ExpectExitZero(R));
    V.Add(faults::CheckLog(Dir.Path(), {14}));
    Record(Fault, ACase, V.Text, R.PeakRssKb());
  }
}

// In stdio mode standard input is the caller: its end of file is the hang-up, noticed at the next
// event check, with the "Caller Dropped Carrier" pause, not the idle limit five minutes later.
void StdioEofCase(const std::string& ACase, const std::string& AShell, std::size_t ALogLines) {
  const std::string Fault = "Stdio mode with standard input at end of file";
  TempDir Dir;
  Run R("/bin/sh", {"-c", AShell, FOptions.Tunecraft, "-N1", "-S5", "-X"}, Dir.Path(), false);
  Verdict V;
  const auto At = Clock::now();
  const int Budget = 2 * kEventStepMs + kHangupPauseMs + kEndMs;
  if (!R.WaitEnd(Budget + kPromptMs)) V.Add("did not end");
  const long EndMs = MsSince(At, R.EndedAt());
  if (EndMs > Budget) V.Add("ended after " + std::to_string(EndMs) + " ms");
  V.Add(ExpectExitZero(R));
  if (R.Console().find("Caller Dropped Carrier") == std::string::npos) V.Add("no hang-up message");
  V.Add(faults::CheckLog(Dir.Path(), {ALogLines}));
  V.Add(ExpectRss(R));
  Record(Fault, ACase, V.Text, R.PeakRssKb(), EndMs);
}

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
  const int Callers = Full ? 50 : 10;
  Add("Load: " + std::to_string(Callers) + " callers at once through zelkit-launch", [Callers] { LoadCase(Callers); }, true);
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

int main(int argc, char** argv) {
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
