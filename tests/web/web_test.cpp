// The web front door: zelkit-launch --web as a child process with the launcher's test door, called
// over loopback with raw HTTP requests and with a Boost.Beast WebSocket client. Node directories and
// the page's folder live in a temporary directory.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/launcher/launcher_harness.h"
#include "tests/support/loopback.h"
#include "tests/support/test_files.h"
#include "tools/launcher/web.h"

namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using zelkit_test::ConnectLoopback;
using zelkit_test::ReadFile;
using zelkit_test::TempDir;
using zelkit_test::WriteFile;

constexpr int kWaitMs = 15000;  // only a guard against hangs; every wait ends as soon as its event happens

// zelkit-launch --web 0 with the test door, in ADir; its ports from the lines it prints at start.
class Launcher {
 public:
  Launcher(const fs::path& ADir, std::vector<std::string> AMore) : FRun(ADir, WebArgs(std::move(AMore))) {
    std::string Text;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    static const std::regex kTelnet(R"(listening on 127\.0\.0\.1:(\d+))"), kWeb(R"(web page on http://127\.0\.0\.1:(\d+)/\n)");
    std::smatch M;
    while (FRun.Started() && !std::regex_search(Text, M, kWeb) && std::chrono::steady_clock::now() < Deadline) {
      const std::string Line = FRun.FirstLine();
      if (Line.empty()) break;
      Text += Line;
    }
    if (std::regex_search(Text, M, kWeb)) FWebPort = std::stoi(M[1]);
    if (std::regex_search(Text, M, kTelnet)) FTelnetPort = std::stoi(M[1]);
  }
  // SIGTERM stops the doors and the launcher, which must end cleanly (under the sanitizers too: a
  // leak or a fault in the web thread shows up here).
  ~Launcher() {
    if (!FRun.Started()) return;
    FRun.Signal(SIGTERM);
    const int Status = FRun.WaitForExit();  // -1 when it has not ended within the guard time
    EXPECT_TRUE(Status != -1 && WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << "status " << Status << "\n" << Log();
  }
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  int WebPort() const { return FWebPort; }
  pid_t Pid() const { return FRun.Pid(); }
  int TelnetPort() const { return FTelnetPort; }
  std::string Log() const { return FRun.Log(); }
  bool WaitForLog(const std::string& ANeedle) const { return FRun.WaitForLog(ANeedle); }

 private:
  static std::vector<std::string> WebArgs(std::vector<std::string> AMore) {
    std::vector<std::string> Args = {"--door", TEST_DOOR_PATH, "--port", "0", "--web", "0"};
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    return Args;
  }

  launcher_test::Launcher FRun;  // killed after a further guard time if it outlived the one above
  int FWebPort = -1, FTelnetPort = -1;
};

// One raw HTTP/1.1 request on a connection of its own; the whole answer until the server closes.
std::string Http(int APort, const std::string& ARequest) {
  const int Fd = ConnectLoopback(APort);
  if (Fd < 0) return "no connection";
  std::ignore = send(Fd, ARequest.data(), ARequest.size(), MSG_NOSIGNAL);
  std::string Answer;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (std::chrono::steady_clock::now() < Deadline) {
    pollfd P{Fd, POLLIN, 0};
    if (poll(&P, 1, 100) <= 0) continue;
    char Buf[4096];
    const ssize_t N = recv(Fd, Buf, sizeof Buf, 0);
    if (N <= 0) break;
    Answer.append(Buf, static_cast<std::size_t>(N));
  }
  close(Fd);
  return Answer;
}

std::string Get(int APort, const std::string& ATarget, const std::string& AMethod = "GET") {
  return Http(APort, AMethod + " " + ATarget + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

std::string StatusLine(const std::string& AAnswer) { return AAnswer.substr(0, AAnswer.find("\r\n")); }
std::string Body(const std::string& AAnswer) {
  const auto At = AAnswer.find("\r\n\r\n");
  return At == std::string::npos ? "" : AAnswer.substr(At + 4);
}

// A page folder with a file of known text at each place the launcher serves from, and one it must not serve.
void MakeWebRoot(const fs::path& ARoot) {
  fs::create_directories(ARoot / "node_modules/@xterm/xterm/lib");
  fs::create_directories(ARoot / "node_modules/@xterm/xterm/css");
  for (const char* File : {"index.html", "page.js", "music.js", "cp437.js", "favicon.svg", "node_modules/@xterm/xterm/lib/xterm.js",
                           "node_modules/@xterm/xterm/css/xterm.css", "secret.txt", "package.json"})
    WriteFile(ARoot / File, std::string("contents of ") + File + "\n");
  WriteFile(ARoot.parent_path() / "outside.txt", "outside\n");
}

TEST(WebFrontDoor, ServesThePageFilesAndNothingElse) {
  TempDir Dir;
  MakeWebRoot(Dir.Path() / "web");
  Launcher L(Dir.Path(), {"--web-root", (Dir.Path() / "web").string()});
  ASSERT_GT(L.WebPort(), 0);
  struct Case { std::string Method, Target, Status, Body, Type; };
  const Case kCases[] = {
      {"GET", "/", "HTTP/1.1 200 OK", "contents of index.html\n", "text/html"},
      {"GET", "/index.html", "HTTP/1.1 200 OK", "contents of index.html\n", "text/html"},
      {"GET", "/?door=tunecraft", "HTTP/1.1 200 OK", "contents of index.html\n", "text/html"},
      {"GET", "/page.js", "HTTP/1.1 200 OK", "contents of page.js\n", "text/javascript"},
      {"GET", "/music.js", "HTTP/1.1 200 OK", "contents of music.js\n", "text/javascript"},
      {"GET", "/cp437.js", "HTTP/1.1 200 OK", "contents of cp437.js\n", "text/javascript"},
      {"GET", "/xterm.js", "HTTP/1.1 200 OK", "contents of node_modules/@xterm/xterm/lib/xterm.js\n", "text/javascript"},
      {"GET", "/xterm.css", "HTTP/1.1 200 OK", "contents of node_modules/@xterm/xterm/css/xterm.css\n", "text/css"},
      {"HEAD", "/", "HTTP/1.1 200 OK", "", "text/html"},
      {"GET", "/favicon.ico", "HTTP/1.1 200 OK", "contents of favicon.svg\n", "image/svg+xml"},
      {"GET", "/favicon.svg", "HTTP/1.1 200 OK", "contents of favicon.svg\n", "image/svg+xml"},
      {"GET", "/secret.txt", "HTTP/1.1 404 Not Found", "Not found.\n", "text/plain"},
      {"GET", "/package.json", "HTTP/1.1 404 Not Found", "Not found.\n", "text/plain"},
      {"GET", "/../outside.txt", "HTTP/1.1 404 Not Found", "Not found.\n", "text/plain"},
      {"GET", "/%2e%2e/outside.txt", "HTTP/1.1 404 Not Found", "Not found.\n", "text/plain"},
      {"GET", "/node_modules/@xterm/xterm/lib/xterm.js", "HTTP/1.1 404 Not Found", "Not found.\n", "text/plain"},
      {"GET", "//etc/passwd", "HTTP/1.1 404 Not Found", "Not found.\n", "text/plain"},
      {"POST", "/", "HTTP/1.1 405 Method Not Allowed", "Only GET and HEAD.\n", "text/plain"},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.Method + " " + C.Target);
    const std::string Answer = Get(L.WebPort(), C.Target, C.Method);
    EXPECT_EQ(C.Status, StatusLine(Answer));
    EXPECT_EQ(C.Body, Body(Answer));
    EXPECT_NE(std::string::npos, Answer.find("Content-Type: " + C.Type)) << Answer;
    EXPECT_NE(std::string::npos, Answer.find("X-Content-Type-Options: nosniff")) << Answer;
  }
  // A request with a body is answered 405 too, not cut off.
  const std::string Posted = Http(L.WebPort(), "POST /door HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_EQ("HTTP/1.1 405 Method Not Allowed", StatusLine(Posted));
  EXPECT_NE(std::string::npos, Posted.find("Allow: GET, HEAD")) << Posted;
  // A file the browser already has, by its ETag, costs a 304 without the body; a changed file does not.
  static const std::regex kTag("ETag: (\"[^\"]+\")");
  std::smatch Tag;
  const std::string First = Get(L.WebPort(), "/xterm.js");
  ASSERT_TRUE(std::regex_search(First, Tag, kTag)) << First;
  EXPECT_NE(std::string::npos, First.find("Last-Modified: ")) << First;
  const std::string Again = Tag[1].str();
  const std::string Conditional = "GET /xterm.js HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nIf-None-Match: " + Again + "\r\n\r\n";
  const std::string Cached = Http(L.WebPort(), Conditional);
  EXPECT_EQ("HTTP/1.1 304 Not Modified", StatusLine(Cached));
  EXPECT_EQ("", Body(Cached));
  WriteFile(Dir.Path() / "web/node_modules/@xterm/xterm/lib/xterm.js", "a newer xterm.js\n");
  EXPECT_EQ("a newer xterm.js\n", Body(Http(L.WebPort(), Conditional)));
  // A head that never ends is cut off; the launcher goes on serving.
  EXPECT_EQ("", StatusLine(Http(L.WebPort(), "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n")));
  EXPECT_EQ("HTTP/1.1 200 OK", StatusLine(Get(L.WebPort(), "/")));
}

std::string Upgrade(int APort, const std::string& ATarget, const std::string& AOrigin) {
  std::string Request = "GET " + ATarget + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(APort) +
                        "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  if (!AOrigin.empty()) Request += "Origin: " + AOrigin + "\r\n";
  const int Fd = ConnectLoopback(APort);
  std::ignore = send(Fd, (Request + "\r\n").data(), Request.size() + 2, MSG_NOSIGNAL);
  std::string Answer;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (Answer.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < Deadline) {
    pollfd P{Fd, POLLIN, 0};
    if (poll(&P, 1, 100) <= 0) continue;
    char Buf[1024];
    const ssize_t N = recv(Fd, Buf, sizeof Buf, 0);
    if (N <= 0) break;
    Answer.append(Buf, static_cast<std::size_t>(N));
  }
  close(Fd);
  return StatusLine(Answer);
}

// Only the launcher's own page (under the names that reach it) and the sysop's --web-origin pages
// may open the door from a browser; a client that names no page is not a browser.
TEST(WebFrontDoor, OnlyTheLaunchersOwnPagesMayOpenTheDoor) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--web-origin", "https://BBS.example.org", "--max-calls", "1000"});
  const int Port = L.WebPort();
  ASSERT_GT(Port, 0);
  const std::string P = std::to_string(Port);
  struct Case { std::string Target, Origin, Want; };
  const Case kCases[] = {
      {"/door", "", "HTTP/1.1 101 Switching Protocols"},
      {"/door", "http://127.0.0.1:" + P, "HTTP/1.1 101 Switching Protocols"},
      {"/door", "http://localhost:" + P, "HTTP/1.1 101 Switching Protocols"},
      {"/door", "https://bbs.example.org", "HTTP/1.1 101 Switching Protocols"},
      {"/door?door=x", "http://127.0.0.1:" + P, "HTTP/1.1 101 Switching Protocols"},
      {"/door", "http://evil.example", "HTTP/1.1 403 Forbidden"},
      {"/door", "http://127.0.0.1:1", "HTTP/1.1 403 Forbidden"},
      {"/door", "https://127.0.0.1:" + P, "HTTP/1.1 403 Forbidden"},
      {"/door", "http://bbs.example.org", "HTTP/1.1 403 Forbidden"},
      {"/door", "null", "HTTP/1.1 403 Forbidden"},
      {"/other", "", "HTTP/1.1 404 Not Found"},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.Target + " from " + C.Origin);
    EXPECT_EQ(C.Want, Upgrade(Port, C.Target, C.Origin));
  }
  EXPECT_NE(std::string::npos, L.Log().find("page http://evil.example may not open the door"));
}

// A WebSocket caller whose every step has a deadline: each runs as an asynchronous operation on the
// caller's own loop for at most kWaitMs, and one that does not finish by then fails the test with
// what it was waiting for (a socket receive time-out would not do: Asio's blocking read waits again).
class WebCaller {
 public:
  explicit WebCaller(int APort, const std::string& ATarget = "/door") : FWs(FIo) {
    beast::error_code Ec;
    FWs.next_layer().connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(APort)), Ec);
    if (Ec) return;
    const std::string Origin = "http://127.0.0.1:" + std::to_string(APort);
    FWs.set_option(websocket::stream_base::decorator(
        [Origin](websocket::request_type& ARequest) { ARequest.set(beast::http::field::origin, Origin); }));
    const std::string Host = "127.0.0.1:" + std::to_string(APort);
    FOpen = Await("the WebSocket handshake", [&](auto AHandler) { FWs.async_handshake(Host, ATarget, AHandler); }, Ec) && !Ec;
    FWs.binary(true);
  }
  bool Open() const { return FOpen; }
  void Send(const std::string& AText) {
    if (FClosed) return;
    beast::error_code Ec;
    Await("a message to go out", [&](auto AHandler) { FWs.async_write(asio::buffer(AText), AHandler); }, Ec);
  }
  // Messages until ANeedle has arrived (everything up to it), or what came before the call ended.
  std::string ReadUntil(const std::string& ANeedle) { return ReadUntilOrEnd(ANeedle, true); }
  // True once the launcher has ended the WebSocket; the close code is kept.
  bool Ends() {
    ReadUntilOrEnd(std::string(1, '\0') + "never", false);
    return FClosed;
  }
  int CloseCode() const { return FCloseCode; }

 private:
  std::string ReadUntilOrEnd(const std::string& ANeedle, bool ANeedleWanted) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (FText.find(ANeedle) == std::string::npos && !FClosed) {
      beast::flat_buffer Buffer;
      beast::error_code Ec;
      const std::string What = ANeedleWanted ? "\"" + ANeedle + "\" from the launcher" : "the launcher to end the call";
      if (!Await(What, [&](auto AHandler) { FWs.async_read(Buffer, AHandler); }, Ec, Deadline)) break;
      if (Ec) {
        FClosed = true;
        FCloseCode = FWs.reason().code;
        break;
      }
      FText += beast::buffers_to_string(Buffer.data());
    }
    const auto At = FText.find(ANeedle);
    std::string Got = At == std::string::npos ? FText : FText.substr(0, At + ANeedle.size());
    FText.erase(0, Got.size());
    return Got;
  }
  // Starts one operation and runs the loop until it completes or the deadline passes; then the
  // socket is closed (the caller is of no further use) and the test fails, saying what never came.
  template <typename TStart>
  bool Await(const std::string& AWhat, TStart AStart, beast::error_code& AEc,
             std::chrono::steady_clock::time_point ADeadline = std::chrono::steady_clock::now() +
                                                               std::chrono::milliseconds(kWaitMs)) {
    bool Done = false;
    AStart([&](beast::error_code AResult, auto&&...) {
      AEc = AResult;
      Done = true;
    });
    FIo.restart();
    FIo.run_until(ADeadline);
    if (Done) return true;
    ADD_FAILURE() << "waited " << kWaitMs / 1000 << " s in vain for " << AWhat << "; received before:\n" << FText;
    beast::error_code Ignored;
    FWs.next_layer().close(Ignored);
    FIo.restart();
    FIo.run();  // the operation ends, aborted
    FClosed = true;
    return false;
  }

  asio::io_context FIo;
  websocket::stream<tcp::socket> FWs;
  bool FOpen = false, FClosed = false;
  int FCloseCode = -1;
  std::string FText;
};

