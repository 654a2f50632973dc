// The door menu a caller sees when the server has several doors and the caller named none: a small
// numbered box drawn with ANSI colours and code page 437 line characters, as a door would draw it.

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "tools/launcher/launcher_internal.h"

namespace launcher {

namespace {

constexpr int kMenuIdleSeconds = 120;  // a caller who presses nothing for this long is hung up on
constexpr std::size_t kMenuDoors = 9;  // one digit key each
constexpr std::size_t kInner = 36;     // columns inside the box

// Code page 437 box drawing: double lines outside, a single line under the title.
const std::string kTopLeft = "\xC9", kTopRight = "\xBB", kBottomLeft = "\xC8", kBottomRight = "\xBC";
const std::string kDouble = "\xCD", kSide = "\xBA", kTeeLeft = "\xC7", kTeeRight = "\xB6", kSingle = "\xC4";

std::string Repeat(const std::string& AText, std::size_t ACount) {
  std::string Out;
  for (std::size_t I = 0; I < ACount; ++I) Out += AText;
  return Out;
}

std::string MenuPicture(std::size_t ACount) {
  const std::string Frame = "\x1b[0;36m", Title = "\x1b[1;37m", Key = "\x1b[1;33m", Text = "\x1b[0;37m";
  std::string Out = "\x1b[0m\x1b[2J\x1b[H\r\n";
  Out += "  " + Frame + kTopLeft + Repeat(kDouble, kInner) + kTopRight + "\r\n";
  const std::string Heading = "Doors";
  const std::size_t Left = (kInner - Heading.size()) / 2;
  Out += "  " + Frame + kSide + Title + std::string(Left, ' ') + Heading +
         std::string(kInner - Left - Heading.size(), ' ') + Frame + kSide + "\r\n";
  Out += "  " + Frame + kTeeLeft + Repeat(kSingle, kInner) + kTeeRight + "\r\n";
  for (std::size_t I = 0; I < ACount; ++I) {
    std::string Code = FOptions.Doors[I].Code.substr(0, kInner - 7);
    Out += "  " + Frame + kSide + "  " + Key + std::to_string(I + 1) + Text + "  " + Code +
           std::string(kInner - 5 - Code.size(), ' ') + Frame + kSide + "\r\n";
  }
  Out += "  " + Frame + kBottomLeft + Repeat(kDouble, kInner) + kBottomRight + "\r\n\r\n";
  Out += "  " + Text + "Press " + Key + "1" + Text + (ACount > 1 ? "-" + Key + std::to_string(ACount) + Text : "") +
         " for a door, " + Key + "Q" + Text + " to hang up: ";
  return Out;
}

bool SendAll(int ASocket, const std::string& AText) {
  std::size_t Done = 0;
  while (Done < AText.size()) {
    const ssize_t N = send(ASocket, AText.data() + Done, AText.size() - Done, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Done += static_cast<std::size_t>(N);
  }
  return true;
}

}  // namespace

int ChooseDoor(int ASocket, TCallerKind AKind) {
  const std::size_t Count = std::min(FOptions.Doors.size(), kMenuDoors);
  if (!SendAll(ASocket, MenuPicture(Count))) return -1;
  TTelnetInput Telnet;
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kMenuIdleSeconds);
  for (;;) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now()).count();
    if (Left <= 0) {
      SendAll(ASocket, "\x1b[0m\r\n  No key for two minutes. Goodbye.\r\n");
      return -1;
    }
    pollfd Pfd{ASocket, POLLIN, 0};
    const int Ready = poll(&Pfd, 1, static_cast<int>(Left));
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready < 0) return -1;
    if (Ready == 0) continue;
    // A byte at a time: keys typed after the choice stay on the socket for the door.
    unsigned char Buf[1];
    const ssize_t Got = recv(ASocket, Buf, sizeof Buf, 0);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) return -1;  // the caller hung up
    std::string Keys;
    if (SpeaksTelnet(AKind)) Telnet.Feed(Buf, static_cast<std::size_t>(Got), Keys);
    else Keys.assign(reinterpret_cast<const char*>(Buf), static_cast<std::size_t>(Got));
    for (char K : Keys) {
      if (K >= '1' && K < static_cast<char>('1' + Count)) {
        SendAll(ASocket, "\x1b[0m\x1b[2J\x1b[H");
        return K - '1';
      }
      if (K == 'q' || K == 'Q') {
        SendAll(ASocket, "\x1b[0m\r\n  Goodbye.\r\n");
        return -1;
      }
    }
    Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kMenuIdleSeconds);
  }
}

}  // namespace launcher
