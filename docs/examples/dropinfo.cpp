// What the BBS said about the caller, whichever way the door was started.
#include <string>
#include <tuple>

#include "door/door.h"

int main(int argc, char** argv) {
  DoorStartup(argc, argv);
  DoorClrScr();
  const TDoorDropInfo& Info = DoorDropInfo;
  DoorWriteLn("Real name : " + Info.RealName);
  DoorWriteLn("Alias     : " + Info.Alias);
  DoorWriteLn("Node      : " + std::to_string(Info.Node));
  DoorWriteLn("Access    : " + std::to_string(Info.Access));
  DoorWriteLn("Time left : " + std::to_string(DoorSecondsLeft() / 60) + " minutes");
  DoorWriteLn(std::string("Terminal  : ") + (Info.Emulation == etANSI ? "ANSI" : "plain text"));
  if (DoorLocal()) DoorWriteLn("Local session: nothing is sent over a socket.");
  if (DoorStdio()) DoorWriteLn("Stdio session: all traffic stays on standard input and output.");
  std::ignore = DoorReadKey();
  DoorShutdown();
  return 0;
}
