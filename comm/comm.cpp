#include "comm/comm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <tuple>

#include "comm/comm_internal.h"
#include "comm/comm_telnet.h"
#include "comm/comm_testing.h"

namespace {

std::string FBuffer;             // received bytes no reader has taken yet, line endings already folded
bool FCarrier = true;            // once the caller is gone, it never comes back
std::int32_t FCommNumber = -1;   // the caller's socket; -1 before the open and after the close
TTelnetReceive FTelnet;          // where the caller's telnet commands stand between two receive steps

constexpr std::size_t RECEIVE_BLOCK = 1024;  // one recv fetches a whole burst of typed-ahead keys
constexpr int LONE_IAC_WAIT_MS = 200;         // how long an IAC at the end of a block waits for its command byte

// How long a send waits without progress before the caller counts as gone (COMM_SEND_STALL_SECONDS;
// tests shorten it through the testing seam).
int FSendStallMs = COMM_SEND_STALL_SECONDS * 1000;

// How long one round of a character wait sleeps in poll. The wait is woken at once by data or by the
// caller hanging up, so the step only bounds how long a signal-free wait stays inside one system call.
constexpr int WAIT_STEP_MS = 250;

// Replaces every non-overlapping AFrom (two bytes) with the single byte ATo, left to right,
// without rescanning what was written.
void ReplacePair(std::string& AText, char AFirst, char ASecond, char ATo) {
  std::size_t Out = 0;
  for (std::size_t In = 0; In < AText.size(); ++In) {
    if (AText[In] == AFirst && In + 1 < AText.size() && AText[In + 1] == ASecond) {
      AText[Out++] = ATo;
      ++In;
    } else {
      AText[Out++] = AText[In];
    }
  }
  AText.resize(Out);
}

// Every line ending the caller's client may send (CR LF from a terminal, CR NUL from a telnet
// client in NVT mode, RFC 854; a bare LF from a raw client) becomes one CR. Three passes, each over
// the result of the one before, within the block just received.
void FoldLineEndings(std::string& AText) {
  ReplacePair(AText, '\r', '\n', '\r');
  ReplacePair(AText, '\r', '\0', '\r');
  for (char& Ch : AText) {
    if (Ch == '\n') Ch = '\r';
  }
}

// The receive step: waits at most ATimeoutMs for the socket to become readable and, if it is, takes
// one block, takes the telnet commands out of it (replies to the opening, window sizes, ... are the
// client's business, never the caller's keys; IAC IAC is a data byte 255) and folds the line endings
// of the data that remains. Called only while FBuffer is empty.
//
// A block that ends in IAC leaves the filter waiting for the command byte. A telnet client sends
// its commands whole, so that byte comes at once; a caller whose client does not speak telnet (an
// rlogin caller typing 255) sends nothing more, and after LONE_IAC_WAIT_MS the 255 is the caller's
// data, so the key is not held until the next one.
//
// poll rather than select: select's fixed set holds descriptors 0 to 1023 only, and a BBS with many
// nodes may well hand down a higher one; poll takes any descriptor.
void ReceiveData(int ATimeoutMs) {
  if (FCommNumber < 0) return;  // never opened, or closed: nothing can arrive
  for (int Round = 0; Round < 2; ++Round) {
    const bool LoneIac = FTelnet.State == tsCommand;
    pollfd Pfd{FCommNumber, POLLIN, 0};
    if (poll(&Pfd, 1, LoneIac ? std::max(ATimeoutMs, LONE_IAC_WAIT_MS) : ATimeoutMs) <= 0) {
      // Nothing waiting (a failed poll counts the same).
      if (TelnetReleaseLoneIac(FTelnet)) FBuffer.assign(1, '\xff');
      return;
    }
    char ReadArray[RECEIVE_BLOCK];
    const ssize_t NumRead = recv(FCommNumber, ReadArray, sizeof ReadArray, 0);
    if (NumRead > 0) {
      FBuffer = TelnetFilter(FTelnet, ReadArray, static_cast<std::size_t>(NumRead));
      if (FBuffer.empty() && FTelnet.State == tsCommand) continue;  // only an IAC so far: wait for its rest
    } else if (NumRead == 0) {
      FCarrier = false;  // orderly close by the caller
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      // A signal or a socket left non-blocking by someone else only means "nothing now";
      // any other error means the connection is gone.
      FCarrier = false;
    }
    break;
  }
  if (!FBuffer.empty()) FoldLineEndings(FBuffer);
}

// Sends the whole block. A short send is continued, an interrupted one retried, and a full socket
// waited on, so the caller never gets a silently truncated screen. Every send is non-blocking
// (MSG_DONTWAIT), whatever mode the socket is in, so the wait is the door's own:
// - before it waits, the sysop's terminal is brought up to date (CommOnSendWait), so the console
//   does not lag behind a caller who reads slowly or not at all;
// - when the caller takes nothing for FSendStallMs, the carrier counts as lost and the rest of the
//   block is dropped: a client that stopped reading cannot hold the node, and the event check takes
//   the hang-up path at the next key wait;
// - once the carrier is gone nothing more is waited for (the hang-up message and the exit step
//   still try their bytes).
// MSG_NOSIGNAL: a write to a connection the caller has closed fails with EPIPE instead of raising
// SIGPIPE, which would end the door before its exit step, without touching the process's signal
// handling.
void SendAll(const char* AData, std::size_t ALen) {
  using Clock = std::chrono::steady_clock;
  auto LastProgress = Clock::now();
  bool ConsoleUpToDate = false;
  while (ALen > 0 && FCommNumber >= 0) {
    const ssize_t Sent = send(FCommNumber, AData, ALen, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (Sent > 0) {
      AData += Sent;
      ALen -= static_cast<std::size_t>(Sent);
      LastProgress = Clock::now();
      continue;
    }
    if (Sent < 0 && errno == EINTR) continue;
    if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!FCarrier) return;
      if (!ConsoleUpToDate) {
        ConsoleUpToDate = true;
        if (CommOnSendWait) CommOnSendWait();
      }
      const auto Waited =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - LastProgress).count();
      if (Waited >= FSendStallMs) {
        FCarrier = false;  // the caller has taken nothing for the whole bound: gone
        return;
      }
      pollfd Pfd{FCommNumber, POLLOUT, 0};
      std::ignore = poll(&Pfd, 1, static_cast<int>(FSendStallMs - Waited));
      continue;
    }
    return;  // the connection failed; the receive step will notice the loss
  }
}

