// A typed answer with the line editor, then a choice from the lightbar menu.
#include <string>

#include "door/door.h"

int main(int argc, char** argv) {
  DoorStartup(argc, argv);
  DoorClrScr();

  DoorWrite("City: ");
  // Default "Springfield", letters and space only, a 20-column field for up to 40 characters,
  // white on blue. Esc gives back the default; Ctrl-Y clears the field.
  const std::string City = DoorInput("Springfield", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz ",
                                     '\0', 20, 40, 0x1F);
  DoorWrite("PIN: ");
  const std::string Pin = DoorInput("", DOOR_INPUT_CHARS_NUMERIC, '*', 4, 4, 0x70);  // shown as ****

  DoorLiteBarOptions = {"Weather", "News", "Sports"};
  DoorLiteBarIndex = 0;
  DoorWriteLn();
  if (DoorLiteBar(10)) {  // true on Enter, false on Q
    DoorGotoXY(1, 10);
    DoorWriteLn(DoorLiteBarOptions[static_cast<std::size_t>(DoorLiteBarIndex)] + " for " + City);
  }
  DoorShutdown();
  return 0;
}
