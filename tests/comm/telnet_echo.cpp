// A minimal door on the transport, for end-to-end tests with a real telnet client: takes over the
// connected socket named on the command line, greets the caller, then shows every byte it reads as
// its decimal value, a line per CR, until the caller hangs up.

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "comm/comm.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  alarm(60);  // a test helper never outlives a stuck test
  CommOpen(static_cast<std::int32_t>(std::atoi(argv[1])));
  CommWrite("Hello from the echo door\r\n");
  for (;;) {
    const char Ch = CommReadChar();
    if (Ch == '\0' && !CommCarrier()) break;  // the caller is gone
    std::string Shown = std::to_string(static_cast<unsigned char>(Ch)) + ' ';
    if (Ch == '\r') Shown += "\r\n";
    CommWrite(Shown);
  }
  CommClose(false);
  return 0;
}
