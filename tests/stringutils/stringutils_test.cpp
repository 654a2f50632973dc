#include "stringutils/stringutils.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>

#include "console/console.h"

namespace {

const std::string kEsc = "\x1b";

TEST(PipeToAnsi, ValidCodesBecomeTheAttributeSequence) {
  ConsoleTextAttr = 0x17;  // the dim foreground codes resend this background (blue)
  struct Case { std::string in, want; };
  const Case kCases[] = {
      {"|1F", kEsc + "[1;37m" + kEsc + "[44m"},
      {"|9C", kEsc + "[1;31m" + kEsc + "[44m"},  // blink dropped: same as |1C
      {"|1C", kEsc + "[1;31m" + kEsc + "[44m"},
      {"|4E", kEsc + "[1;33m" + kEsc + "[41m"},
      {"|07", kEsc + "[0;37m" + kEsc + "[44m" + kEsc + "[40m"},
      {"|0a", kEsc + "[1;32m" + kEsc + "[40m"},
      {"|0A", kEsc + "[1;32m" + kEsc + "[40m"},
      {"|F0", kEsc + "[0;30m" + kEsc + "[44m" + kEsc + "[47m"},
      {"||1F", "|" + kEsc + "[1;37m" + kEsc + "[44m"},
      {"a|0Fb|1Fc", "a" + kEsc + "[1;37m" + kEsc + "[40mb" + kEsc + "[1;37m" + kEsc + "[44mc"},
      {"|0F|", kEsc + "[1;37m" + kEsc + "[40m|"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.want, PipeToAnsi(c.in));
  }
}

TEST(PipeToAnsi, InvalidOrShortCodesStayAsText) {
  ConsoleTextAttr = 0x17;
  const std::string kCases[] = {"", "|", "|1", "ab|", "x|1", "|0G", "|G0", "|  ", "| 1F", "|-1x", "\x1b[0m"};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c);
    EXPECT_EQ(c, PipeToAnsi(c));
  }
  // The bar of a broken code stays, and the scan goes on right after it.
  EXPECT_EQ("|0" + kEsc + "[1;37m" + kEsc + "[40m", PipeToAnsi("|0|0F"));
}

TEST(KestStrip, RemovesBacktickCodes) {
  struct Case { std::string in, want; };
  const Case kCases[] = {
      {"`2Hello`0", "Hello"}, {"`r1Blue", "Blue"}, {"`R1X", "1X"},    {"abc`", "abc"},
      {"``x", "x"},           {"a`r", "a"},        {"a`r1", "a"},     {"|1FHi", "|1FHi"},
      {"", ""},               {"`", ""},           {"x`\x1b[0m", "x[0m"}, {"`r``ab", "b"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.want, KestStrip(c.in));
  }
}

TEST(TimeFormats, MatchTheirLayouts) {
  struct Case { std::int32_t sec; std::string dhms, hm, hms, ms; };
  const Case kCases[] = {
      {0, "0d 0h 0m 0s", "00:00", "00:00:00", "00:00"},
      {5, "0d 0h 0m 5s", "00:00", "00:00:05", "00:05"},
      {59, "0d 0h 0m 59s", "00:00", "00:00:59", "00:59"},
      {3725, "0d 1h 2m 5s", "01:02", "01:02:05", "62:05"},
      {86399, "0d 23h 59m 59s", "23:59", "23:59:59", "1439:59"},
      {90000, "1d 1h 0m 0s", "25:00", "25:00:00", "1500:00"},
      {93784, "1d 2h 3m 4s", "26:03", "26:03:04", "1563:04"},
      {363600, "4d 5h 0m 0s", "101:00", "101:00:00", "6060:00"},
      {-5, "0d 0h 0m -5s", "00:00", "00:00:-5", "00:-5"},
      {-90, "0d 0h -1m -30s", "00:-1", "00:-1:-30", "-1:-30"},
      {-3725, "0d -1h -2m -5s", "-1:-2", "-1:-2:-5", "-62:-5"},
      {INT32_MAX, "24855d 3h 14m 7s", "596523:14", "596523:14:07", "35791394:07"},
      {INT32_MIN, "-24855d -3h -14m -8s", "-596523:-14", "-596523:-14:-8", "-35791394:-8"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sec);
    EXPECT_EQ(c.dhms, SecToDHMS(c.sec));
    EXPECT_EQ(c.hm, SecToHM(c.sec));
    EXPECT_EQ(c.hms, SecToHMS(c.sec));
    EXPECT_EQ(c.ms, SecToMS(c.sec));
  }
}

