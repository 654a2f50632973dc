// Fault rows of hostile files and the log: drop files and displayed files that are huge, binary,
// unreadable or not files at all, and a log that is a directory, a FIFO or on a full file system.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/faults/faults_cases.h"

namespace faults {

// ---- Hostile files ----

// Runs AProgram on the console until it ends, typing the keys a session asks for. "" when it
// ended with exit code 0 within AWithinMs.
std::string DriveToEnd(Run& R, int AWithinMs, bool AKeysFromCaller) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(AWithinMs);
  std::size_t Answered = 0;
  const std::string kAsks[] = {kFirstPrompt, kSecondPrompt, "Hit a key to continue"};
  while (!R.Ended() && Clock::now() < Deadline) {
    R.Pump(20);
    // Every prompt seen so far, on either side, gets one key.
    std::size_t Seen = 0;
    for (const auto& Ask : kAsks) {
      for (std::size_t At = R.Console().find(Ask); At != std::string::npos; At = R.Console().find(Ask, At + 1)) ++Seen;
    }
    if (AKeysFromCaller) {
      std::size_t Remote = 0;
      for (const auto& Ask : kAsks) {
        for (std::size_t At = R.Received().find(Ask); At != std::string::npos; At = R.Received().find(Ask, At + 1))
          ++Remote;
      }
      Seen = std::max(Seen, Remote);
    }
    while (Answered < Seen) {
      if (AKeysFromCaller) {
        R.SendFromCaller("k");
      } else {
        R.TypeOnConsole("k");
      }
      ++Answered;
    }
  }
  if (!R.WaitEnd(0)) return "still running after " + std::to_string(AWithinMs) + " ms";
  return ExpectExitZero(R);
}

std::vector<HostileFile> HostileFiles(bool AForDropFile) {
  const std::size_t Long = FOptions.Full ? (10u << 20) : (1u << 20);
  const std::string LongName = FOptions.Full ? "a 10 MB line" : "a 1 MB line";
  std::vector<HostileFile> Files;
  const int Seeds = FOptions.Full ? 20 : 3;
  for (int Seed = 1; Seed <= Seeds; ++Seed) {
    Files.push_back({"random bytes, seed " + std::to_string(Seed), [Seed](const fs::path& P) {
                       return faults::WriteFile(P, faults::RandomBytes(4096u * static_cast<unsigned>(Seed), static_cast<unsigned>(Seed)));
                     }});
  }
  Files.push_back({"NUL bytes", [](const fs::path& P) { return faults::WriteFile(P, std::string(8192, '\0')); }});
  Files.push_back({LongName, [Long](const fs::path& P) { return faults::WriteFile(P, std::string(Long, 'A') + "\r\n"); }});
  Files.push_back({LongName + " of digits", [Long](const fs::path& P) { return faults::WriteFile(P, "2" + std::string(Long, '9') + "\n"); }});
  Files.push_back({"a directory", [](const fs::path& P) { return fs::create_directory(P); }});
  Files.push_back({"a FIFO without a writer", [](const fs::path& P) { return mkfifo(P.c_str(), 0600) == 0; }});
  Files.push_back({"a symbolic link loop", [](const fs::path& P) {
                     std::error_code Ec;
                     fs::create_symlink(P.filename(), P, Ec);
                     return !Ec;
                   }});
  if (AForDropFile) {
    // Drop files that look right but name descriptors and connection types nobody handed down.
    const char* kOdd[][2] = {{"2", "0"}, {"2", "1"}, {"2", "2"}, {"2", "3"}, {"2", "-1"}, {"2", "1023"},
                             {"2", "1024"}, {"2", "2147483647"}, {"1", "99999"}, {"255", "3"}, {"256", "3"},
                             {"-2", "3"}, {"2", "99999999999999999999"}};
    for (const auto& Odd : kOdd) {
      const std::string Text = std::string(Odd[0]) + "\n" + Odd[1] + "\n38400\nBBS\n1\nAnn\nAnn\n10\n60\n1\n1\n";
      Files.push_back({std::string("comm type ") + Odd[0] + ", descriptor " + Odd[1],
                       [Text](const fs::path& P) { return faults::WriteFile(P, Text); }});
    }
  } else {
    Files.push_back({"a missing file", [](const fs::path&) { return true; }});
    for (int Seed = 1; Seed <= Seeds; ++Seed) {
      // Dense in what the local interpreter and the pipe and backtick codes look for.
      Files.push_back({"escape-dense bytes, seed " + std::to_string(Seed), [Seed](const fs::path& P) {
                         const std::string Alphabet = "\x1b\x1b[[;;0123456789|`ABCDHJKmsuf?\r\n\xff\x0e\x08\x07\x09";
                         std::string Raw = faults::RandomBytes(65536, 100u + static_cast<unsigned>(Seed));
                         for (auto& C : Raw) C = Alphabet[static_cast<unsigned char>(C) % Alphabet.size()];
                         return faults::WriteFile(P, Raw);
                       }});
    }
  }
  return Files;
}

