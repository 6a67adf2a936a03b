#include "logging/DDLogMessage.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>

#include "logging/DDStringFormat.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Queue.h"

namespace {

std::uint64_t qosValue(platform::dispatch::QoS qos) {
  using platform::dispatch::QoS;
  switch (qos) {
    case QoS::Background:
      return DDLogQoS::background;
    case QoS::Utility:
      return DDLogQoS::utility;
    case QoS::Default:
      return DDLogQoS::defaultClass;
    case QoS::UserInitiated:
      return DDLogQoS::userInitiated;
    case QoS::UserInteractive:
      return DDLogQoS::userInteractive;
    case QoS::Unspecified:
      break;
  }
  return DDLogQoS::unspecified;
}

void requireText(const DDLogText& text, const char* name) {
  if (!text.present()) {
    std::string t("Invalid parameter not satisfying: ");
    t.append(name);
    platform::diagnostics::contractViolation(t);
  }
}

}  // namespace

// Read once per thread: after a thread's first record, building one makes no system call. Plain
// data with constant initialisation, so reaching it costs no guard check.
const DDLogMessage::ThreadIdentity& DDLogMessage::currentThread() noexcept {
  thread_local constinit ThreadIdentity identity{};
  if (identity.idSize == 0) {
    const long tid = ::syscall(SYS_gettid);
    const auto r = tid < 0 ? std::to_chars_result{}
                           : std::to_chars(identity.id, identity.id + sizeof identity.id,
                                           static_cast<unsigned long long>(tid));
    if (tid < 0 || r.ec != std::errc()) {
      std::char_traits<char>::copy(identity.id, "N/A", 3);
      identity.idSize = 3;
    } else {
      identity.idSize = static_cast<std::uint8_t>(r.ptr - identity.id);
    }
    char n[16] = {};  // the kernel's limit, terminator included
    if (pthread_getname_np(pthread_self(), n, sizeof n) == 0) {
      const std::size_t size = std::char_traits<char>::length(n);
      std::char_traits<char>::copy(identity.name, n, size);
      identity.nameSize = static_cast<std::uint8_t>(size);
    }
  }
  return identity;
}

std::string_view DDLogMessage::fileNameOf(std::string_view path) noexcept {
  const std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(0, dot);
}

// The record and its shared-pointer bookkeeping (two counters and a vtable pointer) must fit a
// pool block, or every record would silently fall back to the general-purpose allocator.
static_assert(sizeof(DDLogMessage) + 4 * sizeof(void*) <= dd_detail::kRecordBlockSize);

DDLogMessage::DDLogMessage() = default;

void DDLogMessage::setText(std::string& own, std::string_view& view, DDLogText& text, bool share) {
  if (text.owned() || text.transient() || !share) {
    own = text.take();
    view = own;
  } else {
    view = text.view();
  }
}

void DDLogMessage::setMessageText(DDLogText& text, bool share) {
  const bool copies = !text.owned() && (text.transient() || !share);
  if (copies) {
    message_ = keep(text.view(), ownedMessage_);
  } else {
    setText(ownedMessage_, message_, text, share);
  }
}

std::string_view DDLogMessage::keep(std::string_view v, std::string& fallback) {
  if (v.size() <= kInlineBytes - inlineUsed_) {
    char* at = inline_ + inlineUsed_;
    std::char_traits<char>::copy(at, v.data(), v.size());
    inlineUsed_ += v.size();
    return std::string_view(at, v.size());
  }
  fallback.assign(v);
  return fallback;
}

DDLogMessage::DDLogMessage(DDLogText format, DDLogText message, DDLogLevel level, DDLogFlag flag,
                           std::int64_t context, DDLogText file, DDLogText function,
                           std::uint64_t line, DDLogObjectPtr tag, std::int64_t options,
                           std::optional<Timestamp> timestamp) {
  requireText(format, "messageFormat");
  requireText(message, "message");
  const bool keep = (options & DDLogMessageOptions::keepMessage) != 0;
  setText(ownedFormat_, messageFormat_, format, keep);
  setMessageText(message, keep);
  build(level, flag, context, file, function, line, std::move(tag), options, timestamp);
}

DDLogMessage::DDLogMessage(DDLogText format, std::span<const DDFormatArgument> args,
                           DDLogLevel level, DDLogFlag flag, std::int64_t context, DDLogText file,
                           DDLogText function, std::uint64_t line, DDLogObjectPtr tag,
                           std::int64_t options, std::optional<Timestamp> timestamp) {
  requireText(format, "messageFormat");
  const bool keep = (options & DDLogMessageOptions::keepMessage) != 0;
  setText(ownedFormat_, messageFormat_, format, keep);
  if (format.present()) {
    // Formatted once, straight into the record's inline storage (a long text into its own
    // string): the calling thread copies no finished text.
    DDFormatBuffer out(inline_ + inlineUsed_, kInlineBytes - inlineUsed_, ownedMessage_);
    ddAppendFormat(out, messageFormat_, args);
    inlineUsed_ += out.storageUsed();
    message_ = out.text();
  }
  build(level, flag, context, file, function, line, std::move(tag),
        options | DDLogMessageOptions::keepMessage, timestamp);
}

