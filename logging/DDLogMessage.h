#pragma once
// One log record: the text of a log call and everything known about where and when it was made.
//
// Records are immutable once built and are shared, not copied, between the dispatcher and every
// logger: hand them around as std::shared_ptr<const DDLogMessage>. A record is neither copyable
// nor movable (its views may point into its own storage); copy() makes a second record that
// shares every field value of the first.
//
// Texts given to a constructor (DDLogText) are either borrowed views or strings handed over by
// move. What the record does with them depends on the options:
// - file / function: a borrowed view is kept as it is (no allocation) unless copy-file /
//   copy-function is set, in which case the record owns a copy. Borrowed texts must therefore
//   outlive the record; __FILE__ and __func__ do.
// - message / format: with keep-message a borrowed view is kept as it is; without it the record
//   owns a copy of both.
// - A string handed over by move (std::string&&) always becomes the record's own, whatever the
//   options: taking it is not a copy.
// - A transient text (DDLogText::transient) lives only until the constructor returns, in a
//   buffer its caller reuses: the record always copies it. A short message text is copied into
//   the record's own inline storage, so that a formatted log call allocates nothing but the
//   record itself.
//
// Build shared records with DDLogMessage::create(), which takes their storage from the record
// pool (DDLogMessagePool.h) rather than the general-purpose allocator.
//
// The constructing thread's identity is read once per thread and cached: the thread id (gettid()
// in decimal, "N/A" when it cannot be read) and its name as it was at that thread's first record,
// so that building a record makes no system call after a thread's first one. A record holds a
// copy of it, a few dozen bytes of plain data, rather than a reference to a shared, counted
// object: the count would be written by the building thread and again by the logging thread
// that releases the record, and passing that cache line between cores costs more than the copy.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "logging/DDFormatArgument.h"
#include "logging/DDLogLevel.h"
#include "logging/DDLogMessagePool.h"
#include "logging/DDLogObject.h"

namespace platform::dispatch {
class Queue;
}

// Option bits of a record.
struct DDLogMessageOptions {
  static constexpr std::int64_t copyFile = 1;
  static constexpr std::int64_t copyFunction = 2;
  static constexpr std::int64_t keepMessage = 4;
};

// Quality-of-service classes as a record stores them (DDLogMessage::qos()). These numbers are
// the ones formatters and readers of stored records know the classes by; the dispatch layer's
// own enumeration is only its ordering.
struct DDLogQoS {
  static constexpr std::uint64_t unspecified = 0x00;
  static constexpr std::uint64_t background = 0x09;
  static constexpr std::uint64_t utility = 0x11;
  static constexpr std::uint64_t defaultClass = 0x15;
  static constexpr std::uint64_t userInitiated = 0x19;
  static constexpr std::uint64_t userInteractive = 0x21;
};

// A text argument of a record constructor: absent, a borrowed view, or a string handed over.
class DDLogText {
 public:
  DDLogText() noexcept = default;  // absent
  DDLogText(std::nullptr_t) noexcept {}
  DDLogText(const char* s) noexcept : present_(s != nullptr), view_(s ? s : "") {}
  DDLogText(std::string_view s) noexcept : present_(true), view_(s) {}
  DDLogText(const std::string& s) noexcept : present_(true), view_(s) {}
  DDLogText(std::string&& s) noexcept : present_(true), owned_(true), string_(std::move(s)) {}
  // A view of a buffer that is reused once the constructor returns: always copied.
  static DDLogText transient(std::string_view s) noexcept {
    DDLogText t(s);
    t.transient_ = true;
    return t;
  }

  bool present() const noexcept { return present_; }
  bool owned() const noexcept { return owned_; }
  bool transient() const noexcept { return transient_; }
  std::string_view view() const noexcept { return owned_ ? std::string_view(string_) : view_; }
  std::string take() { return owned_ ? std::move(string_) : std::string(view_); }

 private:
  bool present_ = false;
  bool owned_ = false;
  bool transient_ = false;
  std::string_view view_;
  std::string string_;
};

class DDLogMessage : public std::enable_shared_from_this<DDLogMessage> {
 public:
  using Clock = std::chrono::system_clock;
  using Timestamp = Clock::time_point;

  // An empty record: every text empty, every number zero, no function, tag or thread name.
  DDLogMessage();

  // The main constructor. `format`, `message` and `file` must be given: a missing one is reported
  // as a contract violation ("Invalid parameter not satisfying: messageFormat" and so on). A
  // constructor cannot refuse to build, so the record is then built with that text empty.
  DDLogMessage(DDLogText format, DDLogText message, DDLogLevel level, DDLogFlag flag,
               std::int64_t context, DDLogText file, DDLogText function, std::uint64_t line,
               DDLogObjectPtr tag, std::int64_t options, std::optional<Timestamp> timestamp);

  // Formats `format` with `args` and builds the record from both; the record's options are
  // `options` plus keep-message (the text is new and the format copied unless keep-message).
  // The text is formatted straight into the record's inline storage (a long one into a string
  // of the record's own), so the calling thread writes it once and copies nothing.
  DDLogMessage(DDLogText format, std::span<const DDFormatArgument> args, DDLogLevel level,
               DDLogFlag flag, std::int64_t context, DDLogText file, DDLogText function,
               std::uint64_t line, DDLogObjectPtr tag, std::int64_t options,
               std::optional<Timestamp> timestamp);

