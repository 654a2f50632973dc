#pragma once
// zelkit-launch's web front door: one page (a terminal in the browser) and a WebSocket endpoint,
// served from a thread of its own, and the relay between each caller's WebSocket and the socket the
// launcher hands that caller's door. The launcher's loop decides who gets a node; this side only
// speaks HTTP, WebSocket and, towards the door, telnet as a client.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/launcher/telnet_client.h"

namespace launcher {

struct TWebOptions {
  std::string Bind = "127.0.0.1";   // IPv4 address of the listener
  int Port = 0;                     // 0 picks a free port
  std::string Root;                 // folder of index.html, page.js, ... and node_modules/@xterm/xterm
  std::vector<std::string> Origins; // further pages allowed to open the WebSocket ("https://bbs.example.org")
  int StallSeconds = 30;            // a caller whose browser takes nothing this long is dropped
  int MaxVisitors = 256;            // connections at once that are not callers yet (loading the page)
  // Calls at once from one address as the launcher's limit stands (a reload may change it); the
  // page's own connections come on top. Empty: 64.
  int (*MaxPerAddress)() = nullptr;
  bool (*Allowed)(std::uint32_t AAddress) = nullptr;  // the allow list, asked at connect; may be empty
  bool (*Trusted)(std::uint32_t AAddress) = nullptr;  // a proxy that names the caller (Forwarded); may be empty
};

// A caller whose WebSocket is open and who now wants a node.
struct TWebCall {
  std::uint64_t Id = 0;
  std::string Peer;            // "address:port"
  std::uint32_t Address = 0;   // IPv4, host byte order
  std::string DoorCode;        // from the page's address, "/door?door=CODE"; empty: the menu
};

// Opens the listener and starts the web thread. AWakeFd (non-blocking) gets a byte whenever calls
// wait for WebTakeCalls. Returns the bound port, or -1 with AError set.
int WebStart(const TWebOptions& AOptions, int AWakeFd, std::string& AError);
std::vector<TWebCall> WebTakeCalls();
// The launcher's answer to a call: the relay's end of a connected socket whose other end carries the
// door (or the launcher's refusal), or -1 to hang up. The web side owns ASocket from here on.
void WebAnswer(std::uint64_t AId, int ASocket);
void WebStop();  // closes every web connection and ends the thread

}  // namespace launcher
