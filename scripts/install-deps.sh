#!/usr/bin/env bash
# Installs what building and testing the kit needs on a Debian machine; does nothing when all is there.
#   scripts/install-deps.sh          everything the tests need (scripts/test.sh)
#   scripts/install-deps.sh --run    only what building and running tunecraft needs (scripts/run.sh)
# Installing Debian packages needs root: as another user it uses sudo; without sudo it prints the
# apt-get line for root to run and exits with code 1.
set -euo pipefail
run_only=0
[ "${1:-}" = "--run" ] && run_only=1
packages=(
  cmake make g++ pkg-config            # the build
  libgtest-dev libgmock-dev            # unit and integration tests
  libbenchmark-dev libncurses-dev      # benchmarks (ncurses is measured side by side)
  libvterm-dev                         # an independent terminal emulator that reads back the screen
  inetutils-telnet                     # a real telnet client for end-to-end runs
  tmux                                 # presses a caller's keys (Home, F1, ...) into that telnet client
  clang libclang-rt-14-dev libfuzzer-14-dev  # libFuzzer targets
  valgrind                             # memcheck runs of the fault suite
  faketime                             # a clock set just before a change of daylight-saving time
  dpkg-dev file                        # the Debian package test (cpack -G DEB, dpkg-shlibdeps)
  rsh-redone-client putty-tools        # real rlogin clients calling the door server
  libboost-dev chromium                # zelkit-launch's web front door (Boost.Beast) and its browser test
  libtomlplusplus-dev                  # zelkit-launch's config file (toml++, header-only)
  libssh-dev openssh-client            # zelkit-launch's SSH front door (libssh) and a real SSH client
  openssh-server                       # the server benchmark's side-by-side SSH server (its own config and port)
  haproxy nginx-light openssl          # the door server behind real proxies (PROXY protocol, TLS for the page)
  libsystemd-dev systemd lintian       # socket activation; its units checked (systemd-analyze) and the package (lintian)
)
# Node.js with npm, for the npm packages the tests use; any Node.js that brings npm will do.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then packages+=(nodejs npm); fi
# The door, the example doors and the launcher (without its web and SSH front doors) need a compiler,
# CMake, and the launcher's config-file reader and service-manager library, which configuring needs.
((run_only)) && packages=(cmake make g++ libtomlplusplus-dev libsystemd-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      {
        echo "install-deps.sh: these Debian packages are missing: ${missing[*]}"
        echo "Installing them needs root, and you are neither root nor have sudo. As root, run:"
        echo
        echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
        echo
        echo "then run this command again as yourself; nothing else needs root."
      } >&2
      exit 1
    fi
    sudo_cmd=(sudo)
  fi
  echo "installing: ${missing[*]}"
  # The tests use only the programs of the server packages (sshd, nginx, haproxy), each test
  # starting its own on a loopback port: a service of the machine's own must not start listening on
  # port 22 or 80 because the tests were set up. While apt-get runs, a policy-rc.d that forbids
  # starting services (Debian's own mechanism, which invoke-rc.d and systemd's helper obey) is in
  # place unless the machine has one; afterwards the services of the server packages just
  # installed are disabled again under systemd.
  servers=()
  for p in "${missing[@]}"; do
    case "$p" in openssh-server) servers+=(ssh.service ssh.socket) ;; nginx-light) servers+=(nginx.service) ;;
                 haproxy) servers+=(haproxy.service) ;; esac
  done
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if ((${#servers[@]})) && [ ! -e "$policy" ]; then
    "${sudo_cmd[@]}" sh -c "printf '#!/bin/sh\n# set by zelkit scripts/install-deps.sh while it installs\nexit 101\n' > $policy && chmod 755 $policy"
    own_policy=1
  fi
  status=0
  "${sudo_cmd[@]}" apt-get update -qq || status=$?
  ((status)) || "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" || status=$?
  ((own_policy)) && "${sudo_cmd[@]}" rm -f "$policy"
  ((status == 0)) || exit "$status"
  if ((${#servers[@]})) && [ -d /run/systemd/system ]; then
    echo "install-deps.sh: the tests start their own servers; the machine's stay off: systemctl disable ${servers[*]}"
    "${sudo_cmd[@]}" systemctl disable --now "${servers[@]}" >/dev/null 2>&1 || true
  fi
fi
((run_only)) && exit 0

# npm packages of the tests and of the web page (xterm.js), exactly as their lock files say; again
# only when they are not there. puppeteer-core drives the installed chromium and downloads no browser.
root="$(cd "$(dirname "$0")/.." && pwd)"
for dir in tests/launcher/node web; do
  if [ ! -f "$root/$dir/node_modules/.package-lock.json" ] ||
     [ "$root/$dir/package-lock.json" -nt "$root/$dir/node_modules/.package-lock.json" ]; then
    (cd "$root/$dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
  fi
done
