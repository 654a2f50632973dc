#pragma once
// Shared between the source files of the door unit; not part of the kit's public interface.

#include <cstdint>
#include <string>

#include "door/door.h"

namespace door_internal {

// The program's own file name without its directory, as the usage and login screens show it.
std::string ProgramFileName();

// Elapsed time runs on the monotonic clock: a difference of two local-time stamps jumps by an hour
// at a change of daylight-saving time. Each stamp the kit takes for elapsed-time arithmetic (the
// last key, the session's start, the last events pass) is remembered with the monotonic reading
// taken together with it; the stamp itself stays local time, for showing and storing.
struct TTimeMark {
  TDoorDateTime Stamp = 0;
  std::int64_t MonotonicNs = 0;
  bool Taken = false;
};
extern TTimeMark LastKeyMark;  // DoorLastKey.Time
extern TTimeMark TimeOnMark;   // DoorSession.TimeOn
extern TTimeMark EventsMark;   // DoorSession.EventsTime

std::int64_t MonotonicNs();
// The current local date-time stamp, remembered in AMark with the monotonic reading.
TDoorDateTime TakeMark(TTimeMark& AMark);
// Milliseconds since AStamp, half a millisecond rounded up: on the monotonic clock when AStamp is
// the stamp AMark remembers, otherwise (0, or a stamp the application set itself) from local time.
std::int64_t MillisecondsSince(TDoorDateTime AStamp, const TTimeMark& AMark);
inline std::int64_t SecondsSince(TDoorDateTime AStamp, const TTimeMark& AMark) {
  return MillisecondsSince(AStamp, AMark) / 1000;
}

// How long a key wait may sleep before the event check has work to do, or -1 when it has none
// (events off, or a hook of the pass is running and only a lost carrier could need the check).
int MillisecondsToNextEvents();

// A stdio session past its start: standard output is the caller's, and the door's bytes go there
// as they are instead of the console's picture.
extern bool StdioCaller;

// Ends the program the way every end the kit decides does: exit code 0, so the exit step and the
// console's terminal restore run.
[[noreturn]] void EndProgram();

}  // namespace door_internal
