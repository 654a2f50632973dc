// The sysop's screen cell by cell: a note on row 25, and a pop-up that is taken away again.
// None of this reaches the caller.
#include <tuple>

#include "door/door.h"
#include "videoutils/videoutils.h"

int main(int argc, char** argv) {
  DoorOnStatusBar = nullptr;  // row 25 is ours
  DoorStartup(argc, argv);
  FastWrite(" sysop note: the caller cannot see this line ", 1, 25, 0x4F);

  TScreenBuffer Saved;
  ScreenSave(Saved);
  FastWrite("+--------------+", 30, 10, 0x1F);
  FastWrite("|  Chat mode!  |", 30, 11, 0x1F);
  FastWrite("+--------------+", 30, 12, 0x1F);
  SetAttrAt(0x9F, 33, 11);  // blink the C
  std::ignore = DoorReadKey();
  ScreenRestore(Saved);

  DoorShutdown();
  return 0;
}
