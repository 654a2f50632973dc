// zelkit-launch's SSH front door: its listener, each caller's key exchange, authentication and
// requests on one libssh event loop in a thread of its own, and the relay between the caller's
// channel and the socket the launcher hands that caller's door (telnet towards the door).
//
// The launcher's loop keeps nodes and doors: a caller whose shell or exec is accepted waits in a
// queue, the launcher is woken through its self-pipe, and ServiceSshCalls gives the caller a node on
// one end of a socket pair whose other end comes back here. One thread does all key exchanges, so a
// flood of handshakes takes at most one core, and the handshakes in progress are bounded in number
// (--max-pending, the oldest gives way) and in time (--handshake-timeout).

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/server.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "comm/comm_telnet.h"
#include "tools/launcher/launcher_internal.h"
#include "tools/launcher/ssh_keys.h"
#include "tools/launcher/telnet_client.h"

namespace launcher {

namespace {

using TClock = std::chrono::steady_clock;
constexpr std::size_t kToDoorLimit = 64 * 1024;  // caller's keys held for a door that does not read
constexpr auto kCloseGrace = std::chrono::seconds(2);  // after the channel closes, for the client to go

enum TStage : std::uint8_t {
  stHandshake,  // key exchange, authentication, the session channel and its requests
  stWaiting,    // shell or exec accepted: in the launcher's queue for a node
  stRelay,      // the door's socket is here
  stClosing,    // channel closed; the client has a moment to hang up
  stDead,       // to be freed after this turn of the loop
};

// One SSH connection, from the accept to the hang-up.
struct TCall {
  std::uint64_t Id = 0;
  ssh_session Session = nullptr;
  ssh_channel Channel = nullptr;
  std::string Peer;
  std::uint32_t Address = 0;
  std::string User;         // the name the caller authenticated with
  std::string DoorCode;     // from an exec; empty: the menu or the only door
  TStage Stage = stHandshake;
  TClock::time_point Deadline;
  bool KeyRefusalLogged = false;
  int HandshakeSeconds = 0;
  bool CallerGone = false;  // closed the channel while waiting for a node
  bool CallerEof = false;   // sends no more: the door's socket is shut for writing once ToDoor is out
  bool DoorShut = false;
  int Door = -1;            // the relay's end of the door's socket
  bool DoorPolled = false;  // Door is in the event loop (not while the channel's window is full)
  bool DoorEnded = false;   // end of file from the door: close the channel once ToCaller is out
  TTelnetClient Telnet;
  std::string ToCaller;     // door output the channel's window has no room for yet
  std::string ToDoor;       // caller's keys the door's socket has no room for yet
  ssh_server_callbacks_struct ServerCallbacks {};
  ssh_channel_callbacks_struct ChannelCallbacks {};
};

struct TQueued {
  std::uint64_t Id;
  TCaller Caller;
};

// Between the two threads, under FMutex.
std::mutex FMutex;
std::vector<TQueued> FQueue;                      // calls waiting for a node
std::vector<std::pair<std::uint64_t, int>> FAnswers;  // door sockets (or -1) for queued calls
std::set<std::uint64_t> FHanded;                  // calls handed to the launcher and not yet freed here
std::map<std::uint64_t, int> FEnded;              // wait status of such a call's door, once ended
// What the SSH thread needs of the options, copied at start and after a reload (SIGHUP), so that
// the launcher's loop may replace its options while this thread reads.
struct TSshOptions {
  std::vector<std::string> Codes;
  std::vector<TOptions::TAllow> Allow;
  int MaxPending = 32;
  int HandshakeSeconds = 10;
};
TSshOptions FShared;

// The SSH thread's own.
int FLauncherWake = -1;
int FWake[2] = {-1, -1};  // wakes the SSH thread for answers and the stop
int FListen = -1;
bool FStop = false;       // under FMutex
std::thread FThread;
ssh_bind FBind = nullptr;
ssh_event FEvent = nullptr;
TAllowedKeys FAllowed;
bool FKeysOnly = false;
std::map<std::uint64_t, std::unique_ptr<TCall>> FCalls;
std::uint64_t FNextId = 1;

void Refused(const TCall& ACall, const std::string& AWhat) {
  Log("zelkit-launch: ssh caller " + ACall.Peer + " refused: " + AWhat);
}

// The drop file holds one value a line: control characters never reach it.
std::string CleanName(const char* AUser) {
  std::string Name;
  for (const char* P = AUser; P != nullptr && *P != '\0' && Name.size() < 64; ++P)
    if (static_cast<unsigned char>(*P) >= 32 && *P != 127) Name += *P;
  const std::size_t First = Name.find_first_not_of(' ');
  return First == std::string::npos ? std::string() : Name.substr(First, Name.find_last_not_of(' ') - First + 1);
}

void Wake(int AFd) {
  char B = 0;
  std::ignore = write(AFd, &B, 1);
}

// --- the caller's requests

int OnAuthNone(ssh_session, const char* AUser, void* AData) {
  if (FKeysOnly) return SSH_AUTH_DENIED;
  static_cast<TCall*>(AData)->User = CleanName(AUser);
  return SSH_AUTH_SUCCESS;
}

int OnAuthPassword(ssh_session, const char* AUser, const char*, void* AData) {
  if (FKeysOnly) return SSH_AUTH_DENIED;
  static_cast<TCall*>(AData)->User = CleanName(AUser);
  return SSH_AUTH_SUCCESS;
}

// Asked twice for a key the caller holds: first whether it would do (no signature yet), then with
// the signature, which libssh has checked before this is called.
int OnAuthKey(ssh_session, const char* AUser, ssh_key AKey, char AState, void* AData) {
  TCall& Call = *static_cast<TCall*>(AData);
  if (AState != SSH_PUBLICKEY_STATE_NONE && AState != SSH_PUBLICKEY_STATE_VALID) return SSH_AUTH_DENIED;
  if (FKeysOnly && !FAllowed.Allows(AKey)) {
    if (!Call.KeyRefusalLogged) Refused(Call, "key " + KeyFingerprint(AKey) + " is not in --ssh-authorized-keys");
    Call.KeyRefusalLogged = true;
    return SSH_AUTH_DENIED;
  }
  if (AState == SSH_PUBLICKEY_STATE_VALID) Call.User = CleanName(AUser);
  return SSH_AUTH_SUCCESS;
}

int OnData(ssh_session, ssh_channel, void* AData, std::uint32_t ALen, int, void* AUser);
void OnEof(ssh_session, ssh_channel, void* AUser);
void OnClose(ssh_session, ssh_channel, void* AUser);
int OnPty(ssh_session, ssh_channel, const char*, int, int, int, int, void*) { return 0; }
int OnWindowChange(ssh_session, ssh_channel, int, int, int, int, void*) { return 0; }  // the door stays 80x25
int OnEnv(ssh_session, ssh_channel, const char* AName, const char*, void*) {
  return AName != nullptr && std::strcmp(AName, "TERM") == 0 ? 0 : -1;
}

void Queue(TCall& ACall) {
  ACall.Stage = stWaiting;
  TCaller Caller;
  Caller.Kind = ckSsh;
  Caller.Peer = ACall.Peer;
  Caller.Address = ACall.Address;
  Caller.Name = ACall.User;
  Caller.DoorCode = ACall.DoorCode;
  Caller.RelayId = ACall.Id;
  {
    std::lock_guard<std::mutex> Lock(FMutex);
    FQueue.push_back({ACall.Id, Caller});
    FHanded.insert(ACall.Id);
  }
  Wake(FLauncherWake);
}

int OnShell(ssh_session, ssh_channel, void* AUser) {
  TCall& Call = *static_cast<TCall*>(AUser);
  if (Call.Stage != stHandshake) return -1;
  Queue(Call);
  return 0;
}

// An exec names a door by its code and nothing else: it is looked up in the door table, never
// given to a shell.
int OnExec(ssh_session, ssh_channel, const char* ACommand, void* AUser) {
  TCall& Call = *static_cast<TCall*>(AUser);
  if (Call.Stage != stHandshake) return -1;
  const std::string Command = ACommand != nullptr ? ACommand : "";
  const bool IsCode = !Command.empty() && Command.size() <= 32 &&
                      std::all_of(Command.begin(), Command.end(), [](char C) {
                        return std::isalnum(static_cast<unsigned char>(C)) != 0 || C == '-' || C == '_';
                      });
  if (!IsCode) {
    Refused(Call, "exec of a command line (an exec names a door by its code)");
    return -1;
  }
  bool Known = false;
  {
    std::lock_guard<std::mutex> Lock(FMutex);
    for (const std::string& Code : FShared.Codes)
      Known = Known || strcasecmp(Code.c_str(), Command.c_str()) == 0;
  }
  if (!Known) {
    Refused(Call, "exec of " + Command + ", which is no door's code");
    return -1;
  }
  Call.DoorCode = Command;
  Queue(Call);
  return 0;
}

int OnSubsystem(ssh_session, ssh_channel, const char* AName, void* AUser) {
  std::string Name = CleanName(AName).substr(0, 32);
  Refused(*static_cast<TCall*>(AUser), "subsystem " + Name + " (file transfer and other subsystems are not served)");
  return -1;
}

void OnAgent(ssh_session, ssh_channel, void* AUser) {
  Refused(*static_cast<TCall*>(AUser), "agent forwarding");
}

ssh_channel OnChannelOpen(ssh_session ASession, void* AUser) {
  TCall& Call = *static_cast<TCall*>(AUser);
  if (Call.Channel != nullptr) return nullptr;  // one session channel a connection
  Call.Channel = ssh_channel_new(ASession);
  if (Call.Channel == nullptr) return nullptr;
  ssh_channel_callbacks_struct& Cb = Call.ChannelCallbacks;
  Cb.userdata = &Call;
  Cb.channel_data_function = OnData;
  Cb.channel_eof_function = OnEof;
  Cb.channel_close_function = OnClose;
  Cb.channel_pty_request_function = OnPty;
  Cb.channel_pty_window_change_function = OnWindowChange;
  Cb.channel_shell_request_function = OnShell;
  Cb.channel_exec_request_function = OnExec;
  Cb.channel_env_request_function = OnEnv;
  Cb.channel_subsystem_request_function = OnSubsystem;
  Cb.channel_auth_agent_req_function = OnAgent;
  ssh_callbacks_init(&Cb);
  ssh_set_channel_callbacks(Call.Channel, &Cb);
  return Call.Channel;
}

// Whatever no callback takes: forwarding both ways, X11, other channel types. Logged, then given
// libssh's default answer, which is a refusal.
int OnMessage(ssh_session, ssh_message AMessage, void* AUser) {
  const TCall& Call = *static_cast<TCall*>(AUser);
  const int Type = ssh_message_type(AMessage), Subtype = ssh_message_subtype(AMessage);
  if (Type == SSH_REQUEST_CHANNEL_OPEN && Subtype == SSH_CHANNEL_DIRECT_TCPIP)
    Refused(Call, "port forwarding from the caller's side (-L)");
  else if (Type == SSH_REQUEST_CHANNEL_OPEN && Subtype != SSH_CHANNEL_SESSION)
    Refused(Call, "a channel of another kind than a session");
  else if (Type == SSH_REQUEST_GLOBAL && Subtype == SSH_GLOBAL_REQUEST_TCPIP_FORWARD)
    Refused(Call, "port forwarding to the caller's side (-R)");
  else if (Type == SSH_REQUEST_CHANNEL && Subtype == SSH_CHANNEL_REQUEST_X11)
    Refused(Call, "X11 forwarding");
  return 1;
}

// --- the relay

void SendToDoor(TCall& ACall) {
  if (ACall.Door < 0) return;
  while (!ACall.ToDoor.empty()) {
    const ssize_t Sent = send(ACall.Door, ACall.ToDoor.data(), ACall.ToDoor.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (Sent <= 0) return;  // full (the loop tries again) or gone (the door's end of file follows)
    ACall.ToDoor.erase(0, static_cast<std::size_t>(Sent));
  }
  if (ACall.CallerEof && !ACall.DoorShut) {
    shutdown(ACall.Door, SHUT_WR);
    ACall.DoorShut = true;
  }
}

// The caller's keys, with byte 255 doubled for the door's telnet. Keys beyond what is held for a
// door that does not read stay with libssh, whose window then closes on the caller.
int OnData(ssh_session, ssh_channel, void* AData, std::uint32_t ALen, int, void* AUser) {
  TCall& Call = *static_cast<TCall*>(AUser);
  if (Call.ToDoor.size() >= kToDoorLimit) return 0;
  Call.ToDoor += TelnetEscape(static_cast<const char*>(AData), ALen);
  SendToDoor(Call);
  return static_cast<int>(ALen);
}

// The caller sends no more (input from a file that ended, say): the door reads the end of its
// input, its hang-up, and what it still sends on its way out reaches the caller with its exit status.
void OnEof(ssh_session, ssh_channel, void* AUser) {
  TCall& Call = *static_cast<TCall*>(AUser);
  Call.CallerEof = true;
  SendToDoor(Call);
}

// The caller closed the channel: the door's socket closes, which is the door's hang-up.
void OnClose(ssh_session, ssh_channel, void* AUser) {
  TCall& Call = *static_cast<TCall*>(AUser);
  if (Call.Stage != stWaiting) Call.Stage = stDead;
  else Call.CallerGone = true;  // ended when the launcher's answer comes
}

void PollDoor(TCall& ACall, bool AOn);

int OnDoorReadable(socket_t, int, void* AUser) {
  TCall& Call = *static_cast<TCall*>(AUser);
  unsigned char Buf[8192];
  const ssize_t Got = recv(Call.Door, Buf, sizeof Buf, MSG_DONTWAIT);
  if (Got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  if (Got <= 0) {
    Call.DoorEnded = true;  // the loop stops polling the socket (never from inside the event's own callback)
    return 0;
  }
  std::string Replies;
  Call.Telnet.Feed(Buf, static_cast<std::size_t>(Got), Call.ToCaller, Replies);
  if (!Replies.empty()) std::ignore = send(Call.Door, Replies.data(), Replies.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return 0;
}

void PollDoor(TCall& ACall, bool AOn) {
  if (ACall.DoorPolled == AOn || ACall.Door < 0) return;
  if (AOn) ssh_event_add_fd(FEvent, ACall.Door, POLLIN, OnDoorReadable, &ACall);
  else ssh_event_remove_fd(FEvent, ACall.Door);
  ACall.DoorPolled = AOn;
}

// The door's end closes the channel with its exit status (or the signal that ended it).
void CloseChannel(TCall& ACall) {
  int Status = -1;
  {
    std::lock_guard<std::mutex> Lock(FMutex);
    auto It = FEnded.find(ACall.Id);
    if (It != FEnded.end()) {
      Status = It->second;
      FEnded.erase(It);
    }
  }
  if (ACall.Channel != nullptr) {
    if (Status >= 0 && WIFSIGNALED(Status)) {
      const char* Name = sigabbrev_np(WTERMSIG(Status));
      ssh_channel_request_send_exit_signal(ACall.Channel, Name != nullptr ? Name : "KILL", 0, "", "");
    } else {
      ssh_channel_request_send_exit_status(ACall.Channel, Status >= 0 && WIFEXITED(Status) ? WEXITSTATUS(Status) : 1);
    }
    ssh_channel_send_eof(ACall.Channel);
    ssh_channel_close(ACall.Channel);
  }
  ACall.Stage = stClosing;
  ACall.Deadline = TClock::now() + kCloseGrace;
}

// Door output out to the channel as far as the caller's window allows; the door's socket is read
// only while nothing waits, so a caller who stops reading holds up his own door and nobody else.
void Pump(TCall& ACall) {
  if (ACall.Stage != stRelay) return;
  SendToDoor(ACall);
  while (!ACall.ToCaller.empty()) {
    const std::uint32_t Window = ssh_channel_window_size(ACall.Channel);
    if (Window == 0) break;
    const std::uint32_t Part = std::min<std::uint32_t>(Window, static_cast<std::uint32_t>(std::min<std::size_t>(ACall.ToCaller.size(), 32768)));
    const int Wrote = ssh_channel_write(ACall.Channel, ACall.ToCaller.data(), Part);
    if (Wrote <= 0) {
      if (Wrote < 0) ACall.Stage = stDead;
      break;
    }
    ACall.ToCaller.erase(0, static_cast<std::size_t>(Wrote));
  }
  if (ACall.Stage != stRelay) return;
  if (ACall.DoorEnded && ACall.ToCaller.empty()) CloseChannel(ACall);
  else PollDoor(ACall, !ACall.DoorEnded && ACall.ToCaller.empty());
}

// --- connections

void FreeCall(TCall& ACall) {
  {
    std::lock_guard<std::mutex> Lock(FMutex);
    FHanded.erase(ACall.Id);
    FEnded.erase(ACall.Id);
  }
  PollDoor(ACall, false);
  if (ACall.Door >= 0) {
    shutdown(ACall.Door, SHUT_RDWR);
    close(ACall.Door);
  }
  if (ACall.Session != nullptr) {
    ssh_event_remove_session(FEvent, ACall.Session);
    // Other processes (a caller's process at the menu) may hold a copy of the connection.
    const socket_t Fd = ssh_get_fd(ACall.Session);
    if (Fd >= 0) shutdown(Fd, SHUT_RDWR);
    ssh_disconnect(ACall.Session);
    ssh_free(ACall.Session);  // frees the channel too
  }
}

void Drop(std::map<std::uint64_t, std::unique_ptr<TCall>>::iterator AIt, const std::string& AWhy) {
  if (!AWhy.empty()) Log("zelkit-launch: ssh caller " + AIt->second->Peer + " " + AWhy);
  FreeCall(*AIt->second);
  FCalls.erase(AIt);
}

int OnAccept(socket_t, int, void*) {
  for (;;) {
    sockaddr_in Sin {};
    socklen_t Len = sizeof Sin;
    const int Fd = accept4(FListen, reinterpret_cast<sockaddr*>(&Sin), &Len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (Fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return 0;
    }
    auto Call = std::make_unique<TCall>();
    Call->Id = FNextId++;
    Call->Peer = PeerName(Sin);
    Call->Address = ntohl(Sin.sin_addr.s_addr);
    TSshOptions Now;
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      Now = FShared;
    }
    bool Allowed = Now.Allow.empty();  // without --allow, SSH is open to all, as telnet is
    for (const TOptions::TAllow& A : Now.Allow) Allowed = Allowed || (Call->Address & A.Mask) == A.Network;
    if (!Allowed) {
      Log("zelkit-launch: ssh caller " + Call->Peer + " refused: address not allowed");
      close(Fd);
      continue;
    }
    // Handshakes in progress are bounded: the oldest gives way to a newcomer.
    int Pending = 0;
    for (const auto& [Id, C] : FCalls) Pending += C->Stage == stHandshake ? 1 : 0;
    if (Pending >= Now.MaxPending) {
      // Freed after this turn of the event loop, which is running this callback.
      auto Oldest = std::find_if(FCalls.begin(), FCalls.end(), [](const auto& P) { return P.second->Stage == stHandshake; });
      Log("zelkit-launch: ssh caller " + Oldest->second->Peer + " closed: its handshake gave way to a newer caller (--max-pending " +
          std::to_string(Now.MaxPending) + ")");
      Oldest->second->Stage = stDead;
    }
    Call->Session = ssh_new();
    if (Call->Session == nullptr || ssh_bind_accept_fd(FBind, Call->Session, Fd) != SSH_OK) {
      if (Call->Session != nullptr) ssh_free(Call->Session);
      close(Fd);
      continue;
    }
    ssh_server_callbacks_struct& Cb = Call->ServerCallbacks;
    Cb.userdata = Call.get();
    Cb.auth_none_function = OnAuthNone;
    Cb.auth_password_function = OnAuthPassword;
    Cb.auth_pubkey_function = OnAuthKey;
    Cb.channel_open_request_session_function = OnChannelOpen;
    ssh_callbacks_init(&Cb);
    ssh_set_server_callbacks(Call->Session, &Cb);
    ssh_set_message_callback(Call->Session, OnMessage, Call.get());
    ssh_set_auth_methods(Call->Session, FKeysOnly ? SSH_AUTH_METHOD_PUBLICKEY
                                                  : SSH_AUTH_METHOD_NONE | SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_PUBLICKEY);
    ssh_set_blocking(Call->Session, 0);
    Call->Deadline = TClock::now() + std::chrono::seconds(Now.HandshakeSeconds);
    Call->HandshakeSeconds = Now.HandshakeSeconds;
    // Sends the version and starts the key exchange; the event loop carries it on.
    if (ssh_handle_key_exchange(Call->Session) == SSH_ERROR) {
      ssh_free(Call->Session);
      continue;
    }
    ssh_event_add_session(FEvent, Call->Session);
    FCalls.emplace(Call->Id, std::move(Call));
  }
}

void TakeAnswers() {
  std::vector<std::pair<std::uint64_t, int>> Answers;
  {
    std::lock_guard<std::mutex> Lock(FMutex);
    Answers.swap(FAnswers);
  }
  for (auto [Id, Socket] : Answers) {
    auto It = FCalls.find(Id);
    if (It == FCalls.end()) {
      if (Socket >= 0) close(Socket);
      continue;
    }
    TCall& Call = *It->second;
    Call.Door = Socket;
    Call.Stage = stRelay;
    if (Socket < 0) {
      CloseChannel(Call);
      continue;
    }
    if (Call.CallerGone) {
      Call.Stage = stDead;  // the caller hung up while waiting: the door's socket closes
      continue;
    }
    PollDoor(Call, true);
    SendToDoor(Call);  // keys typed while the door was on its way
  }
}

void Sweep() {
  const TClock::time_point Now = TClock::now();
  for (auto It = FCalls.begin(); It != FCalls.end();) {
    auto Next = std::next(It);
    TCall& Call = *It->second;
    if (Call.Stage != stDead && Call.Stage != stWaiting && !ssh_is_connected(Call.Session)) Call.Stage = stDead;
    if (Call.Stage == stRelay) Pump(Call);
    if (Call.Stage == stHandshake && Call.Deadline <= Now)
      Drop(It, "closed: no handshake within " + std::to_string(Call.HandshakeSeconds) + " s");
    else if (Call.Stage == stDead || (Call.Stage == stClosing && Call.Deadline <= Now))
      Drop(It, "");
    It = Next;
  }
}

int OnWake(socket_t, int, void*) {
  char Drain[64];
  while (read(FWake[0], Drain, sizeof Drain) > 0) {}
  return 0;
}

void Run() {
  bool Stopping = false;
  TClock::time_point StopDeadline;
  for (;;) {
    bool Stop = false;
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      Stop = FStop;
    }
    // At the launcher's end, callers whose doors have ended still get the door's last words and
    // exit status (bounded by the closing grace); handshakes and callers waiting for a node go.
    if (Stop && !Stopping) {
      Stopping = true;
      StopDeadline = TClock::now() + kCloseGrace + std::chrono::seconds(1);
      ssh_event_remove_fd(FEvent, FListen);
      for (auto& [Id, C] : FCalls)
        if (C->Stage == stHandshake || C->Stage == stWaiting) C->Stage = stDead;
    }
    if (Stopping && (FCalls.empty() || TClock::now() >= StopDeadline)) break;
    // Waiting output or keys are retried on a short tick; otherwise the loop sleeps until the next
    // deadline, or until something happens when there is none.
    int Timeout = Stopping ? 20 : -1;
    const TClock::time_point Now = TClock::now();
    for (const auto& [Id, C] : FCalls) {
      int Ms = -1;
      if (!C->ToCaller.empty() || !C->ToDoor.empty()) Ms = 20;
      else if (C->Stage == stHandshake || C->Stage == stClosing)
        Ms = static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(C->Deadline - Now).count()) + 1);
      if (Ms >= 0) Timeout = Timeout < 0 ? Ms : std::min(Timeout, Ms);
    }
    ssh_event_dopoll(FEvent, Timeout);
    TakeAnswers();
    Sweep();
  }
  while (!FCalls.empty()) Drop(FCalls.begin(), "");
}

}  // namespace

void SshTakeOptions() {
  TSshOptions Options;
  for (const TDoor& Door : FOptions.Doors) Options.Codes.push_back(Door.Code);
  Options.Allow = FOptions.Allow;
  Options.MaxPending = FOptions.MaxPending;
  Options.HandshakeSeconds = FOptions.HandshakeSeconds;
  std::lock_guard<std::mutex> Lock(FMutex);
  FShared = std::move(Options);
}

int StartSsh(int AWakeFd, std::string& AFingerprint) {
  SshTakeOptions();
  const std::string KeyPath = FOptions.SshHostKey.empty() ? FOptions.Base + "/ssh_host_ed25519_key" : FOptions.SshHostKey;
  bool Made = false;
  ssh_key Key = LoadHostKey(KeyPath, Made);
  const std::string Fingerprint = KeyFingerprint(Key);
  AFingerprint = Fingerprint;
  if (Made) Log("zelkit-launch: made a new SSH host key in " + KeyPath);
  FKeysOnly = !FOptions.SshAuthorizedKeys.empty();
  if (FKeysOnly) FAllowed.Load(FOptions.SshAuthorizedKeys);

  int Port = 0;
  FListen = OpenListener(FOptions.SshPort, Port);
  if (FListen < 0) {
    std::fprintf(stderr, "zelkit-launch: cannot listen for ssh callers on %s:%d: %s\n", FOptions.Bind.c_str(),
                 FOptions.SshPort, std::strerror(errno));
    ssh_key_free(Key);
    return -1;
  }
  FBind = ssh_bind_new();
  bool No = false;
  ssh_bind_options_set(FBind, SSH_BIND_OPTIONS_PROCESS_CONFIG, &No);
  ssh_bind_options_set(FBind, SSH_BIND_OPTIONS_IMPORT_KEY, Key);  // the bind owns the key from here
  FEvent = ssh_event_new();
  FLauncherWake = AWakeFd;
  if (FBind == nullptr || FEvent == nullptr || pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fputs("zelkit-launch: cannot start the SSH front door\n", stderr);
    return -1;
  }
  ssh_event_add_fd(FEvent, FListen, POLLIN, OnAccept, nullptr);
  ssh_event_add_fd(FEvent, FWake[0], POLLIN, OnWake, nullptr);
  FThread = std::thread(Run);
  Log("zelkit-launch: ssh host key " + Fingerprint + (FKeysOnly ? ", callers' keys from " + FOptions.SshAuthorizedKeys : ""));
  return Port;
}

void ServiceSshCalls(bool AStopping) {
  std::vector<TQueued> Queue;
  {
    std::lock_guard<std::mutex> Lock(FMutex);
    Queue.swap(FQueue);
  }
  if (Queue.empty()) return;
  std::vector<std::pair<std::uint64_t, int>> Answers;
  for (const TQueued& Q : Queue) {
    int Pair[2];
    const bool CallsLeft = FOptions.MaxCalls == 0 || FCallsStarted < FOptions.MaxCalls;
    if (AStopping || !CallsLeft || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair) != 0) {
      Answers.emplace_back(Q.Id, -1);
      continue;
    }
    // The door (or the launcher's polite refusal) gets one end; the relay the other.
    StartCaller(Pair[0], Q.Caller);
    Answers.emplace_back(Q.Id, Pair[1]);
  }
  {
    std::lock_guard<std::mutex> Lock(FMutex);
    FAnswers.insert(FAnswers.end(), Answers.begin(), Answers.end());
  }
  Wake(FWake[1]);
}

void SshDoorEnded(std::uint64_t AId, int AWaitStatus) {
  std::lock_guard<std::mutex> Lock(FMutex);
  if (FHanded.count(AId) != 0) FEnded[AId] = AWaitStatus;
}

void StopSsh() {
  if (!FThread.joinable()) return;
  {
    std::lock_guard<std::mutex> Lock(FMutex);
    FStop = true;
  }
  Wake(FWake[1]);
  FThread.join();
  ssh_event_remove_fd(FEvent, FWake[0]);  // frees what the event keeps for the descriptor
  ssh_event_free(FEvent);
  ssh_bind_free(FBind);
  close(FListen);
}

}  // namespace launcher
