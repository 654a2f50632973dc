// Text helpers: pipe colour codes to ANSI, the backtick-code strip, time formats, tokens, base64.

#include "stringutils/stringutils.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ansi/ansi.h"

namespace {

// Value of one hexadecimal digit, or -1 when the byte is none.
int HexValue(char AChar) {
  if (AChar >= '0' && AChar <= '9') return AChar - '0';
  if (AChar >= 'A' && AChar <= 'F') return AChar - 'A' + 10;
  if (AChar >= 'a' && AChar <= 'f') return AChar - 'a' + 10;
  return -1;
}

// A field of a time format: at least two characters, "0" in front of a single one. A negative
// single digit ("-5") is already two characters long and is left alone; nothing is ever cut.
std::string Padded(std::int32_t AValue) {
  std::string Text = std::to_string(AValue);
  if (Text.size() < 2) Text.insert(0, 2 - Text.size(), '0');
  return Text;
}

// Base64 alphabet of RFC 4648 section 4: value 0-63, -1 for every other byte ("=" included).
constexpr std::array<std::int8_t, 256> MakeBase64Table() {
  std::array<std::int8_t, 256> Table{};
  for (auto& Entry : Table) Entry = -1;
  const char* Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int I = 0; I < 64; ++I) Table[static_cast<unsigned char>(Alphabet[I])] = static_cast<std::int8_t>(I);
  return Table;
}
constexpr std::array<std::int8_t, 256> kBase64Values = MakeBase64Table();

}  // namespace

std::string PipeToAnsi(const std::string& AText) {
  if (AText.size() < 3) return AText;
  std::string Result;
  Result.reserve(AText.size());
  const std::size_t Size = AText.size();
  std::size_t I = 0;
  while (I < Size) {
    const char Byte = AText[I];
    if (Byte == '|' && I + 2 < Size) {
      const int High = HexValue(AText[I + 1]);
      const int Low = HexValue(AText[I + 2]);
      if (High >= 0 && Low >= 0) {
        // Blink (the high bit of the background digit) is dropped: |9C is |1C.
        Result += AnsiTextAttr(static_cast<std::uint8_t>(((High << 4) | Low) & 0x7F));
        I += 3;
        continue;
      }
    }
    Result += Byte;
    ++I;
  }
  return Result;
}

std::string KestStrip(const std::string& AText) {
  std::string Result;
  Result.reserve(AText.size());
  const std::size_t Size = AText.size();
  std::size_t I = 0;
  while (I < Size) {
    if (AText[I] != '`') {
      Result += AText[I++];
      continue;
    }
    // `r takes one more byte (its argument); every other code is the backtick and one byte.
    if (I + 1 < Size && AText[I + 1] == 'r') {
      I += 3;
    } else {
      I += 2;
    }
  }
  return Result;
}

// The formats divide with truncation toward zero, so every non-zero part of a negative count keeps
// its sign. Division by positive constants cannot overflow, INT32_MIN included.
std::string SecToDHMS(std::int32_t ASec) {
  const std::int32_t Days = ASec / 86400;
  std::int32_t Rest = ASec % 86400;
  const std::int32_t Hours = Rest / 3600;
  Rest %= 3600;
  return std::to_string(Days) + "d " + std::to_string(Hours) + "h " + std::to_string(Rest / 60) + "m " +
         std::to_string(Rest % 60) + "s";
}

std::string SecToHM(std::int32_t ASec) {
  return Padded(ASec / 3600) + ":" + Padded((ASec % 3600) / 60);
}

std::string SecToHMS(std::int32_t ASec) {
  return Padded(ASec / 3600) + ":" + Padded((ASec % 3600) / 60) + ":" + Padded(ASec % 60);
}

std::string SecToMS(std::int32_t ASec) {
  return Padded(ASec / 60) + ":" + Padded(ASec % 60);
}

TTokens StrToTok(const std::string& AText, char ADelim) {
  TTokens Tokens(1);  // element 0 carries no token
  std::size_t Start = 0;
  for (;;) {
    const std::size_t End = AText.find(ADelim, Start);
    if (End == std::string::npos) {
      Tokens.emplace_back(AText, Start);
      return Tokens;
    }
    Tokens.emplace_back(AText, Start, End - Start);
    Start = End + 1;
  }
}

std::string TokToStr(const TTokens& ATokens, char ADelim) {
  return TokToStr(ATokens, ADelim, 1);
}

std::string TokToStr(const TTokens& ATokens, char ADelim, std::int32_t AStartIndex) {
  // A negative start index joins from element 0, the first there is.
  const std::size_t Start = AStartIndex < 0 ? 0 : static_cast<std::size_t>(AStartIndex);
  if (Start >= ATokens.size()) return {};
  std::string Result = ATokens[Start];
  for (std::size_t I = Start + 1; I < ATokens.size(); ++I) {
    Result += ADelim;
    Result += ATokens[I];
  }
  return Result;
}

std::string Base64Decode(const std::string& ABase64) {
  // Collect the 6-bit values of the alphabet characters up to the first "=", skipping every other
  // byte. Whatever follows the first "=" is never decoded, whatever the length of the input, so
  // the output length depends only on the characters before it.
  std::string Values;
  Values.reserve(ABase64.size());
  bool EndedByPad = false;
  for (const char Byte : ABase64) {
    if (Byte == '=') {
      EndedByPad = true;
      break;
    }
    const std::int8_t Value = kBase64Values[static_cast<unsigned char>(Byte)];
    if (Value >= 0) Values += static_cast<char>(Value);
  }
  const std::size_t Count = Values.size();
  std::size_t Length = 3 * (Count / 4);
  // A final group of two or three characters yields one or two bytes, but only when "=" closes
  // it; a group without its pad, and a single leftover character, are dropped.
  if (EndedByPad && (Count % 4 == 2 || Count % 4 == 3)) Length += Count % 4 - 1;
  if (Length == 0) throw EStreamError();

  std::string Result;
  Result.reserve(Length + 2);
  for (std::size_t I = 0; I < Count && Result.size() < Length; I += 4) {
    std::uint32_t Group = 0;
    for (std::size_t J = 0; J < 4; ++J) {
      Group <<= 6;
      if (I + J < Count) Group |= static_cast<std::uint8_t>(Values[I + J]);
    }
    Result += static_cast<char>((Group >> 16) & 0xFF);
    Result += static_cast<char>((Group >> 8) & 0xFF);
    Result += static_cast<char>(Group & 0xFF);
  }
  Result.resize(Length);
  return Result;
}
