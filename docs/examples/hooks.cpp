// Replacing hooks. Assign before DoorStartup; a captureless lambda or a function will do.
// Setting a slot to nullptr turns that behaviour off.
#include <cstdint>
#include <string>
#include <tuple>

#include "console/console.h"
#include "door/door.h"

namespace {

bool FQuiet = false;  // set by the door's own -Q switch

}  // namespace

int main(int argc, char** argv) {
  // A switch the kit does not know: -Q arrives here as ('Q', ""), -Tfoo as ('T', "foo").
  DoorOnCLP = [](char AKey, const std::string&) {
    if (AKey == 'Q') FQuiet = true;
  };
  // Own usage screen, on the sysop's console only; the kit ends the run after it, exit code 0.
  DoorOnUsage = [] { ConsoleWrite("usage: hooks -D<drop file> | -N<node> -S<socket> [-X] [-Q]\n"); };
  DoorOnTimeUpWarning = [](std::uint8_t AMinutes) {
    if (!FQuiet) DoorWriteLn("|0C" + std::to_string(AMinutes) + " minute(s) left.|07");
  };
  DoorOnTimeOutWarning = nullptr;  // no idle warnings (this is the default)
  DoorOnStatusBar = nullptr;       // no status bar on row 25
  // Say goodbye before the default time-out handler ends the run.
  DoorOnTimeOut = [] {
    DoorWriteLn("|0EToo quiet for too long.|07");
    DefaultOnTimeOut();
  };
  DoorSession.MaxIdle = 120;       // seconds without a key before DoorOnTimeOut

  DoorStartup(argc, argv);
  DoorWriteLn("Waiting for a key...");
  std::ignore = DoorReadKey();
  DoorShutdown();
  return 0;
}
