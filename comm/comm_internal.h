#pragma once
// Kit-internal parts of the transport used by the door unit; not part of the installed interface.

#include <cstddef>

// Called before a send that cannot complete at once starts to wait for the caller (at most once
// per write): the door unit brings the sysop's terminal up to date here, so everything drawn
// before the write is on the console while the caller is slow to take it. May be empty.
extern void (*CommOnSendWait)();

// For the door's handler of the signals that end a run (SIGTERM, SIGHUP, SIGINT): sends AData to
// the caller without waiting (whatever the socket does not take at once is lost) and releases the
// descriptor without a shutdown, so the BBS keeps the caller. Async-signal-safe: send and close only.
void CommReleaseFromSignal(const char* AData, std::size_t ALength);
