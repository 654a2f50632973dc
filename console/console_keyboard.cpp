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

namespace console_internal {
bool FRawActive = false;
int FRawFd = -1;
termios FSavedTermios{};
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

// Scan code for the final byte of an SS3 or parameterless CSI key, 0 for none.
std::uint8_t ScanForLetter(std::uint8_t AFinal) {
  switch (AFinal) {
    case 'A': return 72;  // up
    case 'B': return 80;  // down
    case 'C': return 77;  // right
    case 'D': return 75;  // left
    case 'H': return 71;  // Home
    case 'F': return 79;  // End
    case 'P': return 59;  // F1
    case 'Q': return 60;
    case 'R': return 61;
    case 'S': return 62;  // F4
    default: return 0;
  }
}

// Scan code for CSI <n> ~ (VT220-style editing and function keys), 0 for none.
std::uint8_t ScanForTilde(int ANumber) {
  switch (ANumber) {
    case 1: case 7: return 71;    // Home
    case 2: return 82;            // Insert
    case 3: return 83;            // Delete
    case 4: case 8: return 79;    // End
    case 5: return 73;            // Page Up
    case 6: return 81;            // Page Down
    case 11: case 12: case 13: case 14: case 15: return static_cast<std::uint8_t>(59 + ANumber - 11);  // F1-F5
    case 17: case 18: case 19: case 20: case 21: return static_cast<std::uint8_t>(64 + ANumber - 17);  // F6-F10
    case 23: return 133;          // F11
    case 24: return 134;          // F12
    default: return 0;
  }
}

enum TParse : std::uint8_t { psIncomplete, psDone };

// Decodes one key sequence at the start of FInBuf (which begins with ESC), consuming it.
TParse ParseEscape(bool AFlushPending) {
  if (FInLen < 2) {
    if (!AFlushPending) return psIncomplete;
    DropInput(1);
    PushKey(27);
    return psDone;
  }
  std::uint8_t Intro = FInBuf[1];
  if (Intro == 'O') {  // SS3 (ECMA-48 8.3.143): application cursor and F1-F4 keys
    if (FInLen < 3) {
      if (!AFlushPending) return psIncomplete;
      DropInput(FInLen);
      return psDone;
    }
    std::size_t End = 2;
    while (End < FInLen && End < 6 && FInBuf[End] >= '0' && FInBuf[End] <= '9') ++End;  // modifier digits
    if (End >= FInLen) {
      if (!AFlushPending) return psIncomplete;
      DropInput(FInLen);
      return psDone;
    }
    std::uint8_t Scan = ScanForLetter(FInBuf[End]);
    DropInput(End + 1);
    if (Scan != 0) PushExtended(Scan);
    return psDone;
  }
  if (Intro != '[') {  // Escape followed by an ordinary key: the Escape stands alone
    DropInput(1);
    PushKey(27);
    return psDone;
  }
  if (FInLen >= 3 && FInBuf[2] == '[') {  // Linux console F1-F5: ESC [ [ A..E
    if (FInLen < 4) {
      if (!AFlushPending) return psIncomplete;
      DropInput(FInLen);
      return psDone;
    }
    std::uint8_t Final = FInBuf[3];
    DropInput(4);
    if (Final >= 'A' && Final <= 'E') PushExtended(static_cast<std::uint8_t>(59 + Final - 'A'));
    return psDone;
  }
  // CSI (ECMA-48 5.4): parameter bytes 0x30-0x3F, intermediates 0x20-0x2F, one final 0x40-0x7E.
  std::size_t I = 2;
  int First = -1;
  bool Private = false;
  bool InFirst = true;
  while (I < FInLen && FInBuf[I] >= 0x30 && FInBuf[I] <= 0x3F) {
    std::uint8_t B = FInBuf[I];
    if (B >= '0' && B <= '9') {
      if (InFirst) First = std::min((First < 0 ? 0 : First) * 10 + (B - '0'), 9999);
    } else if (B == ';') {
      InFirst = false;  // later parameters are modifiers (Shift, Ctrl, Alt): the key is the same
    } else {
      Private = true;   // '<', '=', '>', '?', ':' mark reports and private sequences, not keys
    }
    ++I;
  }
  while (I < FInLen && FInBuf[I] >= 0x20 && FInBuf[I] <= 0x2F) ++I;
  if (I >= FInLen) {
    if (!AFlushPending && FInLen < FInBuf.size()) return psIncomplete;
    DropInput(FInLen);  // an unfinished or overlong sequence is swallowed
    return psDone;
  }
  std::uint8_t Final = FInBuf[I];
  if (Final < 0x40 || Final > 0x7E) {
    DropInput(I);  // malformed: the introducer and parameters go, the odd byte is read as a key
    return psDone;
  }
  DropInput(I + 1);
  if (Private) return psDone;
  std::uint8_t Scan = Final == '~' ? ScanForTilde(First) : ScanForLetter(Final);
  if (Scan != 0) PushExtended(Scan);
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
    } else if (B == FEraseChar) {
      PushKey(8);  // the terminal's Backspace (usually DEL) is the PC's Backspace
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
