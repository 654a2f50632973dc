// The sysop's console on the wire: bytes sent to the terminal and time taken to draw a full
// coloured 80 x 25 screen, to restore an unchanged screen, and to scroll 1,000 lines through a
// 24-row window; ncurses drawing the same screens in the same run is the baseline for the ratios.
#include <benchmark/benchmark.h>
#include <curses.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "console/console.h"
#include "console/console_testing.h"
#include "videoutils/videoutils.h"

namespace {

using Clock = std::chrono::steady_clock;

// A pipe standing in for the terminal: everything written is counted and thrown away.
struct Sink {
  int Read = -1;
  int Write = -1;
  Sink() {
    int P[2];
    if (pipe(P) != 0) return;
    Read = P[0];
    Write = P[1];
    fcntl(Read, F_SETFL, O_NONBLOCK);
    fcntl(Write, F_SETPIPE_SZ, 1 << 20);
  }
  ~Sink() {
    close(Read);
    close(Write);
  }
  std::size_t Drain() const {
    std::size_t Total = 0;
    char Buf[65536];
    for (ssize_t N; (N = read(Read, Buf, sizeof Buf)) > 0;) Total += static_cast<std::size_t>(N);
    return Total;
  }
};

// Screen number APhase: every cell a character and a colour that change from one phase to the next.
char CellChar(int AX, int AY, int APhase) { return static_cast<char>('!' + (AX * 7 + AY * 3 + APhase) % 90); }
std::uint8_t CellAttr(int AX, int AY, int APhase) { return static_cast<std::uint8_t>((AX / 4 + AY + APhase * 5) & 0xFF); }

void ConsoleDrawScreen(int APhase) {
  ConsoleGotoXY(1, 1);
  for (int Y = 1; Y <= 25; ++Y)
    for (int X = 1; X <= 80; ++X) {
      if (Y == 25 && X == 80) break;  // the bottom-right cell would scroll
      ConsoleTextAttr = CellAttr(X, Y, APhase);
      ConsoleWrite(std::string(1, CellChar(X, Y, APhase)));
    }
}

struct Baseline {
  double BytesPerScreen = 0;
  double NsPerScreen = 0;
};

// ncurses drawing the same screens on an xterm, with the same PC colours and bright/blink attributes.
Baseline MeasureNcurses() {
  static Baseline Result;
  if (Result.BytesPerScreen > 0) return Result;
  Sink Out;
  FILE* OutFile = fdopen(dup(Out.Write), "w");
  FILE* InFile = fopen("/dev/null", "r");
  SCREEN* Screen = newterm("xterm", OutFile, InFile);
  if (Screen == nullptr) return Result;
  set_term(Screen);
  start_color();
  static const short kPcToCurses[8] = {COLOR_BLACK, COLOR_BLUE, COLOR_GREEN, COLOR_CYAN,
                                       COLOR_RED, COLOR_MAGENTA, COLOR_YELLOW, COLOR_WHITE};
  for (short Pair = 1; Pair < 64 && Pair < COLOR_PAIRS; ++Pair)
    init_pair(Pair, kPcToCurses[Pair & 7], kPcToCurses[Pair >> 3]);
  auto Draw = [&](int APhase) {
    for (int Y = 1; Y <= 25; ++Y)
      for (int X = 1; X <= 80; ++X) {
        if (Y == 25 && X == 80) break;
        std::uint8_t A = CellAttr(X, Y, APhase);
        short Pair = static_cast<short>((A & 7) | ((A >> 4) & 7) << 3);
        chtype Attr = COLOR_PAIR(Pair) | ((A & 8) ? A_BOLD : 0) | ((A & 0x80) ? A_BLINK : 0);
        mvaddch(Y - 1, X - 1, static_cast<chtype>(static_cast<unsigned char>(CellChar(X, Y, APhase))) | Attr);
      }
    refresh();
    fflush(OutFile);
  };
  Draw(0);
  Out.Drain();
  constexpr int kRounds = 200;
  std::size_t Bytes = 0;
  auto Start = Clock::now();
  for (int I = 1; I <= kRounds; ++I) {
    Draw(I);
    Bytes += Out.Drain();
  }
  auto Ns = std::chrono::duration<double, std::nano>(Clock::now() - Start).count();
  endwin();
  delscreen(Screen);
  fclose(OutFile);
  fclose(InFile);
  Result.BytesPerScreen = static_cast<double>(Bytes) / kRounds;
  Result.NsPerScreen = Ns / kRounds;
  return Result;
}

void BM_NcursesFullColouredScreen(benchmark::State& AState) {
  Baseline B = MeasureNcurses();
  for (auto _ : AState) benchmark::DoNotOptimize(MeasureNcurses());
  AState.counters["bytes_per_screen"] = B.BytesPerScreen;
  AState.counters["ns_per_screen"] = B.NsPerScreen;
}
BENCHMARK(BM_NcursesFullColouredScreen)->Iterations(1);

void BM_ConsoleFullColouredScreen(benchmark::State& AState) {
  Baseline B = MeasureNcurses();
  Sink Out;
  int Null = open("/dev/null", O_RDONLY);
  ConsoleUseFds(Null, Out.Write);
  ConsoleDrawScreen(0);
  ConsoleFlush();
  Out.Drain();
  std::size_t Bytes = 0;
  int Phase = 0;
  auto Start = Clock::now();
  for (auto _ : AState) {
    ConsoleDrawScreen(++Phase);
    ConsoleFlush();
    Bytes += Out.Drain();
  }
  double Ns = std::chrono::duration<double, std::nano>(Clock::now() - Start).count() / static_cast<double>(AState.iterations());
  double PerScreen = static_cast<double>(Bytes) / static_cast<double>(AState.iterations());
  AState.counters["bytes_per_screen"] = PerScreen;
  AState.counters["bytes_vs_ncurses"] = PerScreen / B.BytesPerScreen;
  AState.counters["time_vs_ncurses"] = Ns / B.NsPerScreen;
  ConsoleUseFds(Null, Null);
  close(Null);
}
BENCHMARK(BM_ConsoleFullColouredScreen);

void BM_ConsoleRestoreUnchangedScreen(benchmark::State& AState) {
  Baseline B = MeasureNcurses();
  Sink Out;
  int Null = open("/dev/null", O_RDONLY);
  ConsoleUseFds(Null, Out.Write);
  ConsoleDrawScreen(3);
  ConsoleFlush();
  Out.Drain();
  TScreenBuffer Saved{};
  ScreenSave(Saved);
  std::size_t Bytes = 0;
  auto Start = Clock::now();
  for (auto _ : AState) {
    ScreenRestore(Saved);
    ConsoleFlush();
    Bytes += Out.Drain();
  }
  double Ns = std::chrono::duration<double, std::nano>(Clock::now() - Start).count() / static_cast<double>(AState.iterations());
  AState.counters["bytes_per_restore"] = static_cast<double>(Bytes) / static_cast<double>(AState.iterations());
  AState.counters["time_vs_ncurses_full_screen"] = Ns / B.NsPerScreen;
  ConsoleUseFds(Null, Null);
  close(Null);
}
BENCHMARK(BM_ConsoleRestoreUnchangedScreen);

// 1,000 coloured lines through rows 1-24, flushed after every line as a door polling for keys
// between lines would; row 25 (the status bar) stays put.
void BM_ConsoleScroll1000Lines(benchmark::State& AState) {
  Baseline B = MeasureNcurses();
  Sink Out;
  int Null = open("/dev/null", O_RDONLY);
  ConsoleUseFds(Null, Out.Write);
  ConsoleWindow(1, 1, 80, 24);
  std::size_t Bytes = 0;
  auto Start = Clock::now();
  for (auto _ : AState) {
    for (int Line = 0; Line < 1000; ++Line) {
      ConsoleTextAttr = static_cast<std::uint8_t>(Line % 127 + 1);
      ConsoleWrite("Line " + std::to_string(Line) + ": the quick brown fox jumps over the lazy dog\r\n");
      ConsoleFlush();
      Bytes += Out.Drain();
    }
  }
  double Ns = std::chrono::duration<double, std::nano>(Clock::now() - Start).count() / static_cast<double>(AState.iterations());
  AState.counters["bytes_per_1000_lines"] = static_cast<double>(Bytes) / static_cast<double>(AState.iterations());
  AState.counters["bytes_vs_ncurses_full_screen"] = static_cast<double>(Bytes) / static_cast<double>(AState.iterations()) / B.BytesPerScreen;
  AState.counters["time_vs_ncurses_full_screen"] = Ns / B.NsPerScreen;
  ConsoleUseFds(Null, Null);
  close(Null);
}
BENCHMARK(BM_ConsoleScroll1000Lines)->Unit(benchmark::kMillisecond);

}  // namespace
