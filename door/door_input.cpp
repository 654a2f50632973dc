// Keys from the sysop's keyboard and from the caller. While the door waits it sleeps in poll on
// both descriptors until a key arrives or the next event check is due, so an idle node costs a
// wake-up a second, and a key is returned as soon as it arrives on either side.

#include <poll.h>

#include <algorithm>
#include <cstdint>
#include <tuple>

#include "comm/comm.h"
#include "console/console.h"
#include "door/door.h"
#include "door/door_internal.h"

namespace {

bool RemoteKeys() { return !DoorLocal() && !DoorStdio(); }

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

}  // namespace

bool DoorKeyPressed() {
  DoorDoEvents();
  if (ConsoleKeyPressed()) return true;
  return RemoteKeys() && CommCharAvail();
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
    } else if (RemoteKeys() && CommCharAvail()) {
      key = CommReadChar();
      if (key != 27) {
        DoorLastKey.Extended = false;
        DoorLastKey.Location = lkRemote;
      } else if (!WaitForRemoteByte(500) || CommPeekChar() != '[') {
        // ESC alone, or ESC followed by anything but "[" (which stays for the next call).
        DoorLastKey.Extended = false;
        DoorLastKey.Location = lkRemote;
      } else {
        std::ignore = CommReadChar();
        if (WaitForRemoteByte(500)) {
          const char final = CommReadChar();
          char scan = 0;
          switch (final) {
            case 'A': scan = 72; break;  // up
            case 'B': scan = 80; break;  // down
            case 'C': scan = 77; break;  // right
            case 'D': scan = 75; break;  // left
            default: break;
          }
          if (scan != 0) {
            key = scan;
            DoorLastKey.Extended = true;
            DoorLastKey.Location = lkRemote;
          }
        }
        // Any other sequence is dropped: ESC, "[" and that byte give no key.
      }
    }
  } while (DoorLastKey.Location == lkNone);

  DoorLastKey.Ch = key;
  DoorLastKey.Time = door_internal::TakeMark(door_internal::LastKeyMark);
  return key;
}
