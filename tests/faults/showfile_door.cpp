// A tiny door for the file and hook faults: shows the file named by -F<path> to the caller with
// DoorDisplayFile, then writes "End of display" and hands the caller back. No local login, so it can
// run locally as well as on a socket. -W waits for a key before the end; -I<s> and -T<s> set the idle
// limit and the session time; -H<hook> makes that hook of the event check (idlewarn, timewarn,
// statusbar, hangup, timeout, timeup) write a line and wait for a key before it does what it would.

#include <cstdint>
#include <string>
#include <tuple>

#include "door/door.h"
#include "stringutils/stringutils.h"

namespace {

std::string FFileName;
std::string FWaitingHook;
bool FWaitAtEnd = false;
std::int32_t FMaxIdle = -1;
std::int32_t FMaxSeconds = -1;

void OnSwitch(char AKey, const std::string& AValue) {
  if (AKey == 'F') FFileName = AValue;
  if (AKey == 'H') FWaitingHook = AValue;
  if (AKey == 'W') FWaitAtEnd = true;
  if (AKey == 'I') FMaxIdle = StrToIntDef(AValue, -1);
  if (AKey == 'T') FMaxSeconds = StrToIntDef(AValue, -1);
}

// What a door's own hook might do: tell the caller and wait for a key.
void WaitInHook(const char* AName) {
  DoorWriteLn(std::string(AName) + " hook waits for a key");
  std::ignore = DoorReadKey();
}

void InstallWaitingHook() {
  if (FWaitingHook == "idlewarn") DoorOnTimeOutWarning = [](std::uint8_t) { WaitInHook("idlewarn"); };
  if (FWaitingHook == "timewarn") DoorOnTimeUpWarning = [](std::uint8_t) { WaitInHook("timewarn"); };
  if (FWaitingHook == "statusbar") DoorOnStatusBar = [] { WaitInHook("statusbar"); DefaultOnStatusBar(); };
  if (FWaitingHook == "hangup") DoorOnHangup = [] { WaitInHook("hangup"); DefaultOnHangup(); };
  if (FWaitingHook == "timeout") DoorOnTimeOut = [] { WaitInHook("timeout"); DefaultOnTimeOut(); };
  if (FWaitingHook == "timeup") DoorOnTimeUp = [] { WaitInHook("timeup"); DefaultOnTimeUp(); };
}

}  // namespace

int main(int argc, char** argv) {
  DoorOnCLP = OnSwitch;
  DoorOnLocalLogin = nullptr;
  DoorStartup(argc, argv);
  InstallWaitingHook();
  if (FMaxIdle >= 0) DoorSession.MaxIdle = FMaxIdle;
  if (FMaxSeconds >= 0) DoorDropInfo.MaxSeconds = FMaxSeconds;
  DoorDisplayFile(FFileName);
  if (FWaitAtEnd) {
    DoorWriteLn("Press a key to end");
    std::ignore = DoorReadKey();
  }
  DoorWriteLn();
  DoorWriteLn("End of display");
  DoorShutdown();
  return 0;
}