// The door on the socket (from DOOR32.SYS or -N -S) and on a pseudo-terminal (--stdio), each behind
// the web relay.
TEST(WebFrontDoor, ACallerPlaysTheDoorThroughTheWebSocket) {
  struct Case { std::vector<std::string> Args; std::string Greeting; };
  const Case kCases[] = {
      {{}, "hello Guest 1 on node 1\r\n"},
      {{"--mode", "ns"}, "hello socket caller on node 1\r\n"},
      {{"--stdio"}, "hello Guest 1 on node 1\r\n"},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.Args.empty() ? "door32" : C.Args[0]);
    TempDir Dir;
    Launcher L(Dir.Path(), C.Args);
    WebCaller A(L.WebPort());
    ASSERT_TRUE(A.Open());
    // The launcher's telnet offers and the door's own are answered by the relay: none of them reach
    // the door as keys, and the browser gets none of them as text.
    EXPECT_EQ(C.Greeting, A.ReadUntil("\r\n"));
    A.Send("Hi");
    A.Send(std::string("\xff", 1));
    EXPECT_EQ("Hi", A.ReadUntil("Hi"));
    // The caller's 255 goes to the door as IAC IAC and comes back as one data byte: the test door
    // on the socket echoes both bytes, which the relay's telnet client makes one; on --stdio the
    // launcher takes one byte out of the input and doubles the door's one on the way out.
    A.Send("!");
    EXPECT_EQ("\xff!", A.ReadUntil("!"));
    A.Send("q");
    EXPECT_EQ("bye\r\n", A.ReadUntil("\r\n"));
    EXPECT_TRUE(A.Ends());
    EXPECT_EQ(static_cast<int>(websocket::close_code::normal), A.CloseCode());
    EXPECT_TRUE(L.WaitForLog("node 1: door ended with exit code 0"));
    EXPECT_NE(std::string::npos, L.Log().find("node 1: web call from 127.0.0.1:"));
  }
}

