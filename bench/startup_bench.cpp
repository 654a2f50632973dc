// Start-up of the music door as the caller feels it: the time from starting tunecraft on an
// inherited socket (-N1 -S<fd>, console on an 80x25 pseudo-terminal) to the first byte at the
// caller, the whole run fed its two keys, and the door's peak resident memory. Baseline, measured
// in the same run with the two kinds interleaved so machine load hits both alike: a trivial C
// program, compiled here, that prints one line (first byte on its standard output).
//
// Peak memory is the process's own high-water mark of resident memory (VmHWM in /proc/PID/status),
// read when all its work is done: the door at its second key wait, the baseline blocked on its
// standard input after its line. The exit status's ru_maxrss is not used: a child's figure starts
// from the resident size of the forked copy of this benchmark, which would swamp both programs.
//
// The door is found through ZELKIT_TUNECRAFT, or next to this benchmark in the build tree
// (../tunecraft/tunecraft). Targets: first byte under twice the baseline's; peak RSS under 4 MB.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 50;

struct Sample {
  double FirstByteUs = 0;
  double TotalUs = 0;
  long MaxRssKb = 0;
  bool Ok = false;
};

double Us(Clock::duration AD) { return std::chrono::duration<double, std::micro>(AD).count(); }

fs::path TunecraftPath() {
  if (const char* Env = std::getenv("ZELKIT_TUNECRAFT")) return Env;
  std::error_code Ec;
  return fs::read_symlink("/proc/self/exe", Ec).parent_path().parent_path() / "tunecraft" / "tunecraft";
}

// The high-water mark of the process's resident memory, in kB; 0 when it cannot be read.
long PeakRssKb(pid_t APid) {
  std::ifstream In("/proc/" + std::to_string(APid) + "/status");
  std::string Line;
  while (std::getline(In, Line))
    if (Line.rfind("VmHWM:", 0) == 0) return std::strtol(Line.c_str() + 6, nullptr, 10);
  return 0;
}

bool SpawnAndWait(std::vector<std::string> AArgs) {
  std::vector<char*> Argv;
  for (auto& A : AArgs) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  pid_t Pid = -1;
  if (posix_spawnp(&Pid, Argv[0], nullptr, nullptr, Argv.data(), environ) != 0) return false;
  int Status = 0;
  return waitpid(Pid, &Status, 0) == Pid && WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
}

// The baseline: one line on standard output, then exit.
fs::path BuildTrivial(const fs::path& ADir) {
  const fs::path Source = ADir / "trivial.c";
  // It waits for the end of its input after the line, so that its memory can be read while it lives.
  std::ofstream(Source) << "#include <stdio.h>\nint main(void) { puts(\"one line\"); fflush(stdout);\n"
                           "  while (getchar() != EOF) {}\n  return 0; }\n";
  const fs::path Binary = ADir / "trivial";
  return SpawnAndWait({"cc", "-O2", "-o", Binary.string(), Source.string()}) ? Binary : fs::path();
}

Sample RunTrivial(const fs::path& APath) {
  Sample S;
  int Out[2], In[2];
  if (pipe2(Out, O_CLOEXEC) != 0) return S;
  if (pipe2(In, O_CLOEXEC) != 0) {
    close(Out[0]);
    close(Out[1]);
    return S;
  }
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, In[0], STDIN_FILENO);
  std::string Path = APath.string();
  char* Argv[] = {Path.data(), nullptr};
  pid_t Pid = -1;
  const auto Start = Clock::now();
  const int Rc = posix_spawn(&Pid, Path.c_str(), &Actions, nullptr, Argv, environ);
  posix_spawn_file_actions_destroy(&Actions);
  close(Out[1]);
  close(In[0]);
  if (Rc != 0) {
    close(Out[0]);
    close(In[1]);
    return S;
  }
  char Buf[256];
  bool First = true;
  for (;;) {
    const ssize_t N = read(Out[0], Buf, sizeof Buf);
    if (N > 0 && First) {
      S.FirstByteUs = Us(Clock::now() - Start);
      First = false;
      S.MaxRssKb = PeakRssKb(Pid);  // the line is out: all its work is done
      close(In[1]);                 // end of input lets it exit
      In[1] = -1;
    }
    if (N == 0 || (N < 0 && errno != EINTR)) break;
  }
  close(Out[0]);
  if (In[1] >= 0) close(In[1]);
  int Status = 0;
  std::ignore = waitpid(Pid, &Status, 0);
  S.TotalUs = Us(Clock::now() - Start);
  S.Ok = S.MaxRssKb > 0 && !First && WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
  return S;
}