  // A record from finished text: `message` serves as both text and format.
  DDLogMessage(DDLogText message, DDLogLevel level, DDLogFlag flag, std::int64_t context,
               DDLogText file, DDLogText function, std::uint64_t line, DDLogObjectPtr tag,
               std::int64_t options, std::optional<Timestamp> timestamp);

  // A shared record built with any of the constructors above, its storage taken from the
  // record pool.
  template <class... Args>
  static std::shared_ptr<const DDLogMessage> create(Args&&... args) {
    return std::allocate_shared<const DDLogMessage>(
        dd_detail::DDLogMessageAllocator<DDLogMessage>(), std::forward<Args>(args)...);
  }

  DDLogMessage(const DDLogMessage&) = delete;
  DDLogMessage& operator=(const DDLogMessage&) = delete;

  // A new record sharing every field value of this one. When this record is owned by a
  // shared_ptr the copy references its texts and keeps it alive; otherwise it copies them.
  std::shared_ptr<DDLogMessage> copy() const;
  // As copy(), but the copy's text is `message` (its format stays this record's).
  std::shared_ptr<DDLogMessage> copyWithMessage(std::string message) const;

  std::string_view message() const noexcept { return message_; }
  std::string_view messageFormat() const noexcept { return messageFormat_; }
  DDLogLevel level() const noexcept { return level_; }
  DDLogFlag flag() const noexcept { return flag_; }
  std::int64_t context() const noexcept { return context_; }
  std::string_view file() const noexcept { return file_; }
  // The last path component of file(), cut before its last "." when it has one. Worked out on
  // each call rather than when the record is built: few loggers ask, and building a record is
  // on the calling thread's path.
  std::string_view fileName() const noexcept { return fileNameOf(file_); }
  std::optional<std::string_view> function() const noexcept {
    return hasFunction_ ? std::optional<std::string_view>(function_) : std::nullopt;
  }
  std::uint64_t line() const noexcept { return line_; }
  // The tag the caller gave; the same object as representedObject().
  const DDLogObjectPtr& tag() const noexcept { return representedObject_; }
  const DDLogObjectPtr& representedObject() const noexcept { return representedObject_; }
  std::int64_t options() const noexcept { return options_; }
  Timestamp timestamp() const noexcept { return timestamp_; }
  std::string_view threadID() const noexcept { return {thread_.id, thread_.idSize}; }
  std::optional<std::string_view> threadName() const noexcept {
    return thread_.nameSize != 0
               ? std::optional<std::string_view>(std::string_view(thread_.name, thread_.nameSize))
               : std::nullopt;
  }
  std::string_view queueLabel() const noexcept { return queueLabel_; }
  // The class of the queue the record was made on, as a DDLogQoS value.
  std::uint64_t qos() const noexcept { return qos_; }

  // Equal when all of message, messageFormat, level, flag, context, file, function, line,
  // representedObject, timestamp, threadID, queueLabel and qos match; fileName, threadName,
  // options and tag take no part.
  bool operator==(const DDLogMessage& other) const;
  // XOR of the hashes of the fields that take part in equality.
  std::size_t hash() const;

  // The file-name rule: last path component, cut before its last "." when it has one.
  static std::string_view fileNameOf(std::string_view path) noexcept;

 private:
  static void setText(std::string& own, std::string_view& view, DDLogText& text, bool share);
  // As setText, but a short copy goes into the inline storage.
  void setMessageText(DDLogText& text, bool share);
  void build(DDLogLevel level, DDLogFlag flag, std::int64_t context, DDLogText& file,
             DDLogText& function, std::uint64_t line, DDLogObjectPtr tag, std::int64_t options,
             std::optional<Timestamp> timestamp);

  std::string ownedMessage_, ownedFormat_, ownedFile_, ownedFunction_;
  std::string_view message_, messageFormat_, file_, function_;
  bool hasFunction_ = false;
  DDLogLevel level_;
  DDLogFlag flag_;
  std::int64_t context_ = 0;
  std::uint64_t line_ = 0;
  DDLogObjectPtr representedObject_;
  std::int64_t options_ = 0;
  Timestamp timestamp_{};
  // A thread id in decimal and a thread name (the kernel keeps at most 15 bytes of it).
  struct ThreadIdentity {
    char id[23];
    std::uint8_t idSize;  // 0 until read
    char name[15];
    std::uint8_t nameSize;  // 0: the thread has no name
  };
  static const ThreadIdentity& currentThread() noexcept;
  ThreadIdentity thread_{};
  std::string ownedQueueLabel_;
  std::string_view queueLabel_;
  std::uint64_t qos_ = 0;
  // For copies: the record whose texts this one references.
  std::shared_ptr<const DDLogMessage> origin_;
  // Inline storage for a short message text and the queue label, in that order, so that building
  // a record copies them without allocating and without touching a counter the queue shares
  // with other threads. Sized so that the record and its shared-pointer bookkeeping fill one
  // pool block.
  static constexpr std::size_t kInlineBytes = 256;
  char inline_[kInlineBytes];
  std::size_t inlineUsed_ = 0;
  // Copies `v` into the inline storage when it fits, else into `fallback`.
  std::string_view keep(std::string_view v, std::string& fallback);
};

using DDLogMessagePtr = std::shared_ptr<const DDLogMessage>;

template <>
struct std::hash<DDLogMessage> {
  std::size_t operator()(const DDLogMessage& m) const noexcept { return m.hash(); }
};