TEST(WebFrontDoor, ACallerWhoHangsUpEndsTheDoor) {
  TempDir Dir;
  Launcher L(Dir.Path(), {});
  {
    WebCaller A(L.WebPort());
    ASSERT_TRUE(A.Open());
    EXPECT_EQ("hello Guest 1 on node 1\r\n", A.ReadUntil("\r\n"));
  }
  EXPECT_TRUE(L.WaitForLog("node 1: door ended with exit code 0"));
}

TEST(WebFrontDoor, AnOversizedMessageDropsTheCaller) {
  TempDir Dir;
  Launcher L(Dir.Path(), {});
  WebCaller A(L.WebPort());
  ASSERT_TRUE(A.Open());
  EXPECT_EQ("hello Guest 1 on node 1\r\n", A.ReadUntil("\r\n"));
  A.Send(std::string(4096, 'y'));  // the largest message taken
  EXPECT_EQ(std::string(4096, 'y'), A.ReadUntil(std::string(4096, 'y')));
  A.Send(std::string(4097, 'z'));
  EXPECT_TRUE(A.Ends());
  EXPECT_TRUE(L.WaitForLog("dropped: a message over 4096 bytes"));
  EXPECT_TRUE(L.WaitForLog("node 1: door ended"));
}

// "?door=CODE" in the page's address goes straight to that door; without one (or with a code that
// is no plain code) the caller gets the launcher's door menu, as a telnet caller does.
TEST(WebFrontDoor, TheAddressOrTheMenuPicksTheDoor) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--door", std::string("alpha=") + TEST_DOOR_PATH, "--door", std::string("beta=") + TEST_DOOR_PATH + " x1"});
  struct Case { std::string Target, Menu, Want; };
  const Case kCases[] = {
      {"/door?door=beta", "", "x1\r\n"},
      {"/door?door=ALPHA", "", "DOOR32.SYS\r\n"},
      {"/door?x=1&door=beta", "", "x1\r\n"},
      {"/door", "3", "x1\r\n"},
      {"/door?door=../beta", "2", "DOOR32.SYS\r\n"},
      {"/door?door=%62et%61", "", "x1\r\n"},
      {"/door?door=be%2", "2", "DOOR32.SYS\r\n"},
      {"/door?door=nope", "", "Sorry, there is no door called nope here.\r\n"},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.Target);
    WebCaller A(L.WebPort(), C.Target);
    ASSERT_TRUE(A.Open());
    if (!C.Menu.empty()) {
      const std::string Menu = A.ReadUntil("to hang up: ");
      EXPECT_NE(std::string::npos, Menu.find("alpha"));
      EXPECT_NE(std::string::npos, Menu.find("beta"));
      A.Send(C.Menu);
    }
    if (C.Want.rfind("Sorry", 0) == 0) {
      EXPECT_EQ(C.Want, A.ReadUntil("\r\n"));
    } else {
      // After the menu, its screen clear comes first.
      const std::string Greeting = A.ReadUntil("\r\n");
      EXPECT_TRUE(Greeting.ends_with("hello Guest 1 on node 1\r\n")) << Greeting;
      A.Send("a");
      const std::string Args = A.ReadUntil("\r\n");
      EXPECT_TRUE(Args.ends_with(C.Want)) << Args;
      A.Send("q");
    }
    EXPECT_TRUE(A.Ends());
  }
}

