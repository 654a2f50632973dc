// A door built on the kit whose behaviour a test chooses: it runs the script named by DOORTEST_SCRIPT,
// one operation per line, and appends what it observes (keys read, hook calls, session fields, each
// with the milliseconds since the door started) to the file named by DOORTEST_RESULT, so the
// observations never mix with what the door draws on its terminal or sends to the caller.
//
// Texts in the script are written with C-like escapes: \e \r \n \t \b \\ and \xHH.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "comm/comm_testing.h"
#include "console/console.h"
#include "door/door.h"

namespace {

const auto kStart = std::chrono::steady_clock::now();
std::string ResultPath;
int SysopClaim = -1;        // the scan code DoorOnSysopKey claims, -1 for none
bool TimeUpExits = true;    // the recording DoorOnTimeUp ends the program after recording
bool TimeOutExits = true;
bool HangupExits = true;
std::string KeyHooks;       // " name name ": hooks that write a line and wait for a key before they go on
std::string MoreHooks;      // " name name ": hooks that write a text ending in the more prompt's "`k"

bool Has(const std::string& AArg, const std::string& AWord) {
  return (" " + AArg + " ").find(" " + AWord + " ") != std::string::npos;
}

long long Ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - kStart)
      .count();
}

// One observation per line, appended and closed at once: a hook may end the program right after.
void Record(const std::string& ALine) {
  if (ResultPath.empty()) return;
  const int fd = open(ResultPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::string line = ALine + "\n";
  std::ignore = write(fd, line.data(), line.size());
  close(fd);
}

// SIGUSR1: records the characters of the sysop's screen as the console holds them at this moment,
// even while the door is stuck in a send to a caller who reads nothing. Only async-signal-safe
// calls: the record is built in a fixed buffer.
void DumpShadow(int) {
  static char line[8 + 80 * 50 + 1];
  std::size_t used = 0;
  for (const char c : {'s', 'h', 'a', 'd', 'o', 'w', ' '}) line[used++] = c;
  const std::size_t cells = std::min<std::size_t>(ConsoleShadowBuffer.size() / 2, 80 * 50);
  for (std::size_t i = 0; i < cells; ++i) {
    const char c = static_cast<char>(ConsoleShadowBuffer[2 * i]);
    line[used++] = c >= 32 && c < 127 ? c : ' ';
  }
  line[used++] = '\n';
  const int fd = open(ResultPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::ignore = write(fd, line, used);
  close(fd);
}

std::string Stamp() { return " @" + std::to_string(Ms()); }

std::string Unescape(const std::string& AText) {
  std::string out;
  for (std::size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] != '\\' || i + 1 == AText.size()) {
      out += AText[i];
      continue;
    }
    const char c = AText[++i];
    switch (c) {
      case 'e': out += '\x1b'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'b': out += '\b'; break;
      case 'x':
        if (i + 2 < AText.size()) {
          out += static_cast<char>(std::stoi(AText.substr(i + 1, 2), nullptr, 16));
          i += 2;
        }
        break;
      default: out += c; break;
    }
  }
  return out;
}

std::string Info() {
  return "info comtype=" + std::to_string(DoorDropInfo.ComType) +
         " comnum=" + std::to_string(DoorDropInfo.ComNum) + " node=" + std::to_string(DoorDropInfo.Node) +
         " local=" + std::to_string(DoorLocal()) + " stdio=" + std::to_string(DoorStdio()) +
         " events=" + std::to_string(DoorSession.Events) +
         " maxseconds=" + std::to_string(DoorDropInfo.MaxSeconds) + " alias=" + DoorDropInfo.Alias +
         " realname=" + DoorDropInfo.RealName + "|";
}

std::string KeyRecord(char AKey) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%.12f", DoorLastKey.Time);
  return "key " + std::to_string(static_cast<unsigned char>(AKey)) +
         " ch=" + std::to_string(static_cast<unsigned char>(DoorLastKey.Ch)) +
         " ext=" + std::to_string(DoorLastKey.Extended) + " loc=" + std::to_string(DoorLastKey.Location) +
         " time=" + stamp + Stamp();
}

// A hook named in KeyHooks writes a line to both sides and waits for a key, as a door's own
// "press a key" inside a warning would; the key is recorded with the hook's name.
// A hook named in MoreHooks writes a text that ends in "`k" (with KestWrite on, a more prompt that
// waits for a key).
void WaitInHook(const std::string& AName) {
  if (MoreHooks.find(" " + AName + " ") != std::string::npos) {
    DoorWrite(AName + " hook more`k");
    Record("hookmore " + AName + Stamp());
  }
  if (KeyHooks.find(" " + AName + " ") == std::string::npos) return;
  DoorWriteLn(AName + " hook waits");
  Record("hookkey " + AName + " " + KeyRecord(DoorReadKey()));
}

