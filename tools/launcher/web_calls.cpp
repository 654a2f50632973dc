// zelkit-launch's side of the web front door: starting it from the options, and giving each web
// caller whose WebSocket is open a node like any other caller, on one end of a socket pair whose
// other end the web relay keeps. A build without Boost.Beast has no web front door and says so.

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tools/launcher/launcher_internal.h"
#ifdef ZELKIT_WEB
#include "tools/launcher/web.h"
#endif

namespace launcher {

#ifdef ZELKIT_WEB

namespace {

bool HasPage(const std::string& ARoot) {
  struct stat St {};
  return stat((ARoot + "/index.html").c_str(), &St) == 0;
}

// An installed launcher finds the page installed beside it (<prefix>/share/zelkit/web, wherever the
// prefix was moved to); a launcher run from its build tree finds the source tree's web/.
std::string DefaultWebRoot() {
  char Exe[4096];
  const ssize_t Len = readlink("/proc/self/exe", Exe, sizeof Exe - 1);
  if (Len > 0) {
    std::string Dir(Exe, static_cast<std::size_t>(Len));
    Dir.erase(Dir.find_last_of('/') + 1);
    const std::string Installed = Dir + ZELKIT_WEB_BESIDE_BIN;
    if (HasPage(Installed)) return Installed;
  }
  return ZELKIT_WEB_ROOT;
}

}  // namespace

int StartWeb(int AWakeFd) {
  TWebOptions Web;
  Web.Bind = FOptions.Bind;
  Web.Port = FOptions.WebPort;
  Web.Root = FOptions.WebRoot.empty() ? DefaultWebRoot() : FOptions.WebRoot;
  Web.Origins = FOptions.WebOrigins;
  Web.StallSeconds = FOptions.WebStallSeconds;
  Web.MaxVisitors = FOptions.WebPending;
  Web.MaxPerAddress = [] { return MaxPerAddressNow(); };
  Web.Allowed = [](std::uint32_t AAddress) { return AddressAllowed(ckWeb, AAddress); };
  Web.Trusted = [](std::uint32_t AAddress) { return ProxyTrusted(AAddress); };
  if (!HasPage(Web.Root)) {
    std::fprintf(stderr, "zelkit-launch: --web: no index.html in %s (--web-root names the page's folder)\n", Web.Root.c_str());
    return -1;
  }
  struct stat St {};
  if (stat((Web.Root + "/node_modules/@xterm/xterm/lib/xterm.js").c_str(), &St) != 0)
    Log("zelkit-launch: --web: the page's terminal is not installed; run npm ci in " + Web.Root);
  std::string Error;
  const int Port = WebStart(Web, AWakeFd, Error);
  if (Port < 0)
    std::fprintf(stderr, "zelkit-launch: cannot listen for web callers on %s:%d: %s\n", FOptions.Bind.c_str(),
                 FOptions.WebPort, Error.c_str());
  return Port;
}

void ServiceWebCalls(bool AStopping) {
  for (const TWebCall& Call : WebTakeCalls()) {
    int Pair[2];
    const bool CallsLeft = FOptions.MaxCalls == 0 || FCallsStarted < FOptions.MaxCalls;
    if (AStopping || !CallsLeft || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair) != 0) {
      WebAnswer(Call.Id, -1);
      continue;
    }
    TCaller Caller;
    Caller.Kind = ckWeb;
    Caller.Peer = Call.Peer;
    Caller.Address = Call.Address;
    Caller.DoorCode = Call.DoorCode;
    // The door (or the launcher's polite refusal) gets one end; the relay the other.
    StartCaller(Pair[0], Caller);
    WebAnswer(Call.Id, Pair[1]);
  }
}

void StopWeb() { WebStop(); }

#else

int StartWeb(int) {
  std::fputs("zelkit-launch: --web: this zelkit-launch was built without its web front door "
             "(install libboost-dev and build again)\n", stderr);
  return -1;
}
void ServiceWebCalls(bool) {}
void StopWeb() {}

#endif

}  // namespace launcher
