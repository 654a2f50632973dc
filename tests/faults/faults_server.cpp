// The door server's fault rows: bursts of telnet and rlogin callers, silent connections among real
// callers, SIGHUP and a restart, a busy-looping negotiation, connect-and-close floods, the log under
// a flood of refusals, a crashing door and C1 bytes in a caller's name.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/faults/faults_cases.h"
#include "tests/support/launcher_start.h"
#include "tests/support/loopback.h"

namespace faults {

Launcher::Launcher(const fs::path& ADir, const std::vector<std::string>& AMore, const std::string& ADoor) {
  fs::create_directories(ADir / "work");
  Err = (ADir / "launcher.err").string();
  std::vector<std::string> Args = {FOptions.Launcher, "--door", ADoor.empty() ? FOptions.Tunecraft : ADoor, "--port", "0",
                                   "--workdir", (ADir / "work").string(), "--base", (ADir / "nodes").string()};
  Args.insert(Args.end(), AMore.begin(), AMore.end());
  FWantRlogin = std::find(AMore.begin(), AMore.end(), "--rlogin-port") != AMore.end();
  FWantSsh = std::find(AMore.begin(), AMore.end(), "--ssh-port") != AMore.end();
  const zelkit_test::TLauncherStart Started = zelkit_test::StartLauncher(Args, Err, kPromptMs);
  Pid = Started.Pid;
  Telnet = Started.Telnet;
  Rlogin = Started.Rlogin;
  Ssh = Started.Ssh;
}

int Launcher::Stop(int ASignal) {
  if (Pid <= 0) return -1;
  kill(Pid, ASignal);
  int Status = 0;
  const auto StopBy = Clock::now() + std::chrono::seconds(10);
  while (waitpid(Pid, &Status, WNOHANG) == 0) {
    if (Clock::now() > StopBy) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &Status, 0);
      Status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Pid = -1;
  return Status;
}

namespace {

const std::string kNul(1, '\0');
const std::string kTelnetOffers("\xff\xfb\x01\xff\xfb\x03\xff\xfb\x00\xff\xfd\x00", 12);
const std::string kTelnetAnswers("\xff\xfd\x01\xff\xfd\x03\xff\xfd\x00\xff\xfb\x00", 12);

// The door server's rows call on telnet and rlogin.
struct Server : Launcher {
  Server(const fs::path& ADir, const std::vector<std::string>& AMore, const std::string& ADoor = "")
      : Launcher(ADir, WithRlogin(AMore), ADoor) {}

 private:
  static std::vector<std::string> WithRlogin(std::vector<std::string> AMore) {
    AMore.insert(AMore.begin(), {"--rlogin-port", "0"});
    return AMore;
  }
};

// A caller as a client program is: rlogin sends its handshake, telnet its answers to the offers.
CallerLink Call(const Server& AServer, bool ARlogin, const std::string& AName = "caller") {
  CallerLink L;
  L.Fd = zelkit_test::ConnectLoopback(ARlogin ? AServer.Rlogin : AServer.Telnet);
  const std::string Hello = ARlogin ? kNul + "pw" + kNul + "[FT]" + AName + kNul + "ansi/38400" + kNul : kTelnetAnswers;
  if (L.Fd >= 0) std::ignore = send(L.Fd, Hello.data(), Hello.size(), MSG_NOSIGNAL);
  return L;
}

void CloseLinks(std::vector<CallerLink>& ALinks) {
  for (auto& L : ALinks)
    if (L.Fd >= 0) close(L.Fd);
  ALinks.clear();
}

std::string Figure(const char* AFormat, double AValue) {
  char Buf[96];
  std::snprintf(Buf, sizeof Buf, AFormat, AValue);
  return Buf;
}

}  // namespace

void BurstCase(bool ARlogin, int ACallers) {
  const std::string Fault = std::string("Door server: ") + std::to_string(ACallers) + " " +
                            (ARlogin ? "rlogin" : "telnet") + " callers connecting at once";
  TempDir Dir;
  // All from one address, as a BBS sends them: the address is named in --allow.
  Server S(Dir.Path(), {"--allow", "127.0.0.1", "--max-nodes", std::to_string(ACallers + 5)});
  Verdict V;
  long LastFirstMs = -1;
  if (!S.Started()) {
    V.Add("the launcher did not start: " + S.Log());
  } else {
    std::vector<CallerLink> Links;
    const auto Start = Clock::now();
    for (int I = 0; I < ACallers; ++I) Links.push_back(Call(S, ARlogin, "c" + std::to_string(I)));
    // The door's first byte: after the handshake's NUL, or after the telnet offers.
    const std::size_t Before = ARlogin ? 1 : kTelnetOffers.size();
    std::vector<long> FirstMs(Links.size(), -1);
    const auto Deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < Deadline &&
           std::any_of(FirstMs.begin(), FirstMs.end(), [](long AMs) { return AMs < 0; })) {
      DrainLinks(Links, 5);
      for (std::size_t I = 0; I < Links.size(); ++I)
        if (FirstMs[I] < 0 && Links[I].Got.size() > Before) FirstMs[I] = MsSince(Start, Clock::now());
    }
    LastFirstMs = *std::max_element(FirstMs.begin(), FirstMs.end());
    const auto Missing = std::count(FirstMs.begin(), FirstMs.end(), -1L);
    if (Missing > 0) V.Add(std::to_string(Missing) + " of " + std::to_string(ACallers) + " callers got no byte of their door");
    else if (!AllSaw(Links, kFirstPrompt, 60000)) V.Add("not every caller reached tunecraft's first key wait");
    CloseLinks(Links);
  }
  if (S.Stop(SIGTERM) != 0) V.Add("the launcher did not end with code 0 on SIGTERM");
  Record(Fault, "all callers", V.Text);
  Measured(Fault, "last first byte after " + std::to_string(LastFirstMs) + " ms");
}

