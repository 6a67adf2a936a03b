#!/usr/bin/env bash
# Whole-process figures of coreserviced: the time from its start to ready (its "entering run
# loop" line in the log file, written once the listener is up) and its idle resident memory two
# seconds later. Runs in temporary directories; prints the median of RUNS runs.
#   usage: bench/daemon_footprint.sh [BUILD_DIR] [RUNS]
set -eu
build=${1:-build}
runs=${2:-5}
daemon="$build/daemon/coreserviced"
[ -x "$daemon" ] || { echo "daemon_footprint.sh: $daemon is not built" >&2; exit 1; }

ready_ms=()
rss_kib=()
for _ in $(seq "$runs"); do
  tmp=$(mktemp -d)
  mkdir -p "$tmp/run" "$tmp/logs" "$tmp/state"
  export RUNTIME_DIRECTORY="$tmp/run" XDG_RUNTIME_DIR="$tmp/run"
  export LOGS_DIRECTORY="$tmp/logs" XDG_STATE_HOME="$tmp/state"
  start=$(date +%s%N)
  "$daemon" &
  pid=$!
  until cat "$tmp"/logs/*.log 2>/dev/null | grep -q 'entering run loop'; do :; done
  ready=$(date +%s%N)
  sleep 2
  rss_kib+=("$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")")
  ready_ms+=("$(( (ready - start) / 1000 ))")
  kill -TERM "$pid"
  wait "$pid" || true
  rm -rf "$tmp"
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "start to ready: $(median "${ready_ms[@]}") us (median of $runs)"
echo "idle resident memory: $(median "${rss_kib[@]}") KiB (median of $runs)"
