// zelkit-launch built without libssh: no SSH front door, and a clear word when one is asked for.

#include <cstdio>

#include "tools/launcher/launcher_internal.h"

namespace launcher {

int StartSsh(int, std::string&) {
  std::fputs("zelkit-launch: --ssh-port: this zelkit-launch was built without its SSH front door "
             "(install libssh-dev and build again)\n", stderr);
  return -1;
}
void ServiceSshCalls(bool) {}
void SshDoorEnded(std::uint64_t, int) {}
void SshTakeOptions() {}
void StopSsh() {}

}  // namespace launcher