void SilentAndRealCase(int ASilent, int AReal) {
  const std::string Fault = "Door server: " + std::to_string(ASilent) + " silent rlogin connections, then " +
                            std::to_string(AReal) + " real callers";
  TempDir Dir;
  Server S(Dir.Path(), {"--handshake-timeout", "20"});
  Verdict V;
  if (!S.Started()) {
    V.Add("the launcher did not start: " + S.Log());
  } else {
    std::vector<int> Silent;
    for (int I = 0; I < ASilent; ++I) Silent.push_back(zelkit_test::ConnectLoopback(S.Rlogin));
    std::vector<CallerLink> Real;
    for (int I = 0; I < AReal; ++I) Real.push_back(Call(S, true, "real" + std::to_string(I)));
    if (!AllSaw(Real, kFirstPrompt, 60000)) {
      const auto In = std::count_if(Real.begin(), Real.end(), [](const CallerLink& L) { return L.Got.find(kFirstPrompt) != std::string::npos; });
      V.Add(std::to_string(In) + " of " + std::to_string(AReal) + " real callers reached their door");
    }
    CloseLinks(Real);
    for (int Fd : Silent)
      if (Fd >= 0) close(Fd);
  }
  if (S.Stop(SIGTERM) != 0) V.Add("the launcher did not end with code 0 on SIGTERM");
  Record(Fault, "every real caller", V.Text);
}

void SighupCase(int ACallers) {
  const std::string Fault = "Door server: SIGHUP with " + std::to_string(ACallers) + " callers, then a restart";
  TempDir Dir;
  Verdict V;
  {
    Server S(Dir.Path(), {});
    std::vector<CallerLink> Links;
    if (!S.Started()) V.Add("the launcher did not start: " + S.Log());
    for (int I = 0; S.Started() && I < ACallers; ++I) Links.push_back(Call(S, false));
    if (S.Started() && !AllSaw(Links, kFirstPrompt, 60000)) V.Add("not every caller reached the first key wait");
    for (auto& L : Links) L.Got.clear();
    const int Status = S.Stop(SIGHUP);
    if (Status != 0) V.Add("the launcher's wait status after SIGHUP is " + std::to_string(Status) + ", not exit code 0");
    if (!AllSaw(Links, "", 10000)) V.Add("not every caller was hung up");
    // The kit's exit step on the signal: attribute 7, the cursor to the bottom-left corner.
    const std::string kResetTail = "\x1b[40m\x1b[255B\x1b[255D";
    const auto Reset = std::count_if(Links.begin(), Links.end(), [&](const CallerLink& L) { return L.Got.ends_with(kResetTail); });
    if (Reset != ACallers) V.Add(std::to_string(Reset) + " of " + std::to_string(ACallers) + " callers' terminals reset");
    if (S.Log().find("SIGHUP received") == std::string::npos) V.Add("no log line for SIGHUP");
    CloseLinks(Links);
  }
  {
    // A launcher killed outright leaves its door with its caller; the next one on the same nodes
    // must pass that node over.
    std::vector<CallerLink> Kept;
    {
      Server First(Dir.Path(), {});
      if (First.Started()) Kept.push_back(Call(First, false));
      if (!AllSaw(Kept, kFirstPrompt, 30000)) V.Add("the first launcher's caller got no door");
      First.Stop(SIGKILL);
    }
    Server Second(Dir.Path(), {});
    std::vector<CallerLink> Next;
    if (Second.Started()) Next.push_back(Call(Second, false));
    if (!AllSaw(Next, kFirstPrompt, 30000)) V.Add("the restarted launcher's caller got no door");
    if (Second.Log().find("node 2: telnet call") == std::string::npos ||
        Second.Log().find("node 1: in use by a door this launcher did not start") == std::string::npos)
      V.Add("the restarted launcher gave node 1 again: " + Second.Log());
    CloseLinks(Next);
    CloseLinks(Kept);
    Second.Stop(SIGTERM);
  }
  Record(Fault, "all callers", V.Text);
}

