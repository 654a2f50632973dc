// The three ways to colour output: the Door... wrappers (ANSI built for you), pipe codes and
// backtick codes. All three end in DoorWrite, so the caller and the sysop see the same thing.
#include <tuple>

#include "ansi/ansi.h"
#include "door/door.h"

int main(int argc, char** argv) {
  DoorStartup(argc, argv);
  DoorClrScr();

  DoorTextAttr(0x1E);  // yellow on blue, as one PC attribute byte
  DoorWrite(" wrappers ");
  DoorTextAttr(0x07);
  DoorWriteLn();

  DoorWriteLn("|0Cpipe codes|07: |1F white on blue |07 |4E yellow on red |07");

  DoorSession.KestWrite = true;  // backtick codes are off until the door turns them on
  DoorWriteLn("`2backtick `0codes`7, `r1`%on blue`r0`7, and a spinner: `|");
  DoorSession.KestWrite = false;

  DoorWrite(AnsiGotoXY(10, 8) + AnsiTextColour(13) + "raw ANSI from the builders" + AnsiTextAttr(7));
  DoorGotoXY(1, 10);
  DoorWriteCentered("centred on 80 columns");
  std::ignore = DoorReadKey();
  DoorShutdown();
  return 0;
}