// Web callers count against the same per-address limit as telnet callers.
TEST(WebFrontDoor, WebCallersCountAgainstThePerAddressLimit) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--max-per-address", "2", "--raw"});
  const int Telnet = ConnectLoopback(L.TelnetPort());
  ASSERT_GE(Telnet, 0);
  ASSERT_TRUE(L.WaitForLog("node 1: telnet call from"));
  WebCaller A(L.WebPort());
  EXPECT_EQ("hello Guest 2 on node 2\r\n", A.ReadUntil("\r\n"));
  WebCaller B(L.WebPort());
  EXPECT_EQ("Sorry, too many calls from your address. Please call again later.\r\n", B.ReadUntil("\r\n"));
  EXPECT_TRUE(B.Ends());
  EXPECT_TRUE(L.WaitForLog("web caller 127.0.0.1:"));
  close(Telnet);
}

// A browser that takes nothing while the door keeps writing is dropped, and the door sees the
// caller gone, instead of the launcher holding the door's output in memory.
TEST(WebFrontDoor, ACallerWhoStopsReadingIsDropped) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--web-stall", "1"});
  WebCaller A(L.WebPort());
  ASSERT_TRUE(A.Open());
  EXPECT_EQ("hello Guest 1 on node 1\r\n", A.ReadUntil("\r\n"));
  A.Send("F");  // the test door floods the caller until its writes fail
  EXPECT_TRUE(L.WaitForLog("dropped: the browser took nothing for 1 s"));
  EXPECT_TRUE(L.WaitForLog("node 1: door ended"));
}