TEST(StrToTok, SplitsAtEveryDelimiter) {
  struct Case { std::string in; char delim; TTokens want; };
  const Case kCases[] = {
      {"a,b,,c", ',', {"", "a", "b", "", "c"}},
      {"", ',', {"", ""}},
      {"abc", ',', {"", "abc"}},
      {",", ',', {"", "", ""}},
      {",a,", ',', {"", "", "a", ""}},
      {"a b", ' ', {"", "a", "b"}},
      {std::string("a\0b", 3), '\0', {"", "a", "b"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.want, StrToTok(c.in, c.delim));
  }
}

TEST(TokToStr, JoinsFromTheStartIndex) {
  const TTokens kTokens = {"", "a", "b", "c", "d"};
  struct Case { std::int32_t start; std::string want; };
  const Case kCases[] = {
      {1, "a;b;c;d"}, {3, "c;d"}, {4, "d"}, {5, ""}, {99, ""}, {INT32_MAX, ""},
      {0, ";a;b;c;d"}, {-1, ";a;b;c;d"}, {INT32_MIN, ";a;b;c;d"},  // negative starts at element 0
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.start);
    EXPECT_EQ(c.want, TokToStr(kTokens, ';', c.start));
  }
  EXPECT_EQ("a;b;c;d", TokToStr(kTokens, ';'));
  EXPECT_EQ("", TokToStr(TTokens{}, ';', 0));
  EXPECT_EQ("x,,y", TokToStr(TTokens{"ignored", "x", "", "y"}, ','));
}

TEST(Tokens, RoundTripForRandomTexts) {
  std::mt19937 Rng(20261207);
  const std::string kAlphabet = ",,;ab \x01\xff";
  for (int I = 0; I < 2000; ++I) {
    std::string Text(Rng() % 12, ' ');
    for (auto& Ch : Text) Ch = kAlphabet[Rng() % kAlphabet.size()];
    const char Delim = kAlphabet[Rng() % kAlphabet.size()];
    SCOPED_TRACE(testing::Message() << "text '" << Text << "' delim '" << Delim << "'");
    const TTokens Tokens = StrToTok(Text, Delim);
    ASSERT_EQ(Tokens[0], "");
    ASSERT_EQ(Text, TokToStr(Tokens, Delim));
  }
}

TEST(Base64Decode, DecodesUpToTheFirstPad) {
  struct Case { std::string in, want; };
  const Case kCases[] = {
      {"QUJD", "ABC"},
      {"QUI=", "AB"},
      {"QQ==", "A"},
      {"QQ=", "A"},
      {"QUJD\r\nQQ==", "ABCA"},
      {"QUJDQQ", "ABC"},      // a final group without "=" is dropped
      {"QUJDQ", "ABC"},       // so is a single leftover character
      {"QUJDQ=", "ABC"},      // and a single one before "="
      {"QQ==QUJD", "A"},      // nothing after the first "=" is decoded
      {" Q U J D ", "ABC"},   // blanks are skipped
      {"Q-U_J.D", "ABC"},     // "-" and "_" are not in the alphabet
      {"+/+/", "\xfb\xff\xbf"},
      {"AAAA", std::string(3, '\0')},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.want, Base64Decode(c.in));
  }
}

TEST(Base64Decode, FailsWhenNothingDecodes) {
  const std::string kCases[] = {"", "QUI", "Q", "   ", "\r\n", "=QUJD", "==", "Q=", "-_-_", "QQ\nQ"};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c);
    try {
      const std::string Result = Base64Decode(c);
      ADD_FAILURE() << "decoded to " << Result.size() << " bytes";
    } catch (const EStreamError& E) {
      EXPECT_STREQ("Invalid stream operation", E.what());
    }
  }
}

// Standard encoder (RFC 4648 section 4), written independently of the decoder.
std::string Encode(const std::string& ABytes) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Out;
  for (std::size_t I = 0; I < ABytes.size(); I += 3) {
    const std::size_t Left = ABytes.size() - I;
    std::uint32_t Group = static_cast<std::uint8_t>(ABytes[I]) << 16;
    if (Left > 1) Group |= static_cast<std::uint8_t>(ABytes[I + 1]) << 8;
    if (Left > 2) Group |= static_cast<std::uint8_t>(ABytes[I + 2]);
    Out += kAlphabet[(Group >> 18) & 63];
    Out += kAlphabet[(Group >> 12) & 63];
    Out += Left > 1 ? kAlphabet[(Group >> 6) & 63] : '=';
    Out += Left > 2 ? kAlphabet[Group & 63] : '=';
  }
  return Out;
}

TEST(Base64Decode, InvertsTheStandardEncoding) {
  std::mt19937 Rng(4648);
  for (int I = 0; I < 500; ++I) {
    std::string Bytes(1 + Rng() % 3000, '\0');  // lengths well past 1024 characters of text
    for (auto& B : Bytes) B = static_cast<char>(Rng());
    std::string Text = Encode(Bytes);
    SCOPED_TRACE(testing::Message() << "length " << Bytes.size());
    ASSERT_EQ(Bytes, Base64Decode(Text));
    // Data after the first "=" never changes the result, however long the input.
    if (Text.back() == '=') {
      ASSERT_EQ(Bytes, Base64Decode(Text + Encode(Bytes)));
    }
  }
}

}  // namespace
