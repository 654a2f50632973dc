// A tiny door for the launcher's tests, written without the kit. It takes the caller's socket from
// -D<DOOR32.SYS> (line 2) or from -N<node> -S<socket>, greets the caller, then echoes what the caller
// types. Commands, one byte each: q ends with code 0, x ends with code 3, k kills the door with
// SIGKILL, c crashes it (SIGABRT, no core file), f lists the door's open descriptors, a lists its arguments, w tells its working directory,
// Y tells whether its standard input is a terminal, R puts that terminal in raw mode, F sends
// without end (until the caller is gone), M sends 1,000,000 bytes of numbered lines and goes on. With -X (stdio) the caller is on the door's standard
// streams, a pseudo-terminal that the door puts in raw mode as a real console door does.

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

void Send(int AFd, const std::string& AText) {
  std::size_t Done = 0;
  while (Done < AText.size()) {
    ssize_t N = write(AFd, AText.data() + Done, AText.size() - Done);
    if (N <= 0) std::exit(0);
    Done += static_cast<std::size_t>(N);
  }
}

std::vector<std::string> ReadLines(const std::string& APath) {
  std::ifstream In(APath, std::ios::binary);
  std::vector<std::string> Lines;
  std::string Line;
  while (std::getline(In, Line)) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    Lines.push_back(Line);
  }
  return Lines;
}

std::string OpenFds() {
  std::vector<int> Fds;
  DIR* Dir = opendir("/proc/self/fd");
  if (Dir == nullptr) return "?";
  while (dirent* E = readdir(Dir)) {
    if (E->d_name[0] == '.') continue;
    int Fd = std::atoi(E->d_name);
    if (Fd != dirfd(Dir)) Fds.push_back(Fd);
  }
  closedir(Dir);
  std::sort(Fds.begin(), Fds.end());
  std::string Out;
  for (int Fd : Fds) Out += " " + std::to_string(Fd);
  return Out;
}

}  // namespace

int main(int argc, char** argv) {
  int Socket = -1;
  std::string Node = "?";
  std::string Name = "socket caller";
  std::string Args;
  bool Stdio = false;
  for (int I = 1; I < argc; ++I) {
    std::string A = argv[I];
    Args += (I > 1 ? " " : "") + A;
    if (A.rfind("-D", 0) == 0) {
      std::vector<std::string> Lines = ReadLines(A.substr(2));
      if (Lines.size() < 11) return 5;
      Socket = std::atoi(Lines[1].c_str());
      Name = Lines[5];
      Node = Lines[10];
    } else if (A.rfind("-N", 0) == 0) {
      Node = A.substr(2);
    } else if (A.rfind("-S", 0) == 0) {
      Socket = std::atoi(A.substr(2).c_str());
    } else if (A == "-X") {
      Stdio = true;
    }
  }
  if (Stdio) {
    Socket = STDIN_FILENO;
    termios Raw {};
    if (tcgetattr(STDIN_FILENO, &Raw) == 0) {
      cfmakeraw(&Raw);
      tcsetattr(STDIN_FILENO, TCSANOW, &Raw);
    }
  }
  if (Socket < 0) return 6;
  if (!Stdio) {
    std::printf("test door on node %s\n", Node.c_str());
    std::fflush(stdout);
  }

  Send(Socket, "hello " + Name + " on node " + Node + "\r\n");
  char Buf[256];
  for (;;) {
    ssize_t N = read(Socket, Buf, sizeof Buf);
    if (N <= 0) return 0;  // the caller hung up
    for (ssize_t I = 0; I < N; ++I) {
      switch (Buf[I]) {
        case 'q': Send(Socket, "bye\r\n"); return 0;
        case 'x': return 3;
        case 'k': raise(SIGKILL); break;
        case 'c': {
          const rlimit NoCore{0, 0};
          setrlimit(RLIMIT_CORE, &NoCore);
          std::abort();
        }
        case 'f': Send(Socket, "fds:" + OpenFds() + "\r\n"); break;
        case 'R': {  // raw mode on standard input, as a console door sets its keyboard
          termios Raw {};
          if (tcgetattr(STDIN_FILENO, &Raw) == 0) {
            cfmakeraw(&Raw);
            tcsetattr(STDIN_FILENO, TCSANOW, &Raw);
          }
          Send(Socket, "raw\r\n");
          break;
        }
        case 'F': for (const std::string Block(65536, '#');;) Send(Socket, Block);
        case 'M': {  // 12,500 lines of 80 bytes: a number, stars in changing colours, dots, CR LF
          std::string Lines;
          for (int Line = 0; Line < 12500; ++Line) {
            std::string Text = std::to_string(Line);
            for (int Colour = 0; Text.size() + 6 <= 78; Colour = (Colour + 1) % 8)
              Text += "\x1b[3" + std::to_string(Colour) + "m*";
            Lines += Text + std::string(78 - Text.size(), '.') + "\r\n";
          }
          Send(Socket, Lines);
          break;
        }
        case 'Y': Send(Socket, isatty(STDIN_FILENO) ? "tty\r\n" : "no tty\r\n"); break;
        case 'a': Send(Socket, "args: " + Args + "\r\n"); break;
        case 'w': {
          char Cwd[4096] = "?";
          std::ignore = getcwd(Cwd, sizeof Cwd);
          Send(Socket, std::string("cwd: ") + Cwd + "\r\n");
          break;
        }
        default: Send(Socket, std::string(1, Buf[I]));
      }
    }
  }
}