// Waits until FBuffer holds a character. Returns false, without waiting, when nothing can ever
// arrive: the caller is gone, or no socket is open. The kit itself reads only after CommCharAvail
// said yes; a stand-alone read then gets NUL instead of spinning forever.
bool WaitForChar() {
  while (FBuffer.empty()) {
    if (!FCarrier || FCommNumber < 0) return false;
    // A blocking poll with a timeout instead of a 1 ms sleep-and-poll loop: woken at once by data or
    // a hang-up, idle otherwise.
    ReceiveData(WAIT_STEP_MS);
  }
  return true;
}

}  // namespace

void (*CommOnSendWait)() = nullptr;

void CommOpen(std::int32_t ACommNumber) {
  FTelnet = {};
  // Only a connected socket is taken over. BBSes write "COM1:" into DOOR.SYS for a telnet caller,
  // and a wrong -S names a closed descriptor or a file: descriptor 1 would be the door's own
  // standard output. Such a number is left alone and the carrier counts as absent, so start-up
  // ends with "No Carrier Detected" before anything is drawn or sent.
  struct stat Status {};
  if (ACommNumber < 0 || fstat(ACommNumber, &Status) != 0 || !S_ISSOCK(Status.st_mode)) {
    FCarrier = false;
    return;
  }
  FCommNumber = ACommNumber;
  int Arg = fcntl(FCommNumber, F_GETFL);
  if (Arg != -1) std::ignore = fcntl(FCommNumber, F_SETFL, Arg & ~O_NONBLOCK);
  // IAC WILL TRANSMIT-BINARY (RFC 856): the door sends 8-bit bytes as they are.
  CommWriteRaw(std::string("\xff\xfb\x00", 3));
  // IAC WILL ECHO (RFC 857): the door echoes, so the caller's client stops echoing locally.
  CommWriteRaw(std::string("\xff\xfb\x01", 3));
}

void CommClose(bool ADisconnect) {
  if (FCommNumber < 0) return;  // never opened or already closed: the number may belong to someone else now
  if (ADisconnect) std::ignore = shutdown(FCommNumber, SHUT_RDWR);
  std::ignore = close(FCommNumber);
  // Forget the descriptor, so the exit step's late writes and second close touch nothing: the
  // process may already have reused the number for another file.
  FCommNumber = -1;
}

void CommReleaseFromSignal(const char* AData, std::size_t ALength) {
  const int Fd = FCommNumber;
  if (Fd < 0) return;
  if (ALength > 0) std::ignore = send(Fd, AData, ALength, MSG_NOSIGNAL | MSG_DONTWAIT);
  std::ignore = close(Fd);
  FCommNumber = -1;
}

bool CommCarrier() { return FCarrier; }

bool CommCharAvail() {
  if (FBuffer.empty()) ReceiveData(0);
  return !FBuffer.empty();
}

char CommPeekChar() {
  if (!WaitForChar()) return '\0';
  return FBuffer.front();
}

char CommReadChar() {
  if (!WaitForChar()) return '\0';
  const char Ch = FBuffer.front();
  FBuffer.erase(0, 1);
  return Ch;
}

void CommWrite(const std::string& AText) {
  if (std::memchr(AText.data(), 0xFF, AText.size()) == nullptr) {
    SendAll(AText.data(), AText.size());  // nothing to escape: sent as it stands, without a copy
    return;
  }
  const std::string Escaped = TelnetEscape(AText.data(), AText.size());
  SendAll(Escaped.data(), Escaped.size());  // one block, as CommWriteBlock sends it, without its 32-bit length limit
}

void CommWriteRaw(const std::string& AText) { SendAll(AText.data(), AText.size()); }

void CommWriteBlock(const void* ABlock, std::int32_t ABlockLen) {
  if (ABlock == nullptr || ABlockLen <= 0) return;
  SendAll(static_cast<const char*>(ABlock), static_cast<std::size_t>(ABlockLen));
}

void CommSetBaud(std::int32_t ABaud) { std::ignore = ABaud; }

void CommFlushOutBuffer() {}

void CommPurgeOutBuffer() {}

int CommInputHandle() { return (FCommNumber >= 0 && FCarrier) ? FCommNumber : -1; }

void CommResetForTesting() {
  FBuffer.clear();
  FCarrier = true;
  FCommNumber = -1;
  FTelnet = {};
  FSendStallMs = COMM_SEND_STALL_SECONDS * 1000;
}

void CommSetSendStallForTesting(int AMilliseconds) { FSendStallMs = AMilliseconds; }
