// Throughput of the local ANSI interpreter on a realistic door screen stream (dense colour changes,
// cursor moves, erases, line ends), side by side with libvterm processing the same bytes into its
// screen. libvterm runs first and is the baseline; the interpreter's benchmark reports
// "speed_vs_vterm" (above 1: faster than libvterm).

#include <fcntl.h>
#include <vterm.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ansi/ansi.h"
#include "ansi/ansi_testing.h"
#include "console/console.h"
#include "console/console_testing.h"

namespace {

// About 1 MB of what a door sends: coloured words, positioned menu items, status lines.
const std::string& Stream() {
  static const std::string kStream = [] {
    std::mt19937 Rng(1993);
    std::string S;
    S.reserve(1 << 20);
    static const char* kWords[] = {"Welcome", "to", "the", "board,", "caller!", "Messages", "Files", "[Q]uit",
                                   "Time", "left:", "42", "minutes", "\xb0\xb1\xb2\xdb", "Main", "Menu"};
    while (S.size() < (1u << 20)) {
      switch (Rng() % 6) {
        case 0: S += AnsiGotoXY(static_cast<std::uint8_t>(1 + Rng() % 60), static_cast<std::uint8_t>(1 + Rng() % 24)); break;
        case 1: S += "\x1b[" + std::to_string(Rng() % 2) + ";" + std::to_string(30 + Rng() % 8) + ";" +
                     std::to_string(40 + Rng() % 8) + "m"; break;
        case 2: S += "\x1b[" + std::to_string(30 + Rng() % 8) + "m"; break;
        case 3: S += Rng() % 4 == 0 ? std::string("\x1b[K\r\n") : AnsiCursorRight(static_cast<std::uint8_t>(Rng() % 5)); break;
        default: break;
      }
      S += kWords[Rng() % (sizeof kWords / sizeof *kWords)];
      S += ' ';
    }
    return S;
  }();
  return kStream;
}

// The stream in the pieces a door hands over, one output call each.
const std::vector<std::string>& Pieces() {
  static const std::vector<std::string> kPieces = [] {
    std::vector<std::string> P;
    std::mt19937 Rng(7);
    const std::string& S = Stream();
    for (std::size_t Pos = 0; Pos < S.size();) {
      const std::size_t Len = 16 + Rng() % 240;
      P.push_back(S.substr(Pos, Len));
      Pos += Len;
    }
    return P;
  }();
  return kPieces;
}

double VtermNsPerByte = 0;  // the baseline of this run

void BM_Vterm(benchmark::State& AState) {
  VTerm* Vt = vterm_new(25, 80);
  vterm_set_utf8(Vt, 0);
  VTermScreen* Screen = vterm_obtain_screen(Vt);
  vterm_screen_reset(Screen, 1);
  const auto& P = Pieces();
  std::size_t Bytes = 0;
  const auto Start = std::chrono::steady_clock::now();
  for (auto _ : AState) {
    for (const auto& Piece : P) vterm_input_write(Vt, Piece.data(), Piece.size());
    Bytes += Stream().size();
  }
  const std::chrono::duration<double, std::nano> Took = std::chrono::steady_clock::now() - Start;
  VtermNsPerByte = Took.count() / static_cast<double>(Bytes);
  AState.SetBytesProcessed(static_cast<std::int64_t>(Bytes));
  vterm_free(Vt);
}
BENCHMARK(BM_Vterm)->Unit(benchmark::kMillisecond);

void BM_AnsiWrite(benchmark::State& AState) {
  const int Null = open("/dev/null", O_RDWR | O_CLOEXEC);
  ConsoleUseFds(Null, Null);
  ConsoleResetForTesting(80, 25);
  AnsiResetForTesting();
  const auto& P = Pieces();
  std::size_t Bytes = 0;
  const auto Start = std::chrono::steady_clock::now();
  for (auto _ : AState) {
    for (const auto& Piece : P) AnsiWrite(Piece);
    ConsoleFlush();  // the terminal is brought up to date, as before every key wait
    Bytes += Stream().size();
  }
  const std::chrono::duration<double, std::nano> Took = std::chrono::steady_clock::now() - Start;
  AState.SetBytesProcessed(static_cast<std::int64_t>(Bytes));
  if (VtermNsPerByte > 0) {
    AState.counters["speed_vs_vterm"] = VtermNsPerByte / (Took.count() / static_cast<double>(Bytes));
  }
}
BENCHMARK(BM_AnsiWrite)->Unit(benchmark::kMillisecond);

}  // namespace
