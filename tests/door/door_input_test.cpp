// Keys from both sides, end to end: what DoorReadKey returns and records in DoorLastKey for bytes
// from the caller's socket and keys typed on the sysop's terminal; and that a key wait sleeps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/door/door_harness.h"

using door_test::DoorRun;

namespace {

constexpr int kWait = 15000;

// The "key <value> ch=<value> ext=<e> loc=<l>" part of each key the door read.
std::vector<std::string> Keys(const DoorRun& ARun) {
  std::vector<std::string> keys;
  for (const auto& line : ARun.ResultLines("key ")) keys.push_back(line.substr(0, line.find(" time=")));
  return keys;
}

// The results of extended keys with these scan codes from the caller.
std::vector<std::string> Ext(const std::vector<int>& AScans) {
  std::vector<std::string> keys;
  for (int scan : AScans) {
    const std::string code = std::to_string(scan);
    keys.push_back("key " + code + " ch=" + code + " ext=1 loc=2");
  }
  return keys;
}

long MsOf(const std::string& ALine) { return std::atol(ALine.c_str() + ALine.find('@') + 1); }

// Runs a remote door that reads ACount keys after "mark ready"; the caller sends ARemote and the
// sysop types ALocal, each only once the door waits.
std::vector<std::string> ReadKeys(DoorRun& ARun, int ACount, const std::string& ARemote,
                                  const std::string& ALocal = "",
                                  const std::vector<std::string>& AHooks = {}) {
  ARun.MakeCaller();
  std::vector<std::string> script = AHooks;
  script.insert(script.end(), {"startup", "mark ready", "readkey " + std::to_string(ACount), "shutdown"});
  if (!ARun.Start(script, {"-N1", ARun.SocketArg()})) return {"<no start>"};
  if (!ARun.WaitResult("mark ready", kWait)) return {"<not ready>"};
  if (!ARemote.empty()) ARun.Send(ARemote);
  if (!ALocal.empty()) ARun.Process().Write(ALocal);
  if (ARun.Exit(kWait) != 0) return {"<bad exit>"};
  return Keys(ARun);
}

// CPU time (user plus system) the process has used so far, in clock ticks.
long CpuTicks(pid_t APid) {
  std::ifstream in("/proc/" + std::to_string(APid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(all.substr(all.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {  // the state is field 3; utime 14, stime 15
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) {
      stime = std::atol(field.c_str());
      break;
    }
  }
  return utime + stime;
}

}  // namespace

TEST(DoorReadKey, RemoteKeysAndCursorSequences) {
  struct Case {
    std::string Name, Remote;
    std::vector<std::string> Want;
  };
  const Case kCases[] = {
      {"plain keys", "ab", {"key 97 ch=97 ext=0 loc=2", "key 98 ch=98 ext=0 loc=2"}},
      {"up", "\x1b[A", {"key 72 ch=72 ext=1 loc=2"}},
      {"down", "\x1b[B", {"key 80 ch=80 ext=1 loc=2"}},
      {"right", "\x1b[C", {"key 77 ch=77 ext=1 loc=2"}},
      {"left", "\x1b[D", {"key 75 ch=75 ext=1 loc=2"}},
      {"ESC x is ESC, then x", "\x1bx", {"key 27 ch=27 ext=0 loc=2", "key 120 ch=120 ext=0 loc=2"}},
      // What real clients send for the editing and function keys: the sysop's scan codes.
      {"editing keys",
       "\x1b[H\x1bOH\x1b[1~\x1b[7~\x1b[F\x1bOF\x1b[4~\x1b[8~\x1b[K\x1b[5~\x1b[V\x1b[6~\x1b[U\x1b[2~\x1b[@\x1b[3~",
       Ext({71, 71, 71, 71, 79, 79, 79, 79, 79, 73, 73, 81, 81, 82, 82, 83})},
      {"F1-F10", "\x1bOP\x1bOQ\x1bOR\x1bOS\x1b[11~\x1b[12~\x1b[13~\x1b[14~\x1b[15~\x1b[17~\x1b[18~\x1b[19~\x1b[20~\x1b[21~",
       Ext({59, 60, 61, 62, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68})},
      {"arrows in application mode, with modifiers", "\x1bOA\x1bOD\x1b[1;5C\x1b[3;2~", Ext({72, 75, 77, 83})},
      // A complete sequence the kit does not know gives no key, and nothing of it reaches the door.
      {"unknown sequences", "\x1b[99~\x1b[?1;2c\x1b[Z\x1bOxz", {"key 122 ch=122 ext=0 loc=2"}},
      {"Backspace as DEL", "a\x7f", {"key 97 ch=97 ext=0 loc=2", "key 8 ch=8 ext=0 loc=2"}},
      {"ESC [ and a control byte: the byte is a key", "\x1b[1\x19", {"key 25 ch=25 ext=0 loc=2"}},
      {"ESC ESC [ A", "\x1b\x1b[A", {"key 27 ch=27 ext=0 loc=2", "key 72 ch=72 ext=1 loc=2"}},
      {"Enter as CR LF, CR NUL, LF",
       std::string("\r\n\r\0\n", 5),
       {"key 13 ch=13 ext=0 loc=2", "key 13 ch=13 ext=0 loc=2", "key 13 ch=13 ext=0 loc=2"}},
      // The caller's byte 255 comes as IAC IAC (RFC 854): one key; from a client that does not
      // escape it (rlogin), bare, followed by the next key.
      {"bare byte 255", "\xff" "a", {"key 255 ch=255 ext=0 loc=2", "key 97 ch=97 ext=0 loc=2"}},
      {"byte 255", "\xff\xffq\xff\xff", {"key 255 ch=255 ext=0 loc=2", "key 113 ch=113 ext=0 loc=2", "key 255 ch=255 ext=0 loc=2"}},
      // The client's answers to the door's offers and its window size are no keys.
      {"telnet replies and window size",
       std::string("\xff\xfd\x00\xff\xfd\x01\xff\xfa\x1f\x00\x50\x00\x18\xff\xf0q", 16),
       {"key 113 ch=113 ext=0 loc=2"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    EXPECT_EQ(c.Want, ReadKeys(run, static_cast<int>(c.Want.size()), c.Remote)) << run.Results();
  }
}

TEST(DoorReadKey, LoneEscapeComesBackAfterHalfASecond) {
  DoorRun run;
  ASSERT_EQ(std::vector<std::string>{"key 27 ch=27 ext=0 loc=2"}, ReadKeys(run, 1, "\x1b"));
  const long ready = MsOf(run.ResultLines("mark ready")[0]);
  const long key = MsOf(run.ResultLines("key")[0]);
  EXPECT_GE(key - ready, 480);
  EXPECT_LT(key - ready, 5000);
}

TEST(DoorReadKey, EscapeBracketWaitsForTheFinalByte) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"startup", "mark ready", "readkey 2", "shutdown"}, {"-N1", run.SocketArg()}));
  ASSERT_TRUE(run.WaitResult("mark ready", kWait));
  run.Send("\x1b");
  run.Process().ReadFor(150);
  run.Send("[");
  run.Process().ReadFor(150);
  run.Send("Cx");  // the sequence arrives in three pieces, each within half a second
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_EQ((std::vector<std::string>{"key 77 ch=77 ext=1 loc=2", "key 120 ch=120 ext=0 loc=2"}), Keys(run));
}

TEST(DoorReadKey, LocalKeys) {
  struct Case {
    std::string Name, Local;
    std::vector<std::string> Want;
  };
  const Case kCases[] = {
      {"plain", "a", {"key 97 ch=97 ext=0 loc=1"}},
      {"up", "\x1b[A", {"key 72 ch=72 ext=1 loc=1"}},
      {"down", "\x1b[B", {"key 80 ch=80 ext=1 loc=1"}},
      {"right", "\x1b[C", {"key 77 ch=77 ext=1 loc=1"}},
      {"left", "\x1b[D", {"key 75 ch=75 ext=1 loc=1"}},
      {"Backspace (the terminal's erase character, DEL)", "\x7f", {"key 8 ch=8 ext=0 loc=1"}},
      {"Delete", "\x1b[3~", {"key 83 ch=83 ext=1 loc=1"}},
      {"Ctrl-@ (NUL)", std::string("\0x", 2), {"key 3 ch=3 ext=1 loc=1", "key 120 ch=120 ext=0 loc=1"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    EXPECT_EQ(c.Want, ReadKeys(run, static_cast<int>(c.Want.size()), "", c.Local)) << run.Results();
  }
}

// A NUL from the sysop's keyboard is a whole key: the key wait that follows still serves the caller
// and runs the event check.
TEST(DoorReadKey, SysopNulLeavesTheCallersKeysServed) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"hook statusbar", "startup", "mark ready", "readkey", "mark second", "readkey", "shutdown"},
                        {"-N1", run.SocketArg()}));
  ASSERT_TRUE(run.WaitResult("mark ready", kWait));
  run.Process().Write(std::string(1, '\0'));
  ASSERT_TRUE(run.WaitResult("mark second", kWait)) << run.Results();
  const std::size_t barsBefore = run.ResultLines("statusbar").size();
  run.Process().ReadFor(1500);
  EXPECT_GT(run.ResultLines("statusbar").size(), barsBefore) << "the event check stopped";
  run.Send("x");
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_EQ((std::vector<std::string>{"key 3 ch=3 ext=1 loc=1", "key 120 ch=120 ext=0 loc=2"}), Keys(run));
}

