// The PROXY header parser on hostile bytes: it answers within its bounds, a whole header never
// runs past the bytes given or past kProxyHeaderMax, and feeding the same bytes in two pieces
// (incomplete first, then all) gives the same answer as feeding them at once.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/launcher/proxy_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  using namespace launcher;
  const std::string_view Bytes(reinterpret_cast<const char*>(AData), ASize);
  TProxyHeader Header;
  const TProxyParse Whole = ParseProxyHeader(Bytes, Header);
  if (Whole == ppDone && (Header.Length == 0 || Header.Length > ASize || Header.Length > kProxyHeaderMax)) std::abort();
  if (Whole == ppBad && Header.Why.empty()) std::abort();
  if (Whole == ppIncomplete && ASize >= kProxyHeaderMax) std::abort();
  // Any prefix of a complete or still incomplete header is itself incomplete, never refused.
  if (Whole != ppBad && ASize > 0) {
    TProxyHeader Part;
    const TProxyParse Prefix = ParseProxyHeader(Bytes.substr(0, (Whole == ppDone ? Header.Length : ASize) - 1), Part);
    if (Prefix != ppIncomplete) std::abort();
  }
  return 0;
}
