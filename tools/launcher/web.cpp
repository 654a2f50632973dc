// zelkit-launch's web front door on one Asio event loop in a thread of its own: the page's few
// files over HTTP, the WebSocket handshake (RFC 6455) with its Origin check, and for each caller the
// relay between the WebSocket and the socket the launcher's loop handed the door.
//
// Memory per caller is bounded: one read from the door (kDoorBlock) and at most kHighWater bytes
// waiting for the browser, after which the door is not read until the browser catches up; one
// message from the browser (kMaxMessage) is taken at a time, the next only once the door has it.
// The page acknowledges what its terminal has drawn ("ack N", a text message: N bytes so far) and
// the door is not read while more than kUnacknowledged bytes are not, so the browser's memory is
// bounded too. A browser that takes nothing (or acknowledges nothing while the door waits) for
// --web-stall seconds is dropped, so the door sees the caller gone.
//
// Connections that are not callers yet (loading the page, opening the WebSocket) are at most
// --web-pending, and every address holds at most --max-per-address web connections (and a few for
// loading the page); a connection beyond either gets 503 with Retry-After. A request head must arrive whole within kHeadTime.

#include "tools/launcher/web.h"

#include "comm/comm_telnet.h"
#include "tools/launcher/web_internal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>
#include <charconv>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

namespace launcher {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using TErrorCode = beast::error_code;

constexpr std::size_t kMaxMessage = 4096;    // one message from the browser: a key, a paste
constexpr std::size_t kDoorBlock = 16384;    // one read from the door
constexpr std::size_t kHighWater = 65536;    // bytes waiting for the browser before the door waits
constexpr std::uint64_t kUnacknowledged = 262144;  // bytes sent that the page has not drawn yet
constexpr std::size_t kMaxHeader = 8192;     // an HTTP request's head
constexpr auto kHeadTime = std::chrono::seconds(5);     // a request head, from its first byte's chance
constexpr auto kHandshakeTime = std::chrono::seconds(10);  // the WebSocket's opening handshake
constexpr int kMaxRefusals = 512;            // 503 answers under way; beyond, connections are just closed
// A browser loads a page over several connections at once (six, typically) besides its call, so an
// address may hold this many web connections beyond its calls; the calls themselves are counted
// by the launcher, which turns away one too many with a message of its own.
constexpr int kPageConnections = 8;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr auto kStopGrace = std::chrono::seconds(2);  // for relays to pass on a door's last words

class TVisitor;

TWebOptions FWeb;

// Web connections at once from one address: the launcher's per-address limit and the page's own.
int PerAddressCap() { return (FWeb.MaxPerAddress ? FWeb.MaxPerAddress() : 64) + kPageConnections; }
std::unique_ptr<asio::io_context> FIo;
std::unique_ptr<tcp::acceptor> FAcceptor;
std::unique_ptr<asio::steady_timer> FAcceptTimer;
std::unique_ptr<asio::steady_timer> FStopTimer;
std::thread FThread;
int FWakeFd = -1;
std::mutex FCallsLock;  // guards FCalls, shared with the launcher's loop
std::vector<TWebCall> FCalls;
// Web thread only from here on.
std::uint64_t FNextId = 1;
std::map<std::uint64_t, std::shared_ptr<TVisitor>> FWaiting;  // callers waiting for the launcher's answer
int FVisitors = 0;
int FLive = 0;                       // connections of every kind still open
int FRefusals = 0;                   // 503 answers still being delivered
std::map<std::uint32_t, int> FByAddress;  // web connections open from each address
bool FStopping = false;
std::vector<std::weak_ptr<TVisitor>> FAll;
std::vector<std::string> FOrigins;  // pages allowed to open the WebSocket, lower case

void Log(const std::string& ALine) {
  const std::string Line = "web: " + ALine + "\n";
  std::ignore = write(STDERR_FILENO, Line.data(), Line.size());
}

std::string_view View(beast::string_view AText) { return {AText.data(), AText.size()}; }

std::string Lower(std::string AText) {
  for (char& C : AText) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return AText;
}

// A browser names the page that opens a WebSocket in Origin (RFC 6454); only the launcher's own page
// (and the sysop's --web-origin pages) may open the door, so a page elsewhere that the caller happens
// to visit cannot call doors in the caller's name. A client without Origin is not a browser. Behind
// a trusted proxy the page is the one the proxy serves: its scheme (X-Forwarded-Proto) and the host
// the browser asked for.
bool OriginAllowed(const http::request<http::empty_body>& ARequest, const TForwarded* AProxy) {
  const auto It = ARequest.find(http::field::origin);
  if (It == ARequest.end()) return true;
  const std::string Origin = Lower(std::string(It->value()));
  if (AProxy && !AProxy->Proto.empty()) {
    const std::string Host = AProxy->Host.empty() ? Lower(std::string(ARequest[http::field::host])) : AProxy->Host;
    if (!Host.empty() && Origin == AProxy->Proto + "://" + Host) return true;
  }
  return std::find(FOrigins.begin(), FOrigins.end(), Origin) != FOrigins.end();
}

// Every value of a header the request may carry more than once, as one list.
std::string Joined(const http::request<http::empty_body>& ARequest, std::string_view AName) {
  std::string All;
  for (auto [It, End] = ARequest.equal_range(beast::string_view(AName.data(), AName.size())); It != End; ++It) All += (All.empty() ? "" : ",") + std::string(It->value());
  return All;
}

// One connection from a browser: HTTP requests for the page's files until it asks to upgrade to a
// WebSocket, then a caller whose bytes are relayed to and from the door.
class TVisitor : public std::enable_shared_from_this<TVisitor> {
 public:
  TVisitor(tcp::socket&& ASocket, std::string APeer, std::uint32_t AAddress, bool AFromProxy)
      : FHttp(std::move(ASocket)), FPeer(std::move(APeer)), FAddress(AAddress), FProxyPeer(FPeer),
        FProxyAddress(AAddress), FFromProxy(AFromProxy), FStall(*FIo), FDoor(*FIo) {
    ++FVisitors;
    ++FLive;
    ++FByAddress[FAddress];
  }
  ~TVisitor() {
    if (FCounted) --FVisitors;
    if (--FByAddress[FAddress] <= 0) FByAddress.erase(FAddress);
    if (--FLive == 0 && FStopping) FStopTimer->cancel();
  }
  TVisitor(const TVisitor&) = delete;
  TVisitor& operator=(const TVisitor&) = delete;

