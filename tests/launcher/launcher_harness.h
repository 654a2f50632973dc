#pragma once
// The launcher's test harness: zelkit-launch as a child process in a scratch directory, and callers
// that are loopback TCP connections (plain, or rlogin clients written here) or any connected
// descriptor, such as a socket pair to a real client program.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace launcher_test {

constexpr int kWaitMs = 15000;  // only a guard against hangs; every wait ends as soon as its event happens

// One caller with a buffer of what the door has sent so far.
class Caller {
 public:
  // A loopback TCP connection to APort, from ASource (another loopback address plays another host).
  explicit Caller(int APort, const std::string& ASource = "");
  // Takes over a connected descriptor.
  static Caller Adopt(int AFd);
  ~Caller();
  Caller(Caller&& AOther) noexcept;
  Caller(const Caller&) = delete;
  Caller& operator=(const Caller&) = delete;

  bool Connected() const { return FConnected; }
  int Fd() const { return FFd; }
  // An abortive close (RST): the launcher may find a reset connection instead of a caller.
  void Abort();
  void Send(const std::string& AText);

  // Everything up to and including ANeedle, or what arrived before the connection ended or time ran out.
  std::string ReadUntil(const std::string& ANeedle);
  std::string ReadLine() { return ReadUntil("\r\n"); }
  // True when the other side closed the connection cleanly (read returns 0); bytes before that are dropped.
  bool ReadsEndOfFile();
  // Everything until the other side closes (or the guard time runs out).
  std::string ReadAll();

 private:
  Caller() = default;
  bool Fill(long long ADeadlineMs);
  int FFd = -1;
  bool FConnected = false;
  bool FEof = false;
  bool FError = false;
  std::string FBuffer;
};

// zelkit-launch running in ADir, standard output on a pipe (for the port lines), standard error in a file.
class Launcher {
 public:
  Launcher(const std::filesystem::path& ADir, std::vector<std::string> AArgs);
  ~Launcher();
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // The next line of standard output; the first is "zelkit-launch: listening on 127.0.0.1:<port>, door <path>".
  std::string FirstLine();
  bool Started() const { return FPid > 0; }
  int Port();        // from the first line
  int RloginPort();  // from the line after it, "zelkit-launch: rlogin on 127.0.0.1:<port>"
  int SshPort();     // from the next line, "zelkit-launch: ssh on 127.0.0.1:<port>, host key SHA256:..."

  std::string Log() const;
  bool WaitForLog(const std::string& ANeedle) const;
  // The wait status once the launcher has ended, or -1 if it is still running after the guard time.
  int WaitForExit();
  bool Running() const;
  void Signal(int ASignal) const;
  pid_t Pid() const { return FPid; }

 private:
  std::filesystem::path FErrPath;
  pid_t FPid = -1;
  int FOut = -1;
  bool FReaped = false;
};

// The test door speaks plain text, so these calls skip the telnet negotiation a BBS does first.
std::vector<std::string> WithDoor(std::vector<std::string> AMore, const std::string& ADoor = TEST_DOOR_PATH);
// The node number from the test door's greeting "hello <name> on node <N>".
int NodeOf(const std::string& AGreeting);
std::vector<std::string> SplitCrLf(const std::string& AText);
// The rlogin handshake (RFC 1282) a client sends: NUL, client-user, server-user, terminal/speed, each ended by NUL.
std::string RloginHandshake(const std::string& AClientUser, const std::string& AServerUser, const std::string& ATerminal);

}  // namespace launcher_test
