// The console's keyboard: raw mode on the terminal, and the decoder that turns the terminal's key
// sequences into PC keys (0 and a scan code for extended keys); the waits for a key and the delay.

#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "console/console.h"
#include "console/console_internal.h"
#include "console/console_keys.h"

namespace console_internal {
bool FRawActive = false;
int FRawFd = -1;
termios FSavedTermios{};
bool FOutPostOff = false;
int FOutPostFd = -1;
termios FSavedOutTermios{};
}  // namespace console_internal

using namespace console_internal;

namespace {

constexpr int kEscapeWaitMs = 10;     // how long a lone Escape waits for the rest of a key sequence

std::uint8_t FEraseChar = 0;              // the terminal's erase character (VERASE), delivered as 8; 0 for none
bool FCallerInput = false;                // standard input is the caller's telnet stream (a stdio session)
bool FAfterCr = false;                    // the last byte decoded was a CR
bool FInEof = false;
std::array<std::uint8_t, 256> FInBuf{};   // bytes read, not yet decoded
std::size_t FInLen = 0;
std::array<std::uint8_t, 64> FKeys{};     // decoded key bytes, ring
std::size_t FKeyHead = 0, FKeyCount = 0;
timespec FEscSince{};                     // when the pending Escape arrived


timespec Now() {
  timespec T{};
  clock_gettime(CLOCK_MONOTONIC, &T);
  return T;
}

long ElapsedMs(const timespec& ASince) {
  timespec T = Now();
  return (T.tv_sec - ASince.tv_sec) * 1000 + (T.tv_nsec - ASince.tv_nsec) / 1000000;
}

void PushKey(std::uint8_t AKey) {
  FKeys[(FKeyHead + FKeyCount) % FKeys.size()] = AKey;
  ++FKeyCount;
}

void PushExtended(std::uint8_t AScan) {
  PushKey(0);
  PushKey(AScan);
}

void DropInput(std::size_t ACount) {
  std::memmove(FInBuf.data(), FInBuf.data() + ACount, FInLen - ACount);
  FInLen -= ACount;
}

enum TParse : std::uint8_t { psIncomplete, psDone };

// Decodes one key sequence at the start of FInBuf (which begins with ESC), consuming it. A
// sequence still unfinished when its wait is over (or when it fills the buffer) is swallowed, a
// lone Escape is the Escape key.
TParse ParseEscape(bool AFlushPending) {
  TKeySequence Sequence{};
  for (std::size_t I = 1; I < FInLen; ++I) {
    std::uint8_t Scan = 0;
    switch (KeySequenceFeed(Sequence, FInBuf[I], Scan)) {
      case kqMore:
        continue;
      case kqKey:
        DropInput(I + 1);
        PushExtended(Scan);
        return psDone;
      case kqNoKey:
        DropInput(I + 1);
        return psDone;
      case kqNotSequence:
        if (I == 1) {
          DropInput(1);
          PushKey(27);
        } else {
          DropInput(I);  // malformed: the introducer and parameters go, the odd byte is read as a key
        }
        return psDone;
    }
  }
  if (!AFlushPending && FInLen < FInBuf.size()) return psIncomplete;
  if (FInLen == 1) PushKey(27);
  DropInput(FInLen);
  return psDone;
}

void Decode(bool AFlushPending) {
  while (FInLen > 0 && FKeyCount + 2 <= FKeys.size()) {  // a full queue leaves the rest unread
    const std::uint8_t B = FInBuf[0];
    if (B == 27) {
      if (ParseEscape(AFlushPending) == psIncomplete) return;
      FAfterCr = false;
      continue;
    }
    DropInput(1);
    if (B == 0) {
      // CR NUL is a telnet line end (RFC 854): one Enter. Any other NUL is Ctrl-@ (Ctrl-Space,
      // Ctrl-2), which a PC keyboard gives as 0 and scan code 3, so a 0 is always followed by a scan code.
      if (!(FCallerInput && FAfterCr)) PushExtended(3);
    } else if (B == FEraseChar || (FCallerInput && B == 127)) {
      // The terminal's Backspace (usually DEL) is the PC's Backspace; so is a caller's DEL, which
      // most clients send for their Backspace key whatever the terminal's settings here.
      PushKey(8);
    } else {
      PushKey(B);
    }
    FAfterCr = B == 13;
  }
}

// Reads what the keyboard has, waiting at most ATimeoutMs (-1: until something happens).
void Pump(int ATimeoutMs) {
  if (FInEof || FInLen == FInBuf.size()) return;
  pollfd P{FIn, POLLIN, 0};
  int R = poll(&P, 1, ATimeoutMs);
  if (R <= 0) return;
  if ((P.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) return;
  ssize_t N = read(FIn, FInBuf.data() + FInLen, FInBuf.size() - FInLen);
  if (N > 0) {
    bool HadEscape = FInLen > 0 && FInBuf[0] == 27;
    FInLen += static_cast<std::size_t>(N);
    if (!HadEscape) FEscSince = Now();
    return;
  }
  if (N < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  FInEof = true;  // end of file, or a keyboard that cannot be read: no more keys will come
}

// Brings queued keys up to date; a pending Escape stands alone once its wait is over.
void Gather(int ATimeoutMs) {
  Pump(ATimeoutMs);
  Decode(false);
  if (FKeyCount + 2 <= FKeys.size() && FInLen > 0 && FInBuf[0] == 27 && (FInEof || ElapsedMs(FEscSince) >= kEscapeWaitMs)) Decode(true);
}

bool PendingEscape() { return FInLen > 0 && FInBuf[0] == 27; }

}  // namespace

namespace console_internal {

void LeaveRawMode() {
  // Standard output's terminal first: when it is the keyboard's too, the keyboard's settings from
  // before raw mode are the last word.
  if (FOutPostOff) tcsetattr(FOutPostFd, TCSADRAIN, &FSavedOutTermios);
  FOutPostOff = false;
  if (FRawActive) tcsetattr(FRawFd, TCSADRAIN, &FSavedTermios);
  FRawActive = false;
  FEraseChar = 0;
}

void EnterRawMode() {
  if (!isatty(FIn) || tcgetattr(FIn, &FSavedTermios) != 0) return;
  termios Raw = FSavedTermios;
  // Single unechoed key presses, no signals from the keyboard (Ctrl-C is a key), 8-bit clean.
  Raw.c_iflag &= static_cast<tcflag_t>(~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON));
  Raw.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL | ICANON | ISIG | IEXTEN));
  Raw.c_cflag &= static_cast<tcflag_t>(~(CSIZE | PARENB));
  Raw.c_cflag |= CS8;
  Raw.c_cc[VMIN] = 1;
  Raw.c_cc[VTIME] = 0;
  if (tcsetattr(FIn, TCSADRAIN, &Raw) == 0) {
    FRawActive = true;
    FRawFd = FIn;
  }
  // The erase character as the terminal had it at start: a control byte other than those that
  // carry keys of their own (NUL, LF, CR, ESC); 127 on xterm, the Linux console and a new pty.
  const cc_t Erase = FSavedTermios.c_cc[VERASE];
  const bool Control = Erase == 127 || (Erase < 32 && Erase != 0 && Erase != 10 && Erase != 13 && Erase != 27);
  FEraseChar = Control ? static_cast<std::uint8_t>(Erase) : 0;
}

