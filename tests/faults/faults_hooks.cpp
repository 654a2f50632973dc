// Fault rows of hooks, clocks and keys: a hook of the event check that waits for a key, a
// daylight-saving change during a key wait, NUL keys, and stdio mode at end of standard input.

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
// event check, with the "Caller Dropped Carrier" pause, not the idle limit five minutes later. The
// message itself is the sysop's: standard output is the caller's line, which gets only the door's
// own bytes, so the pause is what shows the hang-up path was taken.
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
  if (EndMs < kHangupPauseMs) V.Add("ended after " + std::to_string(EndMs) + " ms, without the hang-up pause");
  V.Add(faults::CheckLog(Dir.Path(), {ALogLines}));
  V.Add(ExpectRss(R));
  Record(Fault, ACase, V.Text, R.PeakRssKb(), EndMs);
}

}  // namespace faults
