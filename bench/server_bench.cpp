// The door server as its callers and its machine feel it.
//
// SSH first byte: the OpenSSH client's time from its start to the door's first byte, through
// zelkit-launch's SSH front door and through Debian's OpenSSH server (its own config on a free
// loopback port, run as this benchmark's child) starting the same door with ForceCommand, the two
// interleaved in one run; both take the same caller's key.
//
// First byte: the time from a caller's connect to the door's first byte, through zelkit-launch
// (a telnet caller that answers the server's offers; an rlogin caller: handshake, node, drop file,
// the door started on the socket; and rlogin with --stdio, the door on a pseudo-terminal behind the
// relay), against the baseline of what a sysop would use instead: a minimal spawner that accepts on
// its own port and starts tunecraft directly with the connection on descriptor 3 (-N1 -S3), as a
// service manager's socket activation does. Measured in the same run with the kinds interleaved so
// machine load hits all alike, with a short pause after each call so that one door's exit does not
// fall into the next call's start; median and 99th percentile, and their ratios to the direct start.
// Every run plays the door to its end.
//
// Behind HAProxy: the same rlogin call's connect-to-first-byte through Debian's haproxy (TCP mode,
// a PROXY version 2 header to a launcher that trusts it) against a direct call to that launcher,
// interleaved in the same run; the difference is what the proxy hop and the header add.
//
// Idle callers: 50 callers sit at tunecraft's first key wait; over a quiet spell the server's own
// CPU (the launcher process, and with --stdio the relay processes too) is set against the CPU of
// the 50 doors themselves in the same spell, from the scheduler's nanosecond counts.
//
// zelkit-launch and tunecraft are found through ZELKIT_LAUNCH and ZELKIT_TUNECRAFT, or in the
// build tree beside this benchmark.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/launcher_start.h"
#include "tests/support/loopback.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultRuns = 30;  // calls per kind; ZELKIT_BENCH_CALLS asks for more (a steadier 99th percentile)
constexpr int kIdleCallers = 50;
constexpr auto kQuietSpell = std::chrono::seconds(10);  // long enough for every door to pass its periodic checks
constexpr int kWaitMs = 10000;
constexpr int kSettleMs = 20;

int Runs() {
  const char* Env = std::getenv("ZELKIT_BENCH_CALLS");
  const int N = Env != nullptr ? std::atoi(Env) : 0;
  return N > 0 ? N : kDefaultRuns;
}

double Us(Clock::duration AD) { return std::chrono::duration<double, std::micro>(AD).count(); }

fs::path BuildTreeFile(const char* AEnv, const fs::path& ARelative) {
  if (const char* Env = std::getenv(AEnv)) return Env;
  std::error_code Ec;
  return fs::read_symlink("/proc/self/exe", Ec).parent_path().parent_path() / ARelative;
}

double Median(std::vector<double> AValues) {
  if (AValues.empty()) return 0;
  std::sort(AValues.begin(), AValues.end());
  const std::size_t M = AValues.size() / 2;
  return AValues.size() % 2 ? AValues[M] : (AValues[M - 1] + AValues[M]) / 2;
}

// The nearest-rank percentile (with fewer than 100 runs, the 99th is the slowest).
double Percentile(std::vector<double> AValues, double AP) {
  if (AValues.empty()) return 0;
  std::sort(AValues.begin(), AValues.end());
  const auto Rank = static_cast<std::size_t>(std::ceil(AP / 100.0 * static_cast<double>(AValues.size())));
  return AValues[std::min(AValues.size(), std::max<std::size_t>(Rank, 1)) - 1];
}

// Reads until ADone holds for what has arrived (true) or the connection ends or time runs out (false).
bool ReadUntilDone(int AFd, std::string& ABuffer, const std::function<bool()>& ADone) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!ADone()) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    pollfd P{AFd, POLLIN, 0};
    if (Left <= 0 || poll(&P, 1, static_cast<int>(Left)) <= 0) return false;
    char Buf[4096];
    const ssize_t N = recv(AFd, Buf, sizeof Buf, 0);
    if (N <= 0) return false;
    ABuffer.append(Buf, static_cast<std::size_t>(N));
  }
  return true;
}

