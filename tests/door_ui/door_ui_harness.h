#pragma once
// One run of the test door: the sysop's terminal is a pseudo-terminal read back by libvterm, the
// caller is the other end of a socketpair whose bytes feed a second libvterm screen.

#include <termios.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/pty_process.h"
#include "tests/support/vterm_screen.h"

namespace door_ui {

inline constexpr int kWaitMs = 15000;  // a guard against hangs only; waits end when their event happens

class DoorRun {
 public:
  // Makes the run's temporary directory and, with ACaller, the caller's socketpair.
  explicit DoorRun(bool ACaller = true);
  ~DoorRun();
  DoorRun(const DoorRun&) = delete;
  DoorRun& operator=(const DoorRun&) = delete;

  // Starts the door by its full path with these arguments; the environment gets AEnv, a UTF-8
  // locale and ZELKIT_UI_RESULT. The caller's end is passed on at its own number.
  void Start(const std::vector<std::string>& AArgs, const std::vector<std::string>& AEnv);
  // A remote session: -N1 -S<fd>, the mode and the environment.
  void StartRemote(const std::string& AMode, const std::vector<std::string>& AEnv);
  bool Started() const { return FPty && FPty->Started(); }

  const std::string& Dir() const { return FDir; }  // the run's temporary directory
  int DoorFd() const { return FDoorFd; }           // the descriptor number the door was given

  void TypeLocal(const std::string& AKeys);
  void TypeRemote(const std::string& AKeys);
  void HangUp();                       // the caller stops sending; the door's next receive sees end of file

  void Pump();                         // takes what has arrived on both sides into the screens
  bool WaitFor(const std::function<bool()>& APredicate, int AMilliseconds = kWaitMs);
  std::optional<std::string> WaitResult(int AMilliseconds = kWaitMs);
  int WaitExit(int AMilliseconds = kWaitMs);
  bool GetTermios(termios& ATermios) const { return FPty->GetTermios(ATermios); }

  zelkit_test::VtermScreen& Sysop() { return FSysop; }
  zelkit_test::VtermScreen& Caller() { return FCaller; }
  const std::string& CallerBytes() const { return FCallerBytes; }  // after the six opening bytes
  const std::string& SysopBytes() const { return FPty->Output(); }
  std::string Pictures() const;        // both screens, for failure messages

 private:
  void FeedCaller(const std::string& ABytes);
  std::string FDir;
  std::string FResultPath;
  int FCallerFd = -1;
  int FDoorFd = -1;
  bool FDoorFdClosed = false;         // the door's end, closed here once the door holds it
  std::unique_ptr<zelkit_test::PtyProcess> FPty;
  std::size_t FSysopFed = 0;
  std::string FOpening;                // the telnet opening, kept apart from the screen bytes
  std::string FCallerBytes;
  std::string FCallerHeld;             // the start of an escape sequence split over two receives
  zelkit_test::VtermScreen FSysop{25, 80, true};
  zelkit_test::VtermScreen FCaller{25, 80, false};
};

// Attributes of the cells from AFrom to ATo on row AY, as two hex digits each.
std::string AttrRow(const zelkit_test::VtermScreen& AScreen, int AY, int AFrom = 1, int ATo = 80);
// The termios a fresh pseudo-terminal starts with: what the door found before it changed anything.
bool FreshTermios(termios& ATermios);
// A readable difference of two termios records, empty when the fields a program changes agree.
std::string TermiosDiff(const termios& AWant, const termios& AGot);
std::string Escaped(const std::string& ABytes);  // control bytes as \xNN, for failure messages

}  // namespace door_ui
