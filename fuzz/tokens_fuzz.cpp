// Tokens: byte 0 is the delimiter, the rest the text. Splitting and joining give the text back,
// with one token more than there are delimiters and an empty element 0.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "stringutils/stringutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize < 1) return 0;
  const char Delim = static_cast<char>(AData[0]);
  const std::string Text(reinterpret_cast<const char*>(AData + 1), ASize - 1);
  const TTokens Tokens = StrToTok(Text, Delim);
  const auto Delims = static_cast<std::size_t>(std::count(Text.begin(), Text.end(), Delim));
  if (Tokens.size() != Delims + 2 || !Tokens[0].empty()) std::abort();
  if (TokToStr(Tokens, Delim) != Text) std::abort();
  if (TokToStr(Tokens, Delim, -5) != Delim + Text) std::abort();
  return 0;
}
