#pragma once
// Shared inside the web front door: the page's files as HTTP answers (web_files.cpp) for the
// listener and relay (web.cpp).

#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace launcher
