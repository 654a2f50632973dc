// A door for the editor, lightbar and handler tests. The environment picks what it does:
//   ZELKIT_UI_MODE     input | litebar | wait | login
//   ZELKIT_UI_RESULT   file that receives the outcome (written whole, then renamed into place)
// After DoorStartup it applies ZELKIT_UI_NAME (RealName), ZELKIT_UI_MAXIDLE (MaxIdle) and
// ZELKIT_UI_MAXSECONDS (MaxSeconds) when they are set.
//
// input:   prompt "Field: " at column 1 of row 3 in ZELKIT_UI_PREATTR, then DoorInput with
//          ZELKIT_UI_DEFAULT, ZELKIT_UI_ALLOWED (ALL, ALPHA, NUMERIC, FILENAME or the literal set),
//          ZELKIT_UI_PASSWORD (first byte, none when empty), ZELKIT_UI_VISIBLE, ZELKIT_UI_MAX,
//          ZELKIT_UI_ATTR; then "Z" is written and the returned text is the result.
// litebar: DoorLiteBarOptions from ZELKIT_UI_OPTIONS (one option per line), DoorLiteBarIndex from
//          ZELKIT_UI_INDEX, the menu's corner at column 5 of row 3, DoorLiteBar(ZELKIT_UI_PAGESIZE);
//          the result is "<1 on Enter, 0 on quit> <DoorLiteBarIndex>".
// wait:    reads keys; the result is the list of their codes, rewritten after each key.
// login:   the result is RealName and Alias on two lines (the local login ran inside start-up).
// input and litebar then wait for one more key and end normally; wait ends on the key "x".

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "door/door.h"
#include "dropfiles/dropfiles.h"

namespace {

std::string Env(const char* AName, const std::string& ADefault = "") {
  const char* value = std::getenv(AName);
  return value == nullptr ? ADefault : std::string(value);
}

int EnvInt(const char* AName, int ADefault) {
  const std::string value = Env(AName);
  return value.empty() ? ADefault : std::atoi(value.c_str());
}

void WriteResult(const std::string& AText) {
  const std::string path = Env("ZELKIT_UI_RESULT");
  if (path.empty()) return;
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << AText;
  }
  std::ignore = std::rename(temp.c_str(), path.c_str());
}

std::string AllowedSet() {
  const std::string set = Env("ZELKIT_UI_ALLOWED", "ALL");
  if (set == "ALL") return std::string(DOOR_INPUT_CHARS_ALL);
  if (set == "ALPHA") return std::string(DOOR_INPUT_CHARS_ALPHA);
  if (set == "NUMERIC") return std::string(DOOR_INPUT_CHARS_NUMERIC);
  if (set == "FILENAME") return std::string(DOOR_INPUT_CHARS_FILENAME);
  return set;
}

std::vector<std::string> Lines(const std::string& AText) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < AText.size()) {
    const std::size_t end = AText.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(AText.substr(start));
      break;
    }
    lines.push_back(AText.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void RunInput() {
  DoorGotoXY(1, 3);
  DoorTextAttr(static_cast<std::uint8_t>(EnvInt("ZELKIT_UI_PREATTR", 7)));
  DoorWrite("Field: ");
  const std::string password = Env("ZELKIT_UI_PASSWORD");
  const std::string allowed = AllowedSet();
  const std::string result =
      DoorInput(Env("ZELKIT_UI_DEFAULT"), allowed, password.empty() ? '\0' : password[0],
                static_cast<std::uint8_t>(EnvInt("ZELKIT_UI_VISIBLE", 10)),
                static_cast<std::uint8_t>(EnvInt("ZELKIT_UI_MAX", 10)),
                static_cast<std::uint8_t>(EnvInt("ZELKIT_UI_ATTR", 0x1F)));
  DoorWrite("Z");
  WriteResult(result);
}

void RunLiteBar() {
  DoorLiteBarOptions = Lines(Env("ZELKIT_UI_OPTIONS"));
  DoorLiteBarIndex = EnvInt("ZELKIT_UI_INDEX", 0);
  DoorGotoXY(5, 3);
  const bool accepted = DoorLiteBar(EnvInt("ZELKIT_UI_PAGESIZE", 10));
  WriteResult(std::string(accepted ? "1 " : "0 ") + std::to_string(DoorLiteBarIndex));
}

void RunWait() {
  std::string keys;
  for (;;) {
    const char key = DoorReadKey();
    keys += std::to_string(static_cast<unsigned char>(key)) + "\n";
    WriteResult(keys);
    if (key == 'x') return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  DoorStartup(argc, argv);
  if (const std::string name = Env("ZELKIT_UI_NAME"); !name.empty()) DoorDropInfo.RealName = name;
  if (const int idle = EnvInt("ZELKIT_UI_MAXIDLE", -1); idle >= 0) DoorSession.MaxIdle = idle;
  if (const int left = EnvInt("ZELKIT_UI_MAXSECONDS", -1); left >= 0) DoorDropInfo.MaxSeconds = left;

  const std::string mode = Env("ZELKIT_UI_MODE", "wait");
  if (mode == "login") {
    WriteResult(DoorDropInfo.RealName + "\n" + DoorDropInfo.Alias + "\n");
  } else if (mode == "input") {
    RunInput();
    std::ignore = DoorReadKey();
  } else if (mode == "litebar") {
    RunLiteBar();
    std::ignore = DoorReadKey();
  } else {
    RunWait();
  }
  DoorShutdown();
  return 0;
}
