#pragma once
// Shared between the source files of the console unit; not part of the kit's public interface.
// Window and cursor are in whole-screen coordinates, 1-based.

#include <signal.h>
#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

namespace console_internal {

constexpr std::uint16_t kUnknownCell = 0xFFFF;  // a terminal cell whose content the console does not know

// Attribute reset and cursor shown: what every end of the program leaves on a terminal the console wrote to.
inline constexpr char kRestoreSeq[] = "\x1b[0m\x1b[?25h";

// Start-up (console.cpp). Every operation begins with EnsureInitialised: inline, so the check costs
// one comparison in the cell-at-a-time paths (a screen restore makes some 30,000 operation calls).
extern int FIn;
extern int FOut;
extern bool FUtf8;
extern bool FInitialised;
void Initialise();
inline void EnsureInitialised() {
  if (!FInitialised) Initialise();
}

// The model beyond the public globals (console_model.cpp).
extern int FWinLeft, FWinTop, FWinRight, FWinBottom;
extern int FCurX, FCurY;
extern bool FCursorVisible;
extern bool FDirty;  // something was drawn since start: from then on the terminal follows the model
void ResetModel(int AWidth, int AHeight);

// The terminal side (console_terminal.cpp; the three containers are defined in console.cpp).
extern std::vector<std::uint16_t> FShown;         // character | attribute << 8, or kUnknownCell
extern std::string FOutBuf;
extern std::vector<std::uint8_t> FFlushedShadow;  // the shadow buffer as the last flush sent it
extern int FTermWidth, FTermHeight;
extern bool FEverWritten;
extern bool FCallerOutput;  // standard output is the caller's: the model is not drawn there
void ReadTerminalSize(int& AWidth, int& AHeight);
void ForgetTerminalImage();
void WriteAll(const std::string& AData);
void HandleResize();

// The keyboard (console_keyboard.cpp).
extern bool FRawActive;
extern int FRawFd;
extern termios FSavedTermios;
extern bool FOutPostOff;           // output post-processing was switched off on FOutPostFd
extern int FOutPostFd;
extern termios FSavedOutTermios;   // that terminal's settings before
void EnterRawMode();
void LeaveRawMode();
void ResetKeyboard();

// Signals (console_signals.cpp).
extern volatile sig_atomic_t FResized;
void InstallSignalHandlers();

}  // namespace console_internal
