#!/usr/bin/env bash
# Runs coreserviced from a build directory in the foreground and shows its log file as it grows.
# Ctrl-C stops the daemon (it exits with status 0 on SIGINT) and this script with it.
#   usage: scripts/run-daemon.sh BUILD_DIR
# As a normal user the daemon listens in $XDG_RUNTIME_DIR and logs under
# ${XDG_STATE_HOME:-~/.local/state}/Logs/coreserviced; as root in /run and /var/log/coreserviced
# (or $RUNTIME_DIRECTORY and $LOGS_DIRECTORY when set).
set -u

build_dir=${1:?usage: run-daemon.sh BUILD_DIR}
daemon="$build_dir/daemon/coreserviced"
if [ ! -x "$daemon" ]; then
  echo "run-daemon.sh: $daemon is not built" >&2
  exit 1
fi

service=com.tarvosys.mac.TarvoClient.CoreService
if [ "$(id -u)" -eq 0 ]; then
  log_dir=${LOGS_DIRECTORY:-/var/log/coreserviced}
  socket_dir=${RUNTIME_DIRECTORY:-/run}
else
  log_dir=${XDG_STATE_HOME:-${HOME:-/tmp}/.local/state}/Logs/coreserviced
  socket_dir=${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}
fi
echo "coreserviced: socket $socket_dir/$service, logs in $log_dir (Ctrl-C stops it)"

"$daemon" &
daemon_pid=$!
tail_pid=
stop() { kill -INT "$daemon_pid" 2>/dev/null; }
trap stop INT TERM

# Show the newest log file once the daemon has made it.
for _ in $(seq 100); do
  log_file=$(ls -t "$log_dir"/*.log 2>/dev/null | head -n 1)
  [ -n "$log_file" ] && break
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -n "${log_file:-}" ]; then
  tail -n +1 -F "$log_file" &
  tail_pid=$!
else
  echo "run-daemon.sh: no log file appeared in $log_dir" >&2
fi

# `wait` returns early when a trapped signal arrives; keep waiting until the daemon has gone,
# then take its exit status (the shell keeps it for a child it has already reaped).
while kill -0 "$daemon_pid" 2>/dev/null; do
  wait "$daemon_pid"
done
wait "$daemon_pid"
status=$?
if [ -n "$tail_pid" ]; then
  sleep 0.2  # let tail show the daemon's last lines
  kill "$tail_pid" 2>/dev/null
  wait "$tail_pid" 2>/dev/null
fi
exit "$status"
