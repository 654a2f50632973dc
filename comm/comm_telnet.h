#pragma once
// Both directions of telnet data on the caller's connection (RFC 854, 855). The receive side takes the commands a caller's client sends (option
// replies, subnegotiations such as window size or terminal type, NOP, AYT, ...) out of its bytes, so
// that only the caller's own data remains. Kit-internal: the transport and the stand-in BBS use it;
// it is not one of the kit's installed headers.

#include <cstddef>
#include <cstdint>
#include <string>

// Longest subnegotiation (IAC SB ... IAC SE) the filter waits out. Real ones are short (window size
// 4 to 8 bytes, terminal type a few dozen, environment a few hundred); a client that opens one and
// never closes it would otherwise swallow every later key, so past this many bytes the filter gives
// the subnegotiation up and treats what follows as data again. Nothing of it is stored.
inline constexpr std::size_t TELNET_SUBNEGOTIATION_LIMIT = 4096;

enum TTelnetReceiveState : std::uint8_t {
  tsData,      // plain data
  tsCommand,   // after IAC
  tsOption,    // after IAC WILL, WONT, DO or DONT: the option byte is next
  tsSub,       // inside IAC SB ...
  tsSubIac,    // after IAC inside a subnegotiation
};

// The parser's state, carried from one received block to the next: a command split over two reads
// is still recognised. Fixed size; start with a value-initialised record.
struct TTelnetReceive {
  TTelnetReceiveState State = tsData;
  std::size_t SubLength = 0;  // bytes of the current subnegotiation so far
};

// The caller's data in AData[0, ALength), with the telnet commands taken out:
//   IAC WILL/WONT/DO/DONT option   removed (three bytes)
//   IAC SB ... IAC SE              removed (see TELNET_SUBNEGOTIATION_LIMIT); IAC with any other
//                                  command inside one ends it, and that command is taken as such
//   IAC and any other command      removed (two bytes: NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, SE)
//   IAC IAC                        one data byte 255
//   IAC and a byte below 240       no command at all: both bytes are data (a client that does not
//                                  escape 255, such as an rlogin caller's, sends its 255 bare)
std::string TelnetFilter(TTelnetReceive& AState, const char* AData, std::size_t ALength);

// The data so far ends in an IAC whose next byte has not come. A telnet client sends a command
// whole, so its rest follows at once; when nothing follows, the IAC was a bare data byte 255. This
// gives the wait up: true when an IAC was pending, which the caller then takes as data 255.
bool TelnetReleaseLoneIac(TTelnetReceive& AState);

// The send side: AData[0, ALength) with every byte 255 doubled (IAC IAC, RFC 854), so that the
// caller's client takes it as data and not as the start of a command.
std::string TelnetEscape(const char* AData, std::size_t ALength);
