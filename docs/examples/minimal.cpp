// The smallest complete door: start the session, greet the caller, wait for a key, hand back.
#include <tuple>

#include "door/door.h"

int main(int argc, char** argv) {
  DoorStartup(argc, argv);  // ends the program itself when no session can be set up
  DoorClrScr();
  DoorWriteLn("|0FHello, " + DoorDropInfo.RealName + "!|07");
  DoorWrite("Press any key to return to the BBS.");
  std::ignore = DoorReadKey();
  DoorShutdown();  // releases the socket; the BBS keeps the caller
  return 0;
}
