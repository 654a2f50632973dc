#pragma once
// zelkit-launch run as the BBS for the tunecraft end-to-end tests: started on a free loopback port
// with tunecraft as its door, its ports read from what it prints, ended with SIGTERM.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/tunecraft/tunecraft_harness.h"

extern char** environ;

namespace tunecraft_test {

// zelkit-launch as the BBS, a real telnet client on its own terminal as the caller.
class Launcher {
 public:
  // APrefix, when given, starts the launcher: a program that execs its arguments (systemd-socket-activate).
  explicit Launcher(const fs::path& AWorkDir, const std::vector<std::string>& AMore = {},
                    const std::vector<std::string>& APrefix = {}) {
    int Out[2];
    if (pipe2(Out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
    const std::string Log = (AWorkDir / "launcher.err").string();
    posix_spawn_file_actions_addopen(&Actions, STDERR_FILENO, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> Args = APrefix;
    for (const std::string& A : std::vector<std::string>{LAUNCHER_PATH, "--port",    "0", "--door", TUNECRAFT_PATH, "--max-calls", "1",
                                     "--base",      (AWorkDir / "nodes").string(), "--workdir", AWorkDir.string()})
      Args.push_back(A);
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    std::vector<char*> Argv;
    for (auto& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    if (posix_spawn(&FPid, Args[0].c_str(), &Actions, nullptr, Argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
    close(Out[1]);
    FOut = Out[0];
  }
  ~Launcher() {
    if (FPid > 0 && !FReaped) {
      // The launcher gives its doors 5 s after SIGTERM; still running 3 s later, it ignored the signal.
      kill(FPid, SIGTERM);
      if (WaitExit(8000) == -SIGKILL) ADD_FAILURE() << "zelkit-launch was still running 8 s after SIGTERM";
    }
    if (FOut >= 0) close(FOut);
  }
  // The port from the first line: "zelkit-launch: listening on 127.0.0.1:PORT, door ...".
  int Port() { return PortFrom("listening on [0-9.]+:([0-9]+),"); }
  // With --rlogin-port, from the line after it: "zelkit-launch: rlogin on 127.0.0.1:PORT".
  int RloginPort() { return PortFrom("rlogin on [0-9.]+:([0-9]+)\n"); }
  // With --ssh-port: "zelkit-launch: ssh on 127.0.0.1:PORT, host key SHA256:...".
  int SshPort() { return PortFrom("ssh on [0-9.]+:([0-9]+),"); }
  std::string SshHostKey() {
    std::smatch M;
    return SshPort() > 0 && std::regex_search(FText, M, std::regex("host key (SHA256:[^\n]+)\n")) ? M[1].str() : "";
  }
  int WaitExit(int AMilliseconds) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
    int Status = 0;
    while (waitpid(FPid, &Status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= Deadline) {
        kill(FPid, SIGKILL);
        std::ignore = waitpid(FPid, &Status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FReaped = true;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -WTERMSIG(Status);
  }

 private:
  int PortFrom(const std::string& APattern) {
    const std::regex Pattern(APattern);
    std::smatch M;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!std::regex_search(FText, M, Pattern) && std::chrono::steady_clock::now() < Deadline) {
      pollfd P{FOut, POLLIN, 0};
      if (poll(&P, 1, 100) <= 0) continue;
      char Buf[256];
      const ssize_t N = read(FOut, Buf, sizeof Buf);
      if (N <= 0) break;
      FText.append(Buf, static_cast<std::size_t>(N));
    }
    return std::regex_search(FText, M, Pattern) ? std::stoi(M[1].str()) : -1;
  }

  pid_t FPid = -1;
  int FOut = -1;
  bool FReaped = false;
  std::string FText;  // the launcher's standard output so far
};

}  // namespace tunecraft_test
