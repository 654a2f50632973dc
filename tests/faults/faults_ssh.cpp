// The SSH flood fault row: connections to zelkit-launch's SSH front door that stop after the version
// string or in the middle of the key exchange, while real OpenSSH callers play tunecraft; the real
// callers' time to the door's first byte is measured.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/faults/faults_cases.h"
#include "tests/support/loopback.h"
#include "tests/support/pty_process.h"

namespace faults {

namespace {

void PutU32(std::string& AOut, std::uint32_t AValue) {
  for (int Shift = 24; Shift >= 0; Shift -= 8) AOut += static_cast<char>((AValue >> Shift) & 0xff);
}

void PutString(std::string& AOut, const std::string& AText) {
  PutU32(AOut, static_cast<std::uint32_t>(AText.size()));
  AOut += AText;
}

// One unencrypted SSH binary packet (RFC 4253 section 6) around APayload.
std::string Packet(const std::string& APayload) {
  std::size_t Padding = 8 - (5 + APayload.size()) % 8;
  if (Padding < 4) Padding += 8;
  std::string Out;
  PutU32(Out, static_cast<std::uint32_t>(1 + APayload.size() + Padding));
  Out += static_cast<char>(Padding);
  Out += APayload;
  Out.append(Padding, '\0');
  return Out;
}

// A client's version, its key exchange offer and its curve25519 public value: the server does the
// costly part of the exchange (its own key, the shared secret, the signature) and then waits for a
// NEWKEYS that never comes.
std::string HalfAKeyExchange() {
  std::string Init(1, static_cast<char>(20));  // SSH_MSG_KEXINIT
  Init.append(16, 'c');                        // cookie
  for (const char* List : {"curve25519-sha256", "ssh-ed25519", "aes128-ctr", "aes128-ctr", "hmac-sha2-256",
                           "hmac-sha2-256", "none", "none", "", ""})
    PutString(Init, List);
  Init += '\0';  // no guessed packet follows
  PutU32(Init, 0);
  std::string Ecdh(1, static_cast<char>(30));  // SSH_MSG_KEX_ECDH_INIT
  std::string Public(32, '\0');
  for (std::size_t I = 0; I < Public.size(); ++I) Public[I] = static_cast<char>(std::rand() & 0xff);
  PutString(Ecdh, Public);
  return "SSH-2.0-flood\r\n" + Packet(Init) + Packet(Ecdh);
}

// CPU seconds the process has used so far, all its threads (user and system time in /proc/PID/stat).
double CpuSecondsOf(pid_t APid) {
  const std::string Stat = faults::ReadFile("/proc/" + std::to_string(APid) + "/stat");
  const auto Close = Stat.rfind(')');
  if (Close == std::string::npos) return 0;
  std::istringstream Fields(Stat.substr(Close + 2));
  std::string Field;
  double Ticks = 0;
  for (int I = 3; I <= 15 && Fields >> Field; ++I)
    if (I >= 14) Ticks += std::atof(Field.c_str());  // utime, stime
  return Ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

void SshFloodCase(int AVersionOnly, int AHalfExchanges, int ACallers) {
  const std::string Fault = "SSH: " + std::to_string(AVersionOnly) + " connections stop after the version, " +
                            std::to_string(AHalfExchanges) + " mid key exchange";
  TempDir Dir;
  Launcher L(Dir.Path(), {"--ssh-port", "0"});
  const pid_t Pid = L.Pid;
  const int Port = L.Ssh;
  Verdict V;
  std::vector<int> Flood;
  std::vector<long> FirstByteMs;
  double LauncherCpu = 0, Seconds = 0;  // the launcher's CPU (all its threads) while the flood lasted
  if (Port <= 0) {
    V.Add("the launcher did not start: " + L.Log());
  } else {
    // Each real caller comes right after its share of the flood, so that every one of them meets
    // handshakes that will never finish.
    const std::string Half = HalfAKeyExchange();
    int VersionsSent = 0, HalvesSent = 0;
    const double Cpu0 = CpuSecondsOf(Pid);
    const auto Flooded = Clock::now();
    for (int Caller = 0; Caller < ACallers; ++Caller) {
      const int Versions = AVersionOnly * (Caller + 1) / ACallers, Halves = AHalfExchanges * (Caller + 1) / ACallers;
      for (; VersionsSent < Versions; ++VersionsSent) {
        Flood.push_back(zelkit_test::ConnectLoopback(Port));
        std::ignore = send(Flood.back(), "SSH-2.0-flood\r\n", 15, MSG_NOSIGNAL);
      }
      for (; HalvesSent < Halves; ++HalvesSent) {
        Flood.push_back(zelkit_test::ConnectLoopback(Port));
        std::ignore = send(Flood.back(), Half.data(), Half.size(), MSG_NOSIGNAL);
      }
      const auto Start = Clock::now();
      zelkit_test::PtyProcess Client(
          "/usr/bin/ssh", {"ssh", "-tt", "-F", "/dev/null", "-o", "StrictHostKeyChecking=no", "-o",
                           "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "IdentityAgent=none", "-o",
                           "LogLevel=error", "-p", std::to_string(Port), "Ann@127.0.0.1", "tunecraft"});
      while (Client.Output().empty() && MsSince(Start, Clock::now()) < kPromptMs) Client.ReadFor(1);
      FirstByteMs.push_back(MsSince(Start, Clock::now()));
      const std::string Who = "caller " + std::to_string(Caller + 1) + ": ";
      if (!Client.ReadUntil(kFirstPrompt, kPromptMs)) {
        V.Add(Who + "no door");
        break;
      }
      Client.Write(" ");
      if (!Client.ReadUntil(kSecondPrompt, kPromptMs)) V.Add(Who + "the first key went unanswered");
      Client.Write(" ");
      const int Code = Client.WaitExit(kPromptMs);
      if (Code != 0) V.Add(Who + "ssh ended with " + std::to_string(Code));
    }
    LauncherCpu = CpuSecondsOf(Pid) - Cpu0;
    Seconds = static_cast<double>(MsSince(Flooded, Clock::now())) / 1000.0;
    if (L.Log().find("gave way to a newer caller") == std::string::npos)
      V.Add("no handshake gave way to a newer one");
    if (waitpid(Pid, nullptr, WNOHANG) != 0) V.Add("the launcher ended");
  }
  for (int Fd : Flood) {
    if (Fd >= 0) close(Fd);
  }
  if (L.Stop(SIGTERM) == -1) V.Add("the launcher did not stop");
  V.Add(faults::CheckLog(Dir.Path() / "work", {static_cast<std::size_t>(ACallers) * 14}));
  Record(Fault, std::to_string(ACallers) + " real callers", V.Text);
  if (!FirstByteMs.empty()) {
    std::sort(FirstByteMs.begin(), FirstByteMs.end());
    const auto Pick = [&](double AShare) {
      return FirstByteMs[std::min(FirstByteMs.size() - 1, static_cast<std::size_t>(AShare * static_cast<double>(FirstByteMs.size())))];
    };
    char Buf[160];
    std::snprintf(Buf, sizeof Buf, "first byte p50 %ld ms, p99 %ld ms (%zu callers); launcher CPU %.2f s in %.1f s",
                  Pick(0.5), Pick(0.99), FirstByteMs.size(), LauncherCpu, Seconds);
    Measured(Fault, Buf);
  }
}

}  // namespace faults
