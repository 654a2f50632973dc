// The web front door's refusal: a connection it has no room for hears "503 Service Unavailable"
// with a time to come back, instead of a bare close.

#include <unistd.h>

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <memory>

#include "tools/launcher/web_internal.h"

namespace launcher {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using TErrorCode = boost::system::error_code;

constexpr auto kRefusalTime = std::chrono::seconds(2);  // for the client to read its answer
constexpr const char* kRetryAfter = "10";

class TRefusal : public std::enable_shared_from_this<TRefusal> {
 public:
  TRefusal(tcp::socket&& ASocket, const char* AWhy, std::function<void()> AOnClosed)
      : FSocket(std::move(ASocket)), FTimer(FSocket.get_executor()), FOnClosed(std::move(AOnClosed)) {
    const std::string Body = std::string(AWhy) + " Please try again in a few seconds.\n";
    FAnswer = "HTTP/1.1 503 Service Unavailable\r\nServer: zelkit-launch\r\nRetry-After: " + std::string(kRetryAfter) +
              "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(Body.size()) +
              "\r\nConnection: close\r\n\r\n" + Body;
  }
  ~TRefusal() {
    if (FOnClosed) FOnClosed();
  }
  TRefusal(const TRefusal&) = delete;
  TRefusal& operator=(const TRefusal&) = delete;

  void Start() {
    FTimer.expires_after(kRefusalTime);
    FTimer.async_wait([Self = shared_from_this()](TErrorCode AEc) {
      TErrorCode Ignored;
      if (!AEc) Self->FSocket.close(Ignored);
    });
    asio::async_write(FSocket, asio::buffer(FAnswer), [Self = shared_from_this()](TErrorCode AEc, std::size_t) {
      if (AEc) {
        Self->FTimer.cancel();
        return;
      }
      Self->FSocket.shutdown(tcp::socket::shutdown_send, AEc);
      Self->Drain();
    });
  }

 private:
  void Drain() {
    FSocket.async_read_some(asio::buffer(FScratch), [Self = shared_from_this()](TErrorCode AEc, std::size_t) {
      if (!AEc) return Self->Drain();
      Self->FTimer.cancel();  // the client has closed: so do we
    });
  }

  tcp::socket FSocket;
  asio::steady_timer FTimer;
  std::function<void()> FOnClosed;
  std::string FAnswer;
  std::array<char, 1024> FScratch{};
};

}  // namespace

void WebRefuse(asio::io_context& AIo, int AFd, const char* AWhy, std::function<void()> AOnClosed) {
  TErrorCode Ec;
  tcp::socket Socket(AIo);
  Socket.assign(tcp::v4(), AFd, Ec);
  if (Ec) {
    close(AFd);
    if (AOnClosed) AOnClosed();
    return;
  }
  std::make_shared<TRefusal>(std::move(Socket), AWhy, std::move(AOnClosed))->Start();
}

}  // namespace launcher
