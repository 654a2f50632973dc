#pragma once
// Shared inside the web front door: the page's files as HTTP answers (web_files.cpp), who a trusted
// proxy says the caller is (web_forwarded.cpp) and the 503 for a connection there is no room for
// (web_refusal.cpp), for the listener and relay (web.cpp).

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace boost::asio {
class io_context;
}

namespace launcher {

// A file of the page, ready to send: Status 200 with the body, 304 when the browser's copy (by its
// If-None-Match) is current, 404 when the address names no file of the page.
struct TWebFile {
  int Status = 404;
  std::string Body;
  const char* Type = "text/plain; charset=utf-8";
  std::string ETag;          // size and modification time: changes whenever the file does
  std::string LastModified;  // HTTP date
};
TWebFile WebFile(const std::string& ARoot, std::string_view ATarget, std::string_view AIfNoneMatch);

// The value of "door=" in an address's query, percent-decoded, when it is a plausible door code.
std::string WebDoorCode(std::string_view ATarget);

// What a trusted proxy says about a request: the caller's address (the right-most hop that is not
// itself a trusted proxy), and the scheme and host the browser used, for the Origin check.
struct TForwarded {
  bool Named = false;          // the headers name a caller; otherwise the proxy itself is calling
  std::uint32_t Address = 0;   // IPv4, host byte order
  std::string Peer;            // the hop as the proxy wrote it, for log lines ("192.0.2.60")
  std::string Proto;           // "https", "http", or "" when not said
  std::string Host;            // lower case; "" when not said
  std::string Why;             // a caller the door server cannot name: refused, and this is why
};
// Forwarded wins over the X-Forwarded-* headers when both are there; ATrusted may be empty.
TForwarded WebForwarded(std::string_view AForwarded, std::string_view AForwardedFor, std::string_view AProto,
                        std::string_view AHost, bool (*ATrusted)(std::uint32_t));

// Answers the connected TCP socket AFd "503 Service Unavailable" with Retry-After and AWhy, then
// closes it once the request has been read (or after 2 s), so the answer is not lost to a reset;
// AOnClosed runs on AIo's loop when it is closed.
void WebRefuse(boost::asio::io_context& AIo, int AFd, const char* AWhy, std::function<void()> AOnClosed);

}  // namespace launcher
