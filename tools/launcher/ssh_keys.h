#pragma once
// The SSH front door's keys: the host key and the callers' public keys --ssh-authorized-keys allows.

#include <libssh/libssh.h>

#include <string>
#include <vector>

#include "tools/launcher/launcher_internal.h"

namespace launcher {

// The host key from APath, or a new Ed25519 key written there (mode 0600) when there is no file;
// AMade tells which. A file that is there but unreadable or not a key ends the start (kExitUsage)
// and stays as it is.
ssh_key LoadHostKey(const std::string& APath, bool& AMade);
std::string KeyFingerprint(ssh_key AKey);  // "SHA256:..." as OpenSSH shows it

class TAllowedKeys {
 public:
  TAllowedKeys() = default;
  ~TAllowedKeys();
  TAllowedKeys(const TAllowedKeys&) = delete;
  TAllowedKeys& operator=(const TAllowedKeys&) = delete;
  void Load(const std::string& APath);  // a file that cannot be read or a line that is no key: kExitUsage
  bool Allows(ssh_key AKey) const;

 private:
  std::vector<ssh_key> FKeys;
};

}  // namespace launcher
