// tunecraft_pictures OUTDIR: runs tunecraft once in a remote session started from a DOOR32.SYS,
// with a scripted caller pressing the two keys, and writes two ANSI pictures for ansilove:
//   OUTDIR/caller.ans   what the caller's terminal shows: the bytes received, without the telnet
//                       opening and without the music sequences (a music terminal plays them);
//   OUTDIR/console.ans  the sysop's 80x25 console at the second key wait, status bar included,
//                       replayed through libvterm and written out as plain code page 437 bytes
//                       with an SGR colour per cell, so no cursor positioning is needed.

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/vterm_screen.h"
#include "tests/tunecraft/tunecraft_harness.h"

namespace {

using namespace tunecraft_test;

// PC colour number to ANSI colour number: swaps blue with red and cyan with brown.
constexpr int kAnsiColours[8] = {0, 4, 2, 6, 1, 5, 3, 7};

std::string Sgr(std::uint8_t AAttr) {
  std::string S = "\x1b[0";
  if (AAttr & 0x08) S += ";1";
  if (AAttr & 0x80) S += ";5";
  S += ";" + std::to_string(30 + kAnsiColours[AAttr & 7]) + ";" + std::to_string(40 + kAnsiColours[(AAttr >> 4) & 7]);
  return S + "m";
}

// Every cell of the screen, row after row; 80 cells fill a row, so the viewer wraps by itself.
std::string CellsAsAnsi(const zelkit_test::VtermScreen& AScreen) {
  std::string Out;
  int Current = -1;
  for (int Y = 1; Y <= AScreen.Rows(); ++Y) {
    for (int X = 1; X <= AScreen.Cols(); ++X) {
      const std::uint8_t Attr = AScreen.Attr(X, Y);
      if (Attr != Current) Out += Sgr(Attr);
      Current = Attr;
      char C = AScreen.Char(X, Y);
      // Bytes a viewer acts on (line ends, ESC, the end-of-file mark 26) and empty cells are drawn blank.
      if (C == 0 || C == '\r' || C == '\n' || C == 26 || C == 27) C = ' ';
      Out += C;
    }
  }
  return Out + "\x1b[0m";
}

bool Save(const fs::path& APath, const std::string& ABytes) {
  std::ofstream Out(APath, std::ios::binary | std::ios::trunc);
  Out << ABytes;
  return static_cast<bool>(Out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  const fs::path OutDir = argv[1];
  TempDir Dir;
  auto Link = Connect(LinkKind::SocketPair);
  if (!Link) return 1;
  const fs::path DropFile = Dir.Path() / "DOOR32.SYS";
  {
    std::ofstream Out(DropFile, std::ios::binary);
    for (const std::string& L : {std::string("2"), std::to_string(Link->Door), std::string("38400"),
                                 std::string("Zelkit BBS"), std::string("1"), std::string("ADA LOVELACE"),
                                 std::string("Ada"), std::string("10"), std::string("45"), std::string("1"),
                                 std::string("1")})
      Out << L << "\r\n";
  }
  DoorRun Run({"-D" + DropFile.string()}, Dir.Path(), Link.get());
  if (!Run.CallerUntil("Press any key to play some random notes\r\n")) return 1;
  Run.Console().ReadFor(1200);  // a second events pass: the idle clock on the status bar moves on
  Run.SendKey("a");
  if (!Run.CallerUntil("Your music has been played, press any key.\r\n")) return 1;
  Run.Console().ReadFor(300);
  zelkit_test::VtermScreen Console(25, 80);
  Console.Feed(Run.Console().Output());
  Run.SendKey("b");
  if (Run.WaitExit() != 0) return 1;

  std::string Caller = Run.Received();
  if (Caller.rfind(kTelnetOpening, 0) == 0) Caller.erase(0, kTelnetOpening.size());
  if (!Save(OutDir / "caller.ans", WithoutMusic(Caller)) || !Save(OutDir / "console.ans", CellsAsAnsi(Console)))
    return 1;
  std::printf("%s\n%s\n", (OutDir / "caller.ans").c_str(), (OutDir / "console.ans").c_str());
  return 0;
}
