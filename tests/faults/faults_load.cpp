// The load fault row: many callers at once through zelkit-launch, each playing tunecraft to the
// end; the doors' CPU time while they all wait for a key is measured.

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

// ---- Load ----

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
  Launcher Server(Dir.Path(), {"--max-nodes", std::to_string(ACallers + 5)});
  const pid_t Pid = Server.Pid;
  const int Port = Server.Telnet;
  Verdict V;
  std::vector<CallerLink> Links(static_cast<std::size_t>(ACallers));
  double PerNodePercent = -1;
  if (Port <= 0) {
    V.Add("the launcher did not start: " + Server.Log());
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
  if (Server.Stop(SIGTERM) == -1) V.Add("the launcher did not stop");
  V.Add(faults::CheckLog(Dir.Path() / "work", {static_cast<std::size_t>(ACallers) * 14}));
  Record(Fault, "all callers", V.Text);
  char Buf[96];
  std::snprintf(Buf, sizeof Buf, "idle CPU %.4f%% of a core per node", PerNodePercent);
  Measured(Fault, Buf);
}

}  // namespace faults