// Reads until at least ACount bytes have arrived (true) or the connection ends or time runs out.
bool ReadAtLeast(int AFd, std::string& ABuffer, std::size_t ACount) {
  return ReadUntilDone(AFd, ABuffer, [&] { return ABuffer.size() >= ACount; });
}

// Reads until ANeedle has arrived (true) or the connection ends or time runs out (false).
bool ReadUntil(int AFd, std::string& ABuffer, const std::string& ANeedle) {
  return ReadUntilDone(AFd, ABuffer, [&] { return ABuffer.find(ANeedle) != std::string::npos; });
}

// Plays the rest of tunecraft: a key at each of its two key waits, then the end of the call.
bool PlayToTheEnd(int AFd, std::string& ABuffer) {
  std::ignore = send(AFd, "a", 1, MSG_NOSIGNAL);
  if (!ReadUntil(AFd, ABuffer, "press any key.")) return false;
  std::ignore = send(AFd, "b", 1, MSG_NOSIGNAL);
  char Buf[4096];
  pollfd P{AFd, POLLIN, 0};
  while (poll(&P, 1, kWaitMs) > 0 && recv(AFd, Buf, sizeof Buf, 0) > 0) {}
  return true;
}

// The time from AStart until ABuffer holds ACount bytes, the call then played to its end and the
// connection closed; -1 when the bytes did not come or the door did not play to its end.
double FirstByteThenPlay(int AFd, std::string& ABuffer, std::size_t ACount, Clock::time_point AStart) {
  double FirstUs = -1;
  if (ReadAtLeast(AFd, ABuffer, ACount)) {
    FirstUs = Us(Clock::now() - AStart);
    if (!PlayToTheEnd(AFd, ABuffer)) FirstUs = -1;
  }
  close(AFd);
  return FirstUs;
}

