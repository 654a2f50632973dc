#pragma once
// Shared between the source files of the door unit; not part of the kit's public interface.

#include <cstdint>
#include <string>

#include "door/door.h"

namespace door_internal {

// The program's own file name without its directory, as the usage and login screens show it.
std::string ProgramFileName();

// Whole seconds between two date-time stamps: the absolute difference plus half a millisecond,
// rounded down to whole seconds.
std::int64_t SecondsBetween(TDoorDateTime AThen, TDoorDateTime ANow);

// Ends the program the way every end the kit decides does: exit code 0, so the exit step and the
// console's terminal restore run.
[[noreturn]] void EndProgram();

}  // namespace door_internal
