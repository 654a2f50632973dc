#pragma once
// The sysop's local console: a PC text screen (cells of character and attribute, a window, a cursor,
// a current attribute) modelled on top of the terminal on standard input and output. Every drawing
// operation changes the model and its shadow buffer; the terminal is brought up to date in one
// write before any wait (key check, key read, delay) and at exit.
//
// Coordinates handed to and returned by the cursor operations are relative to the current window,
// 1-based. The window corners are whole-screen coordinates, 1-based.

#include <cstdint>
#include <string>
#include <vector>

// Size of the screen model: the terminal's size at start, never less than 80 x 25.
extern std::int32_t ConsoleScreenWidth;
extern std::int32_t ConsoleScreenHeight;

// Two bytes per cell, character then attribute, row by row from the top; the cell for column x,
// row y (whole screen, 1-based) starts at byte 2 * ((y - 1) * ConsoleScreenWidth + (x - 1)).
extern std::vector<std::uint8_t> ConsoleShadowBuffer;

// The current text attribute (PC layout: bits 0-3 foreground, 4-6 background, 7 blink). A plain
// byte: assign it directly; the next character drawn or cell cleared uses it.
extern std::uint8_t ConsoleTextAttr;

void ConsoleClrScr();                        // blanks the window in the current attribute, cursor to 1,1
void ConsoleClrEol();                        // blanks from the cursor to the window's right edge
void ConsoleGotoXY(std::uint8_t AX, std::uint8_t AY);  // ignored outside the window
std::uint8_t ConsoleWhereX();
std::uint8_t ConsoleWhereY();
void ConsoleWindow(std::uint8_t ALeft, std::uint8_t ATop, std::uint8_t ARight, std::uint8_t ABottom);
std::uint8_t ConsoleWindowLeft();
std::uint8_t ConsoleWindowTop();
std::uint8_t ConsoleWindowRight();
std::uint8_t ConsoleWindowBottom();

// Draws text at the cursor: CR to column 1, LF to column 1 of the next row (scrolling the window on
// its bottom row), backspace one column left without erasing; every other byte is a character cell.
// Writing the window's last column wraps at once, so the bottom-right cell scrolls the window.
void ConsoleWrite(const std::string& AText);

void ConsoleSetForeground(std::uint8_t AColour);  // background kept, blink cleared
void ConsoleSetBackground(std::uint8_t AColour);  // foreground and blink kept
void ConsoleHighVideo();                          // bright bit set
void ConsoleLowVideo();                           // bright and blink bits cleared
void ConsoleNormVideo();                          // attribute 7
void ConsoleInsLine();                            // blank row at the cursor, rows below move down
void ConsoleDelLine();                            // cursor's row removed, rows below move up
void ConsoleCursorOn();
void ConsoleCursorOff();

// Keys in the PC convention: ordinary keys as their byte; arrows, Home, End, Page Up/Down, Insert,
// Delete and F1-F12 as 0 followed by the scan code on the next call. A lone Escape arrives as 27,
// the terminal's erase character (Backspace, usually DEL) as 8, a NUL (Ctrl-@) as 0 then 3.
bool ConsoleKeyPressed();                    // never waits for a key
char ConsoleReadKey();                       // waits for the next key byte
// Standard input carries the caller's telnet stream, relayed by the BBS (a stdio session): a NUL
// right after a CR is the telnet line end CR NUL and is dropped, so it gives one Enter.
void ConsoleSetCallerInput(bool ACaller);
// Standard output is the caller's connection, relayed by the BBS (a stdio session): the model is
// kept (positions, the shadow buffer) but no longer drawn there, since the caller gets the door's
// own bytes through ConsoleWriteCaller, as a socket caller would: code page 437 as written, ANSI
// music and every other sequence unchanged, whatever the locale. A terminal there stops turning
// LF into CR LF.
void ConsoleSetCallerOutput(bool ACaller);
void ConsoleWriteCaller(const std::string& ABytes);  // sends the bytes to standard output as they are
void ConsoleDelay(std::uint16_t AMilliseconds);

// Sends everything drawn so far to the terminal (only what changed since the last flush).
void ConsoleFlush();

// The descriptor a key wait can poll for local keys, or -1 when the keyboard can give no more keys
// (standard input at end of file or unreadable): a wait then leaves the console out.
int ConsoleInputHandle();

// Milliseconds until a key that is still being put together (an Escape waiting for the rest of its
// sequence) is due without more input, or -1 when none is pending: a key wait sleeps no longer.
int ConsolePendingKeyMs();
