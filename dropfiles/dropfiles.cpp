// The drop file readers (DOOR32.SYS, DOOR.SYS, DORINFO*.DEF, INFO.*) filling DoorDropInfo, over a
// line reader that treats every file as untrusted.

#include "dropfiles/dropfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>

TDoorDropInfo DoorDropInfo;

namespace {

// A drop file is written by the BBS, but the door treats it as untrusted: a line longer than this is
// cut (the rest up to its line end is skipped), and no reader scans more than MAX_FILE_BYTES of one
// file; past that point the remaining lines read as empty, as at the end of the file. Real drop
// files are a few hundred bytes.
constexpr std::size_t MAX_LINE_BYTES = 64 * 1024;
constexpr std::size_t MAX_FILE_BYTES = 16 * 1024 * 1024;

// Reads a drop file line by line. A line ends at LF, CR LF or a lone CR; past the end of the file
// every line reads as empty. Only regular files are opened: a directory, a FIFO (which could block
// the door forever waiting for a writer), a device or a socket counts as a failed open.
class TDropFile {
 public:
  explicit TDropFile(const std::string& AFileName) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer; the type check
    // below then refuses it. A symbolic-link loop fails here with ELOOP.
    FFd = open(AFileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (FFd < 0) return;
    struct stat St {};
    if (fstat(FFd, &St) != 0 || !S_ISREG(St.st_mode)) {
      std::ignore = close(FFd);
      FFd = -1;
    }
  }
  ~TDropFile() {
    if (FFd >= 0) std::ignore = close(FFd);
  }
  TDropFile(const TDropFile&) = delete;
  TDropFile& operator=(const TDropFile&) = delete;

  bool IsOpen() const { return FFd >= 0; }

  // The next line without its line end; empty once the file (or the scan budget) is exhausted.
  std::string ReadLine() {
    std::string Line;
    for (;;) {
      const int Ch = GetByte();
      if (Ch < 0 || Ch == '\n') break;
      if (Ch == '\r') {
        if (PeekByte() == '\n') std::ignore = GetByte();
        break;
      }
      if (Line.size() < MAX_LINE_BYTES) Line.push_back(static_cast<char>(Ch));
    }
    return Line;
  }

 private:
  bool Fill() {
    if (FEnd || FFd < 0) return false;
    if (FTotal >= MAX_FILE_BYTES) {
      FEnd = true;
      return false;
    }
    for (;;) {
      const ssize_t Got = read(FFd, FBuf, sizeof FBuf);
      if (Got < 0 && errno == EINTR) continue;
      if (Got <= 0) {
        // End of file, or a read error after a successful open (a device error): either way the
        // rest of the file reads as empty lines and the reader carries on with defaults.
        FEnd = true;
        return false;
      }
      FPos = 0;
      FLen = static_cast<std::size_t>(Got);
      FTotal += FLen;
      return true;
    }
  }
  int PeekByte() {
    if (FPos >= FLen && !Fill()) return -1;
    return static_cast<unsigned char>(FBuf[FPos]);
  }
  int GetByte() {
    const int Ch = PeekByte();
    if (Ch >= 0) ++FPos;
    return Ch;
  }

