#!/usr/bin/env bash
# The lnav format reads the daemon's log lines: level, source, thread, pid and time (UTC, shown in
# the viewer's zone), with lines of every level, and lnav accepts the format without complaint.
# usage: check-lnav-format.sh <coreserviced.json>
set -uo pipefail
command -v lnav >/dev/null || { echo "lnav is not installed; skipping"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/config/formats/coreserviced"
cp "$1" "$dir/config/formats/coreserviced/"
cat >"$dir/coreserviced 2026-03-07--18-05-09-042.log" <<'LOG'
2026-03-07 18:05:09:042 [main:89] [I] [t:7345] [p:318] *** CoreService Daemon launched - version: 1.0.0 (7) ***
2026-03-07 18:05:09:043 [CoreServiceDaemon:41] [W] [t:7351] [p:318] XPC connection interrupted: <fd 7>
2026-03-07 18:05:10:500 [CoreServiceDaemon:52] [D] [t:7351] [p:318] Received ping from client
2026-03-07 23:59:59:999 [DDFileLogger:603] [E] [t:7352] [p:318] Failed to write data: [brackets] in text
2026-03-08 00:00:00:000 [Helper:7] [V] [t:com.example.queue] [p:318] verbose
LOG
got=$(cd "$dir" && HOME=$dir TZ=UTC timeout 60 lnav -n -I "$dir/config" -c \
  ';SELECT log_time, log_level, file, line, thread, pid, log_body FROM coreserviced_log' \
  "$dir"/*.log 2>"$dir/err")
got=$(sed 's/  */ /g; s/^ //; s/ $//' <<<"$got")
want='log_time log_level file line thread pid log_body
2026-03-07 18:05:09.042 info main 89 7345 318 *** CoreService Daemon launched - version: 1.0.0 (7) ***
2026-03-07 18:05:09.043 warning CoreServiceDaemon 41 7351 318 XPC connection interrupted: <fd 7>
2026-03-07 18:05:10.500 debug CoreServiceDaemon 52 7351 318 Received ping from client
2026-03-07 23:59:59.999 error DDFileLogger 603 7352 318 Failed to write data: [brackets] in text
2026-03-08 00:00:00.000 trace Helper 7 com.example.queue 318 verbose'
status=0
if [[ $got != "$want" ]]; then
  echo "FAIL: lnav read the lines as"; echo "$got"; echo "instead of"; echo "$want"; status=1
fi
if [[ -s $dir/err ]]; then
  echo "FAIL: lnav complained:"; cat "$dir/err"; status=1
fi
# Times are UTC in the file: a viewer in another zone sees them moved.
berlin=$(cd "$dir" && HOME=$dir TZ=Europe/Berlin timeout 60 lnav -n -I "$dir/config" -c \
  ';SELECT log_time FROM coreserviced_log LIMIT 1' "$dir"/*.log 2>/dev/null | tail -n 1 | xargs)
[[ $berlin == "2026-03-07 19:05:09.042" ]] || { echo "FAIL: in Berlin the first line is at '$berlin'"; status=1; }
((status == 0)) && echo "lnav format: every line read as expected"
exit $status
