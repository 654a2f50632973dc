// Text helpers: time formats, tokens, base64, and measuring text with backtick codes.
#include <string>
#include <tuple>

#include "door/door.h"
#include "stringutils/stringutils.h"

int main(int argc, char** argv) {
  DoorStartup(argc, argv);
  DoorWriteLn("Left: " + SecToHMS(DoorSecondsLeft()) + "  (" + SecToDHMS(DoorSecondsLeft()) + ")");

  const TTokens Fields = StrToTok("Alice;Springfield;42", ';');  // Fields[1] is "Alice"
  DoorWriteLn("Name " + Fields[1] + ", score " + Fields[3]);
  DoorWriteLn("Rest: " + TokToStr(Fields, ',', 2));  // "Springfield,42"

  try {
    DoorWriteLn(Base64Decode("SGVsbG8sIHdvcmxkIQ=="));  // "Hello, world!"
  } catch (const EStreamError& E) {
    DoorWriteLn(std::string("bad base64: ") + E.what());
  }

  const std::string Title = "`%Top `2Scores";
  DoorWriteLn("visible width " + std::to_string(KestStrip(Title).size()));  // 10
  std::ignore = DoorReadKey();
  DoorShutdown();
  return 0;
}
