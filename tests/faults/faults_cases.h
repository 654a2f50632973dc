#pragma once
// What the fault rows share: the runner's options, the table's tally, the checks of one run, the
// points of a tunecraft run, and each row's case functions (one file per kind of fault).

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>
#include <functional>

#include "tests/faults/faults_support.h"

namespace faults {

// Resident sizes mean nothing under a memory checker: AddressSanitizer's shadow memory, or valgrind
// running the door (--no-rss), counts as the door's own.
extern bool FIgnoreRss;

constexpr long kRssLimitKb = 16 * 1024;
constexpr int kHangupPauseMs = 2500;  // the kit's "Caller Dropped Carrier" message stays this long
constexpr int kEventStepMs = 1000;    // the carrier is checked once a second while the door waits
constexpr int kPromptMs = 10000;      // a guard against hangs only: every wait ends at its event
constexpr int kEndMs = 2000;          // a door that was told to end must be gone within this

inline const std::string kFirstPrompt = "Press any key to play some random notes";
inline const std::string kSecondPrompt = "Your music has been played, press any key.";

struct Options {
  bool Full = false;
  int Jobs = 4;
  std::string Only;
  std::string Tunecraft = TUNECRAFT_PATH;
  std::string Launcher = LAUNCHER_PATH;
  std::string ShowFile = SHOWFILE_PATH;
};
extern Options FOptions;

// The table: every case adds its outcome to its fault's row.
void Note(const std::string& AFault);
void Record(const std::string& AFault, const std::string& ACase, const std::string& AWhy, long ARssKb = 0,
            long AEndMs = 0);
void Skip(const std::string& AFault, const std::string& AWhy);
void Measured(const std::string& AFault, const std::string& AText);

long MsSince(Clock::time_point AFrom, Clock::time_point ATo);

// Joins the non-empty complaints of one case.
struct Verdict {
  std::string Text;
  void Add(const std::string& AWhy) {
    if (AWhy.empty()) return;
    if (!Text.empty()) Text += "; ";
    Text += AWhy;
  }
};

std::string ExpectExitZero(const Run& R);
std::string ExpectRss(const Run& R);

// ---- Hang-ups and signals at every point of a run (faults_signals.cpp) ----

enum class Point { BeforeOpening, DuringOutput, FirstWait, EscFirst, EscBracketFirst, SecondWait, EscSecond, ExitStep };

struct PointInfo {
  Point Where;
  const char* Name;
  std::vector<std::size_t> HangupLines;  // log lines after a hang-up at this point
  bool HangupNoticed;                    // the hang-up ends the run through the carrier check
  std::vector<std::size_t> SignalLines;  // log lines after a signal at this point
};

const std::vector<PointInfo>& Points();
// Drives a run to APoint; "" when it got there. For the ESC points the bytes are sent here; with
// ASettle the door is given time to be inside its wait for the rest of the sequence.
std::string Reach(Run& R, Point APoint, bool ASettle);
void HangupCase(const PointInfo& AInfo, int ATry);
void SignalCase(const PointInfo& AInfo, int ASignal, int ATry);

// ---- Hostile caller input (faults_input.cpp) ----

void InputCase(const std::string& AFault, const std::string& ACase, const std::string& AInput, int AWithinMs);
void UnfinishedCase(const std::string& ACase, const std::string& AInput);
void TelnetAnswerCase(const std::string& ACase, const std::string& AAnswer, bool AIsKey);
void NotASocketCase(const std::string& ACase);
void StalledCallerCase();
std::string Printable(unsigned char AByte);

// ---- Hostile files and the log (faults_files.cpp) ----

struct HostileFile {
  std::string Name;
  // Makes the hostile thing at APath; false when this system cannot make it.
  std::function<bool(const fs::path&)> Make;
};

std::vector<HostileFile> HostileFiles(bool AForDropFile);
void DropFileCase(const std::string& AMarker, const HostileFile& AFile);
void DisplayFileCase(const HostileFile& AFile);
void LogIsDirectoryCase();
void LogIsFifoCase();
void FullDiskCases();

// ---- Load (faults_load.cpp) ----

void LoadCase(int ACallers);
// Callers on loopback and what they have received, shared with the door server's rows.
struct CallerLink {
  int Fd = -1;
  std::string Got;
  bool Eof = false;
};
void DrainLinks(std::vector<CallerLink>& ALinks, int AMs);
// Until every link has seen ANeedle ("": has ended), or AMs have passed.
bool AllSaw(std::vector<CallerLink>& ALinks, const std::string& ANeedle, int AMs);
std::vector<pid_t> ChildrenOf(pid_t APid);
double CpuSeconds(const std::vector<pid_t>& APids);

// ---- The door server under bursts, floods and signals (faults_server.cpp) ----

// zelkit-launch with tunecraft (or ADoor) in ADir: nodes and working directory there, its error
// output appended to ADir/launcher.err, telnet on a free port and whatever AMore asks for; the ports
// from the lines it prints at start ("--rlogin-port 0", "--ssh-port 0" are waited for too).
struct Launcher {
  pid_t Pid = -1;
  int Telnet = 0, Rlogin = 0, Ssh = 0;
  std::string Err;

  Launcher(const fs::path& ADir, const std::vector<std::string>& AMore, const std::string& ADoor = "");
  ~Launcher() { Stop(SIGKILL); }
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  bool Started() const { return Telnet > 0 && (!FWantRlogin || Rlogin > 0) && (!FWantSsh || Ssh > 0); }
  std::string Log() const { return ReadFile(Err); }
  // The wait status after ASignal, or -1 when the launcher was still there after 10 s (then killed).
  int Stop(int ASignal);

 private:
  bool FWantRlogin = false, FWantSsh = false;
};

void BurstCase(bool ARlogin, int ACallers);
void SilentAndRealCase(int ASilent, int AReal);
void SighupCase(int ACallers);
void NegotiationCpuCase();
void ConnectAndCloseCase(int AConnections);
void RefusalFloodCase(int ASeconds);
void CrashingDoorCase();
void C1NameCase();

// ---- SSH handshake flood (faults_ssh.cpp) ----

void SshFloodCase(int AVersionOnly, int AHalfExchanges, int ACallers);

// ---- Hooks, clocks and keys (faults_hooks.cpp) ----

void HookWaitsCase(const std::string& AHook, const std::vector<std::string>& ALimits, bool AEnds);
void DaylightSavingCase(const std::string& ACase, const std::string& AEpoch);
void NulKeyCase(const std::string& ACase);
void StdioEofCase(const std::string& ACase, const std::string& AShell, std::size_t ALogLines);

}  // namespace faults