// A WebSocket client written out by hand over a launcher_test::Caller, for what the Beast client
// hides: many at once, acknowledgements, a client that stops reading.
std::string UpgradeRequest(int APort, const std::string& ATarget = "/door") {
  return "GET " + ATarget + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(APort) +
         "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
}

// A client's frame (RFC 6455 5.2), masked with the all-zero key so the payload reads as it is.
std::string ClientFrame(bool AText, const std::string& APayload) {
  std::string Frame(1, static_cast<char>(AText ? 0x81 : 0x82));
  if (APayload.size() < 126) {
    Frame.push_back(static_cast<char>(0x80 | APayload.size()));
  } else {
    Frame.push_back(static_cast<char>(0x80 | 126));
    Frame.push_back(static_cast<char>(APayload.size() >> 8));
    Frame.push_back(static_cast<char>(APayload.size() & 0xff));
  }
  return Frame + std::string(4, '\0') + APayload;
}

// Reads the server's frames for AMs milliseconds (or until the connection ends); returns how many
// payload bytes of data frames arrived. ABuffer keeps a frame cut in two for the next call.
std::size_t ReadPayload(int AFd, std::string& ABuffer, int AMs) {
  std::size_t Total = 0;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
  for (;;) {
    while (ABuffer.size() >= 2) {
      std::size_t Length = static_cast<unsigned char>(ABuffer[1]) & 0x7f, Head = 2;
      if (Length == 126) {
        if (ABuffer.size() < 4) break;
        Length = (static_cast<std::size_t>(static_cast<unsigned char>(ABuffer[2])) << 8) | static_cast<unsigned char>(ABuffer[3]);
        Head = 4;
      } else if (Length == 127) {
        if (ABuffer.size() < 10) break;
        Length = 0;
        for (int I = 2; I < 10; ++I) Length = (Length << 8) | static_cast<unsigned char>(ABuffer[static_cast<std::size_t>(I)]);
        Head = 10;
      }
      if (ABuffer.size() < Head + Length) break;
      if ((ABuffer[0] & 0x0f) <= 2) Total += Length;
      ABuffer.erase(0, Head + Length);
    }
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now()).count();
    if (Left <= 0) return Total;
    pollfd P{AFd, POLLIN, 0};
    if (poll(&P, 1, static_cast<int>(Left)) <= 0) continue;
    char Buf[65536];
    const ssize_t N = recv(AFd, Buf, sizeof Buf, 0);
    if (N <= 0) return Total;
    ABuffer.append(Buf, static_cast<std::size_t>(N));
  }
}

