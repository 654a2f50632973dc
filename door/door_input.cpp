// Keys from the sysop's keyboard and from the caller. While the door waits it sleeps in poll on
// both descriptors until a key arrives or the next event check is due, so an idle node costs a
// wake-up a second, and a key is returned as soon as it arrives on either side.

#include <poll.h>

#include <algorithm>
#include <cstdint>
#include <tuple>

#include "comm/comm.h"
#include "console/console.h"
#include "console/console_keys.h"
#include "door/door.h"
#include "door/door_internal.h"

namespace {

bool RemoteKeys() { return !DoorLocal() && !DoorStdio(); }

// A byte of the caller's taken from the transport while reading a key sequence that turned out not
// to belong to it: it is the first byte of the next key. -1 for none.
int FHeld = -1;

bool RemoteByteWaiting() { return FHeld >= 0 || CommCharAvail(); }

std::uint8_t TakeRemoteByte() {
  if (FHeld < 0) return static_cast<std::uint8_t>(CommReadChar());
  const auto Byte = static_cast<std::uint8_t>(FHeld);
  FHeld = -1;
  return Byte;
}

// Sleeps until a key may be waiting on either side or the next event check is due. Descriptors
// that can bring nothing more (standard input or the socket at end of file) are left out, since
// they would stay readable and turn the wait into a busy loop.
void WaitForKeyOrEvents() {
  pollfd fds[2];
  nfds_t count = 0;
  const int console = ConsoleInputHandle();
  if (console >= 0) fds[count++] = {console, POLLIN, 0};
  if (RemoteKeys()) {
    const int remote = CommInputHandle();
    if (remote >= 0) fds[count++] = {remote, POLLIN, 0};
  }
  int timeout = door_internal::MillisecondsToNextEvents();
  // A local Escape still waiting for the rest of its key sequence becomes a key of its own after a
  // few milliseconds without more input: wake up for it.
  const int pending = ConsolePendingKeyMs();
  if (pending >= 0) timeout = timeout < 0 ? std::max(pending, 1) : std::min(timeout, std::max(pending, 1));
  // No keyboard left, no caller to listen to and no event check to run: nothing can ever end this
  // wait (a local session started with standard input at end of file), so the session ends as
  // every end the kit decides does, instead of sleeping for ever.
  if (count == 0 && timeout < 0) door_internal::EndProgram();
  std::ignore = poll(fds, count, timeout);
}

// Waits up to AMilliseconds for the caller's next byte; false when none arrived (or the caller
// has gone).
bool WaitForRemoteByte(int AMilliseconds) {
  const std::int64_t deadline = door_internal::MonotonicNs() + std::int64_t{AMilliseconds} * 1000000;
  for (;;) {
    if (CommCharAvail()) return true;
    const int remote = CommInputHandle();
    if (remote < 0) return false;
    const int left = static_cast<int>((deadline - door_internal::MonotonicNs() + 999999) / 1000000);
    if (left <= 0) return false;
    pollfd fd{remote, POLLIN, 0};
    std::ignore = poll(&fd, 1, left);
  }
}

// One key from the caller, whose first byte is waiting; false when the bytes give no key. DEL (127),
// which most clients send for their Backspace key, is the PC's Backspace (8). An ESC starts a key
// sequence when the rest of it follows, each byte within half a second of the one before: the
// sequences of the extended keys become their scan codes (Extended), every other complete
// sequence is dropped whole. An ESC alone, or followed by a byte that cannot start a sequence
// (that byte is the next key), is the Escape key; so is ESC O with nothing after it (the O is the
// next key). A sequence left unfinished is dropped.
bool ReadRemoteKey(char& AKey, bool& AExtended) {
  const std::uint8_t First = TakeRemoteByte();
  AExtended = false;
  if (First != 27) {
    AKey = static_cast<char>(First == 127 ? 8 : First);
    return true;
  }
  AKey = 27;
  TKeySequence Sequence{};
  std::uint8_t Last = 0;
  for (;;) {
    if (!WaitForRemoteByte(500)) {
      if (Sequence.Length == 0) return true;  // a lone Escape
      if (Sequence.Length == 1 && Last == 'O') {
        FHeld = 'O';
        return true;
      }
      return false;
    }
    Last = TakeRemoteByte();
    std::uint8_t Scan = 0;
    switch (KeySequenceFeed(Sequence, Last, Scan)) {
      case kqMore:
        continue;
      case kqKey:
        AKey = static_cast<char>(Scan);
        AExtended = true;
        return true;
      case kqNoKey:
        return false;
      case kqNotSequence:
        FHeld = Last;
        return Sequence.Length == 1;  // after a lone ESC the Escape is a key; otherwise the bytes go
    }
  }
}

}  // namespace

bool DoorKeyPressed() {
  DoorDoEvents();
  if (ConsoleKeyPressed()) return true;
  return RemoteKeys() && RemoteByteWaiting();
}

char DoorReadKey() {
  DoorLastKey.Location = lkNone;
  char key = 0;
  do {
    while (!DoorKeyPressed()) WaitForKeyOrEvents();

    if (ConsoleKeyPressed()) {
      key = ConsoleReadKey();
      if (key != 0) {
        DoorLastKey.Extended = false;
        DoorLastKey.Location = lkLocal;
      } else {
        key = ConsoleReadKey();
        if (!(DoorOnSysopKey && DoorOnSysopKey(key))) {
          DoorLastKey.Extended = true;
          DoorLastKey.Location = lkLocal;
        }
      }
    } else if (RemoteKeys() && RemoteByteWaiting()) {
      bool Extended = false;
      if (ReadRemoteKey(key, Extended)) {
        DoorLastKey.Extended = Extended;
        DoorLastKey.Location = lkRemote;
      }
    }
  } while (DoorLastKey.Location == lkNone);

  DoorLastKey.Ch = key;
  DoorLastKey.Time = door_internal::TakeMark(door_internal::LastKeyMark);
  return key;
}
