#pragma once
// The door session: start-up from the command line or a drop file, the output hub that draws on the
// sysop's console and sends to the caller, key input from both sides, the event check that watches
// carrier, idle time and time left, the line editor, the lightbar menu and the default handlers.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dropfiles/dropfiles.h"

enum TDoorLastKeyType : std::uint8_t { lkNone = 0, lkLocal = 1, lkRemote = 2 };

// A date-time stamp: local days since 30 December 1899, the time of day as the fraction; 0 = never.
using TDoorDateTime = double;

struct TDoorLastKey {
  char Ch = 0;              // the key, or the scan code of a special key
  bool Extended = false;    // true for arrows and function keys
  TDoorLastKeyType Location = lkNone;
  TDoorDateTime Time = 0;   // when the key was returned; idle time counts from here
};

struct TDoorMorePrompts {
  std::string ASCII = " <MORE>";
  std::string ANSI = " |0A<|02MORE|0A>";
  std::int32_t ANSITextLength = 7;
};

struct TDoorSession {
  bool DoIdleCheck = true;
  bool Events = false;          // the event check runs only when set (remote and stdio sessions)
  TDoorDateTime EventsTime = 0;
  std::int32_t MaxIdle = 300;   // seconds
  bool KestWrite = false;       // DoorWrite interprets backtick codes when set
  TDoorDateTime TimeOn = 0;
};

extern TDoorLastKey DoorLastKey;
extern std::int32_t DoorLiteBarIndex;
extern std::vector<std::string> DoorLiteBarOptions;
extern TDoorMorePrompts DoorMorePrompts;
extern std::string DoorProgramNameAndVersion;  // "Zelkit v13.09.02" until the door replaces it
extern TDoorSession DoorSession;

// Hooks: slots that may be empty; a function or a captureless lambda may be assigned at any time.
// DoorOnCLP, DoorOnLocalLogin and DoorOnUsage count only when set before DoorStartup.
extern void (*DoorOnCLP)(char AKey, const std::string& AValue);  // a switch the kit does not know
extern void (*DoorOnHangup)();
extern void (*DoorOnLocalLogin)();
extern void (*DoorOnStatusBar)();
extern bool (*DoorOnSysopKey)(char AKey);  // a local special key; true when the sysop function took it
extern void (*DoorOnTimeOut)();
extern void (*DoorOnTimeOutWarning)(std::uint8_t AMinutes);
extern void (*DoorOnTimeUp)();
extern void (*DoorOnTimeUpWarning)(std::uint8_t AMinutes);
extern void (*DoorOnUsage)();

// The start values of the hooks above.
void DefaultOnHangup();
void DefaultOnLocalLogin();
void DefaultOnStatusBar();
void DefaultOnTimeOut();
void DefaultOnTimeUp();
void DefaultOnUsage();

// Session. DoorStartup() reads the process's own command line; the overload takes main's arguments.
void DoorStartup();
void DoorStartup(int argc, const char* const* argv);
void DoorShutdown();                  // releases the socket without dropping the caller
void DoorClose(bool ADisconnect);
bool DoorLocal();
bool DoorStdio();
bool DoorCarrier();
bool DoorOpenComm();
TDoorDateTime DoorNow();              // the current local date-time stamp

// Events: carrier, idle limit and warnings, time limit and warnings, status bar; once a second.
void DoorDoEvents();
std::int32_t DoorSecondsIdle();
std::int32_t DoorSecondsLeft();

// Output: everything the caller sees goes through DoorWrite (pipe codes, backtick codes when
// DoorSession.KestWrite is set, drawn on the console, then sent to the caller).
void DoorWrite(const std::string& AText);
void DoorWriteLn();
void DoorWriteLn(const std::string& AText);
void DoorWriteCentered(const std::string& AText);
void DoorDisplayFile(const std::string& AFileName);
void DoorClrScr();
void DoorCursorUp(std::uint8_t ACount);
void DoorCursorDown(std::uint8_t ACount);
void DoorCursorLeft(std::uint8_t ACount);
void DoorCursorRight(std::uint8_t ACount);
void DoorCursorSave();
void DoorCursorRestore();
void DoorGotoX(std::uint8_t AX);
void DoorGotoY(std::uint8_t AY);
void DoorGotoXY(std::uint8_t AX, std::uint8_t AY);
void DoorTextAttr(std::uint8_t AAttr);
void DoorTextColour(std::uint8_t AColour);
void DoorTextBackground(std::uint8_t AColour);
void DoorTextColourAndBlink(std::uint8_t AColour, bool ABlink);

// Keys from the sysop's keyboard and the caller. Special keys come back as their PC scan code with
// DoorLastKey.Extended set (the caller's ESC [ A-D included).
bool DoorKeyPressed();
char DoorReadKey();

// Line editor.
inline constexpr std::string_view DOOR_INPUT_CHARS_ALL =
    " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~";
inline constexpr std::string_view DOOR_INPUT_CHARS_ALPHA =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
inline constexpr std::string_view DOOR_INPUT_CHARS_NUMERIC = "0123456789";
inline constexpr std::string_view DOOR_INPUT_CHARS_FILENAME =
    " !#$%&'()+,-.0123456789:;=@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_abcdefghijklmnopqrstuvwxyz{}~";

// Reads one line in a field at the cursor; Esc returns the default (cut to AMaxLength).
std::string DoorInput(const std::string& ADefaultText, std::string_view AAllowedCharacters,
                      char APasswordCharacter, std::uint8_t AVisibleLength, std::uint8_t AMaxLength,
                      std::uint8_t AAttr);

// Lightbar menu over DoorLiteBarOptions; true on Enter, false on Q. The choice is DoorLiteBarIndex.
bool DoorLiteBar(std::int32_t APageSize);
