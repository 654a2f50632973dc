// tunecraft: a door that plays ANSI music to the caller. Four D notes, a key, ten notes drawn from
// C, D and E, another key, and back to the BBS. Every music sequence sent is appended as one line
// to "tunecraft.log" in the working directory.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>

#include "door/door.h"

namespace {

std::int32_t I = 0;   // loop counter of the random notes
std::int32_t S1 = 0;  // the last random choice, 1 to 3

// Appends one line to the music log. The whole line goes to the file in one write on a descriptor
// opened for appending, so doors on several nodes sharing the directory never interleave inside a
// line. A log that cannot be opened or written (read-only directory, full disk) is skipped: the
// caller's music matters more than the log. Opened non-blocking, so a FIFO in the log's place never
// holds the door: without a reader the open fails, with a reader that takes nothing the write does
// (a line is shorter than PIPE_BUF, so it goes into a pipe whole or not at all).
void LogAnsiCommand(const std::string& Command) {
  const int fd = open("tunecraft.log", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return;
  const std::string line = Command + "\n";
  ssize_t written = 0;
  do {
    written = write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  // A disk that fills up in the middle of the line takes only its first bytes: cut them off again,
  // so the log never holds a partial sequence that the next line would run on from.
  if (written > 0 && static_cast<std::size_t>(written) < line.size()) {
    const off_t end = lseek(fd, 0, SEEK_CUR);
    if (end >= written) std::ignore = ftruncate(fd, end - written);
  }
  close(fd);
}

// ESC [ N, the music string in the notation of BASIC's PLAY statement, then SO (14). The caller's
// terminal plays it; the sysop's console shows the music string. Sent first, then logged.
void PlayAnsiSequence(const std::string& MusicString) {
  const std::string AnsiSequence = "\x1b[N" + MusicString + "\x0e";
  DoorWrite(AnsiSequence);
  LogAnsiCommand(AnsiSequence);
}

// One draw from a Mersenne Twister seeded once with 0, so every run plays the same tune.
std::int32_t RandomNote() {
  static std::mt19937 generator(0);
  const std::uint64_t u = generator();
  return static_cast<std::int32_t>((u * 3) >> 32);
}

void TestSound() {
  S1 = RandomNote() + 1;
  switch (S1) {
    case 1: PlayAnsiSequence("T120O4C16"); break;
    case 2: PlayAnsiSequence("T120O4D16"); break;
    default: PlayAnsiSequence("T120O4E16"); break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  DoorStartup(argc, argv);
  DoorClrScr();
  DoorWriteLn("Playing four notes");
  DoorWriteLn();
  for (int note = 0; note < 4; ++note) PlayAnsiSequence("T120O4D16");
  DoorWriteLn("Press any key to play some random notes");
  std::ignore = DoorReadKey();
  DoorWriteLn();
  for (I = 1; I <= 10; ++I) TestSound();
  DoorWriteLn("Your music has been played, press any key.");
  std::ignore = DoorReadKey();
  DoorShutdown();
  return 0;
}