void NegotiationCpuCase() {
  const std::string Fault = "Door server: an unfinished telnet command during the negotiation";
  // The last case floods the launcher with one endless subnegotiation: it must stop reading it and
  // start the door rather than spend its loop on one caller.
  const std::pair<std::string, std::string> kCases[] = {{"a lone IAC", "\xff"},
                                                        {"IAC SB and 100 bytes, no IAC SE", "\xff\xfa" + std::string(100, 'x')},
                                                        {"IAC SB and 1 MB, no IAC SE", "\xff\xfa" + std::string(1 << 20, 'x')}};
  std::string Figures;
  for (const auto& [Case, Bytes] : kCases) {
    TempDir Dir;
    Server S(Dir.Path(), {});
    Verdict V;
    double CpuMs = -1;
    if (!S.Started()) {
      V.Add("the launcher did not start: " + S.Log());
    } else {
      const double Before = CpuSeconds({S.Pid});
      const int Fd = zelkit_test::ConnectLoopback(S.Telnet);
      std::ignore = send(Fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      // The launcher waits out the negotiation (500 ms) while it serves everyone else: its CPU time
      // within that wait is what the unfinished command cost.
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      CpuMs = (CpuSeconds({S.Pid}) - Before) * 1000.0;
      if (CpuMs >= 5.0) V.Add(Figure("the negotiation took %.1f ms of the launcher's CPU", CpuMs));
      close(Fd);
    }
    S.Stop(SIGTERM);
    Record(Fault, Case, V.Text);
    Figures += (Figures.empty() ? "" : ", ") + Case + Figure(" %.2f ms CPU", CpuMs);
  }
  Measured(Fault, Figures);
}

void ConnectAndCloseCase(int AConnections) {
  const std::string Fault = "Door server: " + std::to_string(AConnections) + " connect-and-close, then a real caller";
  TempDir Dir;
  Server S(Dir.Path(), {"--allow", "127.0.0.1"});
  Verdict V;
  long AfterMs = -1;
  if (!S.Started()) {
    V.Add("the launcher did not start: " + S.Log());
  } else {
    for (int I = 0; I < AConnections; ++I) {
      const int Fd = zelkit_test::ConnectLoopback(S.Telnet);
      if (Fd >= 0) close(Fd);
    }
    // Connections gone before their door starts give their nodes back at once (a door started for
    // each would hold it some 3.5 s, until it saw the carrier gone): a real caller who is told that
    // every node is busy tries again, for at most 2 s after the flood.
    const auto FloodEnd = Clock::now();
    std::string Got;
    for (;;) {
      std::vector<CallerLink> Real = {Call(S, false)};
      const bool In = AllSaw(Real, kFirstPrompt, 30000);
      Got = Real[0].Got;
      CloseLinks(Real);
      if (In) {
        AfterMs = MsSince(FloodEnd, Clock::now());
        break;
      }
      if (Got.find("all nodes are busy") == std::string::npos || MsSince(FloodEnd, Clock::now()) > 2000) {
        V.Add("the real caller got no door: " + Got.substr(0, 80));
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  S.Stop(SIGTERM);
  Record(Fault, "the real caller", V.Text);
  Measured(Fault, "the real caller had a door " + std::to_string(AfterMs) + " ms after the flood");
}

void RefusalFloodCase(int ASeconds) {
  const std::string Fault = "Door server: the log under a " + std::to_string(ASeconds) + " s flood of refused connections";
  TempDir Dir;
  Server S(Dir.Path(), {"--allow", "127.0.0.2"});
  Verdict V;
  long Count = 0;
  const long Size = [&] {
    if (!S.Started()) return 0L;
    const auto Until = Clock::now() + std::chrono::seconds(ASeconds);
    while (Clock::now() < Until) {
      const int Fd = zelkit_test::ConnectLoopback(S.Telnet);
      if (Fd >= 0) close(Fd);
      ++Count;
    }
    S.Stop(SIGTERM);
    return static_cast<long>(S.Log().size());
  }();
  if (!S.Started() && Count == 0) V.Add("the launcher did not start: " + S.Log());
  // A line in full per interval and reason, and one summing line: far below one line per refusal.
  const long Bound = 4096 + 400L * (ASeconds / 10 + 1);
  if (Size > Bound) V.Add("the log grew to " + std::to_string(Size) + " bytes for " + std::to_string(Count) + " refusals");
  if (Count > 1 && S.Log().find("connections from 127.0.0.1 in the last 10 s: address not allowed") == std::string::npos)
    V.Add("no summing line");
  Record(Fault, "refused connections", V.Text);
  Measured(Fault, std::to_string(Count) + " refusals, log " + std::to_string(Size) + " bytes");
}

void CrashingDoorCase() {
  const std::string Fault = "Door server: a door that crashes";
  TempDir Dir;
  const fs::path Door = Dir.Path() / "crash.sh";
  WriteFile(Door, "#!/bin/sh\nprintf 'about to crash\\r\\n'\nkill -SEGV $$\n");
  fs::permissions(Door, fs::perms::owner_all);
  Server S(Dir.Path(), {"--raw"}, Door.string());
  Verdict V;
  if (!S.Started()) {
    V.Add("the launcher did not start: " + S.Log());
  } else {
    std::vector<CallerLink> Links = {Call(S, true)};
    if (!AllSaw(Links, "", 10000)) V.Add("the caller was not hung up");
    if (Links[0].Got.find("\x1b[0m") == std::string::npos ||
        Links[0].Got.find("Sorry, the door ended unexpectedly.") == std::string::npos)
      V.Add("the caller was not told: " + Links[0].Got);
    if (S.Log().find("killed by signal 11 (SIGSEGV)") == std::string::npos) V.Add("no log line: " + S.Log());
    CloseLinks(Links);
  }
  S.Stop(SIGTERM);
  Record(Fault, "SIGSEGV", V.Text);
}

void C1NameCase() {
  const std::string Fault = "Door server: C1 bytes in an rlogin name";
  TempDir Dir;
  Server S(Dir.Path(), {"--max-calls", "1"});
  Verdict V;
  if (!S.Started()) {
    V.Add("the launcher did not start: " + S.Log());
  } else {
    // CSI (0x9B) and NEL (0x85) are controls to some terminals; 0x81 is a letter (u umlaut) in CP437.
    std::vector<CallerLink> Links = {Call(S, true, "Zo\x9b" "2J\x85\x81")};
    if (!AllSaw(Links, kFirstPrompt, 30000)) V.Add("the caller got no door");
    CloseLinks(Links);
    S.Stop(SIGTERM);
    const std::string Log = S.Log();
    if (Log.find("(Zo\\x9B2J\\x85\\x81)") == std::string::npos) V.Add("the log does not show the name escaped: " + Log);
    if (std::any_of(Log.begin(), Log.end(), [](char C) { const auto B = static_cast<unsigned char>(C); return B >= 0x80 && B <= 0x9F; }))
      V.Add("C1 bytes reached the log");
    const std::string Drop = faults::ReadFile(Dir.Path() / "nodes/node1/DOOR32.SYS");
    if (Drop.find("Zo\x9b" "2J\x85\x81\r\n") == std::string::npos) V.Add("the drop file does not keep the name's bytes");
  }
  Record(Fault, "CSI, NEL, a CP437 letter", V.Text);
}

}  // namespace faults
