#!/usr/bin/env bash
# Builds the Debian package from a built tree (what `make deb` does) and checks it: lintian finds
# no error, the files land where a Debian user expects them, the service starts the installed
# daemon, the lnav format is a conffile and the maintainer scripts enable only the socket.
# usage: scripts/check-package.sh <builddir>
set -uo pipefail
build=$(cd "${1:?usage: check-package.sh <builddir>}" && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -f "$build"/coreservice_*.deb
(cd "$build" && cpack -G DEB >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log"; fail "cpack"; }
deb=$(ls "$build"/coreservice_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "FAIL: no package built"; exit 1; }

lint=$(lintian --fail-on error "$deb" 2>&1 | grep -v "running with root privileges")
lintStatus=${PIPESTATUS[0]}
[ -n "$lint" ] && echo "$lint"
((lintStatus == 0)) || fail "lintian reports errors"

units=$(pkg-config --variable=systemdsystemunitdir systemd)
contents=$(dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }')
for f in /usr/sbin/coreserviced /usr/bin/coreservicectl "$units/coreserviced.service" \
         "$units/coreserviced.socket" /usr/share/man/man1/coreservicectl.1.gz \
         /usr/share/man/man8/coreserviced.8.gz /usr/share/bash-completion/completions/coreservicectl \
         /etc/lnav/formats/coreserviced/coreserviced.json /usr/share/doc/coreservice/copyright \
         /usr/lib/pkgconfig/coreservice-logging.pc; do
  grep -qxF "$f" <<<"$contents" || fail "the package lacks $f"
done
grep -q "^/usr/local" <<<"$contents" && fail "the package installs under /usr/local"
service=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$units/coreserviced.service")
grep -qx "ExecStart=/usr/sbin/coreserviced" <<<"$service" || fail "ExecStart: $(grep ExecStart <<<"$service")"

control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$deb" "$control"
grep -qx "/etc/lnav/formats/coreserviced/coreserviced.json" "$control/conffiles" ||
  fail "the lnav format is not a conffile"
grep -q "deb-systemd-helper enable coreserviced.socket" "$control/postinst" ||
  fail "postinst does not enable the socket"
grep -q "enable coreserviced.service" "$control/postinst" && fail "postinst enables the service"

((failures == 0)) && echo "package: $(basename "$deb") passed every check"
exit $((failures > 0))
