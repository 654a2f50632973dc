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
extern void (*DoorOnHangup)();        // the caller is gone
extern void (*DoorOnLocalLogin)();    // asks the sysop's name in a local session
extern void (*DoorOnStatusBar)();     // redraws row 25 once a second in a remote session
extern bool (*DoorOnSysopKey)(char AKey);  // a local special key; true when the sysop function took it
extern void (*DoorOnTimeOut)();       // idle longer than DoorSession.MaxIdle
extern void (*DoorOnTimeOutWarning)(std::uint8_t AMinutes);  // AMinutes 5..0 at 301, 241, ..., 1 s before the idle limit
extern void (*DoorOnTimeUp)();        // no time left
extern void (*DoorOnTimeUpWarning)(std::uint8_t AMinutes);  // AMinutes 5..0 at 301, 241, ..., 1 s left
extern void (*DoorOnUsage)();         // the command line sets up no session

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
void DoorClose(bool ADisconnect);    // true hangs up on the caller first; false only releases the socket
bool DoorLocal();                     // DoorDropInfo.ComType is 0: the sysop's console only
bool DoorStdio();                     // started with -X: all traffic on standard input and output
bool DoorCarrier();                   // the caller is still there (always true locally and in stdio)
bool DoorOpenComm();                  // opens the socket DoorDropInfo names; true when nothing needs opening
TDoorDateTime DoorNow();              // the current local date-time stamp

// Events: carrier, idle limit and warnings, time limit and warnings, status bar; once a second.
void DoorDoEvents();                  // also runs on every key check; the application may call it too
std::int32_t DoorSecondsIdle();       // since the last key DoorReadKey returned
std::int32_t DoorSecondsLeft();       // MaxSeconds minus the time since start; negative once used up

// Output: everything the caller sees goes through DoorWrite (pipe codes, backtick codes when
// DoorSession.KestWrite is set, drawn on the console, then sent to the caller).
void DoorWrite(const std::string& AText);
void DoorWriteLn();                   // a line break, CR LF
void DoorWriteLn(const std::string& AText);
void DoorWriteCentered(const std::string& AText);  // centred on 80 columns of the current row, no line break
// Lines joined by CR LF, none after the last; an unreadable file shows the error and waits for a key.
void DoorDisplayFile(const std::string& AFileName);
void DoorClrScr();
void DoorCursorUp(std::uint8_t ACount);
void DoorCursorDown(std::uint8_t ACount);
void DoorCursorLeft(std::uint8_t ACount);
void DoorCursorRight(std::uint8_t ACount);
void DoorCursorSave();
void DoorCursorRestore();
void DoorGotoX(std::uint8_t AX);      // 255 columns left, then right: needs no current position
void DoorGotoY(std::uint8_t AY);      // 255 rows up, then down
void DoorGotoXY(std::uint8_t AX, std::uint8_t AY);
void DoorTextAttr(std::uint8_t AAttr);  // a PC attribute byte; never sends blink
void DoorTextColour(std::uint8_t AColour);
void DoorTextBackground(std::uint8_t AColour);
void DoorTextColourAndBlink(std::uint8_t AColour, bool ABlink);  // two writes: colour, then blink on or off

// Keys from the sysop's keyboard and the caller. Special keys come back as their PC scan code with
// DoorLastKey.Extended set: the caller's key sequences (arrows, Home, End, Insert, Delete, Page
// Up/Down, F1-F12 in the forms clients send) decoded as the sysop's keys are; any other complete
// sequence gives no key. DEL (127), most clients' Backspace, arrives as Backspace (8).
bool DoorKeyPressed();                // runs the event check; never waits
char DoorReadKey();                   // waits for a key from either side; the sysop's keyboard first

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
