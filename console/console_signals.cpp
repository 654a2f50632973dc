// The console's signal handling: the emergency terminal restore on SIGTERM, SIGHUP and SIGINT, and
// SIGWINCH, which marks the terminal's size as changed for the next flush.

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>

#include "console/console_internal.h"

namespace console_internal {
volatile sig_atomic_t FResized = 0;
}  // namespace console_internal

using namespace console_internal;

namespace {

// Emergency terminal restore: async-signal-safe, runs from the fatal-signal handler.
void OnFatalSignal(int ASignal) {
  int SavedErrno = errno;
  sigset_t Pipe;
  sigemptyset(&Pipe);
  sigaddset(&Pipe, SIGPIPE);
  sigprocmask(SIG_BLOCK, &Pipe, nullptr);
  if (FEverWritten) std::ignore = write(FOut, kRestoreSeq, sizeof kRestoreSeq - 1);
  if (FOutPostOff) tcsetattr(FOutPostFd, TCSANOW, &FSavedOutTermios);
  if (FRawActive) tcsetattr(FRawFd, TCSANOW, &FSavedTermios);
  errno = SavedErrno;
  // SA_RESETHAND put the default action back; the re-raised signal ends the program on return.
  raise(ASignal);
}

void OnWindowChange(int) { FResized = 1; }

}  // namespace

namespace console_internal {

void InstallSignalHandlers() {
  static bool Installed = false;
  if (Installed) return;
  Installed = true;
  for (int Sig : {SIGTERM, SIGHUP, SIGINT}) {
    struct sigaction Old {};
    if (sigaction(Sig, nullptr, &Old) != 0 || Old.sa_handler != SIG_DFL) continue;  // keep the program's own choice
    struct sigaction Act {};
    Act.sa_handler = OnFatalSignal;
    sigemptyset(&Act.sa_mask);
    Act.sa_flags = SA_RESETHAND;
    sigaction(Sig, &Act, nullptr);
  }
  struct sigaction Winch {};
  Winch.sa_handler = OnWindowChange;
  sigemptyset(&Winch.sa_mask);
  Winch.sa_flags = SA_RESTART;  // other units' reads and sends carry on; the console's waits wake up
  sigaction(SIGWINCH, &Winch, nullptr);
}

}  // namespace console_internal
