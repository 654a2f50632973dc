// The output hub and the conveniences built on it. Every byte the caller sees passes DoorWrite:
// pipe codes become ANSI, backtick codes are carried out when the session asks for it, and each
// run of text is drawn on the sysop's console before the same bytes are sent to the caller.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>

#include "ansi/ansi.h"
#include "comm/comm.h"
#include "console/console.h"
#include "door/door.h"
#include "door/door_internal.h"
#include "stringutils/stringutils.h"

namespace {

bool SendsToCaller() { return !DoorLocal() && !DoorStdio(); }

// The console draws the text; the caller gets the same bytes: through the transport, or in a stdio
// session on standard output, which the BBS relays (it escapes byte 255 for telnet itself).
void Output(const std::string& AText) {
  AnsiWrite(AText);
  if (SendsToCaller()) {
    CommWrite(AText);
  } else if (door_internal::StdioCaller) {
    ConsoleWriteCaller(AText);
  }
}

// "`k": a fixed more prompt of eight cells, a key, then the eight cells blanked again.
void MorePrompt() {
  DoorWrite("`r0  `2<`0MORE`2>");
  std::ignore = DoorReadKey();
  DoorWrite(std::string(8, '\b') + std::string(8, ' ') + std::string(8, '\b'));
}

// "`|": nine frames of a turning bar, 100 ms each, then the cell blanked.
void Spinner() {
  static constexpr char kFrames[] = {'|', '\\', '-', '/', '|', '\\', '-', '/', '|'};
  std::string text;
  for (char frame : kFrames) {
    text += frame;
    text += "`w`d";
  }
  text += " `d";
  DoorWrite(text);
}

// Carries out the two-character backtick code with the given second character; false when there
// is no such code.
bool KestCode(char ACode) {
  struct Colour {
    char Code;
    std::uint8_t Colour;
    bool Blink;
  };
  static constexpr Colour kColours[] = {
      {'1', 1, false},  {'2', 2, false},  {'3', 3, false},  {'4', 4, false}, {'5', 5, false},
      {'6', 6, false},  {'7', 7, false},  {'8', 8, false},  {'9', 9, false}, {'0', 10, false},
      {'!', 11, false}, {'@', 12, false}, {'#', 13, false}, {'$', 14, false}, {'%', 15, false},
      {'*', 0, false},  {'b', 4, true},   {'y', 14, true}};
  for (const auto& colour : kColours) {
    if (colour.Code == ACode) {
      DoorTextColourAndBlink(colour.Colour, colour.Blink);
      return true;
    }
  }
  switch (ACode) {
    case 'c':
      DoorTextAttr(7);
      DoorClrScr();
      DoorWrite("\r\n\r\n");
      return true;
    case 'd':
      DoorWrite("\b");
      return true;
    case 'x':
      DoorWrite(" ");
      return true;
    case '\\':
      DoorWrite("\r\n");
      return true;
    case 'l':
      ConsoleDelay(500);
      return true;
    case 'w':
      ConsoleDelay(100);
      return true;
    case 'k':
      MorePrompt();
      return true;
    case '|':
      Spinner();
      return true;
    default:
      return false;
  }
}

// Backtick interpretation: plain runs are written by recursive calls, each code by its action, in
// text order. A recognised pair takes two characters, "`r" and any third character three, every
// other pair starting with a backtick two; a lone backtick at the very end is dropped.
void InterpretKest(const std::string& AText) {
  const std::size_t size = AText.size();
  std::size_t pos = 0;
  while (pos < size) {
    if (AText[pos] != '`') {
      const std::size_t next = AText.find('`', pos);
      const std::size_t end = next == std::string::npos ? size : next;
      DoorWrite(AText.substr(pos, end - pos));
      pos = end;
    }
    while (pos < size && AText[pos] == '`') {
      if (size - pos == 1) {
        pos = size;
        break;
      }
      const char code = AText[pos + 1];
      if (!KestCode(code) && size - pos >= 3 && code == 'r') {
        const char colour = AText[pos + 2];
        if (colour >= '0' && colour <= '7') DoorTextBackground(static_cast<std::uint8_t>(colour - '0'));
        pos += 1;
      }
      pos += 2;
    }
  }
}

}  // namespace

void DoorWrite(const std::string& AText) {
  const std::string text = AText.find('|') != std::string::npos ? PipeToAnsi(AText) : AText;
  if (DoorSession.KestWrite && text.size() >= 2 && text.find('`') != std::string::npos) {
    InterpretKest(text);
  } else {
    Output(text);
  }
}

void DoorWriteLn() { DoorWrite("\r\n"); }

void DoorWriteLn(const std::string& AText) { DoorWrite(AText + "\r\n"); }

void DoorWriteCentered(const std::string& AText) {
  const std::size_t width = DoorSession.KestWrite ? KestStrip(AText).size() : AText.size();
  const long long column = (80 - static_cast<long long>(width)) / 2;
  // A text wider than the screen starts in the first column.
  DoorGotoX(column < 0 ? 1 : static_cast<std::uint8_t>(column));
  DoorWrite(AText);
}

