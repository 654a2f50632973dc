// namemenu: a small door that asks the caller's name, offers a lightbar menu and shows a text file
// shipped beside the door. It shows the three input-and-display pieces most doors start from:
// DoorInput for a typed answer, DoorLiteBarOptions with DoorLiteBar for a menu moved with the arrow
// keys, and DoorDisplayFile for a text file with pipe codes. Q (or Page Down) leaves the menu.

#include <filesystem>
#include <string>
#include <tuple>

#include "door/door.h"

namespace {

// The bulletin lives in the door's own directory, whatever the BBS's working directory is.
std::string BesideTheDoor(const std::string& AFileName) {
  std::error_code Ec;
  const std::filesystem::path Self = std::filesystem::read_symlink("/proc/self/exe", Ec);
  return Ec ? AFileName : (Self.parent_path() / AFileName).string();
}

std::string AskName() {
  DoorWrite("|0BWhat should we call you? |07");
  // Starts from the alias the BBS gave; Esc keeps it, Ctrl-Y clears the field.
  std::string Name = DoorInput(DoorDropInfo.Alias, DOOR_INPUT_CHARS_ALL, '\0', 30, 30, 0x1F);
  return Name.empty() ? std::string("stranger") : Name;
}

void PressAnyKey() {
  DoorWriteLn();
  DoorWrite("|08Press any key...|07");
  std::ignore = DoorReadKey();
}

}  // namespace

int main(int argc, char** argv) {
  DoorProgramNameAndVersion = "NameMenu v1.0";
  DoorStartup(argc, argv);

  DoorClrScr();
  const std::string Name = AskName();

  DoorLiteBarOptions = {" Read the bulletin ", " Say hello         ", " Back to the BBS   "};
  DoorLiteBarIndex = 0;
  for (;;) {
    DoorClrScr();
    DoorWriteCentered("|0FHello, " + Name + "|07");
    DoorWriteLn();
    DoorWriteLn();
    DoorWriteLn("  |07Arrows move the bar, Enter chooses, Q leaves.");
    DoorGotoXY(5, 6);
    // The bar starts where the previous call left DoorLiteBarIndex.
    if (!DoorLiteBar(static_cast<std::int32_t>(DoorLiteBarOptions.size()))) break;
    DoorGotoXY(1, 10);
    if (DoorLiteBarIndex == 0) {
      DoorClrScr();
      DoorDisplayFile(BesideTheDoor("bulletin.txt"));
      PressAnyKey();
    } else if (DoorLiteBarIndex == 1) {
      DoorWriteLn("|0AHello, " + Name + "! You have " + std::to_string(DoorSecondsLeft() / 60) +
                  " minutes left today.|07");
      PressAnyKey();
    } else {
      break;
    }
  }

  DoorClrScr();
  DoorWriteLn("Goodbye, " + Name + ".");
  DoorShutdown();
  return 0;
}
