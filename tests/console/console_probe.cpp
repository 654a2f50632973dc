// A tiny program for the console's end-of-run tests: draws, hides the cursor, waits for a key, then
// ends the way its argument says (return from main, or exit() from a nested call).
#include <cstdlib>
#include <string>

#include "console/console.h"

namespace {

[[gnu::noinline]] void Innermost() { std::exit(0); }
[[gnu::noinline]] void Middle() { Innermost(); }
[[gnu::noinline]] void LeaveFromDeepInside() { Middle(); }

}  // namespace

int main(int argc, char** argv) {
  std::string Mode = argc > 1 ? argv[1] : "return";
  ConsoleTextAttr = 0x9E;
  ConsoleClrScr();
  ConsoleWrite("READY\xfe");
  ConsoleCursorOff();
  char Key = ConsoleReadKey();
  ConsoleWrite(std::string("got ") + Key);
  if (Mode == "exit") LeaveFromDeepInside();
  return 0;
}
