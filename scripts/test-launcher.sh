#!/usr/bin/env bash
# test-launcher.sh LIMIT_SECONDS TEST_BINARY [ARGS...]
#
# Runs one test executable with a time limit. When the limit passes, the stacks of every thread
# of the hung process are printed (gdb, attached in batch mode) before the process and everything
# it started are killed, so that a hang always leaves a trace of where it was stuck. The exit
# status is the test's own, or 124 after a time-out.
#
# CTest starts every test through this script (cs_add_gtest) and gives it a time-out of its own
# that is longer than the limit, so that the stacks are printed before CTest gives up.
set -u
limit=${1:?usage: test-launcher.sh LIMIT_SECONDS TEST_BINARY [ARGS...]}
shift

# Background jobs get process groups of their own: the test and whatever it spawned are killed
# together, and nothing of ours is left holding CTest's output pipe open.
set -m
"$@" &
test_pid=$!
sleep "$limit" &
sleeper=$!

finished=
wait -n -p finished "$test_pid" "$sleeper"
status=$?
if [ "$finished" = "$test_pid" ]; then
  kill "$sleeper" 2>/dev/null
  wait "$sleeper" 2>/dev/null
  exit "$status"
fi

{
  echo
  echo "test-launcher: $1 still running after ${limit} s; stacks of every thread (pid $test_pid):"
  if command -v gdb >/dev/null 2>&1; then
    timeout 120 gdb -nx -batch -p "$test_pid" -ex 'set pagination off' \
      -ex 'thread apply all bt' 2>&1 | grep -v '^\[New LWP'
  else
    echo "test-launcher: gdb is not installed (scripts/bootstrap.sh installs it)"
  fi
  echo "test-launcher: killing $1"
} >&2
kill -KILL -- "-$test_pid" 2>/dev/null || kill -KILL "$test_pid" 2>/dev/null
wait "$test_pid" 2>/dev/null
exit 124