  void Start() { ReadRequest(); }

  // The launcher is stopping: a page still loading is cut off; a caller's relay finishes by itself,
  // since every door has ended by now.
  void Shut() {
    TErrorCode Ignored;
    if (!FWs) FHttp.socket().close(Ignored);
  }

  // The launcher's answer: the door's socket, or -1 when the caller is to be hung up on.
  void Begin(int ASocket) {
    if (ASocket < 0) {
      CloseCaller();
      return;
    }
    TErrorCode Ec;
    FDoor.assign(ASocket, Ec);
    if (Ec) {
      close(ASocket);
      CloseCaller();
      return;
    }
    ReadDoor();
    ReadCaller();
  }

 private:
  void ReadRequest() {
    FParser.emplace();
    FParser->header_limit(kMaxHeader);
    // The head must be whole within kHeadTime however slowly it trickles in; a connection that
    // only holds a slot is closed.
    FHttp.expires_after(kHeadTime);
    http::async_read_header(FHttp, FBuffer, *FParser,
                            [Self = shared_from_this()](TErrorCode AEc, std::size_t) { Self->OnRequest(AEc); });
  }

  void OnRequest(TErrorCode AEc) {
    if (AEc) return;  // gone, too slow, or not HTTP: the connection closes with the last reference
    http::request<http::empty_body> Request = FParser->release();
    // A request with a body (POST, PUT, ...) is none the page makes: answered, then closed unread.
    const bool Body = Request.has_content_length() || Request.chunked();
    if (Body || (Request.method() != http::verb::get && Request.method() != http::verb::head)) {
      Request.keep_alive(false);
      return Respond(Request, http::status::method_not_allowed, "Only GET and HEAD.\n", "text/plain; charset=utf-8");
    }
    if (FFromProxy && !TakeForwarded(Request)) return;
    if (websocket::is_upgrade(Request)) return Upgrade(std::move(Request));
    Serve(Request);
  }

