#pragma once
// A child program running on its own pseudo-terminal, as the sysop's terminal would run it: the
// test types keys into the master and reads back everything the program draws.

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

namespace zelkit_test {

struct PtyOptions {
  int Rows = 25;
  int Cols = 80;
  std::string WorkDir;               // empty: the test's own working directory
  std::vector<std::string> Env;      // "NAME=value" entries added to (or replacing) the environment
  std::vector<int> PassFds;          // descriptors the child keeps at the same numbers (all >= 3)
  std::string StdinPath;             // read as standard input instead of the terminal (which stays
                                     // the controlling terminal and standard output)
};

class PtyProcess {
 public:
  // AArgs is the whole argument vector; when empty, APath alone is argv[0].
  PtyProcess(const std::string& APath, const std::vector<std::string>& AArgs,
             const PtyOptions& AOptions = {});
  ~PtyProcess();
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;

  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }
  int Master() const { return FMaster; }

  void Write(const std::string& AKeys);         // types the bytes into the terminal
  void ReadFor(int AMilliseconds);               // drains output for that long
  bool ReadUntil(const std::string& ANeedle, int AMilliseconds);  // true once Output() holds it
  // Waits for the child to end, draining output meanwhile; the exit code, or minus the signal
  // that ended it. A child still running after AMilliseconds is killed (result -SIGKILL).
  int WaitExit(int AMilliseconds);
  const std::string& Output() const { return FOutput; }
  void ClearOutput() { FOutput.clear(); }

  bool GetTermios(termios& ATermios) const;      // the slave's current settings
  bool Resize(int ARows, int ACols);             // new window size; the child gets SIGWINCH

 private:
  bool Drain();                                  // false once the terminal is gone
  pid_t FPid = -1;
  int FMaster = -1;
  bool FReaped = false;
  int FStatus = 0;
  std::string FOutput;
};

}  // namespace zelkit_test
