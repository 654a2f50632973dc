// A door built against the installed kit. It includes every public header, so a header missing
// from the installation, or one that needs another that was not installed, fails the build.
#include <tuple>

#include "ansi/ansi.h"
#include "comm/comm.h"
#include "console/console.h"
#include "door/door.h"
#include "dropfiles/dropfiles.h"
#include "stringutils/stringutils.h"
#include "videoutils/videoutils.h"

int main(int argc, char** argv) {
  DoorProgramNameAndVersion = "Installed door " + SecToHMS(0);
  DoorStartup(argc, argv);
  DoorWrite(AnsiClrScr() + PipeToAnsi("|1FHello|07"));
  FastWrite("installed", 1, 25, 0x70);
  std::ignore = DoorReadKey();
  DoorShutdown();
  return 0;
}
