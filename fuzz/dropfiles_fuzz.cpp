// The four drop file readers over arbitrary file contents: none may crash, hang or let a field grow
// past the line bound; the number conversion either parses the whole text or gives the default.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>

#include "dropfiles/dropfiles.h"

namespace {

constexpr std::size_t kLineBound = 64 * 1024;

char GTempPath[] = "/tmp/zelkit-dropfiles-fuzz-XXXXXX";

void RemoveTemp() { std::ignore = unlink(GTempPath); }

// One scratch file per fuzzing process, rewritten for every input and removed at exit.
std::string TempPath() {
  const int Fd = mkstemp(GTempPath);
  if (Fd < 0) std::abort();
  close(Fd);
  std::ignore = std::atexit(RemoveTemp);
  return GTempPath;
}

void CheckNumber(const std::string& AText) {
  const std::int32_t A = StrToIntDef(AText, 0);
  const std::int32_t B = StrToIntDef(AText, 1);
  if (A != B && !(A == 0 && B == 1)) std::abort();  // a parsed value never depends on the default
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  static const std::string Path = TempPath();
  const int Fd = open(Path.c_str(), O_WRONLY | O_TRUNC);
  if (Fd < 0) return 0;
  std::size_t Done = 0;
  while (Done < ASize) {
    const ssize_t N = write(Fd, AData + Done, ASize - Done);
    if (N <= 0) break;
    Done += static_cast<std::size_t>(N);
  }
  close(Fd);

  for (const auto Reader : {ReadDoor32, ReadDoorSys, ReadDorInfo, ReadLordInfo}) {
    DoorDropInfo = TDoorDropInfo{};
    Reader(Path);
    // The DORINFO and INFO readers join two lines with a blank.
    if (DoorDropInfo.Alias.size() > kLineBound || DoorDropInfo.RealName.size() > 2 * kLineBound + 1) std::abort();
  }
  CheckNumber(std::string(reinterpret_cast<const char*>(AData), ASize));
  return 0;
}