// A raw caller through the handshake and the test door's greeting; false if either is missing.
bool RawCall(launcher_test::Caller& ACaller, int APort, std::string& AAnswer) {
  ACaller.Send(UpgradeRequest(APort));
  AAnswer = ACaller.ReadUntil("on node ");
  AAnswer += ACaller.ReadUntil("\r\n");
  return AAnswer.rfind("HTTP/1.1 101", 0) == 0 && AAnswer.find("hello Guest") != std::string::npos;
}

// Behind a trusted proxy (127.0.0.9) the forwarded headers name the caller and the page the proxy
// serves; from anyone else the same headers are ignored, so a caller cannot claim another address.
TEST(WebFrontDoor, OnlyATrustedProxyNamesTheCallerAndItsPage) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--trust-proxy", "127.0.0.9", "--max-calls", "1000"});
  const int Port = L.WebPort();
  ASSERT_GT(Port, 0);
  struct Case { std::string from, headers, status, log; };
  const std::string Page = "Host: bbs.example.org\r\nOrigin: https://bbs.example.org\r\nX-Forwarded-Proto: https\r\n";
  const Case kCases[] = {
      {"127.0.0.9", Page + "X-Forwarded-For: 6.6.6.6, 192.0.2.60\r\n", "HTTP/1.1 101", "web call from 192.0.2.60 (via 127.0.0.9:"},
      {"127.0.0.9", "Forwarded: for=\"192.0.2.61:4711\";proto=https;host=bbs.example.org\r\nOrigin: https://bbs.example.org\r\n"
                    "Host: 127.0.0.1\r\n", "HTTP/1.1 101", "web call from 192.0.2.61:4711 (via 127.0.0.9:"},
      {"127.0.0.1", "Host: 127.0.0.1\r\nX-Forwarded-For: 192.0.2.62\r\n", "HTTP/1.1 101", "web call from 127.0.0.1:"},
      {"127.0.0.9", Page + "X-Forwarded-For: unknown\r\n", "HTTP/1.1 400",
       "request from proxy 127.0.0.9:"},
      {"127.0.0.9", "Host: bbs.example.org\r\nOrigin: https://evil.example\r\nX-Forwarded-Proto: https\r\n", "HTTP/1.1 403",
       "page https://evil.example may not open the door"},
      {"127.0.0.1", Page, "HTTP/1.1 403", "page https://bbs.example.org may not open the door"},
  };
  for (const Case& C : kCases) {
    SCOPED_TRACE(C.from + " " + C.headers);
    launcher_test::Caller Browser(Port, C.from);
    ASSERT_TRUE(Browser.Connected());
    Browser.Send("GET /door HTTP/1.1\r\n" + C.headers + "Connection: Upgrade\r\nUpgrade: websocket\r\n"
                 "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    const std::string Answer = C.status == "HTTP/1.1 101" ? Browser.ReadUntil("on node ") : Browser.ReadAll();
    EXPECT_EQ(0u, Answer.rfind(C.status, 0)) << Answer;
    EXPECT_TRUE(L.WaitForLog(C.log)) << L.Log();
  }
  EXPECT_TRUE(L.WaitForLog("refused: the proxy names a caller that is not an IPv4 address (unknown)")) << L.Log();
  EXPECT_EQ(std::string::npos, L.Log().find("192.0.2.62")) << L.Log();
}