void DropFileCase(const std::string& AMarker, const HostileFile& AFile) {
  const std::string Fault = "Hostile drop files (-D)";
  TempDir Dir;
  const fs::path Path = Dir.Path() / AMarker;
  if (!AFile.Make(Path)) {
    Record(Fault, AMarker + " " + AFile.Name, "could not make the file");
    return;
  }
  Run R(FOptions.Tunecraft, {"-D" + Path.string()}, Dir.Path(), false);
  Verdict V;
  // The longest defined outcomes: a failure message or a lost-carrier message with its pause.
  const int Within = (FOptions.Full ? 60000 : 20000);
  const auto At = Clock::now();
  V.Add(DriveToEnd(R, Within, false));
  const long EndMs = MsSince(At, R.EndedAt());
  V.Add(R.TerminalRestored());
  V.Add(faults::CheckLog(Dir.Path(), {0, 4, 14}));
  Record(Fault, AMarker + " " + AFile.Name, V.Text, R.PeakRssKb(), EndMs);
}

void DisplayFileCase(const HostileFile& AFile) {
  const std::string Fault = "Hostile displayed files (DoorDisplayFile)";
  TempDir Dir;
  const fs::path Path = Dir.Path() / "SHOW.ANS";
  if (!AFile.Make(Path)) {
    Record(Fault, AFile.Name, "could not make the file");
    return;
  }
  Run R(FOptions.ShowFile, {"-N1", "-S3", "-F" + Path.string()}, Dir.Path(), true);
  Verdict V;
  const auto At = Clock::now();
  V.Add(DriveToEnd(R, FOptions.Full ? 120000 : 30000, true));
  const long EndMs = MsSince(At, R.EndedAt());
  if (R.Received().find("End of display") == std::string::npos) V.Add("the caller never got to the end");
  V.Add(R.TerminalRestored());
  V.Add(R.CallerStillConnected());
  Record(Fault, AFile.Name, V.Text, R.PeakRssKb(), EndMs);
}

// ---- The log ----

// A whole remote session played by the caller; the log checks are the caller's business.
void PlayWhole(Run& R, Verdict& V) {
  V.Add(Reach(R, Point::SecondWait, false));
  R.SendFromCaller("b");
  if (!R.WaitEnd(kEndMs + kPromptMs)) V.Add("did not end");
  V.Add(ExpectExitZero(R));
  V.Add(R.TerminalRestored());
  V.Add(R.CallerStillConnected());
}

void LogIsDirectoryCase() {
  const std::string Fault = "Log is a directory";
  TempDir Dir;
  fs::create_directory(Dir.Path() / "tunecraft.log");
  Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
  Verdict V;
  PlayWhole(R, V);
  if (!fs::is_directory(Dir.Path() / "tunecraft.log")) V.Add("the directory was replaced");
  if (faults::MusicLines().empty() || R.Received().find(faults::MusicLines()[1]) == std::string::npos)
    V.Add("the caller got no music");
  Record(Fault, "tunecraft.log is a directory", V.Text, R.PeakRssKb());
}

// Fills the file system holding ADir completely with a filler file.
void FillUp(const fs::path& ADir) {
  const int Fd = open((ADir / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (Fd < 0) return;
  const std::string Block(4096, 'f');
  while (write(Fd, Block.data(), Block.size()) > 0) {
  }
  // The last page may have taken part of a block; top it up byte-wise.
  while (write(Fd, "f", 1) > 0) {
  }
  close(Fd);
}

void FullDiskCases() {
  const std::string Fault = "Log on a full file system (64 KB tmpfs)";
  struct Case {
    const char* Name;
    std::size_t LinesBefore;  // whole lines already in the log before the disk fills up
  };
  // 292 lines are 4088 bytes: the next line would straddle the end of the log's first page.
  const Case kCases[] = {{"full before the log exists", 0}, {"full with the log 8 bytes short of a page", 292}};
  for (const auto& C : kCases) {
    TempDir Dir;
    const fs::path Mount = Dir.Path() / "full";
    fs::create_directory(Mount);
    if (mount("tmpfs", Mount.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
      Skip(Fault, std::string("mount -t tmpfs not permitted here: ") + std::strerror(errno));
      return;
    }
    std::string Before;
    for (std::size_t I = 0; I < C.LinesBefore; ++I) Before += faults::MusicLines()[1] + "\n";
    if (!Before.empty()) faults::WriteFile(Mount / "tunecraft.log", Before);
    FillUp(Mount);
    {
      Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Mount, true);
      Verdict V;
      PlayWhole(R, V);
      V.Add(faults::CheckLog(Mount, {C.LinesBefore}));
      Record(Fault, C.Name, V.Text, R.PeakRssKb());
    }
    umount2(Mount.c_str(), MNT_DETACH);
  }
}

void LogIsFifoCase() {
  const std::string Fault = "Log is a FIFO nobody reads";
  TempDir Dir;
  if (mkfifo((Dir.Path() / "tunecraft.log").c_str(), 0600) != 0) {
    Record(Fault, "tunecraft.log is a FIFO", "could not make the FIFO");
    return;
  }
  Run R(FOptions.Tunecraft, {"-N1", "-S3"}, Dir.Path(), true);
  Verdict V;
  PlayWhole(R, V);
  if (!fs::is_fifo(Dir.Path() / "tunecraft.log")) V.Add("the FIFO was replaced");
  if (faults::MusicLines().empty() || R.Received().find(faults::MusicLines()[1]) == std::string::npos)
    V.Add("the caller got no music");
  Record(Fault, "tunecraft.log is a FIFO without a reader", V.Text, R.PeakRssKb());
}

}  // namespace faults
