#pragma once
// The connection to the remote caller: a connected telnet socket inherited from the BBS.

#include <cstdint>
#include <string>

// Takes over the BBS's socket: blocking mode, then IAC WILL BINARY, WILL ECHO. A descriptor that is
// not an open socket is not touched, and the carrier is then absent (CommCarrier false).
void CommOpen(std::int32_t ACommNumber);
void CommClose(bool ADisconnect);         // true: shut the connection down first; false: the BBS keeps the caller
bool CommCarrier();                       // false once the connection was found closed, failed or stalled
bool CommCharAvail();                     // never waits; telnet commands from the client never count as data
char CommPeekChar();                      // waits for a character; NUL at once when the caller is gone
char CommReadChar();                      // as CommPeekChar, and takes the character
void CommWrite(const std::string& AText);     // byte 255 doubled (telnet IAC escape)
void CommWriteRaw(const std::string& AText);  // unchanged
void CommWriteBlock(const void* ABlock, std::int32_t ABlockLen);
void CommSetBaud(std::int32_t ABaud);     // no effect on a socket
void CommFlushOutBuffer();                // no effect: every write is sent at once
void CommPurgeOutBuffer();                // no effect

// A send to a caller whose client takes nothing for this many seconds gives up: the rest of that
// write is dropped and the carrier counts as lost, so the next event check takes the hang-up path.
inline constexpr int COMM_SEND_STALL_SECONDS = 60;

// The descriptor a key wait can poll for the caller's input, or -1 when no receive step can bring
// anything new (not open, closed, or the caller already gone).
int CommInputHandle();