long RssKb(pid_t APid) {
  const std::string Status = ReadFile("/proc/" + std::to_string(APid) + "/status");
  const auto At = Status.find("VmRSS:");
  return At == std::string::npos ? -1 : std::stol(Status.substr(At + 6));
}

// The relay reads the door only while the browser keeps up. The page acknowledges what its terminal
// has drawn: a caller who reads everything but acknowledges nothing gets no more than the relay's
// allowance, and gets the rest once it acknowledges. A caller who stops reading altogether leaves
// the launcher's memory where it was while the door writes without end.
TEST(WebFrontDoor, TheDoorWaitsForTheBrowserToKeepUp) {
  TempDir Dir;
  Launcher L(Dir.Path(), {});
  launcher_test::Caller A(L.WebPort());
  std::string Answer;
  ASSERT_TRUE(RawCall(A, L.WebPort(), Answer)) << Answer;
  A.Send(ClientFrame(false, "F"));  // the test door floods the caller until its writes fail
  std::string Frames;
  std::size_t Got = ReadPayload(A.Fd(), Frames, 1000);
  constexpr std::size_t kAllowance = 262144 + 65536 + 16384;  // unacknowledged, queued, one read
  EXPECT_GT(Got, 0u);
  EXPECT_LE(Got, kAllowance);
  EXPECT_EQ(0u, ReadPayload(A.Fd(), Frames, 300)) << "more came without an acknowledgement";
  const std::size_t Drawn = Got + 25;  // and the greeting
  A.Send(ClientFrame(true, "ack " + std::to_string(Drawn + 1000000)));  // more than was sent: not believed
  EXPECT_EQ(0u, ReadPayload(A.Fd(), Frames, 300));
  A.Send(ClientFrame(true, "ack " + std::to_string(Drawn)));
  EXPECT_GT(ReadPayload(A.Fd(), Frames, 1000), 0u);

  launcher_test::Caller B(L.WebPort());
  ASSERT_TRUE(RawCall(B, L.WebPort(), Answer)) << Answer;
  const long Before = RssKb(L.Pid());
  B.Send(ClientFrame(false, "F"));
  long Most = Before;
  for (int I = 0; I < 20; ++I) {
    std::this_thread::sleep_for(100ms);
    Most = std::max(Most, RssKb(L.Pid()));
  }
  EXPECT_LT(Most - Before, 16 * 1024) << "the launcher grew from " << Before << " kB to " << Most << " kB";
}

