#!/usr/bin/env bash
# Installs a built tree into temporary directories, as a packager would, and checks the result:
# paths, the units (ExecStart, systemd-analyze verify and security), the manual pages, the
# completion, the lnav format, the licence, the pkg-config file and the CMake package of the
# logging library, and a small program built against the installed library both ways.
# usage: scripts/check-install.sh <builddir>
set -uo pipefail
build=$(cd "${1:?usage: check-install.sh <builddir>}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check_file() { [ -f "$1" ] || fail "missing ${1#$work/}"; }

# --- /usr, as the package installs it
root=$work/usr-root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 || {
  cat "$work/install.log"; fail "cmake --install --prefix /usr failed"; }
for f in usr/sbin/coreserviced usr/bin/coreservicectl; do
  [ -x "$root/$f" ] || fail "missing or not executable: /$f"
done
units=$(pkg-config --variable=systemdsystemunitdir systemd)
for f in "$units"/coreserviced.service "$units"/coreserviced.socket \
         /usr/share/man/man8/coreserviced.8.gz /usr/share/man/man1/coreservicectl.1.gz \
         /usr/share/bash-completion/completions/coreservicectl \
         /etc/lnav/formats/coreserviced/coreserviced.json /usr/share/doc/coreservice/copyright \
         /usr/include/coreservice/logging/DDLog.h; do
  check_file "$root$f"
done
grep -qx "ExecStart=/usr/sbin/coreserviced" "$root$units/coreserviced.service" ||
  fail "ExecStart of the /usr install: $(grep ExecStart "$root$units/coreserviced.service")"
if grep -rq "$root" "$root" 2>/dev/null; then fail "the installed tree names its DESTDIR"; fi
pc=$(find "$root/usr/lib" -name coreservice-logging.pc | head -n 1)
[ -n "$pc" ] || fail "no coreservice-logging.pc under /usr/lib"
[ -z "$(find "$root/usr/lib" -path '*/cmake/CoreServiceLogging/CoreServiceLoggingConfig.cmake')" ] &&
  fail "no CMake package CoreServiceLogging under /usr/lib"
grep -qx "prefix=/usr" "$pc" 2>/dev/null || fail "coreservice-logging.pc: $(grep '^prefix=' "$pc")"

# systemd reads the units without complaint (any output is a complaint) and rates the service
# SAFE or OK (exposure at most 2.0).
# systemd-analyze marks its loading of units in /run/systemd even with --root: as root, it runs
# in a mount namespace of its own with an empty /run, so the host's is never written.
analyze() {
  if [ "$(id -u)" = 0 ]; then
    unshare --mount --propagation private \
      sh -c 'mount -t tmpfs tmpfs /run && exec systemd-analyze "$@"' analyze "$@"
  else
    systemd-analyze "$@"
  fi
}
sysroot=$work/sysroot
mkdir -p "$sysroot$units"
cp -a "$units/." "$sysroot$units/"
cp -a "$root/." "$sysroot/"
verify=$(analyze verify --man=no --root="$sysroot" "$units/coreserviced.socket" \
  "$units/coreserviced.service" 2>&1)
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
security=$(analyze security --offline=yes --root="$sysroot" coreserviced.service 2>&1 | tail -n 1)
exposure=$(sed -n 's/.*exposure level for coreserviced.service: \([0-9.]*\).*/\1/p' <<<"$security")
awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }' || fail "systemd-analyze security: $security"
echo "units: $security"
grep -q "^WantedBy=sockets.target" "$root$units/coreserviced.socket" || fail "the socket is not wanted by sockets.target"
grep -q "^WantedBy=" "$root$units/coreserviced.service" && fail "the service is enabled on its own"

# A program of a library user's, built against the installed library with pkg-config and with
# find_package, logs through a file logger into a directory of its own.
cat >"$work/user.cpp" <<'CPP'
#include <logging/DDFileLogger.h>
#include <logging/DDLogFileManagerDefault.h>
#include <logging/DDLogFrontEnd.h>
int main(int, char** argv) {
  auto logger = std::make_shared<DDFileLogger>(std::make_shared<DDLogFileManagerDefault>(argv[1]));
  DDLog::sharedInstance()->addLogger(logger);
  DDLogInfo("installed library says %d", 42);
  DDLog::sharedInstance()->flushLog();
}
CPP
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_PATH=$(dirname "$pc")
if c++ -std=c++20 "$work/user.cpp" -o "$work/user-pc" $(pkg-config --cflags --libs coreservice-logging) \
     2>"$work/pc.log"; then
  mkdir -p "$work/logs-pc" && "$work/user-pc" "$work/logs-pc"
  grep -rq "installed library says 42" "$work/logs-pc" || fail "the pkg-config build logged nothing"
else
  cat "$work/pc.log"; fail "building against the installed library with pkg-config"
fi
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_PATH
mkdir -p "$work/cmake-user"
cp "$work/user.cpp" "$work/cmake-user/"
cat >"$work/cmake-user/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(LibraryUser CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(CoreServiceLogging 1.0 REQUIRED)
add_executable(user user.cpp)
target_link_libraries(user PRIVATE CoreService::logging)
CMAKE
if cmake -S "$work/cmake-user" -B "$work/cmake-user/build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
     >"$work/cmake.log" 2>&1 && cmake --build "$work/cmake-user/build" >>"$work/cmake.log" 2>&1; then
  mkdir -p "$work/logs-cmake" && "$work/cmake-user/build/user" "$work/logs-cmake"
  grep -rq "installed library says 42" "$work/logs-cmake" || fail "the find_package build logged nothing"
else
  cat "$work/cmake.log"; fail "building against the installed library with find_package"
fi

# --- another prefix: the units follow it
root=$work/local-root
DESTDIR=$root cmake --install "$build" --prefix /usr/local >"$work/install.log" 2>&1 ||
  fail "cmake --install --prefix /usr/local failed"
grep -qx "ExecStart=/usr/local/sbin/coreserviced" "$root/usr/local/lib/systemd/system/coreserviced.service" ||
  fail "ExecStart of the /usr/local install"
[ -f "$root/usr/local/etc/lnav/formats/coreserviced/coreserviced.json" ] ||
  fail "the lnav format of the /usr/local install is not under /usr/local/etc"

((failures == 0)) && echo "install: every check passed"
exit $((failures > 0))
