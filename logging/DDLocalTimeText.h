#pragma once
// A record's time as the terminal logger and the queue formatter write it: local time as
// "yyyy-MM-dd HH:mm:ss:SSS" (2026-12-05 15:16:49:123), milliseconds truncated, always 23
// characters. Written by hand rather than through a locale-aware formatter: it is on every
// line's path, and it must be safe to call from several logger queues at once (it keeps no state
// shared between threads).

#include <chrono>
#include <string>

std::string ddLocalTimeText(std::chrono::system_clock::time_point when);
