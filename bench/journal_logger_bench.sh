#!/usr/bin/env bash
# Runs journal_logger_bench against a systemd-journald of its own, in a private mount namespace
# with empty /run and /var/log, so the host's journal never sees the benchmark's records.
# Usage: bench/journal_logger_bench.sh [build dir] [benchmark args...]   (as root)
set -euo pipefail
build=${1:-build}
shift || true
exec unshare --mount --propagation private bash -c '
  mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/log
  /lib/systemd/systemd-journald & journald=$!
  trap "kill $journald 2>/dev/null" EXIT
  for _ in $(seq 100); do [ -S /run/systemd/journal/socket ] && break; sleep 0.1; done
  "$0"/bench/journal_logger_bench "$@"
' "$build" "$@"
