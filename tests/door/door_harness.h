#pragma once
// Runs the test door on a pseudo-terminal (the sysop's console) with, when asked, a socketpair
// playing the caller: one end stays with the test (the caller's side), the other is handed to the
// door at the same descriptor number (the BBS's end). The door's observations come back through
// its result file.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/pty_process.h"
#include "tests/support/vterm_screen.h"

namespace door_test {

inline constexpr const char* kDoorPath = DOORTEST_DOOR_PATH;

class DoorRun {
 public:
  DoorRun() {
    std::string templ = (std::filesystem::temp_directory_path() / "zelkit_door_XXXXXX").string();
    if (mkdtemp(templ.data()) != nullptr) FDir = templ;
  }
  ~DoorRun() {
    FProcess.reset();  // kills and reaps a door still running
    CloseCaller();
    if (FBbs >= 0) close(FBbs);
    std::error_code ignored;
    if (!FDir.empty()) std::filesystem::remove_all(FDir, ignored);
  }
  DoorRun(const DoorRun&) = delete;
  DoorRun& operator=(const DoorRun&) = delete;

  const std::string& Dir() const { return FDir; }
  std::string PathOf(const std::string& AName) const { return FDir + "/" + AName; }

  // Creates the caller's connection; the door's end is BbsFd().
  void MakeCaller() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return;
    FCaller = pair[0];
    FBbs = pair[1];
    fcntl(FCaller, F_SETFL, fcntl(FCaller, F_GETFL) | O_NONBLOCK);
  }
  int BbsFd() const { return FBbs; }
  int CallerFd() const { return FCaller; }
  std::string SocketArg() const { return "-S" + std::to_string(FBbs); }
  void CloseCaller() {
    if (FCaller >= 0) close(FCaller);
    FCaller = -1;
  }

  void WriteFile(const std::string& AName, const std::string& AContent) const {
    std::ofstream out(PathOf(AName), std::ios::binary);
    out << AContent;
  }

  // Starts the door with the script lines and the arguments after the program name.
  // AEnv adds to the door's environment; with AStdin set, standard input is the file of that name in
  // the run's directory instead of the terminal.
  bool Start(const std::vector<std::string>& AScript, const std::vector<std::string>& AArgs,
             const std::string& AProgramName = "door_test_door", const std::vector<std::string>& AEnv = {},
             const std::string& AStdin = "") {
    std::string script;
    for (const auto& line : AScript) script += line + "\n";
    WriteFile("script.txt", script);
    zelkit_test::PtyOptions options;
    options.WorkDir = FDir;
    options.Env = {"DOORTEST_SCRIPT=" + PathOf("script.txt"), "DOORTEST_RESULT=" + PathOf("result.txt"),
                   "LC_ALL=C.UTF-8"};
    options.Env.insert(options.Env.end(), AEnv.begin(), AEnv.end());
    if (!AStdin.empty()) options.StdinPath = PathOf(AStdin);
    if (FBbs >= 0) options.PassFds = {FBbs};
    std::vector<std::string> args{AProgramName};
    args.insert(args.end(), AArgs.begin(), AArgs.end());
    FStarted = std::chrono::steady_clock::now();
    FProcess = std::make_unique<zelkit_test::PtyProcess>(kDoorPath, args, options);
    return FProcess->Started();
  }

  zelkit_test::PtyProcess& Process() { return *FProcess; }

  std::string Results() const {
    std::ifstream in(PathOf("result.txt"), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  // Lines of the result file that start with APrefix.
  std::vector<std::string> ResultLines(const std::string& APrefix) const {
    std::vector<std::string> lines;
    std::istringstream in(Results());
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(APrefix, 0) == 0) lines.push_back(line);
    }
    return lines;
  }

  // Keeps draining the terminal and the caller's socket until the result file holds ANeedle.
  bool WaitResult(const std::string& ANeedle, int AMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Results().find(ANeedle) != std::string::npos) return true;
      FProcess->ReadFor(20);
      DrainCaller();
    }
    return Results().find(ANeedle) != std::string::npos;
  }
  bool WaitScreen(const std::string& ANeedle, int AMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Screen().find(ANeedle) != std::string::npos) return true;
      FProcess->ReadFor(20);
      DrainCaller();
    }
    return Screen().find(ANeedle) != std::string::npos;
  }
  bool WaitCaller(const std::string& ANeedle, int AMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
      DrainCaller();
      if (FReceived.find(ANeedle) != std::string::npos) return true;
      FProcess->ReadFor(20);
    }
    return FReceived.find(ANeedle) != std::string::npos;
  }

  // Exit code of the door (see PtyProcess::WaitExit); the caller's socket is drained afterwards.
  int Exit(int AMilliseconds = 20000) {
    const int code = FProcess->WaitExit(AMilliseconds);
    FElapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                         FStarted)
                     .count();
    DrainCaller();
    return code;
  }
  long long ElapsedMs() const { return FElapsedMs; }

  // Everything the caller has received so far.
  const std::string& Received() {
    DrainCaller();
    return FReceived;
  }
  void Send(const std::string& ABytes) const {
    std::ignore = send(FCaller, ABytes.data(), ABytes.size(), MSG_NOSIGNAL);
  }

  // What the sysop's terminal shows now.
  std::string Screen() const {
    zelkit_test::VtermScreen screen(25, 80);
    screen.Feed(FProcess->Output());
    return screen.Picture();
  }
  std::unique_ptr<zelkit_test::VtermScreen> Vterm() const {
    auto screen = std::make_unique<zelkit_test::VtermScreen>(25, 80);
    screen->Feed(FProcess->Output());
    return screen;
  }

 private:
  // A door that writes without end (a hook run again and again) must not keep the test reading for
  // ever: past 64 MB the caller takes no more, the door's sends wait, and the test's deadlines end it.
  void DrainCaller() {
    if (FCaller < 0) return;
    char buffer[65536];
    while (FReceived.size() < (std::size_t{64} << 20)) {
      const ssize_t got = recv(FCaller, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      FReceived.append(buffer, static_cast<std::size_t>(got));
    }
  }

  std::string FDir;
  int FCaller = -1;
  int FBbs = -1;
  std::string FReceived;
  std::unique_ptr<zelkit_test::PtyProcess> FProcess;
  std::chrono::steady_clock::time_point FStarted;
  long long FElapsedMs = 0;
};

// The bytes the transport sends when it takes over the socket: IAC WILL BINARY, IAC WILL ECHO.
inline const std::string kTelnetOpening("\xff\xfb\x00\xff\xfb\x01", 6);

}  // namespace door_test
