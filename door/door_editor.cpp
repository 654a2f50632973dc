// The line editor and the lightbar menu. Both draw only through DoorWrite and read only through
// DoorReadKey, so the caller and the sysop see the same field and the event check keeps running.

#include <cstdint>
#include <string>
#include <string_view>

#include "console/console.h"
#include "door/door.h"

std::string DoorInput(const std::string& ADefaultText, std::string_view AAllowedCharacters,
                      char APasswordCharacter, std::uint8_t AVisibleLength, std::uint8_t AMaxLength,
                      std::uint8_t AAttr) {
  const std::string defaultText = ADefaultText.substr(0, AMaxLength);
  std::string text = defaultText;
  const std::uint8_t savedAttr = ConsoleTextAttr;
  DoorTextAttr(AAttr);
  const std::uint8_t xpos = ConsoleWhereX();

  // Redraws the whole field: the tail of the text (or its mask), filler spaces in the field's
  // colour, and the cursor just after the last visible character. Columns wrap as bytes do.
  const auto updateText = [&] {
    DoorGotoX(xpos);
    if (text.size() > AVisibleLength) {
      DoorWrite(APasswordCharacter != 0 ? std::string(AVisibleLength, APasswordCharacter)
                                        : text.substr(text.size() - AVisibleLength));
      DoorGotoX(static_cast<std::uint8_t>(xpos + AVisibleLength));
    } else {
      DoorWrite(APasswordCharacter != 0 ? std::string(text.size(), APasswordCharacter) : text);
      DoorWrite(std::string(AVisibleLength - text.size(), ' '));
      DoorGotoX(static_cast<std::uint8_t>(xpos + text.size()));
    }
  };
  updateText();

  char key = 0;
  do {
    key = DoorReadKey();
    if (key == 8 && !text.empty()) {
      text.pop_back();
      DoorWrite("\b \b");
      if (text.size() >= AVisibleLength) updateText();
    } else if (key == 25 && !text.empty()) {  // Ctrl-Y clears the field
      text.clear();
      updateText();
    } else if (AAllowedCharacters.find(key) != std::string_view::npos && text.size() < AMaxLength) {
      text += key;
      if (text.size() > AVisibleLength) {
        updateText();
      } else {
        DoorWrite(std::string(1, APasswordCharacter != 0 ? APasswordCharacter : key));
      }
    }
  } while (key != 27 && key != 13);

  DoorTextAttr(savedAttr);
  DoorWriteLn();
  return key == 27 ? defaultText : text;
}

bool DoorLiteBar(std::int32_t APageSize) {
  const auto count = static_cast<std::int64_t>(DoorLiteBarOptions.size());
  const std::int64_t pageSize = APageSize;

  // Option k starts in the menu's first column, k rows below its top; the bar is as wide as the
  // option's text. An index outside the list (an application that set DoorLiteBarIndex out of
  // range) draws nothing, so the menu never reads outside the list.
  const auto drawOption = [&](std::int64_t k, bool highlighted, bool restore) {
    if (k < 0 || k >= count) return;
    if (restore) DoorCursorRestore();
    if (k > 0) DoorCursorDown(static_cast<std::uint8_t>(k));
    if (highlighted) DoorTextBackground(1);
    DoorWrite(DoorLiteBarOptions[static_cast<std::size_t>(k)]);
    DoorTextAttr(15);
  };

  bool result = true;
  DoorTextAttr(15);
  DoorCursorSave();
  for (std::int64_t k = 0; k < count && k != pageSize; ++k) {
    drawOption(k, k == DoorLiteBarIndex, k > 0);
  }

  char key = 0;
  do {
    key = DoorReadKey();
    if (key >= 'a' && key <= 'z') key = static_cast<char>(key - 'a' + 'A');
    const std::int64_t index = DoorLiteBarIndex;
    switch (key) {
      case '2': case '6': case 'M': case 'P':
        if (index < pageSize - 1 && index < count - 1) {
          drawOption(index, false, true);
          DoorLiteBarIndex = static_cast<std::int32_t>(index + 1);
          drawOption(index + 1, true, true);
        }
        break;
      case '4': case '8': case 'H': case 'K':
        if (index > 0) {
          drawOption(index, false, true);
          DoorLiteBarIndex = static_cast<std::int32_t>(index - 1);
          drawOption(index - 1, true, true);
        }
        break;
      default:
        break;
    }
    if (key == 'Q') {
      result = false;
      break;
    }
  } while (key != 13);

  DoorCursorRestore();
  return result;
}
