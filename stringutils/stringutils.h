#pragma once
// Text helpers for doors: pipe colour codes, the backtick-code strip, time formats, tokens, base64.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Raised by Base64Decode for input that decodes to nothing; what() is "Invalid stream operation".
class EStreamError : public std::runtime_error {
 public:
  EStreamError() : std::runtime_error("Invalid stream operation") {}
};

// Element 0 is left empty; token I of the text is element I.
using TTokens = std::vector<std::string>;

std::string PipeToAnsi(const std::string& AText);  // |BF (hex background, foreground) to ANSI colours
std::string KestStrip(const std::string& AText);   // removes backtick codes

std::string SecToDHMS(std::int32_t ASec);  // 93784 -> "1d 2h 3m 4s"
std::string SecToHM(std::int32_t ASec);    // 3725 -> "01:02"
std::string SecToHMS(std::int32_t ASec);   // 3725 -> "01:02:05"
std::string SecToMS(std::int32_t ASec);    // 3725 -> "62:05"

// Element 0 empty, token I at index I; adjacent delimiters give empty tokens; no trimming.
TTokens StrToTok(const std::string& AText, char ADelim);
std::string TokToStr(const TTokens& ATokens, char ADelim);  // from token 1
std::string TokToStr(const TTokens& ATokens, char ADelim, std::int32_t AStartIndex);

// Characters outside the alphabet are skipped; the first "=" ends the data. Raises EStreamError
// when nothing decodes.
std::string Base64Decode(const std::string& ABase64);
