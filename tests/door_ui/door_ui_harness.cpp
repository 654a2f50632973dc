#include "tests/door_ui/door_ui_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace door_ui {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kOpeningSize = 6;  // IAC WILL BINARY, IAC WILL ECHO

std::string Hex2(unsigned AValue) {
  static const char kDigits[] = "0123456789ABCDEF";
  return {kDigits[(AValue >> 4) & 15], kDigits[AValue & 15]};
}

}  // namespace

DoorRun::DoorRun(bool ACaller) {
  std::string pattern = (std::filesystem::temp_directory_path() / "zelkit-door-ui-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  FDir = pattern;
  FResultPath = FDir + "/result";
  if (ACaller) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw std::runtime_error("socketpair failed");
    FCallerFd = pair[0];
    FDoorFd = pair[1];
    fcntl(FCallerFd, F_SETFL, fcntl(FCallerFd, F_GETFL) | O_NONBLOCK);
  }
}

DoorRun::~DoorRun() {
  FPty.reset();  // ends a door still running (SIGKILL) and reaps it
  if (FCallerFd >= 0) close(FCallerFd);
  if (FDoorFd >= 0 && !FDoorFdClosed) close(FDoorFd);
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

void DoorRun::Start(const std::vector<std::string>& AArgs, const std::vector<std::string>& AEnv) {
  std::vector<std::string> args{DOOR_UI_DOOR_PATH};
  args.insert(args.end(), AArgs.begin(), AArgs.end());
  zelkit_test::PtyOptions options;
  options.WorkDir = FDir;
  options.Env = {"LC_ALL=C.UTF-8", "LANG=C.UTF-8", "ZELKIT_UI_RESULT=" + FResultPath};
  options.Env.insert(options.Env.end(), AEnv.begin(), AEnv.end());
  if (FDoorFd >= 0) options.PassFds = {FDoorFd};
  FPty = std::make_unique<zelkit_test::PtyProcess>(DOOR_UI_DOOR_PATH, args, options);
  // Only the door holds its end now, so the door sees end of file once the caller hangs up.
  if (FDoorFd >= 0) {
    close(FDoorFd);
    FDoorFdClosed = true;
  }
}

void DoorRun::StartRemote(const std::string& AMode, const std::vector<std::string>& AEnv) {
  std::vector<std::string> env{"ZELKIT_UI_MODE=" + AMode};
  env.insert(env.end(), AEnv.begin(), AEnv.end());
  Start({"-N1", "-S" + std::to_string(FDoorFd)}, env);
}

void DoorRun::TypeLocal(const std::string& AKeys) { FPty->Write(AKeys); }

void DoorRun::TypeRemote(const std::string& AKeys) {
  std::size_t done = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (done < AKeys.size() && Clock::now() < deadline) {
    const ssize_t n = send(FCallerFd, AKeys.data() + done, AKeys.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      Pump();
    } else {
      return;
    }
  }
}

void DoorRun::HangUp() { shutdown(FCallerFd, SHUT_WR); }

void DoorRun::Pump() {
  if (FPty) {
    FPty->ReadFor(0);
    const std::string& out = FPty->Output();
    if (out.size() > FSysopFed) {
      FSysop.Feed(out.substr(FSysopFed));
      FSysopFed = out.size();
    }
  }
  if (FCallerFd < 0) return;
  char buf[4096];
  for (;;) {
    const ssize_t n = recv(FCallerFd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::string bytes(buf, static_cast<std::size_t>(n));
    if (FOpening.size() < kOpeningSize) {
      const std::size_t take = std::min(kOpeningSize - FOpening.size(), bytes.size());
      FOpening += bytes.substr(0, take);
      bytes.erase(0, take);
    }
    FCallerBytes += bytes;
    FeedCaller(bytes);
  }
}

// libvterm reads CSI s as a margin setting and ignores CSI u, where a BBS caller's terminal saves
// and restores the cursor (the SCO sequences the kit sends). The caller's screen therefore gets
// DECSC and DECRC (ESC 7, ESC 8) in their place. Those also save and restore the pen, which the
// kit's own save and restore leave alone: a difference that shows only when the colours change
// between the two, and the menu sets its colours again after every restore.
void DoorRun::FeedCaller(const std::string& ABytes) {
  std::string bytes = FCallerHeld + ABytes;
  FCallerHeld.clear();
  // A sequence split over two receives waits for its end.
  if (bytes.ends_with("\x1b")) {
    FCallerHeld = "\x1b";
  } else if (bytes.ends_with("\x1b[")) {
    FCallerHeld = "\x1b[";
  }
  bytes.resize(bytes.size() - FCallerHeld.size());
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes.compare(i, 3, "\x1b[s") == 0 || bytes.compare(i, 3, "\x1b[u") == 0) {
      out += bytes[i + 2] == 's' ? "\x1b" "7" : "\x1b" "8";
      i += 2;
    } else {
      out += bytes[i];
    }
  }
  FCaller.Feed(out);
}

