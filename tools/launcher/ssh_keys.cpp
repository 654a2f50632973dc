// The SSH front door's keys: the server's host key (made once, kept across restarts, its fingerprint
// for the sysop to publish) and the list of callers' public keys that --ssh-authorized-keys allows.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libssh/libssh.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/launcher/ssh_keys.h"

namespace launcher {

namespace {

[[noreturn]] void KeyError(const std::string& AWhat) {
  std::fprintf(stderr, "zelkit-launch: %s\n", AWhat.c_str());
  std::exit(kExitUsage);
}

// Writes a new Ed25519 key to APath, readable by its owner only. The file appears whole or not at
// all: a launcher stopped half-way leaves no half key for the next start to refuse.
ssh_key MakeHostKey(const std::string& APath) {
  ssh_key Key = nullptr;
  if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &Key) != SSH_OK) KeyError("cannot make an SSH host key");
  char* Text = nullptr;
  if (ssh_pki_export_privkey_base64(Key, nullptr, nullptr, nullptr, &Text) != SSH_OK)
    KeyError("cannot make an SSH host key");
  std::error_code Ec;
  const std::filesystem::path Dir = std::filesystem::path(APath).parent_path();
  if (!Dir.empty()) std::filesystem::create_directories(Dir, Ec);
  const std::string Temp = APath + ".new";
  unlink(Temp.c_str());
  const int Fd = open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const std::size_t Len = std::strlen(Text);
  const bool Written = Fd >= 0 && write(Fd, Text, Len) == static_cast<ssize_t>(Len) && fsync(Fd) == 0;
  const int Err = errno;
  ssh_string_free_char(Text);
  if (Fd >= 0) close(Fd);
  if (!Written || rename(Temp.c_str(), APath.c_str()) != 0) {
    unlink(Temp.c_str());
    KeyError("cannot write the SSH host key " + APath + ": " + std::strerror(Written ? errno : Err));
  }
  return Key;
}

}  // namespace

ssh_key LoadHostKey(const std::string& APath, bool& AMade) {
  AMade = false;
  struct stat St {};
  if (stat(APath.c_str(), &St) != 0) {
    if (errno != ENOENT) KeyError("--ssh-host-key " + APath + ": " + std::strerror(errno));
    AMade = true;
    return MakeHostKey(APath);
  }
  // A key that is there but cannot be used is the sysop's to look at: replacing it would change the
  // fingerprint every caller has stored.
  if (access(APath.c_str(), R_OK) != 0)
    KeyError("--ssh-host-key " + APath + ": " + std::strerror(errno) + "; the key is left as it is");
  ssh_key Key = nullptr;
  if (!S_ISREG(St.st_mode) || ssh_pki_import_privkey_file(APath.c_str(), nullptr, nullptr, nullptr, &Key) != SSH_OK)
    KeyError("--ssh-host-key " + APath + ": not a private key this launcher can read (OpenSSH format, no "
             "passphrase); the key is left as it is");
  return Key;
}

std::string KeyFingerprint(ssh_key AKey) {
  unsigned char* Hash = nullptr;
  std::size_t Len = 0;
  if (ssh_get_publickey_hash(AKey, SSH_PUBLICKEY_HASH_SHA256, &Hash, &Len) != SSH_OK) return "?";
  char* Text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, Hash, Len);
  ssh_clean_pubkey_hash(&Hash);
  std::string Result = Text != nullptr ? Text : "?";
  ssh_string_free_char(Text);
  return Result;
}

TAllowedKeys::~TAllowedKeys() {
  for (ssh_key Key : FKeys) ssh_key_free(Key);
}

// One key a line as in an OpenSSH authorized_keys file: "[options] TYPE BASE64 [comment]". Options are
// not honoured; the key is found as the first word that names a key type. Blank lines and lines
// starting with "#" are skipped; any other line that holds no key stops the start, so that a typing
// mistake never leaves a caller locked out (or in) without a word.
void TAllowedKeys::Load(const std::string& APath) {
  std::ifstream In(APath);
  if (!In) KeyError("--ssh-authorized-keys " + APath + ": " + std::strerror(errno));
  std::string Line;
  int Number = 0;
  while (std::getline(In, Line)) {
    ++Number;
    const std::size_t First = Line.find_first_not_of(" \t\r");
    if (First == std::string::npos || Line[First] == '#') continue;
    std::istringstream Words(Line);
    std::string Word, Base64;
    ssh_key Key = nullptr;
    while (Words >> Word) {
      const ssh_keytypes_e Type = ssh_key_type_from_name(Word.c_str());
      if (Type == SSH_KEYTYPE_UNKNOWN) continue;
      if (Words >> Base64 && ssh_pki_import_pubkey_base64(Base64.c_str(), Type, &Key) != SSH_OK) Key = nullptr;
      break;
    }
    if (Key == nullptr)
      KeyError("--ssh-authorized-keys " + APath + " line " + std::to_string(Number) + ": not a public key");
    FKeys.push_back(Key);
  }
  if (In.bad()) KeyError("--ssh-authorized-keys " + APath + ": " + std::strerror(errno));
}

bool TAllowedKeys::Allows(ssh_key AKey) const {
  for (ssh_key Key : FKeys)
    if (ssh_key_cmp(Key, AKey, SSH_KEY_CMP_PUBLIC) == 0) return true;
  return false;
}

}  // namespace launcher
