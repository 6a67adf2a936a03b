#!/usr/bin/env bash
# Installs the Debian packages this project builds and tests with.
# Idempotent and quiet: when every package is present it prints nothing and exits 0.
set -euo pipefail

packages=(
  # toolchain and build
  cmake ninja-build g++ pkg-config make
  lld                    # a faster linker for the many test executables
  ccache                 # CI keeps compiled objects between runs
  clang-14               # CI checks that the tree also compiles with clang
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  libspdlog-dev          # benchmark peer only
  # libraries the code links
  libsystemd-dev         # sd-journal, sd-bus
  libsqlite3-dev         # settings domains
  nlohmann-json3-dev     # JSON rule of confidential text, IPC wire encoding
  liburiparser-dev       # URL rule of confidential text, query items
  libicu-dev             # locale-aware date and number texts
  libmnl-dev             # rtnetlink: default gateway, interface lists
  libssl-dev             # code signing (CMS, X.509)
  # tools the end-to-end tests drive
  iproute2 util-linux attr
  systemd                # a private systemd-journald for the journal loggers' tests
  dbus-daemon            # private session and system buses for the notification and DNS tests
  gdb                    # stacks of every thread of a test that hangs (scripts/test-launcher.sh)
  # packaging: manual pages, the Debian package and its checks
  scdoc dpkg-dev lintian lnav
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "bootstrap: missing packages: ${missing[*]}; run this script as root" >&2
    exit 1
  fi
else
  SUDO=
fi
echo "bootstrap: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