// The baseline: a minimal spawner, a process of its own listening on a loopback port as a service
// manager's socket activation does. For each caller it accepts the connection and starts tunecraft
// directly with it on descriptor 3 (-N1 -S3), its console in a file as the launcher gives it.
class DirectSpawner {
 public:
  DirectSpawner(const fs::path& ADoor, const fs::path& ADir) {
    const int Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Sin {};
    Sin.sin_family = AF_INET;
    Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof Sin;
    if (Listen < 0 || bind(Listen, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0 || listen(Listen, SOMAXCONN) != 0 ||
        getsockname(Listen, reinterpret_cast<sockaddr*>(&Sin), &Len) != 0) {
      if (Listen >= 0) close(Listen);
      return;
    }
    std::string Path = ADoor.string(), Node = "-N1", Socket = "-S3";
    const std::string Console = (ADir / "direct.ans").string(), Dir = ADir.string();
    char* Argv[] = {Path.data(), Node.data(), Socket.data(), nullptr};
    FPid = fork();
    if (FPid == 0) {
      signal(SIGCHLD, SIG_IGN);  // doors are reaped by the system
      for (;;) {
        const int Conn = accept4(Listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (Conn < 0) continue;
        if (fork() == 0) {
          signal(SIGCHLD, SIG_DFL);
          const int Out = open(Console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          const int Null = open("/dev/null", O_RDONLY);
          if (Out < 0 || Null < 0 || chdir(Dir.c_str()) != 0 || dup2(Conn, 3) != 3) _exit(126);
          dup2(Null, 0);
          dup2(Out, 1);
          dup2(Out, 2);
          execv(Path.c_str(), Argv);
          _exit(127);
        }
        close(Conn);
      }
    }
    close(Listen);
    if (FPid > 0) FPort = ntohs(Sin.sin_port);
  }
  ~DirectSpawner() {
    if (FPid <= 0) return;
    kill(FPid, SIGKILL);
    std::ignore = waitpid(FPid, nullptr, 0);
  }
  DirectSpawner(const DirectSpawner&) = delete;
  DirectSpawner& operator=(const DirectSpawner&) = delete;
  int Port() const { return FPort; }

  double Run() const {
    const auto Start = Clock::now();
    const int Fd = zelkit_test::ConnectLoopback(FPort);
    if (Fd < 0) return -1;
    std::string Buffer;
    return FirstByteThenPlay(Fd, Buffer, 1, Start);
  }

 private:
  pid_t FPid = -1;
  int FPort = -1;
};

// zelkit-launch with tunecraft, taking telnet and rlogin callers on free ports; stopped with SIGTERM.
class Server {
 public:
  Server(const fs::path& ALaunch, const fs::path& ADoor, const fs::path& ADir, const std::vector<std::string>& AMore) {
    std::vector<std::string> Args = {ALaunch.string(), "--door", ADoor.string(), "--port", "0", "--rlogin-port", "0",
                                     "--base", (ADir / "nodes").string(), "--workdir", ADir.string(),
                                     "--max-nodes", "100", "--max-per-address", "100", "--max-pending", "100"};
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    const zelkit_test::TLauncherStart Started = zelkit_test::StartLauncher(Args, (ADir / "launcher.err").string(), kWaitMs);
    FPid = Started.Pid;
    FPort = Started.Rlogin > 0 ? Started.Rlogin : -1;
    FSshPort = Started.Ssh > 0 ? Started.Ssh : -1;
    FTelnetPort = Started.Telnet > 0 ? Started.Telnet : -1;
  }
  ~Server() {
    if (FPid <= 0) return;
    kill(FPid, SIGTERM);
    int Status = 0;
    std::ignore = waitpid(FPid, &Status, 0);
  }
  int Port() const { return FPort; }
  int SshPort() const { return FSshPort; }
  int TelnetPort() const { return FTelnetPort; }
  pid_t Pid() const { return FPid; }

 private:
  pid_t FPid = -1;
  int FPort = -1;
  int FSshPort = -1;
  int FTelnetPort = -1;
};

// An rlogin caller: connects and sends the handshake; -1 on failure.
int Call(int APort) {
  const int Fd = zelkit_test::ConnectLoopback(APort);
  if (Fd < 0) return -1;
  const std::string Nul(1, '\0');
  const std::string kHandshake = Nul + "bench" + Nul + "[BN]bench" + Nul + "ansi/38400" + Nul;
  std::ignore = send(Fd, kHandshake.data(), kHandshake.size(), MSG_NOSIGNAL);
  return Fd;
}

double RunThroughServer(int APort) {
  const auto Start = Clock::now();
  const int Fd = Call(APort);
  if (Fd < 0) return -1;
  std::string Buffer;
  // The server's NUL that accepts the handshake, then the door's first byte.
  return FirstByteThenPlay(Fd, Buffer, 2, Start);
}

// A telnet caller as a client program is: it answers the server's four offers (DO ECHO, DO SGA,
// DO BINARY, WILL BINARY) as they come; the door's first byte is the first after the offers.
double RunTelnet(int APort) {
  const auto Start = Clock::now();
  const int Fd = zelkit_test::ConnectLoopback(APort);
  if (Fd < 0) return -1;
  const std::string kOffers("\xff\xfb\x01\xff\xfb\x03\xff\xfb\x00\xff\xfd\x00", 12);
  const std::string kAnswers("\xff\xfd\x01\xff\xfd\x03\xff\xfd\x00\xff\xfb\x00", 12);
  std::string Buffer;
  if (!ReadAtLeast(Fd, Buffer, kOffers.size()) || Buffer.compare(0, kOffers.size(), kOffers) != 0) {
    close(Fd);
    return -1;
  }
  std::ignore = send(Fd, kAnswers.data(), kAnswers.size(), MSG_NOSIGNAL);
  return FirstByteThenPlay(Fd, Buffer, kOffers.size() + 1, Start);
}

// A call ends for its caller when the door closes the connection, but the door's process is still
// exiting for a moment: a short pause keeps that out of the next call's start, whichever kind
// comes next.
double Settled(double AFirstByteUs) {
  std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
  return AFirstByteUs;
}

fs::path ScratchDir(const char* AName) {
  std::string Pattern = (fs::temp_directory_path() / (std::string(AName) + "-XXXXXX")).string();
  return mkdtemp(Pattern.data()) != nullptr ? fs::path(Pattern) : fs::path();
}

void BM_FirstByteThroughServerVersusDirect(benchmark::State& AState) {
  const fs::path Launch = BuildTreeFile("ZELKIT_LAUNCH", "tools/launcher/zelkit-launch");
  const fs::path Door = BuildTreeFile("ZELKIT_TUNECRAFT", "tunecraft/tunecraft");
  const fs::path Dir = ScratchDir("server-bench");
  if (access(Launch.c_str(), X_OK) != 0 || access(Door.c_str(), X_OK) != 0 || Dir.empty()) {
    AState.SkipWithError("zelkit-launch or tunecraft not found: set ZELKIT_LAUNCH and ZELKIT_TUNECRAFT");
    return;
  }
  std::vector<double> Direct, Telnet, Rlogin, Stdio;
  bool Failed = false;
  {
    fs::create_directories(Dir / "plain");
    fs::create_directories(Dir / "stdio");
    fs::create_directories(Dir / "direct");
    DirectSpawner Spawner(Door, Dir / "direct");
    Server PlainServer(Launch, Door, Dir / "plain", {});
    Server StdioServer(Launch, Door, Dir / "stdio", {"--stdio"});
    Failed = Spawner.Port() < 0 || PlainServer.Port() < 0 || PlainServer.TelnetPort() < 0 || StdioServer.Port() < 0;
    for (auto _ : AState) {
      for (int I = 0; I < Runs() && !Failed; ++I) {
        Direct.push_back(Settled(Spawner.Run()));
        Telnet.push_back(Settled(RunTelnet(PlainServer.TelnetPort())));
        Rlogin.push_back(Settled(RunThroughServer(PlainServer.Port())));
        Stdio.push_back(Settled(RunThroughServer(StdioServer.Port())));
        Failed = Direct.back() < 0 || Telnet.back() < 0 || Rlogin.back() < 0 || Stdio.back() < 0;
      }
    }
  }
  std::error_code Ec;
  fs::remove_all(Dir, Ec);
  if (Failed) {
    AState.SkipWithError("a run failed: no first byte, or the door did not play to its end");
    return;
  }
  const double D = Median(Direct), D99 = Percentile(Direct, 99);
  const std::pair<const char*, const std::vector<double>*> kKinds[] = {
      {"direct", &Direct}, {"telnet", &Telnet}, {"rlogin", &Rlogin}, {"stdio", &Stdio}};
  for (const auto& [Name, Values] : kKinds) {
    const double M = Median(*Values), P99 = Percentile(*Values, 99);
    AState.counters[std::string(Name) + "_median_us"] = M;
    AState.counters[std::string(Name) + "_p99_us"] = P99;
    if (Values != &Direct) {
      AState.counters[std::string(Name) + "_median_ratio"] = D > 0 ? M / D : 0;
      AState.counters[std::string(Name) + "_p99_ratio"] = D99 > 0 ? P99 / D99 : 0;
    }
  }
}
BENCHMARK(BM_FirstByteThroughServerVersusDirect)->Iterations(1)->Unit(benchmark::kMillisecond);

// Debian's haproxy in the foreground, listening on a free loopback port and passing every caller to
// APort with a PROXY version 2 header, calling from 127.0.0.9; ended by its PID.
class Haproxy {
 public:
  static constexpr const char* kPath = "/usr/sbin/haproxy";
  Haproxy(const fs::path& ADir, int APort) {
    const int Probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Sin{};
    Sin.sin_family = AF_INET;
    Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof Sin;
    if (bind(Probe, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) == 0 && getsockname(Probe, reinterpret_cast<sockaddr*>(&Sin), &Len) == 0)
      FPort = ntohs(Sin.sin_port);
    close(Probe);
    const fs::path Config = ADir / "haproxy.cfg";
    std::ofstream(Config) << "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 60s\n  timeout server 60s\n"
                          << "listen doors\n  bind 127.0.0.1:" << FPort << "\n  server door 127.0.0.1:" << APort
                          << " send-proxy-v2 source 127.0.0.9\n";
    std::string Path = kPath, Db = "-db", F = "-f", ConfigText = Config.string();
    char* Argv[] = {Path.data(), Db.data(), F.data(), ConfigText.data(), nullptr};
    const std::string Log = (ADir / "haproxy.log").string();
    FPid = fork();
    if (FPid == 0) {
      const int Out = open(Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (Out >= 0) {
        dup2(Out, 1);
        dup2(Out, 2);
      }
      execv(Argv[0], Argv);
      _exit(127);
    }
    // Listening once binding its port fails (it listens with SO_REUSEPORT, the probe does not).
    for (const auto Deadline = Clock::now() + std::chrono::milliseconds(kWaitMs); Clock::now() < Deadline;) {
      const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      Sin.sin_port = htons(static_cast<std::uint16_t>(FPort));
      const bool Taken = bind(Fd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0;
      close(Fd);
      if (Taken) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FPort = -1;
  }
  ~Haproxy() {
    if (FPid <= 0) return;
    kill(FPid, SIGTERM);
    int Status = 0;
    std::ignore = waitpid(FPid, &Status, 0);
  }
  int Port() const { return FPort; }

 private:
  pid_t FPid = -1;
  int FPort = -1;
};

void BM_FirstByteThroughHaproxyVersusDirect(benchmark::State& AState) {
  const fs::path Launch = BuildTreeFile("ZELKIT_LAUNCH", "tools/launcher/zelkit-launch");
  const fs::path Door = BuildTreeFile("ZELKIT_TUNECRAFT", "tunecraft/tunecraft");
  const fs::path Dir = ScratchDir("proxy-bench");
  if (access(Launch.c_str(), X_OK) != 0 || access(Door.c_str(), X_OK) != 0 || access(Haproxy::kPath, X_OK) != 0 || Dir.empty()) {
    AState.SkipWithError("zelkit-launch, tunecraft or haproxy not found (ZELKIT_LAUNCH, ZELKIT_TUNECRAFT; scripts/install-deps.sh)");
    return;
  }
  std::vector<double> Direct, Proxied;
  bool Failed = false;
  {
    Server Launcher(Launch, Door, Dir, {"--trust-proxy", "127.0.0.9"});
    Haproxy Proxy(Dir, Launcher.Port());
    Failed = Launcher.Port() < 0 || Proxy.Port() < 0;
    for (auto _ : AState) {
      for (int I = 0; I < Runs() && !Failed; ++I) {
        Direct.push_back(RunThroughServer(Launcher.Port()));
        Proxied.push_back(RunThroughServer(Proxy.Port()));
        Failed = Direct.back() < 0 || Proxied.back() < 0;
      }
    }
  }
  std::error_code Ec;
  fs::remove_all(Dir, Ec);
  if (Failed) {
    AState.SkipWithError("a run failed: no first byte, or the door did not play to its end");
    return;
  }
  const double D = Median(Direct), P = Median(Proxied);
  AState.counters["direct_first_byte_us"] = D;
  AState.counters["haproxy_first_byte_us"] = P;
  AState.counters["haproxy_added_us"] = P - D;
  AState.counters["haproxy_ratio"] = D > 0 ? P / D : 0;
}
BENCHMARK(BM_FirstByteThroughHaproxyVersusDirect)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- SSH: zelkit-launch's front door against OpenSSH's server, the same door behind both

constexpr int kSshRuns = 20;

// Starts AArgs with standard error in AErr and, when AIo is given, standard input and output on it.
pid_t Spawn(const std::vector<std::string>& AArgs, const std::string& AErr, int AIo = -1) {
  std::vector<std::string> Args = AArgs;
  std::vector<char*> Argv;
  for (auto& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  const pid_t Pid = fork();
  if (Pid == 0) {
    const int Err = open(AErr.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int Null = open("/dev/null", O_RDWR);
    dup2(AIo >= 0 ? AIo : Null, 0);
    dup2(AIo >= 0 ? AIo : Null, 1);
    if (Err >= 0) dup2(Err, 2);
    execv(Argv[0], Argv.data());
    _exit(127);
  }
  return Pid;
}

void Stop(pid_t APid) {
  if (APid <= 0) return;
  kill(APid, SIGTERM);
  int Status = 0;
  std::ignore = waitpid(APid, &Status, 0);
}

// OpenSSH's client with the caller's key: from its start to the door's first byte, then tunecraft
// played to its end; -1 when either fails. Both servers get the same key exchange (curve25519): the
// client would otherwise take a costlier post-quantum one with OpenSSH's server only.
double RunSsh(int APort, const fs::path& ADir, const std::string& AUser) {
  int Sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Sv) != 0) return -1;
  const auto Start = Clock::now();
  const pid_t Pid = Spawn({"/usr/bin/ssh", "-tt", "-F", "/dev/null", "-o", "StrictHostKeyChecking=no", "-o",
                           "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "IdentityAgent=none", "-o",
                           "IdentitiesOnly=yes", "-o", "LogLevel=error", "-o", "KexAlgorithms=curve25519-sha256", "-i",
                           (ADir / "caller").string(), "-p",
                           std::to_string(APort), AUser + "@127.0.0.1", "tunecraft"},
                          (ADir / "ssh.err").string(), Sv[1]);
  close(Sv[1]);
  std::string Buffer;
  double FirstUs = -1;
  if (Pid > 0 && ReadAtLeast(Sv[0], Buffer, 1)) {
    FirstUs = Us(Clock::now() - Start);
    if (!PlayToTheEnd(Sv[0], Buffer) || Buffer.find("press any key.") == std::string::npos) FirstUs = -1;
  }
  close(Sv[0]);
  int Status = 0;
  if (Pid > 0 && waitpid(Pid, &Status, WNOHANG) == 0) {
    kill(Pid, SIGKILL);
    std::ignore = waitpid(Pid, &Status, 0);
  }
  return FirstUs;
}

// OpenSSH's server on a free loopback port with a config of its own in ADir: the caller's key only,
// nothing forwarded, and the door for every session (ForceCommand), on the session's terminal.
pid_t StartSshd(const fs::path& ADir, const fs::path& ADoor, int& APort) {
  APort = zelkit_test::FreeLoopbackPort();
  // Run as root, the server wants its privilege separation directory, which its service makes.
  if (geteuid() == 0) std::ignore = mkdir("/run/sshd", 0755);
  std::ofstream(ADir / "sshd_config")
      << "ListenAddress 127.0.0.1:" << APort << "\nHostKey " << (ADir / "sshd_host_key").string()
      << "\nPidFile none\nUsePAM no\nStrictModes no\nAuthorizedKeysFile " << (ADir / "keys").string()
      << "\nPasswordAuthentication no\nKbdInteractiveAuthentication no\nPermitRootLogin prohibit-password"
      << "\nAllowTcpForwarding no\nX11Forwarding no\nAllowAgentForwarding no\nPrintMotd no\nPrintLastLog no"
      << "\nLogLevel ERROR\nForceCommand cd " << ADir.string() << " && exec " << ADoor.string() << " -N1 -S0 -X\n";
  const pid_t Pid = Spawn({"/usr/sbin/sshd", "-D", "-e", "-f", (ADir / "sshd_config").string()}, (ADir / "sshd.err").string());
  // Ready once it takes connections.
  for (int I = 0; I < 500; ++I) {
    const int Fd = zelkit_test::ConnectLoopback(APort);
    if (Fd >= 0) {
      close(Fd);
      return Pid;
    }
    if (waitpid(Pid, nullptr, WNOHANG) != 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop(Pid);
  return -1;
}

void BM_SshFirstByteVersusOpenSshServer(benchmark::State& AState) {
  const fs::path Launch = BuildTreeFile("ZELKIT_LAUNCH", "tools/launcher/zelkit-launch");
  const fs::path Door = BuildTreeFile("ZELKIT_TUNECRAFT", "tunecraft/tunecraft");
  const fs::path Dir = ScratchDir("ssh-bench");
  if (access(Launch.c_str(), X_OK) != 0 || access(Door.c_str(), X_OK) != 0 || Dir.empty()) {
    AState.SkipWithError("zelkit-launch or tunecraft not found: set ZELKIT_LAUNCH and ZELKIT_TUNECRAFT");
    return;
  }
  if (access("/usr/sbin/sshd", X_OK) != 0 || access("/usr/bin/ssh", X_OK) != 0) {
    AState.SkipWithError("OpenSSH's server or client is not installed (scripts/install-deps.sh installs them)");
    return;
  }
  const std::string Keygen = "ssh-keygen -q -t ed25519 -N '' -f ";
  if (std::system((Keygen + (Dir / "caller").string() + " && " + Keygen + (Dir / "sshd_host_key").string()).c_str()) != 0) {
    AState.SkipWithError("ssh-keygen failed");
    return;
  }
  fs::copy_file(Dir / "caller.pub", Dir / "keys");
  const char* User = std::getenv("USER");
  const std::string Name = User != nullptr && *User != '\0' ? User : "root";
  std::vector<double> Ours, Theirs;
  bool Failed = false;
  {
    fs::create_directories(Dir / "zelkit");
    Server Launcher(Launch, Door, Dir / "zelkit", {"--ssh-port", "0", "--ssh-authorized-keys", (Dir / "keys").string()});
    int SshdPort = -1;
    const pid_t Sshd = StartSshd(Dir, Door, SshdPort);
    Failed = Launcher.SshPort() < 0 || Sshd < 0;
    for (auto _ : AState) {
      for (int I = 0; I < kSshRuns && !Failed; ++I) {
        Ours.push_back(RunSsh(Launcher.SshPort(), Dir, Name));
        Theirs.push_back(RunSsh(SshdPort, Dir, Name));
        Failed = Ours.back() < 0 || Theirs.back() < 0;
      }
    }
    Stop(Sshd);
  }
  std::error_code Ec;
  if (Failed) {
    AState.SkipWithError(("a run failed; see the logs in " + Dir.string()).c_str());
    return;
  }
  fs::remove_all(Dir, Ec);
  const double O = Median(Ours), T = Median(Theirs);
  AState.counters["zelkit_ssh_first_byte_us"] = O;
  AState.counters["openssh_server_first_byte_us"] = T;
  AState.counters["zelkit_to_openssh_ratio"] = T > 0 ? O / T : 0;
}
BENCHMARK(BM_SshFirstByteVersusOpenSshServer)->Iterations(1)->Unit(benchmark::kMillisecond);

// Nanoseconds on a CPU so far (the first field of /proc/PID/schedstat); 0 when it is gone.
double CpuNs(pid_t APid) {
  std::ifstream In("/proc/" + std::to_string(APid) + "/schedstat");
  double Ns = 0;
  In >> Ns;
  return Ns;
}

std::vector<pid_t> Children(pid_t APid) {
  std::ifstream In("/proc/" + std::to_string(APid) + "/task/" + std::to_string(APid) + "/children");
  std::vector<pid_t> Pids;
  for (pid_t P; In >> P;) Pids.push_back(P);
  return Pids;
}

// The server's processes (the launcher, and with --stdio each relay) and the doors.
void Processes(pid_t ALauncher, bool AStdio, std::vector<pid_t>& AServer, std::vector<pid_t>& ADoors) {
  AServer = {ALauncher};
  ADoors.clear();
  for (pid_t Node : Children(ALauncher)) {
    if (!AStdio) {
      ADoors.push_back(Node);
      continue;
    }
    AServer.push_back(Node);
    for (pid_t Door : Children(Node)) ADoors.push_back(Door);
  }
}

double SumCpuNs(const std::vector<pid_t>& APids) {
  double Sum = 0;
  for (pid_t P : APids) Sum += CpuNs(P);
  return Sum;
}

void IdleCallers(benchmark::State& AState, bool AStdio) {
  const fs::path Launch = BuildTreeFile("ZELKIT_LAUNCH", "tools/launcher/zelkit-launch");
  const fs::path Door = BuildTreeFile("ZELKIT_TUNECRAFT", "tunecraft/tunecraft");
  const fs::path Dir = ScratchDir("server-idle-bench");
  if (access(Launch.c_str(), X_OK) != 0 || access(Door.c_str(), X_OK) != 0 || Dir.empty()) {
    AState.SkipWithError("zelkit-launch or tunecraft not found: set ZELKIT_LAUNCH and ZELKIT_TUNECRAFT");
    return;
  }
  double ServerPercent = -1, DoorsPercent = -1;
  std::size_t DoorCount = 0;
  {
    Server S(Launch, Door, Dir, AStdio ? std::vector<std::string>{"--stdio"} : std::vector<std::string>{});
    std::vector<int> Fds;
    bool Ok = S.Port() > 0;
    for (int I = 0; I < kIdleCallers && Ok; ++I) {
      Fds.push_back(Call(S.Port()));
      std::string Buffer;
      Ok = Fds.back() >= 0 && ReadUntil(Fds.back(), Buffer, "random notes");
    }
    for (auto _ : AState) {
      if (!Ok) continue;
      std::vector<pid_t> ServerPids, DoorPids;
      Processes(S.Pid(), AStdio, ServerPids, DoorPids);
      DoorCount = DoorPids.size();
      const double Server0 = SumCpuNs(ServerPids), Doors0 = SumCpuNs(DoorPids);
      const auto Start = Clock::now();
      std::this_thread::sleep_for(kQuietSpell);
      const double WallNs = std::chrono::duration<double, std::nano>(Clock::now() - Start).count();
      ServerPercent = 100.0 * (SumCpuNs(ServerPids) - Server0) / WallNs;
      DoorsPercent = 100.0 * (SumCpuNs(DoorPids) - Doors0) / WallNs;
    }
    for (int Fd : Fds)
      if (Fd >= 0) close(Fd);
  }
  std::error_code Ec;
  fs::remove_all(Dir, Ec);
  if (ServerPercent < 0 || DoorCount != static_cast<std::size_t>(kIdleCallers)) {
    AState.SkipWithError("the 50 callers did not all reach the door's first key wait");
    return;
  }
  AState.counters["server_cpu_percent_of_a_core"] = ServerPercent;
  AState.counters["doors_cpu_percent_of_a_core"] = DoorsPercent;
  AState.counters["server_to_doors_ratio"] = DoorsPercent > 0 ? ServerPercent / DoorsPercent : 0;
}

void BM_ServerCpuWith50IdleCallers(benchmark::State& AState) { IdleCallers(AState, false); }
void BM_ServerCpuWith50IdleStdioCallers(benchmark::State& AState) { IdleCallers(AState, true); }
BENCHMARK(BM_ServerCpuWith50IdleCallers)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServerCpuWith50IdleStdioCallers)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
