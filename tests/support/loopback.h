#pragma once
// A TCP connection to a port on the loopback address, as a caller's client makes it, and a free
// loopback port; header-only so that the benchmarks can share them without the test support library.

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

// A loopback port free a moment ago, for a program that takes its port from its configuration or
// command line and cannot be told to pick one itself; -1 when none could be had.
inline int FreeLoopbackPort() {
  const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) return -1;
  sockaddr_in Sin{};
  Sin.sin_family = AF_INET;
  Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof Sin;
  const bool Bound = bind(Fd, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) == 0 &&
                     getsockname(Fd, reinterpret_cast<sockaddr*>(&Sin), &Len) == 0;
  close(Fd);
  return Bound ? ntohs(Sin.sin_port) : -1;
}

}  // namespace zelkit_test
