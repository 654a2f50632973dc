// The door session under a remote caller: each figure comes from a door forked from this process on
// its own 80x25 pseudo-terminal (the sysop's console, drained by a thread), started with -N1 -S<fd>
// on one end of a socketpair whose other end plays the caller. Each benchmark measures its baseline
// in the same run:
//
//   IdleKeyWait    CPU of a door waiting for a key (DoorReadKey), against the same door waiting
//                  with a loop that calls DoorKeyPressed and sleeps 1 ms. Target: under 0.2 % of a
//                  core; the loop costs about 2 %. DOOR_BENCH_IDLE_SECONDS sets the wait (10).
//   KeyLatency     time from the caller's send of a byte to DoorReadKey returning it, over 2000 keys,
//                  against a plain blocking recv in the same place. Target: median under 0.2 ms,
//                  99th percentile under 1.5 ms.
//   DisplayFile    DoorDisplayFile of a 1 MB ANSI file to the caller, until the caller has it all,
//                  against one plain send of the same bytes. Target: at least a third of its speed.
//                  Also against drawing the bytes on the console in one piece and sending them in
//                  one piece, which shows what the console's rendering alone costs.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ansi/ansi.h"
#include "comm/comm.h"
#include "console/console.h"
#include "console/console_testing.h"
#include "door/door.h"

