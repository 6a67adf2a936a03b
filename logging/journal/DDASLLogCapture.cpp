#include "logging/journal/DDASLLogCapture.h"

#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/DDLog.h"
#include "logging/DDLogMessage.h"
#include "platform/base/NoDestructor.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

namespace {

using platform::dispatch::Queue;
using platform::dispatch::ReadSource;

struct CloseJournal {
  void operator()(sd_journal* j) const { sd_journal_close(j); }
};
using Journal = std::unique_ptr<sd_journal, CloseJournal>;

// One capture session: lives on the capture queue from start() to stop().
struct Session {
  Journal journal;
  std::shared_ptr<ReadSource> source;
};

struct CaptureState {
  std::mutex mutex;
  bool started = false;
  platform::dispatch::QueuePtr queue =
      Queue::makeSerial("orvel.quillmark.aslCapture", platform::dispatch::QoS::Background);
  // Touched only on the queue.
  std::unique_ptr<Session> session;
  std::string lastCursor;
  std::uint64_t startUsec = 0;
};

CaptureState& state() {
  static platform::base::NoDestructor<CaptureState> s;
  return *s;
}

std::atomic<std::uint64_t>& captureLevelBits() {
  static std::atomic<std::uint64_t> level{DDLogLevel::verbose.rawValue};
  return level;
}

// The value of field `name` of the current entry, if it has one.
std::optional<std::string_view> field(sd_journal* j, std::string_view name) {
  const void* data = nullptr;
  size_t length = 0;
  const std::string key(name);
  if (sd_journal_get_data(j, key.c_str(), &data, &length) < 0) return std::nullopt;
  std::string_view entry(static_cast<const char*>(data), length);
  return entry.substr(std::min(entry.size(), name.size() + 1));
}

void deliver(sd_journal* j) {
  if (field(j, "DDLOG") == std::string_view("1")) return;
  // An entry without a level (or with one that is not a number) counts as an error; one whose
  // level lies beyond debug (7) is below anything a record can carry and is left out.
  int priority = -1;
  if (auto p = field(j, "PRIORITY")) {
    int value = 0;
    const auto [end, ec] = std::from_chars(p->data(), p->data() + p->size(), value);
    if (ec == std::errc() && end == p->data() + p->size() && value >= 0) {
      if (value > 7) return;
      priority = value;
    } else if (ec == std::errc::result_out_of_range) {
      return;
    }
  }
  const DDLogFlag flag = DDASLLogCapture::flagForPriority(priority);
  const DDLogLevel level(captureLevelBits().load());
  if (!level.admits(flag)) return;
  std::uint64_t usec = 0;
  sd_journal_get_realtime_usec(j, &usec);
  const auto when = DDLogMessage::Timestamp(std::chrono::microseconds(usec));
  auto message =
      DDLogMessage::create(DDLogText(std::string(field(j, "MESSAGE").value_or(""))), level, flag, 0,
                           DDLogText("DDASLLogCapture"), DDLogText(), 0, nullptr, 0, when);
  DDLog::sharedLog(flag != DDLogFlag::error, std::move(message));
}

// Reads every entry not seen yet. Runs on the capture queue.
void drain(CaptureState& s) {
  if (!s.session) return;
  sd_journal* j = s.session->journal.get();
  sd_journal_process(j);
  while (sd_journal_next(j) > 0) {
    char* cursor = nullptr;
    if (sd_journal_get_cursor(j, &cursor) >= 0) {
      s.lastCursor = cursor;
      free(cursor);
    }
    std::uint64_t usec = 0;
    if (sd_journal_get_realtime_usec(j, &usec) >= 0 && usec < s.startUsec) continue;
    deliver(j);
  }
}

void open(CaptureState& s) {
  sd_journal* raw = nullptr;
  const int rc = sd_journal_open(&raw, SD_JOURNAL_LOCAL_ONLY);
  Journal journal(raw);
  if (rc < 0) {
    platform::diagnostics::reportf("DDASLLogCapture: Failed to open the journal (error %d)", -rc);
    return;
  }
  const std::string match = "_PID=" + std::to_string(::getpid());
  sd_journal_add_match(raw, match.c_str(), 0);
  const int fd = sd_journal_get_fd(raw);
  if (fd < 0) {
    platform::diagnostics::reportf("DDASLLogCapture: Failed to watch the journal (error %d)", -fd);
    return;
  }
  // Resume after the last entry seen; the first time, from the moment capturing started.
  if (s.lastCursor.empty() || sd_journal_seek_cursor(raw, s.lastCursor.c_str()) < 0) {
    sd_journal_seek_realtime_usec(raw, s.startUsec);
  } else {
    sd_journal_next(raw);  // the remembered entry itself was delivered already
  }
  auto session = std::make_unique<Session>();
  session->journal = std::move(journal);
  session->source = ReadSource::make(fd, s.queue);
  session->source->setEventHandler([&s] { drain(s); });
  session->source->resume();
  s.session = std::move(session);
  drain(s);
}

}  // namespace

void DDASLLogCapture::start() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (s.started) return;
  s.started = true;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  s.queue->async([&s, usec] {
    if (s.startUsec == 0) s.startUsec = static_cast<std::uint64_t>(usec);
    open(s);
  });
}

void DDASLLogCapture::stop() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.started) return;
  s.started = false;
  s.queue->async([&s] {
    if (!s.session) return;
    // The source stops looking at the journal's descriptor before the journal closes it.
    s.session->source->cancel();
    s.session.reset();
  });
}

DDLogLevel DDASLLogCapture::captureLevel() {
  return DDLogLevel(captureLevelBits().load());
}

void DDASLLogCapture::setCaptureLevel(DDLogLevel level) {
  captureLevelBits() = level.rawValue;
}

DDLogFlag DDASLLogCapture::flagForPriority(int priority) {
  if (priority < 0 || priority <= 2) return DDLogFlag::error;
  if (priority == 3) return DDLogFlag::warning;
  if (priority == 4) return DDLogFlag::info;
  if (priority == 5) return DDLogFlag::debug;
  return DDLogFlag::verbose;
}
