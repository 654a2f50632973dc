// The event check: once a second while the door waits for a key, carrier, idle limit and warnings,
// time limit and warnings, then the status bar, each through its hook.

#include <algorithm>
#include <cstdint>
#include <limits>

#include "door/door.h"
#include "door/door_internal.h"

namespace {

std::int32_t ClampToInt32(std::int64_t AValue) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      AValue, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// A warning is due when exactly 60 * m + 1 seconds remain, m from 0 to 5. The remainder keeps the
// sign of the count, so nothing is due once the count is negative.
bool WarningDue(std::int64_t ARemaining, std::uint8_t& AMinutes) {
  if (ARemaining % 60 != 1 || ARemaining / 60 > 5) return false;
  AMinutes = static_cast<std::uint8_t>(ARemaining / 60);
  return true;
}

}  // namespace

std::int32_t DoorSecondsIdle() {
  return ClampToInt32(door_internal::SecondsBetween(DoorLastKey.Time, DoorNow()));
}

std::int32_t DoorSecondsLeft() {
  return ClampToInt32(static_cast<std::int64_t>(DoorDropInfo.MaxSeconds) -
                      door_internal::SecondsBetween(DoorSession.TimeOn, DoorNow()));
}

void DoorDoEvents() {
  if (!DoorSession.Events) return;
  if (door_internal::SecondsBetween(DoorSession.EventsTime, DoorNow()) < 1) return;

  if (!DoorCarrier() && DoorOnHangup) DoorOnHangup();

  if (DoorSession.DoIdleCheck && DoorSecondsIdle() > DoorSession.MaxIdle && DoorOnTimeOut) {
    DoorOnTimeOut();
  }
  std::uint8_t minutes = 0;
  if (DoorSession.DoIdleCheck &&
      WarningDue(static_cast<std::int64_t>(DoorSession.MaxIdle) - DoorSecondsIdle(), minutes) &&
      DoorOnTimeOutWarning) {
    DoorOnTimeOutWarning(minutes);
  }

  if (DoorSecondsLeft() < 1 && DoorOnTimeUp) DoorOnTimeUp();
  if (WarningDue(DoorSecondsLeft(), minutes) && DoorOnTimeUpWarning) DoorOnTimeUpWarning(minutes);

  if (DoorOnStatusBar && !DoorLocal() && !DoorStdio()) DoorOnStatusBar();

  DoorSession.EventsTime = DoorNow();
}