DDLogMessage::DDLogMessage(DDLogText message, DDLogLevel level, DDLogFlag flag,
                           std::int64_t context, DDLogText file, DDLogText function,
                           std::uint64_t line, DDLogObjectPtr tag, std::int64_t options,
                           std::optional<Timestamp> timestamp) {
  requireText(message, "messageFormat");
  requireText(message, "message");
  // One text serves as both: owned once, referenced twice.
  setMessageText(message, (options & DDLogMessageOptions::keepMessage) != 0);
  messageFormat_ = message_;
  build(level, flag, context, file, function, line, std::move(tag), options, timestamp);
}

void DDLogMessage::build(DDLogLevel level, DDLogFlag flag, std::int64_t context, DDLogText& file,
                         DDLogText& function, std::uint64_t line, DDLogObjectPtr tag,
                         std::int64_t options, std::optional<Timestamp> timestamp) {
  requireText(file, "file");
  level_ = level;
  flag_ = flag;
  context_ = context;
  line_ = line;
  representedObject_ = std::move(tag);
  options_ = options;
  timestamp_ = timestamp ? *timestamp : Clock::now();

  setText(ownedFile_, file_, file, (options & DDLogMessageOptions::copyFile) == 0);
  if (function.present()) {
    hasFunction_ = true;
    setText(ownedFunction_, function_, function,
            (options & DDLogMessageOptions::copyFunction) == 0);
  }

  thread_ = currentThread();

  // The queue outlives the item running on it, so its label can be read here and copied.
  const platform::dispatch::Queue* q = platform::dispatch::Queue::current();
  queueLabel_ = keep(q ? std::string_view(q->label()) : std::string_view(), ownedQueueLabel_);
  qos_ = qosValue(q ? q->qos() : platform::dispatch::QoS::Unspecified);
}

std::shared_ptr<DDLogMessage> DDLogMessage::copy() const {
  auto c = std::allocate_shared<DDLogMessage>(dd_detail::DDLogMessageAllocator<DDLogMessage>());
  auto self = weak_from_this().lock();
  if (self) {
    c->origin_ = self;
    c->message_ = message_;
    c->messageFormat_ = messageFormat_;
    c->file_ = file_;
    c->function_ = function_;
    c->queueLabel_ = queueLabel_;
  } else {
    // Not shared: the copy cannot keep this record alive, so it takes its own texts.
    c->ownedMessage_ = message_;
    c->message_ = c->ownedMessage_;
    if (messageFormat_.data() == message_.data() && messageFormat_.size() == message_.size()) {
      c->messageFormat_ = c->message_;
    } else {
      c->ownedFormat_ = messageFormat_;
      c->messageFormat_ = c->ownedFormat_;
    }
    c->ownedFile_ = file_;
    c->file_ = c->ownedFile_;
    c->ownedFunction_ = function_;
    c->function_ = c->ownedFunction_;
    c->ownedQueueLabel_ = queueLabel_;
    c->queueLabel_ = c->ownedQueueLabel_;
  }
  c->hasFunction_ = hasFunction_;
  c->level_ = level_;
  c->flag_ = flag_;
  c->context_ = context_;
  c->line_ = line_;
  c->representedObject_ = representedObject_;
  c->options_ = options_;
  c->timestamp_ = timestamp_;
  c->thread_ = thread_;
  c->qos_ = qos_;
  return c;
}

std::shared_ptr<DDLogMessage> DDLogMessage::copyWithMessage(std::string message) const {
  auto c = copy();
  // The copy's format may be a view of the text about to be replaced.
  if (c->messageFormat_.data() == c->ownedMessage_.data()) {
    c->ownedFormat_.assign(c->messageFormat_);
    c->messageFormat_ = c->ownedFormat_;
  }
  c->ownedMessage_ = std::move(message);
  c->message_ = c->ownedMessage_;
  return c;
}

bool DDLogMessage::operator==(const DDLogMessage& o) const {
  if (this == &o) return true;
  return message_ == o.message_ && messageFormat_ == o.messageFormat_ && level_ == o.level_ &&
         flag_ == o.flag_ && context_ == o.context_ && file_ == o.file_ &&
         hasFunction_ == o.hasFunction_ && (!hasFunction_ || function_ == o.function_) &&
         line_ == o.line_ &&
         DDLogObject::equal(representedObject_.get(), o.representedObject_.get()) &&
         timestamp_ == o.timestamp_ && threadID() == o.threadID() && queueLabel_ == o.queueLabel_ &&
         qos_ == o.qos_;
}

std::size_t DDLogMessage::hash() const {
  const std::hash<std::string_view> h;
  std::size_t r = h(message_) ^ h(messageFormat_) ^ static_cast<std::size_t>(level_.rawValue) ^
                  static_cast<std::size_t>(flag_.rawValue) ^ static_cast<std::size_t>(context_) ^
                  h(file_) ^ (hasFunction_ ? h(function_) : 0) ^ static_cast<std::size_t>(line_) ^
                  DDLogObject::hashOf(representedObject_.get()) ^
                  std::hash<Timestamp::rep>{}(timestamp_.time_since_epoch().count()) ^
                  h(threadID()) ^ h(queueLabel_) ^ static_cast<std::size_t>(qos_);
  return r;
}
