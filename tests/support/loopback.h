#pragma once
// A TCP connection to a port on the loopback address, as a caller's client makes it; header-only so
// that the benchmarks can share it without the test support library.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace zelkit_test {

// A connected socket to 127.0.0.1:APort, or -1 when the connection cannot be made.
inline int ConnectLoopback(int APort) {
  const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Sin{};
  Sin.sin_family = AF_INET;
  Sin.sin_port = htons(static_cast<std::uint16_t>(APort));
  Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(Fd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) != 0) {
    close(Fd);
    return -1;
  }
  return Fd;
}

}  // namespace zelkit_test
