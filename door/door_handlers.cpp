// The handlers the hooks hold at start: the sysop's status bar, the local login, the usage screen,
// and the three ends of a session (carrier lost, idle limit, time up).

#include <string>

#include "console/console.h"
#include "door/door.h"
#include "door/door_internal.h"
#include "stringutils/stringutils.h"
#include "videoutils/videoutils.h"

namespace {

std::string PadRight(std::string AText, std::size_t AWidth) {
  if (AText.size() < AWidth) AText.append(AWidth - AText.size(), ' ');
  return AText;
}

[[noreturn]] void EndSession(const char* AMessage) {
  DoorTextAttr(15);
  DoorClrScr();
  DoorWriteLn();
  DoorWriteLn(AMessage);
  ConsoleDelay(2500);
  door_internal::EndProgram();
}

}  // namespace

// Row 25 of the sysop's console: name, program, idle time and time left in a frame of byte 254.
// FastWrite never writes column 80 of row 25, so the frame's last 254 stays unseen.
void DefaultOnStatusBar() {
  std::string frame(80, ' ');
  for (int column : {1, 29, 49, 63, 80}) frame[static_cast<std::size_t>(column - 1)] = '\xFE';
  FastWrite(frame, 1, 25, 30);
  FastWrite(PadRight(DoorDropInfo.RealName, 22), 3, 25, 31);
  FastWrite(DoorProgramNameAndVersion, 31, 25, 31);
  FastWrite(PadRight("Idle: " + SecToMS(DoorSecondsIdle()), 11), 51, 25, 31);
  FastWrite("Left: " + SecToHMS(DoorSecondsLeft()), 65, 25, 31);
}

void DefaultOnLocalLogin() {
  DoorTextAttr(7);
  DoorClrScr();
  DoorWriteLn();
  DoorWriteLn();
  DoorWriteLn("  |1F  LOCAL LOGIN - FOR NODE " + std::to_string(DoorDropInfo.Node) + "|07");
  DoorWriteLn();
  DoorWriteLn();
  DoorWriteLn("  |09Run " + door_internal::ProgramFileName() + " /? for command-line usage help|07");
  DoorWriteLn();
  std::string name;
  do {
    DoorWrite("  |0AName or handle |0F:|07 ");
    name = DoorInput("SYSOP", "qwertyuiopasdfghjklzxcvbnmQWERTYUIOPASDFGHJKLZXCVBNM ", '\0', 40, 40, 31);
  } while (name.empty());
  DoorDropInfo.RealName = name;
  DoorDropInfo.Alias = name;
}

void DefaultOnHangup() {
  ConsoleTextAttr = 15;
  ConsoleClrScr();
  ConsoleWrite("\n");
  ConsoleWrite("   Caller Dropped Carrier.  Returning To BBS...\n");
  ConsoleDelay(2500);
  door_internal::EndProgram();
}

void DefaultOnTimeOut() { EndSession("  Idle Time Limit Exceeded.  Returning To BBS..."); }

void DefaultOnTimeUp() { EndSession("  Your Time Has Expired.  Returning To BBS..."); }

void DefaultOnUsage() {
  const std::string exe = door_internal::ProgramFileName();
  const std::string lines[] = {
      "",
      " USAGE: " + exe + " <PARAMETERS>",
      "",
      " Load settings from a dropfile (DOOR32.SYS, DOOR.SYS, DORINFO*.DEF or INFO.*)",
      "  -D         PATH\\FILENAME OF DROPFILE",
      " Example: " + exe + " -DC:\\BBS\\NODE1\\DOOR32.SYS",
      "",
      " Pass settings on command-line",
      "  -N         NODE NUMBER",
      "  -S         SOCKET HANDLE",
      " Example: " + exe + " -N1 -S1000",
      "",
      " Run in local mode",
      "  -L         LOCAL MODE",
      " Example: " + exe + " -L",
      "",
      " Optional parameters",
      "  -X         DISABLE COMM ROUTINES (STDIO MODE)",
      "",
  };
  ConsoleClrScr();
  for (const auto& line : lines) ConsoleWrite(line + "\n");
  door_internal::EndProgram();
}