void DoorClrScr() { DoorWrite(AnsiClrScr()); }
void DoorCursorUp(std::uint8_t ACount) { DoorWrite(AnsiCursorUp(ACount)); }
void DoorCursorDown(std::uint8_t ACount) { DoorWrite(AnsiCursorDown(ACount)); }
void DoorCursorLeft(std::uint8_t ACount) { DoorWrite(AnsiCursorLeft(ACount)); }
void DoorCursorRight(std::uint8_t ACount) { DoorWrite(AnsiCursorRight(ACount)); }
void DoorCursorSave() { DoorWrite(AnsiCursorSave()); }
void DoorCursorRestore() { DoorWrite(AnsiCursorRestore()); }
void DoorGotoX(std::uint8_t AX) { DoorWrite(AnsiGotoX(AX)); }
void DoorGotoY(std::uint8_t AY) { DoorWrite(AnsiGotoY(AY)); }
void DoorGotoXY(std::uint8_t AX, std::uint8_t AY) { DoorWrite(AnsiGotoXY(AX, AY)); }
void DoorTextAttr(std::uint8_t AAttr) { DoorWrite(AnsiTextAttr(AAttr)); }
void DoorTextColour(std::uint8_t AColour) { DoorWrite(AnsiTextColour(AColour)); }
void DoorTextBackground(std::uint8_t AColour) { DoorWrite(AnsiTextBackground(AColour)); }

void DoorTextColourAndBlink(std::uint8_t AColour, bool ABlink) {
  DoorWrite(AnsiTextColour(AColour));
  DoorWrite(AnsiBlink(ABlink));
}

namespace {

// Where the lines of a displayed file go. Without backtick codes every line is drawn on the console
// as DoorWrite would draw it, and the bytes for the caller are gathered and sent in large blocks:
// the caller receives exactly what line-by-line writes would send, in the same order, each byte
// drawn locally before it is sent, but a big file costs a few sends instead of two per line.
class FileSink {
 public:
  ~FileSink() { Flush(); }
  FileSink() = default;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  void Line(const std::string& ALine) {
    if (DoorSession.KestWrite) {
      DoorWrite(ALine);
      return;
    }
    const std::string text = ALine.find('|') != std::string::npos ? PipeToAnsi(ALine) : ALine;
    Emit(text);
  }

  void Break() {
    if (DoorSession.KestWrite) {
      DoorWriteLn();
      return;
    }
    Emit("\r\n");
  }

  void Flush() {
    if (!FPending.empty()) {
      CommWrite(FPending);
      FPending.clear();
    }
  }

 private:
  static constexpr std::size_t kSendBlock = 64 * 1024;

  void Emit(const std::string& AText) {
    AnsiWrite(AText);
    if (!SendsToCaller()) return;
    FPending += AText;
    if (FPending.size() >= kSendBlock) Flush();
  }

  std::string FPending;
};

void ReportFileError(const std::string& AFileName, int AError) {
  DoorWriteLn("Error reading \"" + AFileName + "\": " + std::strerror(AError));
  DoorWriteLn("Hit a key to continue");
  std::ignore = DoorReadKey();
}

}  // namespace

void DoorDisplayFile(const std::string& AFileName) {
  // Opened without waiting (a FIFO without a writer must not hang the door), then read blocking.
  const int fd = open(AFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    ReportFileError(AFileName, errno);
    return;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) std::ignore = fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  int error = 0;
  {
    FileSink sink;
    std::string line;
    bool breakDue = false;  // a line has ended; its break is written once more bytes follow
    bool skipLF = false;    // the last line ended in CR: an LF right after it belongs to it
    char block[64 * 1024];
    for (;;) {
      // A slow source (a FIFO, a pipe, a device) gets no more bytes for now: the caller and the
      // sysop see the lines read so far before the door waits for the rest. A regular file is
      // always ready, so it keeps being sent in large blocks.
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, 0) == 0) {
        sink.Flush();
        ConsoleFlush();
      }
      const ssize_t got = read(fd, block, sizeof block);
      if (got < 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
      }
      if (got == 0) break;
      const char* next = block;
      const char* const end = block + got;
      while (next < end) {
        if (skipLF) {
          skipLF = false;
          if (*next == '\n') {
            ++next;
            continue;
          }
        }
        if (breakDue) {
          sink.Break();
          breakDue = false;
        }
        // The rest of the line up to its end (LF, CR LF or a lone CR), or to the end of the block.
        const char* stop = next;
        while (stop < end && *stop != '\r' && *stop != '\n') ++stop;
        line.append(next, stop);
        if (stop == end) break;
        sink.Line(line);
        line.clear();
        breakDue = true;
        skipLF = *stop == '\r';
        next = stop + 1;
      }
    }
    if (!line.empty()) sink.Line(line);
  }
  close(fd);
  if (error != 0) ReportFileError(AFileName, error);
}