// Connections that only trickle in a request head hold no more than their address's share of the
// front door, and only for a few seconds; a caller from another address loads the page and gets a
// door at once; one more from the crowded address hears 503 and when to come back.
TEST(WebFrontDoor, OneAddressCannotShutTheFrontDoor) {
  TempDir Dir;
  Launcher L(Dir.Path(), {});
  std::vector<launcher_test::Caller> Trickling;
  for (int I = 0; I < 64 + 8; ++I) {  // --max-per-address's default, and the connections a page loads over
    Trickling.emplace_back(L.WebPort());
    Trickling.back().Send("GET / HTTP/1.1\r\n");
  }
  const std::string Refused = launcher_test::Caller(L.WebPort()).ReadAll();
  EXPECT_EQ("HTTP/1.1 503 Service Unavailable", StatusLine(Refused));
  EXPECT_NE(std::string::npos, Refused.find("Retry-After: ")) << Refused;

  const auto Start = std::chrono::steady_clock::now();
  launcher_test::Caller Page(L.WebPort(), "127.0.0.2");
  Page.Send("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ("HTTP/1.1 200 OK", StatusLine(Page.ReadAll()));
  launcher_test::Caller Other(L.WebPort(), "127.0.0.2");
  std::string Answer;
  EXPECT_TRUE(RawCall(Other, L.WebPort(), Answer)) << Answer;
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 1s);

  // The trickling heads run out of time.
  for (launcher_test::Caller& C : Trickling) EXPECT_EQ("", C.ReadAll());
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 8s);
}

// The web front door's per-address cap follows --max-per-address when a reload changes it.
TEST(WebFrontDoor, AReloadedPerAddressLimitReachesTheWebFrontDoor) {
  TempDir Dir;
  const fs::path Config = Dir.Path() / "launch.toml";
  WriteFile(Config, "max-per-address = 1\n");
  Launcher L(Dir.Path(), {"--config", Config.string()});
  std::vector<launcher_test::Caller> Trickling;
  for (int I = 0; I < 1 + 8; ++I) {  // the limit, and the connections a page loads over
    Trickling.emplace_back(L.WebPort());
    Trickling.back().Send("GET / HTTP/1.1\r\n");
  }
  EXPECT_EQ("HTTP/1.1 503 Service Unavailable", StatusLine(launcher_test::Caller(L.WebPort()).ReadAll()));
  WriteFile(Config, "max-per-address = 4\n");
  kill(L.Pid(), SIGHUP);
  ASSERT_TRUE(L.WaitForLog("reloaded")) << L.Log();
  EXPECT_EQ("HTTP/1.1 200 OK", StatusLine(Get(L.WebPort(), "/")));
}

// Callers who arrive all at once are served as far as the limits go (here: at least as many as may
// load the page at once); the rest hear 503 with a retry time, none a bare close.
TEST(WebFrontDoor, ABurstOfCallersGetsDoorsOr503) {
  TempDir Dir;
  Launcher L(Dir.Path(), {"--max-per-address", "250", "--web-pending", "100"});
  std::vector<launcher_test::Caller> Callers;
  for (int I = 0; I < 200; ++I) Callers.emplace_back(L.WebPort());
  for (launcher_test::Caller& C : Callers) C.Send(UpgradeRequest(L.WebPort()));
  int Doors = 0, Busy = 0;
  for (launcher_test::Caller& C : Callers) {
    const std::string Answer = C.ReadUntil("on node ");
    if (Answer.rfind("HTTP/1.1 101", 0) == 0 && Answer.find("hello Guest") != std::string::npos) ++Doors;
    else if (StatusLine(Answer) == "HTTP/1.1 503 Service Unavailable" && Answer.find("Retry-After: ") != std::string::npos) ++Busy;
    else ADD_FAILURE() << "neither a door nor 503: \"" << Answer << "\"";
  }
  EXPECT_GE(Doors, 100);
  EXPECT_EQ(200, Doors + Busy);
}

}  // namespace
