// The web front door's files: which address names which file of the page, the file with its
// validators (ETag, Last-Modified) so a browser that has it gets 304, and the door named in the query.

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <fstream>
#include <sstream>

#include "tools/launcher/web_internal.h"

namespace launcher {

namespace {

constexpr std::uintmax_t kMaxFile = 8u << 20;

// The only files served: each address maps to one file under the web root, so no request can name
// any other file.
struct TFile {
  const char* Target;
  const char* Path;
  const char* Type;
};
const TFile kFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/index.html", "index.html", "text/html; charset=utf-8"},
    {"/page.js", "page.js", "text/javascript; charset=utf-8"},
    {"/music.js", "music.js", "text/javascript; charset=utf-8"},
    {"/cp437.js", "cp437.js", "text/javascript; charset=utf-8"},
    {"/favicon.svg", "favicon.svg", "image/svg+xml"},
    {"/favicon.ico", "favicon.svg", "image/svg+xml"},  // asked for by browsers that never read the page's link
    {"/xterm.js", "node_modules/@xterm/xterm/lib/xterm.js", "text/javascript; charset=utf-8"},
    {"/xterm.css", "node_modules/@xterm/xterm/css/xterm.css", "text/css; charset=utf-8"},
};

bool ReadWhole(const std::string& APath, std::string& AOut) {
  std::ifstream In(APath, std::ios::binary);
  if (!In) return false;
  std::ostringstream Text;
  Text << In.rdbuf();
  if (!In && !In.eof()) return false;
  AOut = std::move(Text).str();
  return AOut.size() <= kMaxFile;
}

std::string HttpDate(std::time_t ATime) {
  std::tm Utc{};
  gmtime_r(&ATime, &Utc);
  char Text[64];
  std::strftime(Text, sizeof Text, "%a, %d %b %Y %H:%M:%S GMT", &Utc);
  return Text;
}

int HexDigit(char AC) {
  if (AC >= '0' && AC <= '9') return AC - '0';
  const char C = static_cast<char>(std::tolower(static_cast<unsigned char>(AC)));
  return C >= 'a' && C <= 'f' ? C - 'a' + 10 : -1;
}

// %XX escapes (RFC 3986 2.1) and '+' as a space in a query value; a broken escape makes it no code.
bool PercentDecode(std::string_view AText, std::string& AOut) {
  AOut.clear();
  for (std::size_t I = 0; I < AText.size(); ++I) {
    if (AText[I] == '+') {
      AOut.push_back(' ');
    } else if (AText[I] != '%') {
      AOut.push_back(AText[I]);
    } else {
      if (I + 2 >= AText.size()) return false;
      const int High = HexDigit(AText[I + 1]), Low = HexDigit(AText[I + 2]);
      if (High < 0 || Low < 0) return false;
      AOut.push_back(static_cast<char>(High * 16 + Low));
      I += 2;
    }
  }
  return true;
}

}  // namespace

TWebFile WebFile(const std::string& ARoot, std::string_view ATarget, std::string_view AIfNoneMatch) {
  TWebFile Out;
  ATarget = ATarget.substr(0, ATarget.find('?'));
  for (const TFile& File : kFiles) {
    if (ATarget != File.Target) continue;
    const std::string Path = ARoot + "/" + File.Path;
    struct stat St {};
    if (stat(Path.c_str(), &St) != 0 || !ReadWhole(Path, Out.Body)) {
      Out.Body.clear();
      Out.Status = -1;  // named, but missing or unreadable
      return Out;
    }
    Out.Type = File.Type;
    Out.ETag = std::to_string(St.st_size) + "-" + std::to_string(St.st_mtim.tv_sec) + "." +
               std::to_string(St.st_mtim.tv_nsec);
    Out.ETag.insert(Out.ETag.begin(), '"');
    Out.ETag += '"';
    Out.LastModified = HttpDate(St.st_mtim.tv_sec);
    // If-None-Match holds one or more tags, or "*" (RFC 9110 13.1.2).
    const bool Current = AIfNoneMatch == "*" || (!AIfNoneMatch.empty() && AIfNoneMatch.find(Out.ETag) != std::string_view::npos);
    if (Current) Out.Body.clear();
    Out.Status = Current ? 304 : 200;
    return Out;
  }
  return Out;
}

std::string WebDoorCode(std::string_view ATarget) {
  const auto Query = ATarget.find('?');
  if (Query == std::string_view::npos) return "";
  std::string_view Rest = ATarget.substr(Query + 1);
  while (!Rest.empty()) {
    const auto Amp = Rest.find('&');
    const std::string_view Pair = Rest.substr(0, Amp);
    if (Pair.substr(0, 5) == "door=") {
      std::string Code;
      const bool Plain = PercentDecode(Pair.substr(5), Code) && !Code.empty() && Code.size() <= 32 &&
                         std::all_of(Code.begin(), Code.end(), [](char C) {
                           return std::isalnum(static_cast<unsigned char>(C)) || C == '-' || C == '_';
                         });
      return Plain ? Code : "";
    }
    if (Amp == std::string_view::npos) break;
    Rest = Rest.substr(Amp + 1);
  }
  return "";
}

}  // namespace launcher
