// Fault rows of hang-ups and signals: the caller hangs up, or SIGTERM, SIGHUP or SIGINT arrives,
// at every point of a tunecraft run (opening, output, key waits, partial sequences, exit).

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

// ---- Hang-ups and signals at every point of a run ----

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

}  // namespace faults
