// The console's start-up and end: settings read when the program loads (locale, terminal size, raw
// mode, signal handlers), the terminal restore at exit, and the test seams.

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/console_internal.h"
#include "console/console_testing.h"

// Everything the exit handler touches that has a destructor is defined here, ahead of the start-up
// below: objects of one file are destroyed in the reverse order of their definition, so these
// outlive the handler that start-up registers. Defined in other files, they could be destroyed
// before it runs.
std::vector<std::uint8_t> ConsoleShadowBuffer;

namespace console_internal {
std::vector<std::uint16_t> FShown;
std::string FOutBuf;
std::vector<std::uint8_t> FFlushedShadow;
int FIn = 0;
int FOut = 1;
bool FUtf8 = false;
bool FInitialised = false;
}  // namespace console_internal

using namespace console_internal;

namespace {

bool LocaleIsUtf8() {
  const char* Names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const char* Name : Names) {
    const char* Value = getenv(Name);
    if (Value == nullptr || *Value == '\0') continue;
    std::string Lower;
    for (const char* P = Value; *P != '\0'; ++P) Lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*P)));
    return Lower.find("utf-8") != std::string::npos || Lower.find("utf8") != std::string::npos;
  }
  return false;
}

void OnExit() {
  ConsoleFlush();
  if (FEverWritten && !FCallerOutput) WriteAll(kRestoreSeq);
  LeaveRawMode();
}

}  // namespace

namespace console_internal {

void Initialise() {
  if (FInitialised) return;
  FInitialised = true;
  FUtf8 = LocaleIsUtf8();
  int Width, Height;
  ReadTerminalSize(Width, Height);
  FTermWidth = Width;
  FTermHeight = Height;
  ResetModel(std::max(80, Width), std::max(25, Height));
  EnterRawMode();
  InstallSignalHandlers();
  std::atexit(OnExit);
}

}  // namespace console_internal

void ConsoleUseFds(int AIn, int AOut) {
  EnsureInitialised();
  LeaveRawMode();
  FIn = AIn;
  FOut = AOut;
  FCallerOutput = false;
  ResetKeyboard();
  int Width, Height;
  ReadTerminalSize(Width, Height);
  FTermWidth = Width;
  FTermHeight = Height;
  ResetModel(std::max(80, Width), std::max(25, Height));
  FEverWritten = false;
  EnterRawMode();
}

void ConsoleResetForTesting(int AWidth, int AHeight) {
  EnsureInitialised();
  ResetModel(AWidth, AHeight);
  ResetKeyboard();
  FCallerOutput = false;
  FResized = 0;
}

void ConsoleSetUtf8ForTesting(bool AUtf8) {
  EnsureInitialised();
  FUtf8 = AUtf8;
  ForgetTerminalImage();
}

namespace {
// The console comes up when the program loads, before any kit code draws; the ensure-initialised
// check in every operation covers callers whose static initialisers run earlier.
const bool kConsoleLoaded = (EnsureInitialised(), true);
}  // namespace
