#pragma once
// Test seams of the transport.

// Puts the unit back in its start state (empty buffer, carrier present, no descriptor, the telnet
// parser in data, the send stall bound at COMM_SEND_STALL_SECONDS). It does not close the
// descriptor; the test owns it.
void CommResetForTesting();
// A shorter (or longer) bound for a send that makes no progress, so a test of a caller who stops
// reading need not wait a minute.
void CommSetSendStallForTesting(int AMilliseconds);