void InstallHook(const std::string& AName, const std::string& AArg) {
  if (Has(AArg, "key")) KeyHooks += " " + AName + " ";
  if (Has(AArg, "more")) MoreHooks += " " + AName + " ";
  if (AName == "clp") {
    DoorOnCLP = [](char AKey, const std::string& AValue) {
      Record(std::string("clp ") + AKey + " [" + AValue + "]");
    };
  } else if (AName == "nologin") {
    DoorOnLocalLogin = nullptr;
  } else if (AName == "sysop") {
    SysopClaim = std::stoi(AArg);
    DoorOnSysopKey = [](char AKey) {
      char stamp[64];
      std::snprintf(stamp, sizeof stamp, "%.12f", DoorLastKey.Time);
      Record("sysop " + std::to_string(static_cast<unsigned char>(AKey)) +
             " lastch=" + std::to_string(static_cast<unsigned char>(DoorLastKey.Ch)) + " lasttime=" + stamp);
      return static_cast<unsigned char>(AKey) == SysopClaim;
    };
  } else if (AName == "idlewarn") {
    DoorOnTimeOutWarning = [](std::uint8_t AMinutes) {
      Record("idlewarn " + std::to_string(AMinutes) + " idle=" + std::to_string(DoorSecondsIdle()) + Stamp());
      WaitInHook("idlewarn");
    };
  } else if (AName == "timewarn") {
    DoorOnTimeUpWarning = [](std::uint8_t AMinutes) {
      Record("timewarn " + std::to_string(AMinutes) + " left=" + std::to_string(DoorSecondsLeft()) + Stamp());
      WaitInHook("timewarn");
    };
  } else if (AName == "timeup") {
    TimeUpExits = !Has(AArg, "record");
    DoorOnTimeUp = [] {
      Record("timeup left=" + std::to_string(DoorSecondsLeft()) + Stamp());
      WaitInHook("timeup");
      if (TimeUpExits) std::exit(0);
    };
  } else if (AName == "timeout") {
    TimeOutExits = !Has(AArg, "record");
    DoorOnTimeOut = [] {
      Record("timeout idle=" + std::to_string(DoorSecondsIdle()) + Stamp());
      WaitInHook("timeout");
      if (TimeOutExits) std::exit(0);
    };
  } else if (AName == "hangup") {
    HangupExits = !Has(AArg, "record");
    DoorOnHangup = [] {
      Record("hangup" + Stamp());
      WaitInHook("hangup");
      if (HangupExits) std::exit(0);
    };
  } else if (AName == "statusbar") {
    DoorOnStatusBar = [] {
      Record("statusbar idle=" + std::to_string(DoorSecondsIdle()) + " left=" + std::to_string(DoorSecondsLeft()) +
             Stamp());
      DefaultOnStatusBar();
      WaitInHook("statusbar");
    };
  } else {
    Record("bad hook " + AName);
  }
}

void Run(const std::string& AOp, const std::string& AArg, int argc, char** argv) {
  if (AOp == "hook") {
    const auto space = AArg.find(' ');
    InstallHook(AArg.substr(0, space), space == std::string::npos ? "" : AArg.substr(space + 1));
  } else if (AOp == "startup") {
    DoorStartup(argc, argv);
    Record("started" + Stamp());
    Record(Info());
  } else if (AOp == "info") {
    Record(Info());
  } else if (AOp == "maxidle") {
    DoorSession.MaxIdle = std::stoi(AArg);
  } else if (AOp == "maxseconds") {
    DoorDropInfo.MaxSeconds = std::stoi(AArg);
  } else if (AOp == "kest") {
    DoorSession.KestWrite = AArg == "1";
  } else if (AOp == "write") {
    DoorWrite(Unescape(AArg));
  } else if (AOp == "writeln") {
    DoorWriteLn(Unescape(AArg));
  } else if (AOp == "newline") {
    DoorWriteLn();
  } else if (AOp == "centered") {
    DoorWriteCentered(Unescape(AArg));
  } else if (AOp == "display") {
    DoorDisplayFile(AArg);
    Record("displayed" + Stamp());
  } else if (AOp == "gotoxy") {
    const auto space = AArg.find(' ');
    DoorGotoXY(static_cast<std::uint8_t>(std::stoi(AArg.substr(0, space))),
               static_cast<std::uint8_t>(std::stoi(AArg.substr(space + 1))));
  } else if (AOp == "clrscr") {
    DoorClrScr();
  } else if (AOp == "readkey") {
    const int count = AArg.empty() ? 1 : std::stoi(AArg);
    for (int i = 0; i < count; ++i) Record(KeyRecord(DoorReadKey()));
  } else if (AOp == "input") {
    // One line in a 20-column field of the printable characters, as the line editor returns it.
    Record("input " + DoorInput("", DOOR_INPUT_CHARS_ALL, '\0', 20, 20, 7) + Stamp());
  } else if (AOp == "shutdown") {
    DoorShutdown();
  } else if (AOp == "sigdump") {
    struct sigaction action {};
    action.sa_handler = DumpShadow;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
  } else if (AOp == "bigwrite") {
    // A long run of dots ending in the given text, in one DoorWrite.
    const auto space = AArg.find(' ');
    DoorWrite(std::string(static_cast<std::size_t>(std::stoi(AArg.substr(0, space))), '.') +
              Unescape(AArg.substr(space + 1)));
  } else if (AOp == "stall") {
    // The transport's bound for a send that makes no progress, shortened for a test.
    CommSetSendStallForTesting(std::stoi(AArg));
  } else if (AOp == "mark") {
    Record("mark " + AArg + Stamp());
  } else if (AOp == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(AArg)));
  } else if (AOp == "exit") {
    std::exit(std::stoi(AArg));
  } else if (!AOp.empty()) {
    Record("bad op " + AOp);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* result = std::getenv("DOORTEST_RESULT");
  if (result != nullptr) ResultPath = result;
  const char* script = std::getenv("DOORTEST_SCRIPT");
  if (script == nullptr) return 2;
  std::ifstream in(script);
  std::string line;
  while (std::getline(in, line)) {
    const auto space = line.find(' ');
    Run(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1), argc, argv);
  }
  Record("end" + Stamp());
  return 0;
}
