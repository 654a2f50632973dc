// Backtick strip: the result is a subsequence of the text, holds no backtick (every backtick
// starts a code that is removed whole) and is therefore left alone by a second strip.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "stringutils/stringutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const std::string Text(reinterpret_cast<const char*>(AData), ASize);
  const std::string Out = KestStrip(Text);
  if (Out.find('`') != std::string::npos) std::abort();
  std::size_t Pos = 0;
  for (const char Ch : Out) {
    Pos = Text.find(Ch, Pos);
    if (Pos == std::string::npos) std::abort();
    ++Pos;
  }
  if (KestStrip(Out) != Out) std::abort();
  return 0;
}