TEST(DoorReadKey, LocalKeyIsServedBeforeTheCallers) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"startup", "sleep 500", "mark ready", "readkey 2", "shutdown"}, {"-N1", run.SocketArg()}));
  run.Send("r");               // both arrive while the door is busy elsewhere
  run.Process().Write("l");
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_EQ((std::vector<std::string>{"key 108 ch=108 ext=0 loc=1", "key 114 ch=114 ext=0 loc=2"}), Keys(run));
}

TEST(DoorReadKey, SysopKeyClaimedByTheHookIsNeverReturned) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"hook sysop 72", "startup", "mark ready", "readkey", "mark second", "readkey", "shutdown"},
                        {"-N1", run.SocketArg()}));
  ASSERT_TRUE(run.WaitResult("mark ready", kWait));
  run.Process().Write("z");
  ASSERT_TRUE(run.WaitResult("mark second", kWait));
  run.Process().Write("\x1b[A");  // claimed
  ASSERT_TRUE(run.WaitResult("sysop 72", kWait));
  run.Process().Write("\x1b[A");  // claimed again: DoorLastKey still holds the z
  ASSERT_TRUE(run.WaitResult("sysop 72", kWait));
  run.Process().ReadFor(200);
  run.Process().Write("\x1b[B");  // not claimed
  EXPECT_EQ(0, run.Exit(kWait));
  EXPECT_EQ((std::vector<std::string>{"key 122 ch=122 ext=0 loc=1", "key 80 ch=80 ext=1 loc=1"}), Keys(run));
  const auto first = run.ResultLines("key")[0];
  const std::string zTime = first.substr(first.find("time=") + 5, first.find(" @") - first.find("time=") - 5);
  const auto sysop = run.ResultLines("sysop");
  ASSERT_EQ(3u, sysop.size()) << run.Results();
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ("sysop 72 lastch=122 lasttime=" + zTime, sysop[i]);
  }
  EXPECT_EQ(0u, sysop[2].find("sysop 80 lastch=122")) << sysop[2];
}

