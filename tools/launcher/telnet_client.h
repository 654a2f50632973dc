#pragma once
// The launcher's telnet client towards a door's socket, used by the relays that carry a caller who
// does not speak telnet (a browser, an SSH channel) to a door that does.

#include <cstddef>
#include <cstdint>
#include <string>

namespace launcher {

// The client side of telnet (RFC 854) on the door's socket: data bytes and IAC IAC become the bytes
// the caller sees; commands are taken out. Options are answered once per change of state
// (RFC 1143's rule against loops): the door may send binary and echo and suppress go-ahead; we send
// binary and suppress go-ahead; everything else is refused.
class TTelnetClient {
 public:
  // Takes one block from the door; the caller's bytes go to AData, answers for the door to AReplies.
  void Feed(const unsigned char* ABytes, std::size_t ALen, std::string& AData, std::string& AReplies);

 private:
  std::uint8_t FState = 0;      // 0 data, 1 after IAC, 2 option verb, 3 subnegotiation, 4 IAC in one
  unsigned char FVerb = 0;
  bool FHim[256] = {};          // options the door has on
  bool FUs[256] = {};           // options we have on
  bool FRefusedHim[256] = {};   // a refusal is sent once per option, so a door repeating itself gets no storm
  bool FRefusedUs[256] = {};
};

}  // namespace launcher