namespace {

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t CpuUs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

bool ReadAll(int AFd, void* ABuffer, std::size_t ALen) {
  auto* p = static_cast<char*>(ABuffer);
  while (ALen > 0) {
    const ssize_t got = read(AFd, p, ALen);
    if (got <= 0) return false;
    p += got;
    ALen -= static_cast<std::size_t>(got);
  }
  return true;
}

void WriteAll(int AFd, const void* ABuffer, std::size_t ALen) {
  const auto* p = static_cast<const char*>(ABuffer);
  while (ALen > 0) {
    const ssize_t put = write(AFd, p, ALen);
    if (put <= 0) return;
    p += put;
    ALen -= static_cast<std::size_t>(put);
  }
}

// A door in a child process. The body runs after DoorStartup and reports through AReport; the
// child writes one byte to the report pipe first, so the parent knows start-up is over.
class Door {
 public:
  template <class Body>
  explicit Door(Body ABody) {
    int pair[2];
    int report[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0 || pipe(report) != 0) return;
    winsize size{};
    size.ws_row = 25;
    size.ws_col = 80;
    FPid = forkpty(&FMaster, nullptr, nullptr, &size);
    if (FPid == 0) {
      close(pair[0]);
      close(report[0]);
      ConsoleUseFds(0, 1);
      const std::string socket = "-S" + std::to_string(pair[1]);
      const char* argv[] = {"door_bench", "-N1", socket.c_str()};
      DoorStartup(3, argv);
      const char ready = 'R';
      WriteAll(report[1], &ready, 1);
      ABody(report[1]);
      DoorShutdown();
      ConsoleFlush();
      _exit(0);
    }
    close(pair[1]);
    close(report[1]);
    FCaller = pair[0];
    FReport = report[0];
    if (FPid < 0) return;
    FDrain = std::thread([this] {
      char buffer[65536];
      while (read(FMaster, buffer, sizeof buffer) > 0) {
      }
    });
    char ready = 0;
    FReady = ReadAll(FReport, &ready, 1);
    // Take what start-up sent the caller (telnet opening, clear screen): it is all there by now.
    char buffer[4096];
    while (recv(FCaller, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
  }
  ~Door() {
    if (FPid > 0) {
      shutdown(FCaller, SHUT_RDWR);
      int status = 0;
      for (int i = 0; i < 500 && waitpid(FPid, &status, WNOHANG) == 0; ++i) usleep(10000);
      if (waitpid(FPid, &status, WNOHANG) == 0) {
        kill(FPid, SIGKILL);
        waitpid(FPid, &status, 0);
      }
    }
    if (FMaster >= 0) close(FMaster);  // ends the drain thread's read
    if (FDrain.joinable()) FDrain.join();
    if (FCaller >= 0) close(FCaller);
    if (FReport >= 0) close(FReport);
  }
  Door(const Door&) = delete;
  Door& operator=(const Door&) = delete;

  bool Ready() const { return FReady; }
  int Caller() const { return FCaller; }
  int Report() const { return FReport; }

 private:
  pid_t FPid = -1;
  int FMaster = -1;
  int FCaller = -1;
  int FReport = -1;
  bool FReady = false;
  std::thread FDrain;
};

struct CpuReport {
  std::int64_t CpuUs;
  std::int64_t WallNs;
};

// Waits for one key with AWait and reports the CPU and wall time that took.
template <class Wait>
CpuReport IdleRun(Wait AWait, int ASeconds) {
  Door door([AWait](int AReport) {
    const CpuReport start{CpuUs(), NowNs()};
    AWait();
    const CpuReport used{CpuUs() - start.CpuUs, NowNs() - start.WallNs};
    WriteAll(AReport, &used, sizeof used);
  });
  CpuReport used{0, 1};
  if (!door.Ready()) return used;
  std::this_thread::sleep_for(std::chrono::seconds(ASeconds));
  std::ignore = send(door.Caller(), "k", 1, MSG_NOSIGNAL);
  ReadAll(door.Report(), &used, sizeof used);
  return used;
}

void IdleKeyWait(benchmark::State& AState) {
  const char* env = std::getenv("DOOR_BENCH_IDLE_SECONDS");
  const int seconds = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 10;
  for (auto _ : AState) {
    const CpuReport kit = IdleRun([] { std::ignore = DoorReadKey(); }, seconds);
    const CpuReport loop = IdleRun(
        [] {
          while (!DoorKeyPressed()) usleep(1000);
          std::ignore = DoorReadKey();
        },
        seconds);
    const double kitPercent = 100.0 * static_cast<double>(kit.CpuUs) * 1000.0 / static_cast<double>(kit.WallNs);
    const double loopPercent =
        100.0 * static_cast<double>(loop.CpuUs) * 1000.0 / static_cast<double>(loop.WallNs);
    AState.SetIterationTime(static_cast<double>(kit.WallNs) / 1e9);
    AState.counters["cpu_percent"] = kitPercent;
    AState.counters["poll_loop_cpu_percent"] = loopPercent;
    AState.counters["cpu_vs_poll_loop"] = loopPercent > 0 ? kitPercent / loopPercent : 0;
  }
}
BENCHMARK(IdleKeyWait)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

constexpr int kKeys = 2000;

// Sends kKeys bytes one at a time, each after the door acknowledged the previous one, and returns
// the latencies in nanoseconds: the door's time of return minus the caller's time of sending.
template <class Read>
std::vector<std::int64_t> LatencyRun(Read ARead) {
  Door door([ARead](int AReport) {
    std::vector<std::int64_t> returned(kKeys);
    for (int i = 0; i < kKeys; ++i) {
      const char key = ARead();
      returned[static_cast<std::size_t>(i)] = NowNs();
      CommWriteRaw(std::string(1, key));  // the acknowledgement; not part of the measured span
    }
    WriteAll(AReport, returned.data(), returned.size() * sizeof(std::int64_t));
  });
  std::vector<std::int64_t> sent(kKeys);
  std::vector<std::int64_t> returned(kKeys);
  if (!door.Ready()) return {};
  for (int i = 0; i < kKeys; ++i) {
    const char key = static_cast<char>('a' + i % 26);
    sent[static_cast<std::size_t>(i)] = NowNs();
    std::ignore = send(door.Caller(), &key, 1, MSG_NOSIGNAL);
    char ack = 0;
    pollfd fd{door.Caller(), POLLIN, 0};
    if (poll(&fd, 1, 10000) <= 0 || recv(door.Caller(), &ack, 1, 0) != 1) return {};
  }
  if (!ReadAll(door.Report(), returned.data(), returned.size() * sizeof(std::int64_t))) return {};
  std::vector<std::int64_t> latency(kKeys);
  for (std::size_t i = 0; i < latency.size(); ++i) latency[i] = returned[i] - sent[i];
  std::sort(latency.begin(), latency.end());
  return latency;
}

double PercentileMs(const std::vector<std::int64_t>& ASorted, double AFraction) {
  if (ASorted.empty()) return -1;
  const auto index = static_cast<std::size_t>(AFraction * static_cast<double>(ASorted.size() - 1));
  return static_cast<double>(ASorted[index]) / 1e6;
}

void KeyLatency(benchmark::State& AState) {
  for (auto _ : AState) {
    const auto kit = LatencyRun([] { return DoorReadKey(); });
    // The baseline reads the socket the door took over directly, with a blocking recv.
    const auto plain = LatencyRun([] {
      char key = 0;
      std::ignore = recv(DoorDropInfo.ComNum, &key, 1, 0);
      return key;
    });
    if (kit.empty() || plain.empty()) {
      AState.SkipWithError("a door did not answer");
      break;
    }
    AState.SetIterationTime(PercentileMs(kit, 0.5) / 1e3);
    AState.counters["median_ms"] = PercentileMs(kit, 0.5);
    AState.counters["p99_ms"] = PercentileMs(kit, 0.99);
    AState.counters["recv_median_ms"] = PercentileMs(plain, 0.5);
    AState.counters["recv_p99_ms"] = PercentileMs(plain, 0.99);
    AState.counters["median_vs_recv"] = PercentileMs(kit, 0.5) / PercentileMs(plain, 0.5);
  }
}
BENCHMARK(KeyLatency)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// About 1 MB of ANSI art: coloured runs, cursor moves, block characters, CR LF line ends. No pipe
// codes, backticks or byte 255, so the caller receives exactly the file with its last line end
// dropped.
std::string AnsiFile() {
  std::mt19937 rng(1993);
  std::string file;
  file.reserve((1 << 20) + 200);
  static const char* kWords[] = {"Welcome", "caller", "\xb0\xb1\xb2\xdb", "Files", "[Q]uit", "Time", "Menu"};
  std::size_t lineStart = 0;
  while (file.size() < (1u << 20)) {
    switch (rng() % 4) {
      case 0: file += "\x1b[" + std::to_string(rng() % 2) + ";" + std::to_string(30 + rng() % 8) + "m"; break;
      case 1: file += "\x1b[" + std::to_string(40 + rng() % 8) + "m"; break;
      default: file += kWords[rng() % 7]; file += ' '; break;
    }
    if (file.size() - lineStart > 70) {
      file += "\r\n";
      lineStart = file.size();
    }
  }
  file += "\r\n";
  return file;
}

const char kEnd[] = "\x01" "END" "\x02";

// Sends "go" to the door, then reads until the end marker the door sends after its output; the
// time from the send to the last byte.
std::int64_t TransferNs(Door& ADoor, std::size_t& AReceived) {
  const std::int64_t start = NowNs();
  std::ignore = send(ADoor.Caller(), "g", 1, MSG_NOSIGNAL);
  std::string tail;
  AReceived = 0;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    pollfd fd{ADoor.Caller(), POLLIN, 0};
    if (poll(&fd, 1, 30000) <= 0) return -1;
    const ssize_t got = recv(ADoor.Caller(), buffer.data(), buffer.size(), 0);
    if (got <= 0) return -1;
    AReceived += static_cast<std::size_t>(got);
    tail.append(buffer.data(), static_cast<std::size_t>(got));
    if (tail.size() > 64) tail.erase(0, tail.size() - 64);
    if (tail.size() >= sizeof kEnd - 1 && tail.compare(tail.size() - (sizeof kEnd - 1), sizeof kEnd - 1, kEnd) == 0) {
      break;
    }
  }
  AReceived -= sizeof kEnd - 1;
  return NowNs() - start;
}

void DisplayFile(benchmark::State& AState) {
  const std::string content = AnsiFile();
  const std::string path =
      (std::filesystem::temp_directory_path() / ("door_bench_" + std::to_string(getpid()) + ".ans")).string();
  {
    std::ofstream out(path, std::ios::binary);
    out << content;
  }
  const std::string sent = content.substr(0, content.size() - 2);  // no break after the last line
  for (auto _ : AState) {
    std::size_t kitBytes = 0;
    std::size_t plainBytes = 0;
    std::int64_t kitNs = -1;
    std::int64_t plainNs = -1;
    {
      Door door([&path](int) {
        std::ignore = DoorReadKey();
        DoorDisplayFile(path);
        CommWriteRaw(kEnd);
      });
      if (door.Ready()) kitNs = TransferNs(door, kitBytes);
    }
    {
      Door door([&sent](int) {
        std::ignore = DoorReadKey();
        const int fd = DoorDropInfo.ComNum;
        for (std::size_t done = 0; done < sent.size();) {
          const ssize_t put = send(fd, sent.data() + done, sent.size() - done, MSG_NOSIGNAL);
          if (put <= 0) break;
          done += static_cast<std::size_t>(put);
        }
        CommWriteRaw(kEnd);
      });
      if (door.Ready()) plainNs = TransferNs(door, plainBytes);
    }
    // Where the time goes: the same bytes drawn on the console in one piece and sent in one piece,
    // with no file reading and no line splitting.
    std::size_t renderBytes = 0;
    std::int64_t renderNs = -1;
    {
      Door door([&sent](int) {
        std::ignore = DoorReadKey();
        AnsiWrite(sent);
        CommWrite(sent);
        CommWriteRaw(kEnd);
      });
      if (door.Ready()) renderNs = TransferNs(door, renderBytes);
    }
    if (kitNs <= 0 || plainNs <= 0 || renderNs <= 0 || kitBytes != sent.size() || plainBytes != sent.size()) {
      AState.SkipWithError("the caller did not get the file");
      break;
    }
    AState.SetIterationTime(static_cast<double>(kitNs) / 1e9);
    AState.counters["display_MBps"] = static_cast<double>(kitBytes) / (static_cast<double>(kitNs) / 1e9) / 1e6;
    AState.counters["send_MBps"] = static_cast<double>(plainBytes) / (static_cast<double>(plainNs) / 1e9) / 1e6;
    AState.counters["speed_vs_send"] = static_cast<double>(plainNs) / static_cast<double>(kitNs);
    AState.counters["speed_vs_render_and_send"] = static_cast<double>(renderNs) / static_cast<double>(kitNs);
  }
  std::filesystem::remove(path);
}
BENCHMARK(DisplayFile)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
