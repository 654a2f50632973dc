#pragma once
// A BBS in miniature for running the built tunecraft binary: a temporary working directory, the
// caller's connection (a socket pair or loopback TCP), and the door on a pseudo-terminal that plays
// the sysop's console. Used by the end-to-end tests and by the picture capture.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/pty_process.h"
#include "tests/support/test_files.h"

namespace tunecraft_test {

namespace fs = std::filesystem;

constexpr int kWaitMs = 15000;  // a guard against hangs only: every wait ends at its event

using zelkit_test::ReadFile;
using zelkit_test::TempDir;
std::vector<std::string> LogLines(const fs::path& ADir);  // tunecraft.log split at LF, LF dropped

// The caller's connection: the BBS keeps its own copy of the door's end (Door) for as long as the
// object lives, as a BBS holds the caller while the door runs.
struct Connection {
  int Caller = -1;
  int Door = -1;
  ~Connection();
  void HangUp();  // the caller puts the phone down: their end closes
};

enum class LinkKind { SocketPair, Tcp };
std::unique_ptr<Connection> Connect(LinkKind AKind);

// One door run: the door on an 80x25 pseudo-terminal, with what the caller has received so far.
// AArgs are the door's arguments after its name; with AShell, that shell script runs first on the
// terminal and starts the door with exec "$0" "$@".
class DoorRun {
 public:
  DoorRun(const std::vector<std::string>& AArgs, const fs::path& AWorkDir, Connection* ALink,
          const std::string& AShell = "");
  zelkit_test::PtyProcess& Console() { return *FPty; }
  const std::string& Received() const { return FReceived; }
  // Reads the caller's side and drains the console until the caller has received ANeedle.
  bool CallerUntil(const std::string& ANeedle, int AMilliseconds = kWaitMs);
  // Drains both sides until the console's output holds ANeedle.
  bool ConsoleUntil(const std::string& ANeedle, int AMilliseconds = kWaitMs);
  void SendKey(const std::string& AKeys);
  int WaitExit(int AMilliseconds = kWaitMs);  // drains the caller's side as well

 private:
  void DrainCaller();
  Connection* FLink;
  std::unique_ptr<zelkit_test::PtyProcess> FPty;
  std::string FReceived;
};

// The bytes of the telnet opening every remote run starts with: IAC WILL BINARY, IAC WILL ECHO.
inline const std::string kTelnetOpening("\xff\xfb\x00\xff\xfb\x01", 6);

// The caller's bytes with the music sequences (ESC [ N ... SO) removed, as a terminal that plays
// them shows the screen.
std::string WithoutMusic(const std::string& ABytes);

}  // namespace tunecraft_test
