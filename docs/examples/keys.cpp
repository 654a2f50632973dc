// Keys from both sides: plain keys as their byte, special keys as their PC scan code with
// DoorLastKey.Extended set. The caller's ESC [ A..D arrive as the local arrow keys do.
#include <string>

#include "door/door.h"

namespace {

std::string Describe(char AKey) {
  if (!DoorLastKey.Extended) return std::string("key ") + AKey;
  switch (AKey) {
    case 72: return "up";
    case 80: return "down";
    case 75: return "left";
    case 77: return "right";
    case 71: return "home";
    case 79: return "end";
    default: return "scan code " + std::to_string(static_cast<unsigned char>(AKey));
  }
}

}  // namespace

int main(int argc, char** argv) {
  DoorStartup(argc, argv);
  DoorClrScr();
  DoorWriteLn("Press keys; Q ends.");
  for (;;) {
    const char Key = DoorReadKey();  // the session's events run while this waits
    if (!DoorLastKey.Extended && (Key == 'q' || Key == 'Q')) break;
    const char* Side = DoorLastKey.Location == lkLocal ? "sysop" : "caller";
    DoorWriteLn(Describe(Key) + " from the " + Side);
  }
  DoorShutdown();
  return 0;
}
