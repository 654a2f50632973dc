#pragma once
// zelkit-launch started as a sysop would from a script, for the fault suite and the benchmarks:
// header-only, so that the benchmarks can share it without the test support library.

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace zelkit_test {

// The launcher's process and the ports it announced (0: not announced).
struct TLauncherStart {
  pid_t Pid = -1;
  int Telnet = 0, Rlogin = 0, Ssh = 0;
};

// Starts AArgs (the launcher's path first) with standard input /dev/null, standard error appended
// to AErrPath, default signal handling and no other descriptor, and reads its standard output for
// the start-up lines ("... listening on 127.0.0.1:<port>, door ...", then "rlogin on ..." and "ssh
// on ..." when AArgs ask for them) for up to AWaitMs. Whether it ended up listening is the caller's
// to judge from the ports.
inline TLauncherStart StartLauncher(std::vector<std::string> AArgs, const std::string& AErrPath, int AWaitMs) {
  TLauncherStart Started;
  const bool WantRlogin = std::find(AArgs.begin(), AArgs.end(), "--rlogin-port") != AArgs.end();
  const bool WantSsh = std::find(AArgs.begin(), AArgs.end(), "--ssh-port") != AArgs.end();
  std::vector<char*> Argv;
  for (auto& A : AArgs) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  int Out[2];
  if (pipe2(Out, O_CLOEXEC) != 0) return Started;
  Started.Pid = fork();
  if (Started.Pid == 0) {
    dup2(Out[1], 1);
    const int Err = open(AErrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (Err >= 0) dup2(Err, 2);
    const int Null = open("/dev/null", O_RDONLY);
    if (Null >= 0) dup2(Null, 0);
    close_range(3, ~0U, 0);
    for (int Sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) signal(Sig, SIG_DFL);
    execv(Argv[0], Argv.data());
    _exit(127);
  }
  close(Out[1]);
  std::string Text;
  const auto Port = [&Text](const std::string& AWhat) {
    const auto At = Text.find(AWhat + " on 127.0.0.1:");
    return At == std::string::npos ? 0 : std::atoi(Text.c_str() + At + AWhat.size() + 14);
  };
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AWaitMs);
  while (Started.Pid > 0 && std::chrono::steady_clock::now() < Deadline) {
    Started.Telnet = Port("listening");
    Started.Rlogin = Port("rlogin");
    Started.Ssh = Port("ssh");
    if (Started.Telnet > 0 && (!WantRlogin || Started.Rlogin > 0) && (!WantSsh || Started.Ssh > 0)) break;
    pollfd P{Out[0], POLLIN, 0};
    if (poll(&P, 1, 100) <= 0) continue;
    char Buf[256];
    const ssize_t N = read(Out[0], Buf, sizeof Buf);
    if (N <= 0) break;
    Text.append(Buf, static_cast<std::size_t>(N));
  }
  close(Out[0]);
  return Started;
}

}  // namespace zelkit_test