void ResetKeyboard() {
  FCallerInput = false;
  FAfterCr = false;
  FInEof = false;
  FInLen = 0;
  FKeyHead = FKeyCount = 0;
}

}  // namespace console_internal

bool ConsoleKeyPressed() {
  EnsureInitialised();
  ConsoleFlush();
  Gather(0);
  return FKeyCount > 0;
}

char ConsoleReadKey() {
  EnsureInitialised();
  for (;;) {
    ConsoleFlush();
    Gather(0);
    if (FKeyCount > 0) break;
    if (PendingEscape()) {
      long Left = kEscapeWaitMs - ElapsedMs(FEscSince);
      Gather(static_cast<int>(std::clamp(Left, 1L, static_cast<long>(kEscapeWaitMs))));
    } else if (FInEof) {
      // The keyboard is gone and no key will ever come: sleep until a signal ends the program
      // (or a resize asks for a redraw) instead of spinning.
      std::ignore = poll(nullptr, 0, -1);
    } else {
      Gather(-1);
    }
  }
  std::uint8_t Key = FKeys[FKeyHead];
  FKeyHead = (FKeyHead + 1) % FKeys.size();
  --FKeyCount;
  return static_cast<char>(Key);
}

void ConsoleDelay(std::uint16_t AMilliseconds) {
  EnsureInitialised();
  ConsoleFlush();
  timespec Left{AMilliseconds / 1000, static_cast<long>(AMilliseconds % 1000) * 1000000L};
  while (nanosleep(&Left, &Left) != 0 && errno == EINTR) ConsoleFlush();  // a resize redraws at once
}

int ConsolePendingKeyMs() {
  EnsureInitialised();
  if (!PendingEscape()) return -1;
  return static_cast<int>(std::clamp(kEscapeWaitMs - ElapsedMs(FEscSince), 0L, static_cast<long>(kEscapeWaitMs)));
}

int ConsoleInputHandle() {
  EnsureInitialised();
  if (FInEof && FKeyCount == 0 && FInLen == 0) return -1;
  return FIn;
}

void ConsoleSetCallerInput(bool ACaller) {
  EnsureInitialised();
  FCallerInput = ACaller;
}