TEST(DoorReadKey, WaitingForAKeyDoesNotSpin) {
  DoorRun run;
  run.MakeCaller();
  ASSERT_TRUE(run.Start({"startup", "mark ready", "readkey", "shutdown"}, {"-N1", run.SocketArg()}));
  ASSERT_TRUE(run.WaitResult("mark ready", kWait));
  const long before = CpuTicks(run.Process().Pid());
  run.Process().ReadFor(3000);
  const long used = CpuTicks(run.Process().Pid()) - before;
  run.Send("q");
  EXPECT_EQ(0, run.Exit(kWait));
  // Three seconds of waiting, status bar redraws included. Generous even under sanitizers: the
  // bound only catches a loop that polls without sleeping.
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 2) << used << " ticks";
  EXPECT_EQ(std::vector<std::string>{"key 113 ch=113 ext=0 loc=2"}, Keys(run));
}

// A lone Escape from the sysop's keyboard is only known to be alone once the console's short wait
// for the rest of a sequence is over; the key wait must wake for that even with no events due (a
// local session has none) and no further input coming.
TEST(DoorReadKey, LocalLoneEscapeIsReturned) {
  struct Case {
    std::string Name;
    std::vector<std::string> Args;
  };
  const Case kCases[] = {{"local session", {}}, {"remote session", {"-N1", "{socket}"}}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorRun run;
    run.MakeCaller();
    std::vector<std::string> args = c.Args;
    for (auto& arg : args) {
      if (arg == "{socket}") arg = run.SocketArg();
    }
    ASSERT_TRUE(run.Start({"hook nologin", "startup", "mark ready", "readkey", "mark done"}, args));
    ASSERT_TRUE(run.WaitResult("mark ready", kWait));
    run.Process().Write("\x1b");
    EXPECT_TRUE(run.WaitResult("mark done", 5000)) << "the Escape was never returned";
    EXPECT_EQ(std::vector<std::string>{"key 27 ch=27 ext=0 loc=1"}, Keys(run));
    const long waited = MsOf(run.ResultLines("key")[0]) - MsOf(run.ResultLines("mark ready")[0]);
    // Not a speed target: only tells a wake-up for the Escape from one for the next event pass.
    EXPECT_LT(waited, 900) << "the Escape waited for something else";
    run.Process().Write("x");
    EXPECT_EQ(0, run.Exit(kWait));
  }
}
