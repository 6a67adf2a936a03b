#include "logging/DDTimestampText.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

void put(char* out, long value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

std::string ddTimestampText(std::chrono::system_clock::time_point when, DDTimeZone zone,
                            char dateSeparator) {
  std::string text;
  ddAppendTimestampText(text, when, zone, dateSeparator);
  return text;
}

void ddAppendTimestampText(std::string& out, std::chrono::system_clock::time_point when,
                           DDTimeZone zone, char dateSeparator) {
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const long long secs = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  const long millis = static_cast<long>(ms - secs * 1000);
  // The calendar part changes once a second; each thread keeps its last one, so a busy logger
  // asks the C library for the calendar once a second rather than once a line.
  thread_local long long cachedSecs = -1;
  thread_local DDTimeZone cachedZone = DDTimeZone::utc;
  thread_local char cachedSeparator = 0;
  thread_local char cached[19];
  if (secs != cachedSecs || zone != cachedZone || dateSeparator != cachedSeparator) {
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    if (zone == DDTimeZone::local) {
      localtime_r(&t, &tm);
    } else {
      gmtime_r(&t, &tm);
    }
    put(cached, (tm.tm_year + 1900) % 10000, 4);
    cached[4] = dateSeparator;
    put(cached + 5, tm.tm_mon + 1, 2);
    cached[7] = dateSeparator;
    put(cached + 8, tm.tm_mday, 2);
    cached[10] = ' ';
    put(cached + 11, tm.tm_hour, 2);
    cached[13] = ':';
    put(cached + 14, tm.tm_min, 2);
    cached[16] = ':';
    put(cached + 17, tm.tm_sec, 2);
    cachedSecs = secs;
    cachedZone = zone;
    cachedSeparator = dateSeparator;
  }
  char buf[23];
  std::memcpy(buf, cached, sizeof cached);
  buf[19] = ':';
  put(buf + 20, millis, 3);
  out.append(buf, sizeof buf);
}

std::string ddProcessName() {
  // glibc's short program name (declared by <errno.h> with _GNU_SOURCE).
  const char* name = ::program_invocation_short_name;
  return name != nullptr && *name != '\0' ? std::string(name) : std::string("<UnnamedApp>");
}