bool DoorRun::WaitFor(const std::function<bool()>& APredicate, int AMilliseconds) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(AMilliseconds);
  for (;;) {
    Pump();
    if (APredicate()) return true;
    if (Clock::now() >= deadline) return false;
    pollfd fds[2];
    nfds_t count = 0;
    if (FPty && FPty->Master() >= 0) fds[count++] = {FPty->Master(), POLLIN, 0};
    if (FCallerFd >= 0) fds[count++] = {FCallerFd, POLLIN, 0};
    std::ignore = poll(fds, count, 20);
  }
}

std::optional<std::string> DoorRun::WaitResult(int AMilliseconds) {
  std::optional<std::string> result;
  WaitFor(
      [&] {
        std::ifstream in(FResultPath, std::ios::binary);
        if (!in) return false;
        std::stringstream text;
        text << in.rdbuf();
        result = text.str();
        return true;
      },
      AMilliseconds);
  // The door sent everything before it wrote its result, but the last bytes may have reached the
  // caller's socket after the pump that came before the result was seen.
  Pump();
  return result;
}

int DoorRun::WaitExit(int AMilliseconds) {
  const int code = FPty->WaitExit(AMilliseconds);
  Pump();
  return code;
}

std::string DoorRun::Pictures() const {
  return "sysop's screen:\n" + FSysop.Picture() + "\ncaller's screen:\n" + FCaller.Picture() +
         "\ncaller's bytes: " + Escaped(FCallerBytes);
}

std::string AttrRow(const zelkit_test::VtermScreen& AScreen, int AY, int AFrom, int ATo) {
  std::string row;
  for (int x = AFrom; x <= ATo; ++x) row += Hex2(AScreen.Attr(x, AY)) + (x < ATo ? " " : "");
  return row;
}

bool FreshTermios(termios& ATermios) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
  const bool ok = tcgetattr(slave, &ATermios) == 0;
  close(slave);
  close(master);
  return ok;
}

std::string TermiosDiff(const termios& AWant, const termios& AGot) {
  std::string diff;
  const auto field = [&](const char* AName, unsigned long AWantValue, unsigned long AGotValue) {
    if (AWantValue != AGotValue) {
      diff += std::string(AName) + ": want " + std::to_string(AWantValue) + ", got " + std::to_string(AGotValue) + "\n";
    }
  };
  field("c_iflag", AWant.c_iflag, AGot.c_iflag);
  field("c_oflag", AWant.c_oflag, AGot.c_oflag);
  field("c_cflag", AWant.c_cflag, AGot.c_cflag);
  field("c_lflag", AWant.c_lflag, AGot.c_lflag);
  field("VMIN", AWant.c_cc[VMIN], AGot.c_cc[VMIN]);
  field("VTIME", AWant.c_cc[VTIME], AGot.c_cc[VTIME]);
  return diff;
}

std::string Escaped(const std::string& ABytes) {
  std::string out;
  for (char c : ABytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 32 || b >= 127 || b == '\\') {
      out += "\\x" + Hex2(b);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace door_ui