  int FFd = -1;
  char FBuf[4096];
  std::size_t FPos = 0;
  std::size_t FLen = 0;
  std::size_t FTotal = 0;
  bool FEnd = false;
};

// ASCII a-z upper-cased, then compared exactly: blanks are significant.
bool KeywordIs(const std::string& ALine, const char* AKeyword) {
  std::string Upper = ALine;
  for (char& Ch : Upper) {
    if (Ch >= 'a' && Ch <= 'z') Ch = static_cast<char>(Ch - 'a' + 'A');
  }
  return Upper == AKeyword;
}

// A number from the file scaled or shifted by the reader (minutes to seconds, 1-based to 0-based),
// kept inside the 32-bit field: a value that would leave the range is clamped to its edge instead
// of wrapping into a nonsense time or record number.
std::int32_t Clamp32(std::int64_t AValue) {
  if (AValue > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (AValue < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(AValue);
}

std::int32_t Minutes(const std::string& ALine) {
  return Clamp32(static_cast<std::int64_t>(StrToIntDef(ALine, 0)) * 60);
}

std::int32_t OneBased(const std::string& ALine) {
  return Clamp32(static_cast<std::int64_t>(StrToIntDef(ALine, 1)) - 1);
}

// A serial port number taken from a COM port name; only a real port makes the connection serial.
void SetComPort(const std::string& APortNumber) {
  DoorDropInfo.ComNum = StrToIntDef(APortNumber, 0);
  if (DoorDropInfo.ComNum > 0) DoorDropInfo.ComType = 1;
}

}  // namespace

std::int32_t StrToIntDef(const std::string& AText, std::int32_t ADefault) {
  std::size_t I = 0;
  while (I < AText.size() && (AText[I] == ' ' || AText[I] == '\t')) ++I;
  bool Negative = false;
  if (I < AText.size() && (AText[I] == '+' || AText[I] == '-')) {
    Negative = AText[I] == '-';
    ++I;
  }
  if (I == AText.size()) return ADefault;  // empty, blanks only, or a lone sign
  // Accumulate as a negative number so that the most negative 32-bit value fits too; any value
  // beyond 32 bits gives the default rather than a wrapped or clamped number.
  constexpr std::int64_t Limit = -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min());
  std::int64_t Magnitude = 0;
  for (; I < AText.size(); ++I) {
    const char Ch = AText[I];
    if (Ch < '0' || Ch > '9') return ADefault;
    Magnitude = Magnitude * 10 + (Ch - '0');
    if (Magnitude > Limit) return ADefault;
  }
  if (!Negative && Magnitude > std::numeric_limits<std::int32_t>::max()) return ADefault;
  return static_cast<std::int32_t>(Negative ? -Magnitude : Magnitude);
}

void ReadDoor32(const std::string& AFileName) {
  TDropFile F(AFileName);
  if (!F.IsOpen()) return;
  DoorDropInfo.ComType = static_cast<std::uint8_t>(StrToIntDef(F.ReadLine(), 0));  // low 8 bits
  DoorDropInfo.ComNum = StrToIntDef(F.ReadLine(), -1);
  DoorDropInfo.Baud = StrToIntDef(F.ReadLine(), 38400);
  std::ignore = F.ReadLine();  // BBS software name
  DoorDropInfo.RecPos = OneBased(F.ReadLine());
  DoorDropInfo.RealName = F.ReadLine();
  DoorDropInfo.Alias = F.ReadLine();
  DoorDropInfo.Access = StrToIntDef(F.ReadLine(), 0);
  DoorDropInfo.MaxSeconds = Minutes(F.ReadLine());
  DoorDropInfo.Emulation = StrToIntDef(F.ReadLine(), 1) == 0 ? etASCII : etANSI;
  DoorDropInfo.Node = StrToIntDef(F.ReadLine(), 0);
}

void ReadDoorSys(const std::string& AFileName) {
  TDropFile F(AFileName);
  if (!F.IsOpen()) return;
  for (int Line = 1; Line <= 52; ++Line) {
    const std::string S = F.ReadLine();
    switch (Line) {
      case 1:  // COMn: -- the port number sits between the three letters and the colon
        SetComPort(S.size() >= 5 ? S.substr(3, S.size() - 4) : std::string());
        break;
      case 4: DoorDropInfo.Node = StrToIntDef(S, 0); break;
      case 5: DoorDropInfo.Baud = StrToIntDef(S, 38400); break;
      case 10: DoorDropInfo.RealName = S; break;
      case 15: DoorDropInfo.Access = StrToIntDef(S, 0); break;
      case 18: DoorDropInfo.MaxSeconds = StrToIntDef(S, 0); break;  // already in seconds
      case 20: DoorDropInfo.Emulation = KeywordIs(S, "GR") ? etANSI : etASCII; break;
      case 26: DoorDropInfo.RecPos = OneBased(S); break;
      case 36: DoorDropInfo.Alias = S; break;
      default: break;
    }
  }
}

void ReadDorInfo(const std::string& AFileName) {
  TDropFile F(AFileName);
  if (!F.IsOpen()) return;
  std::string Alias;
  for (int Line = 1; Line <= 13; ++Line) {
    const std::string S = F.ReadLine();
    switch (Line) {
      case 4: SetComPort(S.size() >= 4 ? S.substr(3) : std::string()); break;  // COMn, no colon
      case 5: {  // "38400 BAUD,N,8,1": the speed is the text before the first blank
        const std::size_t Blank = S.find(' ');
        DoorDropInfo.Baud = StrToIntDef(Blank == std::string::npos ? std::string() : S.substr(0, Blank), 38400);
        break;
      }
      case 7:
        Alias = S;
        DoorDropInfo.Alias = S;
        break;
      case 8: DoorDropInfo.RealName = S.empty() ? Alias : Alias + ' ' + S; break;
      case 10: DoorDropInfo.Emulation = StrToIntDef(S, 1) == 1 ? etANSI : etASCII; break;
      case 11: DoorDropInfo.Access = StrToIntDef(S, 0); break;
      case 12: DoorDropInfo.MaxSeconds = Minutes(S); break;
      default: break;
    }
  }
}

void ReadLordInfo(const std::string& AFileName) {
  TDropFile F(AFileName);
  if (!F.IsOpen()) return;
  for (int Line = 1; Line <= 14; ++Line) {
    const std::string S = F.ReadLine();
    switch (Line) {
      case 1: DoorDropInfo.RecPos = StrToIntDef(S, 0); break;  // already 0-based
      case 2: DoorDropInfo.Emulation = StrToIntDef(S, 3) == 3 ? etANSI : etASCII; break;
      case 4: DoorDropInfo.Fairy = KeywordIs(S, "FAIRY YES"); break;
      case 5: DoorDropInfo.MaxSeconds = Minutes(S); break;
      case 6: DoorDropInfo.Alias = S; break;
      case 7: DoorDropInfo.RealName = S; break;
      case 8:
        if (!S.empty()) DoorDropInfo.RealName += ' ' + S;
        break;
      case 9: DoorDropInfo.ComNum = StrToIntDef(S, 0); break;
      case 10: DoorDropInfo.Baud = StrToIntDef(S, 38400); break;
      case 12:
        if (KeywordIs(S, "LOCAL")) {
          DoorDropInfo.ComType = 0;
        } else if (KeywordIs(S, "TELNET")) {
          DoorDropInfo.ComType = 2;
        } else if (KeywordIs(S, "WC5")) {
          DoorDropInfo.ComType = 3;
        } else {
          DoorDropInfo.ComType = 1;
        }
        break;
      case 14: DoorDropInfo.Clean = KeywordIs(S, "CLEAN MODE ON"); break;
      default: break;
    }
  }
}
