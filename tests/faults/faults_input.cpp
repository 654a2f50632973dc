// Fault rows of hostile caller input: byte values as keys, telnet command storms and answers,
// descriptors that are not a socket, long or unfinished sequences, floods and a stalled caller.

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

#include "tests/faults/faults_cases.h"

namespace faults {

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

}  // namespace faults
