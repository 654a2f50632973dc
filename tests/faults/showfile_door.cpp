// A tiny door for the file faults: shows the file named by -F<path> to the caller with
// DoorDisplayFile, then writes "End of display" and hands the caller back. No local login, so it can
// run locally as well as on a socket.

#include <string>

#include "door/door.h"

namespace {

std::string FFileName;

void OnSwitch(char AKey, const std::string& AValue) {
  if (AKey == 'F') FFileName = AValue;
}

}  // namespace

int main(int argc, char** argv) {
  DoorOnCLP = OnSwitch;
  DoorOnLocalLogin = nullptr;
  DoorStartup(argc, argv);
  DoorDisplayFile(FFileName);
  DoorWriteLn();
  DoorWriteLn("End of display");
  DoorShutdown();
  return 0;
}
