// The event check: once a second while the door waits for a key, carrier, idle limit and warnings,
// time limit and warnings, then the status bar, each through its hook.

#include <algorithm>
#include <cstdint>
#include <limits>

#include "door/door.h"
#include "door/door_internal.h"

namespace door_internal {
TTimeMark LastKeyMark;
TTimeMark TimeOnMark;
TTimeMark EventsMark;
}  // namespace door_internal

namespace {

// A hook of the pass is running. It may wait for a key, and every key wait runs the event check:
// the pass is not entered again from there (that would call the same hook again and again, each
// call one level deeper, until the stack runs out). Only the carrier is watched meanwhile.
bool FInPass = false;
bool FInHangup = false;                   // the hang-up hook is running
TDoorDateTime FHookCarrierTime = 0;       // the last carrier check made while a hook ran
door_internal::TTimeMark FHookCarrierMark;

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

void CallHangup() {
  FInHangup = true;
  DoorOnHangup();
  FInHangup = false;
}

bool HookCarrierCheckWanted() { return !FInHangup && DoorOnHangup && !DoorCarrier(); }

// While a hook of the pass waits for a key, a caller who hangs up is still let go: the hang-up hook
// runs from that wait, once a second like the pass's own carrier step (never from inside itself).
void CarrierCheckInsideHook() {
  if (!HookCarrierCheckWanted()) return;
  if (door_internal::SecondsSince(FHookCarrierTime, FHookCarrierMark) < 1) return;
  FHookCarrierTime = door_internal::TakeMark(FHookCarrierMark);
  CallHangup();
}

struct TPassGuard {
  TPassGuard() { FInPass = true; }
  ~TPassGuard() { FInPass = false; }
  TPassGuard(const TPassGuard&) = delete;
  TPassGuard& operator=(const TPassGuard&) = delete;
};

}  // namespace

namespace door_internal {

int MillisecondsToNextEvents() {
  if (!DoorSession.Events) return -1;
  if (FInPass) {
    if (!HookCarrierCheckWanted()) return -1;
    const std::int64_t Since = MillisecondsSince(FHookCarrierTime, FHookCarrierMark);
    return static_cast<int>(std::clamp<std::int64_t>(1000 - Since, 1, 1000));
  }
  const std::int64_t Since = MillisecondsSince(DoorSession.EventsTime, EventsMark);
  return static_cast<int>(std::clamp<std::int64_t>(1000 - Since, 1, 1000));
}

}  // namespace door_internal

std::int32_t DoorSecondsIdle() {
  return ClampToInt32(door_internal::SecondsSince(DoorLastKey.Time, door_internal::LastKeyMark));
}

std::int32_t DoorSecondsLeft() {
  return ClampToInt32(static_cast<std::int64_t>(DoorDropInfo.MaxSeconds) -
                      door_internal::SecondsSince(DoorSession.TimeOn, door_internal::TimeOnMark));
}

void DoorDoEvents() {
  if (!DoorSession.Events) return;
  if (FInPass) {
    CarrierCheckInsideHook();
    return;
  }
  if (door_internal::SecondsSince(DoorSession.EventsTime, door_internal::EventsMark) < 1) return;
  const TPassGuard Guard;

  if (!DoorCarrier() && DoorOnHangup) CallHangup();

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

  DoorSession.EventsTime = door_internal::TakeMark(door_internal::EventsMark);
}