// A full door run: console on a pseudo-terminal, the caller on a socket pair; both keys are sent
// as soon as the first byte arrives, and the run ends when the door has exited.
Sample RunTunecraft(const fs::path& APath, const fs::path& AWorkDir) {
  Sample S;
  int Sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Sv) != 0) return S;
  winsize Size{};
  Size.ws_row = 25;
  Size.ws_col = 80;
  int Master = -1, Slave = -1;
  if (openpty(&Master, &Slave, nullptr, nullptr, &Size) != 0) {
    close(Sv[0]);
    close(Sv[1]);
    return S;
  }
  std::string Path = APath.string(), Node = "-N1", Socket = "-S" + std::to_string(Sv[1]);
  std::string Dir = AWorkDir.string();
  char* Argv[] = {Path.data(), Node.data(), Socket.data(), nullptr};
  const auto Start = Clock::now();
  const pid_t Pid = fork();
  if (Pid == 0) {
    setsid();
    ioctl(Slave, TIOCSCTTY, 0);
    dup2(Slave, 0);
    dup2(Slave, 1);
    dup2(Slave, 2);
    fcntl(Sv[1], F_SETFD, 0);  // the caller's socket is inherited, as from a BBS
    if (chdir(Dir.c_str()) != 0) _exit(126);
    execv(Path.c_str(), Argv);
    _exit(127);
  }
  close(Slave);
  close(Sv[1]);
  bool First = true, CallerOpen = true, ConsoleOpen = true;
  std::string Received;
  char Buf[4096];
  while (Pid > 0 && (CallerOpen || ConsoleOpen)) {
    pollfd P[2] = {{Sv[0], static_cast<short>(CallerOpen ? POLLIN : 0), 0},
                   {Master, static_cast<short>(ConsoleOpen ? POLLIN : 0), 0}};
    if (poll(P, 2, 5000) <= 0) break;  // a stuck door: give up on this sample
    if (P[0].revents) {
      const ssize_t N = recv(Sv[0], Buf, sizeof Buf, 0);
      if (N > 0 && First) {
        S.FirstByteUs = Us(Clock::now() - Start);
        First = false;
        std::ignore = send(Sv[0], "a", 1, MSG_NOSIGNAL);  // typed ahead: the first key wait takes it
      }
      if (N > 0 && S.MaxRssKb == 0) {
        Received.append(Buf, static_cast<std::size_t>(N));
        if (Received.find("press any key.\r\n") != std::string::npos) {
          S.MaxRssKb = PeakRssKb(Pid);  // the second key wait: the whole tune has been played
          std::ignore = send(Sv[0], "b", 1, MSG_NOSIGNAL);
        }
      }
      if (N <= 0) CallerOpen = false;
    }
    if (P[1].revents && read(Master, Buf, sizeof Buf) <= 0) ConsoleOpen = false;
  }
  int Status = 0;
  if (Pid > 0) {
    kill(Pid, SIGKILL);  // no-op for a door that has ended; a stuck one is not left behind
    std::ignore = waitpid(Pid, &Status, 0);
  }
  S.TotalUs = Us(Clock::now() - Start);
  S.Ok = S.MaxRssKb > 0 && !First && WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
  close(Sv[0]);
  close(Master);
  return S;
}

double Median(std::vector<double> AValues) {
  if (AValues.empty()) return 0;
  std::sort(AValues.begin(), AValues.end());
  const std::size_t M = AValues.size() / 2;
  return AValues.size() % 2 ? AValues[M] : (AValues[M - 1] + AValues[M]) / 2;
}

void BM_TunecraftStartupVersusTrivialProgram(benchmark::State& AState) {
  const fs::path Door = TunecraftPath();
  if (access(Door.c_str(), X_OK) != 0) {
    AState.SkipWithError("tunecraft not found: set ZELKIT_TUNECRAFT");
    return;
  }
  std::string Pattern = (fs::temp_directory_path() / "startup-bench-XXXXXX").string();
  if (mkdtemp(Pattern.data()) == nullptr) {
    AState.SkipWithError("mkdtemp failed");
    return;
  }
  const fs::path Dir = Pattern;
  const fs::path Trivial = BuildTrivial(Dir);
  std::vector<double> TrivialFirst, DoorFirst, TrivialTotal, DoorTotal;
  long TrivialRss = 0, DoorRss = 0;
  bool Failed = Trivial.empty();
  for (auto _ : AState) {
    for (int I = 0; I < kRuns && !Failed; ++I) {
      const Sample T = RunTrivial(Trivial);
      const Sample D = RunTunecraft(Door, Dir);
      Failed = !T.Ok || !D.Ok;
      TrivialFirst.push_back(T.FirstByteUs);
      TrivialTotal.push_back(T.TotalUs);
      DoorFirst.push_back(D.FirstByteUs);
      DoorTotal.push_back(D.TotalUs);
      TrivialRss = std::max(TrivialRss, T.MaxRssKb);
      DoorRss = std::max(DoorRss, D.MaxRssKb);
    }
  }
  std::error_code Ec;
  fs::remove_all(Dir, Ec);
  if (Failed) {
    AState.SkipWithError("a run failed (no cc, or the door did not end with exit code 0)");
    return;
  }
  const double TFirst = Median(TrivialFirst), DFirst = Median(DoorFirst);
  AState.counters["trivial_first_byte_us"] = TFirst;
  AState.counters["door_first_byte_us"] = DFirst;
  AState.counters["first_byte_ratio"] = TFirst > 0 ? DFirst / TFirst : 0;  // target: < 2
  AState.counters["trivial_total_us"] = Median(TrivialTotal);
  AState.counters["door_total_us"] = Median(DoorTotal);
  AState.counters["trivial_peak_rss_kB"] = static_cast<double>(TrivialRss);
  AState.counters["door_peak_rss_kB"] = static_cast<double>(DoorRss);  // target: < 4096
  AState.counters["rss_ratio"] = TrivialRss > 0 ? static_cast<double>(DoorRss) / static_cast<double>(TrivialRss) : 0;
}
BENCHMARK(BM_TunecraftStartupVersusTrivialProgram)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
