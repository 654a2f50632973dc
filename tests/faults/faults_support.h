#pragma once
// The pieces every fault is built from: a scratch directory, a program on its own pseudo-terminal
// (the sysop's console) with the caller's end of a socket pair, one loop that drains both sides
// while waiting for something to happen, and the checks of what a run left behind.

#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace faults {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using zelkit_test::ReadFile;
using zelkit_test::TempDir;
using zelkit_test::WriteFile;

// One program on an 80x25 pseudo-terminal, optionally with a caller on a socket pair. The door's
// end of the pair becomes descriptor 3 in the child; the test keeps its own copy of it for as long
// as the run lives, as a BBS holds on to the caller while a door runs.
class Run {
 public:
  Run(const std::string& APath, const std::vector<std::string>& AArgs, const fs::path& AWorkDir,
      bool AWithCaller);
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }

  // Drains the console and the caller's side until APredicate holds or the program has ended and
  // nothing more can arrive; false when AMilliseconds pass first.
  bool PumpUntil(const std::function<bool()>& APredicate, int AMilliseconds);
  bool CallerSaw(const std::string& ANeedle, int AMilliseconds);
  bool ConsoleSaw(const std::string& ANeedle, int AMilliseconds);
  void Pump(int AMilliseconds);

  void SendFromCaller(const std::string& ABytes);  // whole, however long it takes (draining meanwhile)
  void TypeOnConsole(const std::string& AKeys);
  void HangUp();                                    // the caller's end closes
  void StopReading() { FCallerPaused = true; }      // the caller's client takes nothing more
  void Signal(int ASignal);

  // Waits for the end; true when it came within AMilliseconds (otherwise the program is killed).
  bool WaitEnd(int AMilliseconds);
  bool Ended() const { return FReaped; }
  int Status() const { return FStatus; }  // as from wait4
  // The door's own peak resident size (VmHWM), sampled while it runs: wait4's ru_maxrss would also
  // count the runner's pages that the child held between fork and exec.
  long PeakRssKb() const { return FPeakRssKb; }
  Clock::time_point EndedAt() const { return FEndedAt; }
  std::string Describe() const;           // "exit 0", "signal 15", "still running"

  const std::string& Console() const { return FConsole; }
  const std::string& Received() const { return FReceived; }
  bool CallerSawEof() const { return FCallerEof; }

  // The caller as the BBS holds it after the door has ended: "" when the caller's end can still send
  // and has seen no shutdown, otherwise what is wrong.
  std::string CallerStillConnected();
  // "" when the terminal's settings are those the program started with.
  std::string TerminalRestored() const;

 private:
  void Reap(bool ABlock);
  void DrainConsole();
  void DrainCaller();
  void SamplePeak();

  pid_t FPid = -1;
  int FMaster = -1;
  int FSlave = -1;   // kept open so the terminal's settings can be read after the program ended
  int FCaller = -1;
  int FBbsCopy = -1;
  termios FBefore{};
  bool FReaped = false;
  int FStatus = 0;
  rusage FUsage{};
  long FPeakRssKb = 0;
  Clock::time_point FEndedAt{};
  bool FCallerEof = false;
  bool FCallerPaused = false;
  std::string FConsole;
  std::string FReceived;
};

// The three framed music sequences tunecraft logs, without their line feed.
const std::vector<std::string>& MusicLines();
// "" when tunecraft.log in ADir holds whole lines, each one of the music sequences, and as many as one
// of ACounts (a missing log counts as 0 lines); otherwise what is wrong.
std::string CheckLog(const fs::path& ADir, const std::vector<std::size_t>& ACounts);
std::size_t LogLineCount(const fs::path& ADir);

// A repeatable source of hostile bytes.
std::string RandomBytes(std::size_t ACount, unsigned ASeed);

}  // namespace faults
