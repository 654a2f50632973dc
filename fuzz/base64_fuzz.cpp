// Base64 decoding of arbitrary text: it either fails with the stream error or returns bytes that,
// encoded again and decoded again, come back unchanged. The length never exceeds 3/4 of the text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "stringutils/stringutils.h"

namespace {

std::string Encode(const std::string& ABytes) {  // RFC 4648 section 4, with padding
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Out;
  for (std::size_t I = 0; I < ABytes.size(); I += 3) {
    const std::size_t Left = ABytes.size() - I;
    std::uint32_t Group = static_cast<std::uint32_t>(static_cast<std::uint8_t>(ABytes[I])) << 16;
    if (Left > 1) Group |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(ABytes[I + 1])) << 8;
    if (Left > 2) Group |= static_cast<std::uint8_t>(ABytes[I + 2]);
    Out += kAlphabet[(Group >> 18) & 63];
    Out += kAlphabet[(Group >> 12) & 63];
    Out += Left > 1 ? kAlphabet[(Group >> 6) & 63] : '=';
    Out += Left > 2 ? kAlphabet[Group & 63] : '=';
  }
  return Out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const std::string Text(reinterpret_cast<const char*>(AData), ASize);
  std::string Bytes;
  try {
    Bytes = Base64Decode(Text);
  } catch (const EStreamError&) {
    return 0;
  }
  if (Bytes.empty() || Bytes.size() * 4 > ASize * 3) std::abort();
  if (Base64Decode(Encode(Bytes)) != Bytes) std::abort();
  return 0;
}
