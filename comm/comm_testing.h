#pragma once
// Test seam of the transport: puts the unit back in its start state (empty buffer, carrier
// present, no descriptor, the telnet parser in data). It does not close the descriptor; the test
// owns it.

void CommResetForTesting();