  // A trusted proxy's request names its caller, who then meets the allow list and the per-address
  // limit. Asked for every request: a proxy may carry several callers' requests on one connection.
  bool TakeForwarded(const http::request<http::empty_body>& ARequest) {
    FForwarded = WebForwarded(Joined(ARequest, "Forwarded"), Joined(ARequest, "X-Forwarded-For"),
                              Joined(ARequest, "X-Forwarded-Proto"), Joined(ARequest, "X-Forwarded-Host"), FWeb.Trusted);
    const char* Text = "text/plain; charset=utf-8";
    if (!FForwarded.Why.empty()) {
      Log("request from proxy " + FProxyPeer + " refused: " + FForwarded.Why);
      Respond(ARequest, http::status::bad_request, "Bad request.\n", Text);
      return false;
    }
    if (--FByAddress[FAddress] <= 0) FByAddress.erase(FAddress);
    FAddress = FForwarded.Named ? FForwarded.Address : FProxyAddress;
    FPeer = FForwarded.Named ? FForwarded.Peer + " (via " + FProxyPeer + ")" : FProxyPeer;
    const int Open = ++FByAddress[FAddress];
    if (FWeb.Allowed && !FWeb.Allowed(FAddress)) {
      Log("caller " + FPeer + " refused: not on the allow list");
      Respond(ARequest, http::status::forbidden, "Not allowed.\n", Text);
      return false;
    }
    if (FForwarded.Named && Open > PerAddressCap()) {
      Log("caller " + FPeer + " refused: " + std::to_string(Open - 1) + " web connections already from that address (--max-per-address)");
      Respond(ARequest, http::status::service_unavailable, "Too many connections from your address.\n", Text);
      return false;
    }
    return true;
  }

