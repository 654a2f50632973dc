// Pipe codes: byte 0 is the console attribute the converter reads, the rest the text. Text
// without a bar comes back unchanged, and no bar is ever added.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "console/console.h"
#include "stringutils/stringutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize < 1) return 0;
  ConsoleTextAttr = AData[0];
  const std::string Text(reinterpret_cast<const char*>(AData + 1), ASize - 1);
  const std::string Out = PipeToAnsi(Text);
  const auto Bars = [](const std::string& S) { return std::count(S.begin(), S.end(), '|'); };
  if (Bars(Text) == 0 && Out != Text) std::abort();
  if (Bars(Out) > Bars(Text)) std::abort();
  return 0;
}
