// hookdoor: a door that replaces the kit's hooks with its own. It draws its own status bar on row 25
// of the sysop's screen (DoorOnStatusBar with FastWrite), warns the caller before the idle limit and
// before the end of the session (DoorOnTimeOutWarning, DoorOnTimeUpWarning), lets the sysop give or
// take time with F1 and F2 (DoorOnSysopKey changing DoorDropInfo.MaxSeconds) and takes one switch of
// its own on the command line (DoorOnCLP: -I<seconds> sets the idle limit). The hooks it leaves
// alone keep the kit's defaults: losing the caller, passing the idle limit and running out of time
// still end the door with the kit's messages.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "door/door.h"
#include "stringutils/stringutils.h"
#include "videoutils/videoutils.h"

namespace {

constexpr char kScanF1 = 59;
constexpr char kScanF2 = 60;
constexpr std::int32_t kSysopStep = 5 * 60;  // seconds that F1 adds and F2 takes away

std::string Padded(std::string AText, std::size_t AWidth) {
  AText.resize(std::max(AText.size(), AWidth), ' ');
  return AText;
}

// Row 25, sysop only: nothing here reaches the caller. FastWrite draws outside the 24-row window
// that start-up leaves to the door and keeps cursor and colours as they were.
void StatusBar() {
  const std::int32_t Left = std::max(DoorSecondsLeft(), 0);
  const std::string Bar = Padded(" Node " + std::to_string(DoorDropInfo.Node) + " \xb3 " +
                                     Padded(DoorDropInfo.RealName, 16) + " \xb3 Idle " +
                                     SecToMS(DoorSecondsIdle()) + " \xb3 Left " + SecToHMS(Left) +
                                     " \xb3 F1 +5 min  F2 -5 min",
                                 80);
  FastWrite(Bar, 1, 25, 0x70);
}

std::string Minutes(std::uint8_t AMinutes) {
  if (AMinutes == 0) return "less than a minute";
  return std::to_string(AMinutes) + (AMinutes == 1 ? " minute" : " minutes");
}

// The warnings go through DoorWrite, so the caller sees them too. They arrive while the door waits
// for a key, so they start on a line of their own.
void IdleWarning(std::uint8_t AMinutes) {
  DoorWriteLn();
  DoorWriteLn("|0EStill there? You will be disconnected in " + Minutes(AMinutes) + ".|07");
}

void TimeWarning(std::uint8_t AMinutes) {
  DoorWriteLn();
  DoorWriteLn("|0CYour time is almost up: " + Minutes(AMinutes) + " left.|07");
}

// Local F1 and F2 adjust the caller's time; every other special key goes on to the door.
bool SysopKey(char AKey) {
  if (AKey == kScanF1) {
    DoorDropInfo.MaxSeconds += std::min(kSysopStep, std::numeric_limits<std::int32_t>::max() -
                                                        DoorDropInfo.MaxSeconds);
  } else if (AKey == kScanF2) {
    DoorDropInfo.MaxSeconds = std::max(DoorDropInfo.MaxSeconds - kSysopStep, 0);
  } else {
    return false;
  }
  StatusBar();  // show the new time now rather than at the next events pass
  return true;
}

void CommandLine(char AKey, const std::string& AValue) {
  if (AKey == 'I') DoorSession.MaxIdle = std::max(StrToIntDef(AValue, DoorSession.MaxIdle), 1);
}

}  // namespace

int main(int argc, char** argv) {
  DoorOnCLP = CommandLine;  // must be set before DoorStartup to see the command line
  DoorOnStatusBar = StatusBar;
  DoorOnTimeOutWarning = IdleWarning;
  DoorOnTimeUpWarning = TimeWarning;
  DoorOnSysopKey = SysopKey;
  DoorProgramNameAndVersion = "HookDoor v1.0";
  DoorStartup(argc, argv);

  DoorClrScr();
  DoorWriteLn("|0FHookDoor|07: type anything, the door echoes it. Q ends.");
  DoorWriteLn("You have " + SecToHMS(std::max(DoorSecondsLeft(), 0)) + " and may idle " +
              std::to_string(DoorSession.MaxIdle) + " seconds.");
  for (;;) {
    const char Key = DoorReadKey();
    if (DoorLastKey.Extended) {
      DoorWrite("|08[scan " + std::to_string(static_cast<unsigned char>(Key)) + "]|07");
    } else if (Key == 'q' || Key == 'Q') {
      break;
    } else if (Key == '\r') {
      DoorWriteLn();
    } else if (Key >= ' ' && Key <= '~') {
      DoorWrite(std::string(1, Key));
    }
  }
  DoorWriteLn();
  DoorWriteLn("Bye.");
  DoorShutdown();
  return 0;
}