  void Respond(const http::request<http::empty_body>& ARequest, http::status AStatus, std::string ABody,
               const char* AType, const TWebFile* AFile = nullptr) {
    auto Response = std::make_shared<http::response<http::string_body>>(AStatus, ARequest.version());
    Response->set(http::field::server, "zelkit-launch");
    Response->set(http::field::content_type, AType);
    // The browser keeps each file and asks whether it is still current (ETag, Last-Modified); an
    // unchanged file costs a 304 without its body.
    Response->set(http::field::cache_control, "no-cache");
    if (AFile) {
      Response->set(http::field::etag, AFile->ETag);
      Response->set(http::field::last_modified, AFile->LastModified);
    }
    if (AStatus == http::status::method_not_allowed) Response->set(http::field::allow, "GET, HEAD");
    Response->set("X-Content-Type-Options", "nosniff");
    // The page uses its own files only; no other site may frame it and take the caller's keys.
    Response->set("Content-Security-Policy",
                  "default-src 'self'; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
    const bool Good = AStatus == http::status::ok || AStatus == http::status::not_modified;
    Response->keep_alive(ARequest.keep_alive() && Good);
    const std::size_t Length = ABody.size();
    if (ARequest.method() != http::verb::head) Response->body() = std::move(ABody);
    if (AStatus != http::status::not_modified) Response->content_length(Length);
    http::async_write(FHttp, *Response, [Self = shared_from_this(), Response](TErrorCode AEc, std::size_t) {
      if (!AEc && Response->keep_alive()) Self->ReadRequest();
      else Self->FHttp.socket().shutdown(tcp::socket::shutdown_send, AEc);
    });
  }

  void Serve(const http::request<http::empty_body>& ARequest) {
    const auto Tag = ARequest.find(http::field::if_none_match);
    TWebFile File = WebFile(FWeb.Root, View(ARequest.target()),
                            Tag == ARequest.end() ? std::string_view() : View(Tag->value()));
    if (File.Status == -1) Log("cannot read the file for " + std::string(ARequest.target()) + " in " + FWeb.Root + " (in web/: npm ci)");
    if (File.Status == 200 || File.Status == 304) {
      std::string Body = std::move(File.Body);
      return Respond(ARequest, static_cast<http::status>(File.Status), std::move(Body), File.Type, &File);
    }
    Respond(ARequest, http::status::not_found, "Not found.\n", "text/plain; charset=utf-8");
  }

  void Upgrade(http::request<http::empty_body> ARequest) {
    std::string_view Target = View(ARequest.target());
    if (Target.substr(0, Target.find('?')) != "/door")
      return Respond(ARequest, http::status::not_found, "Not found.\n", "text/plain; charset=utf-8");
    if (!OriginAllowed(ARequest, FFromProxy ? &FForwarded : nullptr)) {
      Log("caller " + FPeer + " refused: page " + std::string(ARequest[http::field::origin]) + " may not open the door");
      return Respond(ARequest, http::status::forbidden, "This page may not open the door.\n", "text/plain; charset=utf-8");
    }
    FDoorCode = WebDoorCode(Target);
    FWs.emplace(std::move(FHttp));
    beast::get_lowest_layer(*FWs).expires_never();
    websocket::stream_base::timeout Timeouts{};
    Timeouts.handshake_timeout = kHandshakeTime;
    Timeouts.idle_timeout = websocket::stream_base::none();  // an idle caller is the door's business
    Timeouts.keep_alive_pings = false;
    FWs->set_option(Timeouts);
    FWs->set_option(websocket::stream_base::decorator(
        [](websocket::response_type& AResponse) { AResponse.set(http::field::server, "zelkit-launch"); }));
    FWs->read_message_max(kMaxMessage);
    FWs->binary(true);
    FWs->async_accept(ARequest, [Self = shared_from_this()](TErrorCode AEc) { Self->OnAccepted(AEc); });
  }

  void OnAccepted(TErrorCode AEc) {
    if (AEc) return;
    --FVisitors;
    FCounted = false;
    const std::uint64_t Id = FNextId++;
    FWaiting[Id] = shared_from_this();
    {
      std::lock_guard<std::mutex> Guard(FCallsLock);
      FCalls.push_back(TWebCall{Id, FPeer, FAddress, FDoorCode});
    }
    const char Wake = 'w';
    std::ignore = write(FWakeFd, &Wake, 1);
  }

  // Door to browser.
  void ReadDoor() {
    if (FDoorReading || FDoorEnded || FCallerGone) return;
    FDoorReading = true;
    FDoor.async_read_some(asio::buffer(FFromDoor), [Self = shared_from_this()](TErrorCode AEc, std::size_t AGot) {
      Self->OnDoorData(AEc, AGot);
    });
  }

  void OnDoorData(TErrorCode AEc, std::size_t AGot) {
    FDoorReading = false;
    if (AEc) {  // end of file: the door has ended and the launcher hung up, or the door's side is closed
      FDoorEnded = true;
      if (!FWriting && FPending.empty()) CloseCaller();
      return;
    }
    std::string Replies;
    FTelnet.Feed(FFromDoor.data(), AGot, FPending, Replies);
    if (!Replies.empty()) {
      FToDoor += Replies;
      WriteDoor();
    }
    WriteCaller();
    if (Room()) ReadDoor();
  }

  // The door is read only while the browser keeps up: little waiting to go out, and little sent
  // that the page has not drawn.
  bool Room() const { return FPending.size() < kHighWater && FSent - FAcknowledged < kUnacknowledged; }

  // The browser owes the relay progress while a message is being written to it or while the door
  // waits for its acknowledgements; each step of progress gives it --web-stall seconds again.
  void WatchStall() {
    if (!FWriting && Room()) {
      FStall.cancel();
      return;
    }
    FStall.expires_after(std::chrono::seconds(FWeb.StallSeconds));
    FStall.async_wait([Self = shared_from_this()](TErrorCode AEc) {
      if (AEc || Self->FCallerGone || (!Self->FWriting && Self->Room())) return;
      Log("caller " + Self->FPeer + " dropped: the browser took nothing for " + std::to_string(FWeb.StallSeconds) + " s");
      Self->Drop();
    });
  }

  void WriteCaller() {
    if (FWriting || FPending.empty() || FCallerGone) return;
    FWriting = true;
    FSending.swap(FPending);
    FSent += FSending.size();
    WatchStall();
    FWs->async_write(asio::buffer(FSending), [Self = shared_from_this()](TErrorCode AEc, std::size_t) {
      Self->OnCallerWritten(AEc);
    });
  }

  void OnCallerWritten(TErrorCode AEc) {
    FWriting = false;
    FSending.clear();
    if (AEc) return Drop();
    if (!FPending.empty()) WriteCaller();
    else if (FDoorEnded) CloseCaller();
    WatchStall();
    if (Room()) ReadDoor();
  }

  // "ack N": the page has drawn N of the bytes sent so far. A count beyond what was sent, or going
  // back, is not believed.
  void OnAcknowledged(std::string_view AText) {
    std::uint64_t Count = 0;
    if (AText.substr(0, 4) != "ack ") return;
    const char* const End = AText.data() + AText.size();
    const auto [Stop, Ec] = std::from_chars(AText.data() + 4, End, Count);
    if (Ec != std::errc() || Stop != End || Count > FSent || Count < FAcknowledged) return;
    FAcknowledged = Count;
    WatchStall();
    if (Room()) ReadDoor();
  }

  // Browser to door.
  void ReadCaller() {
    if (FCallerReading || FCallerGone) return;
    FCallerReading = true;
    FWs->async_read(FIn, [Self = shared_from_this()](TErrorCode AEc, std::size_t) { Self->OnCallerData(AEc); });
  }

  void OnCallerData(TErrorCode AEc) {
    FCallerReading = false;
    if (AEc) {
      if (AEc == websocket::error::message_too_big) Log("caller " + FPeer + " dropped: a message over " + std::to_string(kMaxMessage) + " bytes");
      return Drop();
    }
    const auto Data = FIn.cdata();
    const char* const Bytes = static_cast<const char*>(Data.data());
    if (FWs->got_text()) {  // the page's own messages; keys come as binary ones
      OnAcknowledged(std::string_view(Bytes, Data.size()));
      FIn.consume(FIn.size());
      return ReadCaller();
    }
    FToDoor += TelnetEscape(Bytes, Data.size());
    FIn.consume(FIn.size());
    WriteDoor();
    if (!FDoorWriting) ReadCaller();  // else once the door has taken these keys
  }

  void WriteDoor() {
    if (FDoorWriting || FToDoor.empty() || !FDoor.is_open()) return;
    FDoorWriting = true;
    FDoorSending.swap(FToDoor);
    asio::async_write(FDoor, asio::buffer(FDoorSending), [Self = shared_from_this()](TErrorCode AEc, std::size_t) {
      Self->FDoorWriting = false;
      Self->FDoorSending.clear();
      if (AEc) return;  // the door's side is gone; reading it ends the call
      if (!Self->FToDoor.empty()) Self->WriteDoor();
      else Self->ReadCaller();
    });
  }

  // The call is over on the door's side: what the door said has gone out; a normal close follows.
  void CloseCaller() {
    if (FCallerGone || FClosing || !FWs) return;
    FClosing = true;
    FWs->async_close(websocket::close_reason(websocket::close_code::normal, "call ended"),
                     [Self = shared_from_this()](TErrorCode) { Self->Drop(); });
  }

  // The caller is gone (or dropped): both connections close, so the door sees the carrier drop.
  void Drop() {
    if (FCallerGone) return;
    FCallerGone = true;
    TErrorCode Ignored;
    FStall.cancel();
    if (FWs) beast::get_lowest_layer(*FWs).socket().close(Ignored);
    if (FDoor.is_open()) FDoor.close(Ignored);
  }

  beast::tcp_stream FHttp;
  std::string FPeer;
  std::uint32_t FAddress;            // the caller's; behind a trusted proxy, as its last request said
  std::string FProxyPeer;            // the connection's own end
  std::uint32_t FProxyAddress;
  bool FFromProxy;                   // the connection is a trusted proxy's (--trust-proxy)
  TForwarded FForwarded;
  bool FCounted = true;  // counted in FVisitors until the WebSocket is open
  beast::flat_buffer FBuffer;
  std::optional<http::request_parser<http::empty_body>> FParser;
  std::optional<websocket::stream<beast::tcp_stream>> FWs;
  std::string FDoorCode;
  asio::steady_timer FStall;
  asio::posix::stream_descriptor FDoor;
  TTelnetClient FTelnet;
  std::array<unsigned char, kDoorBlock> FFromDoor{};
  std::string FPending;      // door bytes not yet handed to the WebSocket
  std::string FSending;      // the message being written to the browser
  std::uint64_t FSent = 0;   // bytes handed to the browser so far
  std::uint64_t FAcknowledged = 0;  // of those, drawn by the page
  beast::flat_buffer FIn;
  std::string FToDoor;       // keys and telnet answers not yet handed to the door
  std::string FDoorSending;
  bool FDoorReading = false, FDoorEnded = false, FWriting = false;
  bool FCallerReading = false, FDoorWriting = false, FClosing = false, FCallerGone = false;
};

void Accept() {
  FAcceptor->async_accept([](TErrorCode AEc, tcp::socket ASocket) {
    if (AEc == asio::error::operation_aborted) return;
    if (AEc) {
      // Out of descriptors, say: the caller waits in the backlog, and so do we, briefly.
      FAcceptTimer->expires_after(kAcceptPause);
      FAcceptTimer->async_wait([](TErrorCode ATimerEc) { if (!ATimerEc) Accept(); });
      return;
    }
    const int Fd = ASocket.native_handle();
    std::ignore = fcntl(Fd, F_SETFD, fcntl(Fd, F_GETFD) | FD_CLOEXEC);
    TErrorCode Ec;
    const tcp::endpoint Remote = ASocket.remote_endpoint(Ec);
    if (!Ec && Remote.address().is_v4()) {
      const std::uint32_t Address = Remote.address().to_v4().to_uint();
      const std::string Peer = Remote.address().to_string() + ":" + std::to_string(Remote.port());
      const auto Mine = FByAddress.find(Address);
      const char* Full = nullptr;
      // A trusted proxy's callers meet the allow list and the limits once its request names them.
      const bool FromProxy = FWeb.Trusted && FWeb.Trusted(Address);
      if (!FromProxy && FWeb.Allowed && !FWeb.Allowed(Address)) {
        Log("caller " + Peer + " refused: not on the allow list");
      } else if (FVisitors >= FWeb.MaxVisitors) {
        Log("caller " + Peer + " refused: " + std::to_string(FWeb.MaxVisitors) + " connections already loading the page (--web-pending)");
        Full = "The door server is busy.";
      } else if (!FromProxy && Mine != FByAddress.end() && Mine->second >= PerAddressCap()) {
        Log("caller " + Peer + " refused: " + std::to_string(Mine->second) + " web connections already from that address (--max-per-address)");
        Full = "Too many connections from your address.";
      } else {
        const auto Visitor = std::make_shared<TVisitor>(std::move(ASocket), Peer, Address, FromProxy);
        std::erase_if(FAll, [](const std::weak_ptr<TVisitor>& AOne) { return AOne.expired(); });
        FAll.push_back(Visitor);
        Visitor->Start();
      }
      if (Full && FRefusals < kMaxRefusals) {
        ++FRefusals;
        ++FLive;
        WebRefuse(*FIo, ASocket.release(), Full, [] {
          --FRefusals;
          if (--FLive == 0 && FStopping) FStopTimer->cancel();
        });
      }
    }
    Accept();
  });
}

}  // namespace

int WebStart(const TWebOptions& AOptions, int AWakeFd, std::string& AError) {
  FWeb = AOptions;
  FWakeFd = AWakeFd;
  FIo = std::make_unique<asio::io_context>(1);
  FAcceptTimer = std::make_unique<asio::steady_timer>(*FIo);
  FStopTimer = std::make_unique<asio::steady_timer>(*FIo);
  TErrorCode Ec;
  const auto Address = asio::ip::make_address_v4(FWeb.Bind, Ec);
  if (Ec) {
    AError = "--bind takes an IPv4 address";
    return -1;
  }
  FAcceptor = std::make_unique<tcp::acceptor>(*FIo);
  const tcp::endpoint Where(Address, static_cast<unsigned short>(FWeb.Port));
  if (FAcceptor->open(Where.protocol(), Ec) || FAcceptor->set_option(tcp::acceptor::reuse_address(true), Ec) ||
      FAcceptor->bind(Where, Ec) || FAcceptor->listen(asio::socket_base::max_listen_connections, Ec)) {
    AError = Ec.message();
    FAcceptor.reset();
    return -1;
  }
  const int Fd = FAcceptor->native_handle();
  std::ignore = fcntl(Fd, F_SETFD, fcntl(Fd, F_GETFD) | FD_CLOEXEC);
  const int Port = FAcceptor->local_endpoint(Ec).port();

  // The launcher's own page, under every name that reaches it here, and the sysop's others.
  FOrigins.clear();
  const std::string Suffix = ":" + std::to_string(Port);
  for (const std::string& Host : {std::string("127.0.0.1"), std::string("localhost"), FWeb.Bind})
    if (Host != "0.0.0.0") FOrigins.push_back("http://" + Host + Suffix);
  for (const std::string& Origin : FWeb.Origins) FOrigins.push_back(Lower(Origin));

  Accept();
  // Signals stay with the launcher's loop: the web thread starts with them blocked.
  sigset_t Block, Old;
  sigemptyset(&Block);
  for (int Signal : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&Block, Signal);
  pthread_sigmask(SIG_BLOCK, &Block, &Old);
  FThread = std::thread([] { FIo->run(); });
  pthread_sigmask(SIG_SETMASK, &Old, nullptr);
  return Port;
}

std::vector<TWebCall> WebTakeCalls() {
  std::lock_guard<std::mutex> Guard(FCallsLock);
  std::vector<TWebCall> Calls;
  Calls.swap(FCalls);
  return Calls;
}

void WebAnswer(std::uint64_t AId, int ASocket) {
  if (!FIo) {
    if (ASocket >= 0) close(ASocket);
    return;
  }
  asio::post(*FIo, [AId, ASocket] {
    const auto It = FWaiting.find(AId);
    if (It == FWaiting.end()) {
      if (ASocket >= 0) close(ASocket);
      return;
    }
    const std::shared_ptr<TVisitor> Visitor = It->second;
    FWaiting.erase(It);
    Visitor->Begin(ASocket);
  });
}

// Stops taking callers and lets the relays pass on what their doors said last (the doors have all
// ended when the launcher stops), for at most kStopGrace.
void WebStop() {
  if (!FIo) return;
  asio::post(*FIo, [] {
    FStopping = true;
    TErrorCode Ignored;
    FAcceptor->close(Ignored);
    FAcceptTimer->cancel();
    for (const auto& [Id, Visitor] : FWaiting) Visitor->Begin(-1);
    FWaiting.clear();
    for (const std::weak_ptr<TVisitor>& One : FAll)
      if (const auto Visitor = One.lock()) Visitor->Shut();
    FStopTimer->expires_after(kStopGrace);
    FStopTimer->async_wait([](TErrorCode AEc) { if (!AEc) FIo->stop(); });
    if (FLive == 0) FStopTimer->cancel();
  });
  if (FThread.joinable()) FThread.join();
  FWaiting.clear();
  FAll.clear();
  FStopTimer.reset();
  FAcceptTimer.reset();
  FAcceptor.reset();
  FIo.reset();
}

}  // namespace launcher
