// The transport against a real telnet client: the client runs on a pseudo-terminal and connects to
// a loopback listener; the accepted socket goes to a small door built on the transport.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/pty_process.h"

namespace {

using zelkit_test::PtyOptions;
using zelkit_test::PtyProcess;

const char* const kTelnet = "/usr/bin/telnet";

TEST(TelnetClient, GreetingRepliesAndFoldedLineEnd) {
  if (access(kTelnet, X_OK) != 0) GTEST_SKIP() << "no telnet client installed";
  const int Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(Listener, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof Addr;
  ASSERT_EQ(0, bind(Listener, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr));
  ASSERT_EQ(0, listen(Listener, 1));
  ASSERT_EQ(0, getsockname(Listener, reinterpret_cast<sockaddr*>(&Addr), &Len));
  const std::string Port = std::to_string(ntohs(Addr.sin_port));

  PtyProcess Client(kTelnet, {"telnet", "127.0.0.1", Port});
  ASSERT_TRUE(Client.Started());
  pollfd Pfd{Listener, POLLIN, 0};
  ASSERT_EQ(1, poll(&Pfd, 1, 10000)) << Client.Output();
  const int Accepted = accept(Listener, nullptr, nullptr);  // inheritable, as a BBS hands it down
  close(Listener);
  ASSERT_GE(Accepted, 3);

  PtyOptions Options;
  Options.PassFds = {Accepted};
  PtyProcess Door(TELNET_ECHO_PATH, {TELNET_ECHO_PATH, std::to_string(Accepted)}, Options);
  close(Accepted);
  ASSERT_TRUE(Door.Started());

  EXPECT_TRUE(Client.ReadUntil("Hello from the echo door", 10000)) << Client.Output();
  // The client's answers to the opening (IAC DO BINARY, IAC DO ECHO) are taken out of the input:
  // the first bytes the door reads are the ones typed.
  Client.Write("abc\r");
  EXPECT_TRUE(Client.ReadUntil("Hello from the echo door\r\n97 98 99 13 \r\n", 5000)) << Client.Output();
  // The client sends each line when its end is typed; nothing (no LF, no NUL) may come between
  // one line's CR and the next line's first key.
  Client.Write("d\r");
  EXPECT_TRUE(Client.ReadUntil("13 \r\n100 13 \r\n", 5000)) << Client.Output();

  // A typed byte 255 goes out as IAC IAC and reaches the door as one byte.
  Client.Write("\xff\r");
  EXPECT_TRUE(Client.ReadUntil("13 \r\n255 13 \r\n", 5000)) << Client.Output();
  EXPECT_EQ(std::string::npos, Client.Output().find("253")) << Client.Output();

  // Kill the client: the connection closes, the door loses carrier and ends normally.
  Client.WaitExit(0);
  EXPECT_EQ(0, Door.WaitExit(10000)) << Door.Output();
}

}  // namespace
