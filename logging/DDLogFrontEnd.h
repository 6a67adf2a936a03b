#pragma once
// What the rest of the system calls to log.
//
//   DDLogInfo("Accepted new XPC connection: %@", description);
//   DDLogDebug("Received status request from client");
//   _DDLogMessage(DDLogLevel::all, DDLogFlag::error, 0, nullptr, false, DDLog::sharedInstance(),
//                 "runProcess: %@ failed with status %i", path, status);   // synchronous
//   DDLogAt(DDLogFlag::debug, "daemon/main.cpp", "ping(completionHandler:)", "Received ping");
//
// Each call checks its own level AND its flag, then dynamicLogLevel AND its flag, and only then
// evaluates its message and arguments, builds one record (keep-message, no timestamp) and hands
// it to the dispatcher with log(asynchronous, record). A call turned away costs those two mask
// tests and nothing else: no argument is evaluated, no record built.
//
// The message is one of:
// - a format literal followed by its arguments, formatted by DDStringFormat (printf-style, %@
//   for texts and objects); the arguments are captured by type, never through C varargs;
// - a text alone (no arguments): the finished text as it is, "%" and all;
// - a DDLogMessageFormat;
// - any other value alone: its description (what %@ prints).
// A record owns everything it shows: nothing the caller owns is read once the call returns. Only
// a format or text that is a string literal written at the call site is referenced without a
// copy (as are __FILE__ and __func__), since it lives as long as the program; the log macros prove
// that at compile time (DD_MARK_LITERAL below). Every other text is copied, arrays of char
// included: a `char name[32]` member of a heap object or a local `const char text[]` may be gone
// before a logger formats the record.
//
// The short forms log at level all, context 0, no tag, on the shared dispatcher, with the
// delivery chosen by asyncLoggingEnabled at the time of the call. _DDLogMessage takes every one
// of these explicitly: level, flag, context, tag (null, a DDLogObject, a text, or a type offering
// ddLogObject()), asynchronous (true, false, or std::nullopt for asyncLoggingEnabled) and the
// dispatcher (a DDLog& or a std::shared_ptr<DDLog>).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "logging/DDFormatArgument.h"
#include "logging/DDLog.h"
#include "logging/DDLogLevel.h"
#include "logging/DDLogMessage.h"
#include "logging/DDLogMessageFormat.h"
#include "logging/DDLogObject.h"
#include "logging/DDStringFormat.h"

// Second level that every call must pass. Initially all. Lock-free atomics, read relaxed: a
// call only needs some recent value, and nothing else is published through these.
inline constinit std::atomic<DDLogLevel> dynamicLogLevel{DDLogLevel::all};
// Another name for the same storage.
inline constinit std::atomic<DDLogLevel>& defaultDebugLevel = dynamicLogLevel;
// Delivery of calls that do not choose one. Initially true (asynchronous).
inline constinit std::atomic<bool> asyncLoggingEnabled{true};

inline void resetDynamicLogLevel() {
  dynamicLogLevel.store(DDLogLevel::all);
}
inline void resetDefaultDebugLevel() {
  resetDynamicLogLevel();
}

// The record constructor of the front end: a message format gives the record's format and its
// finished text; options keep-message; no timestamp.
std::shared_ptr<const DDLogMessage> DDLogMessageFromFormat(
    const DDLogMessageFormat& message, DDLogLevel level, DDLogFlag flag, std::int64_t context,
    std::string_view file, std::string_view function, std::uint64_t line, DDLogObjectPtr tag,
    std::optional<DDLogMessage::Timestamp> timestamp = std::nullopt);

namespace dd_detail {

// A text the log macros looked at: `literal` is true only for a string literal written at the
// call site, which the record may reference instead of copying.
struct MarkedText {
  std::string_view text;
  bool literal;
};

// What DD_MARK_LITERAL hands on for the message: an array of char becomes a MarkedText (a
// literal only when the compiler proved it one); anything else passes through untouched.
template <class T>
decltype(auto) markLiteral(bool provenLiteral, T&& message) {
  using R = std::remove_reference_t<T>;
  if constexpr (std::is_array_v<R> &&
                std::is_same_v<std::remove_cv_t<std::remove_extent_t<R>>, char>) {
    return MarkedText{std::string_view(message), provenLiteral};
  } else {
    return std::forward<T>(message);
  }
}

inline DDLog& target(DDLog& log) {
  return log;
}
inline DDLog& target(const std::shared_ptr<DDLog>& log) {
  return *log;
}

inline DDLogObjectPtr tagObject(std::nullptr_t) {
  return nullptr;
}
inline DDLogObjectPtr tagObject(DDLogObjectPtr tag) {
  return tag;
}
inline DDLogObjectPtr tagObject(std::string_view text) {
  return DDLogStringObject::make(std::string(text));
}
template <class T>
requires DDLogObjectConvertible<T> DDLogObjectPtr tagObject(const T& value) {
  return value.ddLogObject();
}

void deliver(DDLog& log, std::optional<bool> asynchronous, DDLogMessagePtr message);

inline void logCall(DDLog& log, std::optional<bool> asynchronous, DDLogLevel level, DDLogFlag flag,
                    std::int64_t context, std::string_view file, std::string_view function,
                    std::uint64_t line, DDLogObjectPtr tag) {
  deliver(log, asynchronous,
          DDLogMessage::create(std::string_view(), std::string_view(), level, flag, context, file,
                               function, line, std::move(tag), DDLogMessageOptions::keepMessage,
                               std::nullopt));
}

// A format (with arguments) or a finished text (without). `literal`: the text lives as long as
// the program and is referenced; any other text is copied into the record, once for both the
// text and the format when there are no arguments.
template <class... Args>
void logText(DDLog& log, std::optional<bool> asynchronous, DDLogLevel level, DDLogFlag flag,
             std::int64_t context, std::string_view file, std::string_view function,
             std::uint64_t line, DDLogObjectPtr tag, std::string_view format, bool literal,
             const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    deliver(log, asynchronous,
            DDLogMessage::create(literal ? DDLogText(format) : DDLogText::transient(format), level,
                                 flag, context, file, function, line, std::move(tag),
                                 DDLogMessageOptions::keepMessage, std::nullopt));
  } else {
    const DDFormatArgument argv[] = {ddFormatArgument(args)...};
    // The record formats the text itself, into its own storage.
    deliver(log, asynchronous,
            DDLogMessage::create(literal ? DDLogText(format) : DDLogText::transient(format),
                                 std::span<const DDFormatArgument>(argv), level, flag, context,
                                 file, function, line, std::move(tag),
                                 DDLogMessageOptions::keepMessage, std::nullopt));
  }
}

template <class Msg, class... Args>
void logCall(DDLog& log, std::optional<bool> asynchronous, DDLogLevel level, DDLogFlag flag,
             std::int64_t context, std::string_view file, std::string_view function,
             std::uint64_t line, DDLogObjectPtr tag, Msg&& msg, const Args&... args) {
  using D = std::remove_cvref_t<Msg>;
  if constexpr (std::is_same_v<D, MarkedText>) {
    logText(log, asynchronous, level, flag, context, file, function, line, std::move(tag), msg.text,
            msg.literal, args...);
  } else if constexpr (std::is_same_v<D, DDLogMessageFormat>) {
    static_assert(sizeof...(Args) == 0, "a DDLogMessageFormat takes no further arguments");
    deliver(log, asynchronous,
            DDLogMessage::create(DDLogText(std::string(msg.format())), DDLogText(msg.formatted()),
                                 level, flag, context, file, function, line, std::move(tag),
                                 DDLogMessageOptions::keepMessage, std::nullopt));
  } else if constexpr (std::is_convertible_v<const D&, std::string_view> ||
                       std::is_convertible_v<const D&, const char*>) {
    std::string_view format;
    if constexpr (std::is_convertible_v<const D&, std::string_view>) {
      format = std::string_view(msg);
    } else {
      const char* p = msg;
      format = p ? std::string_view(p) : std::string_view();
    }
    logText(log, asynchronous, level, flag, context, file, function, line, std::move(tag), format,
            false, args...);
  } else {
    static_assert(sizeof...(Args) == 0, "only a format text takes arguments");
    std::string text = ddFormatArgument(msg).description();
    deliver(
        log, asynchronous,
        DDLogMessage::create(DDLogText(std::move(text)), level, flag, context, file, function, line,
                             std::move(tag), DDLogMessageOptions::keepMessage, std::nullopt));
  }
}

}  // namespace dd_detail

// The call site's file or function name given explicitly: records borrow it, so only arrays of
// const char are taken (string literals, or constant arrays with static storage); a run-time
// text would not compile.
namespace dd_detail {
template <std::size_t N>
constexpr std::string_view callSiteText(const char (&text)[N]) noexcept {
  return std::string_view(text);
}
}  // namespace dd_detail

// The message arguments of a log call (the message first, then its arguments) with the message
// marked: a string literal written at the call site is proven one at compile time and may be
// referenced by the record; any other array of char is copied. __builtin_constant_p does not
// evaluate its operand, so the message is still evaluated once, and only after the gate.
#define DD_MARK_LITERAL(...) __VA_OPT__(DD_MARK_LITERAL_(__VA_ARGS__))
#define DD_MARK_LITERAL_(message, ...) \
  ::dd_detail::markLiteral(__builtin_constant_p(message), message) __VA_OPT__(, ) __VA_ARGS__

// The call every log function expands to. The gate reads nothing but the two masks; everything
// after it, the message included, is evaluated only when both admit the flag.
#define DD_LOG_CALL_AT(fileExpr, functionExpr, levelExpr, flagExpr, contextExpr, tagExpr,         \
                       asyncExpr, ddlogExpr, ...)                                                 \
  do {                                                                                            \
    const ::DDLogLevel ddLogLevel_ = (levelExpr);                                                 \
    const ::DDLogFlag ddLogFlag_ = (flagExpr);                                                    \
    if (ddLogLevel_.admits(ddLogFlag_) &&                                                         \
        ::dynamicLogLevel.load(::std::memory_order_relaxed).admits(ddLogFlag_)) {                 \
      ::dd_detail::logCall(                                                                       \
          ::dd_detail::target(ddlogExpr), (asyncExpr), ddLogLevel_, ddLogFlag_, (contextExpr),    \
          ::dd_detail::callSiteText(fileExpr), ::dd_detail::callSiteText(functionExpr), __LINE__, \
          ::dd_detail::tagObject(tagExpr) __VA_OPT__(, ) DD_MARK_LITERAL(__VA_ARGS__));           \
    }                                                                                             \
  } while (0)

#define DD_LOG_CALL(levelExpr, flagExpr, contextExpr, tagExpr, asyncExpr, ddlogExpr, ...)  \
  DD_LOG_CALL_AT(__FILE__, __func__, levelExpr, flagExpr, contextExpr, tagExpr, asyncExpr, \
                 ddlogExpr __VA_OPT__(, ) __VA_ARGS__)

#define DDLogError(...)                                                          \
  DD_LOG_CALL(::DDLogLevel::all, ::DDLogFlag::error, 0, nullptr, ::std::nullopt, \
              ::DDLog::sharedInstance(), __VA_ARGS__)
#define DDLogWarn(...)                                                             \
  DD_LOG_CALL(::DDLogLevel::all, ::DDLogFlag::warning, 0, nullptr, ::std::nullopt, \
              ::DDLog::sharedInstance(), __VA_ARGS__)
#define DDLogInfo(...)                                                          \
  DD_LOG_CALL(::DDLogLevel::all, ::DDLogFlag::info, 0, nullptr, ::std::nullopt, \
              ::DDLog::sharedInstance(), __VA_ARGS__)
#define DDLogDebug(...)                                                          \
  DD_LOG_CALL(::DDLogLevel::all, ::DDLogFlag::debug, 0, nullptr, ::std::nullopt, \
              ::DDLog::sharedInstance(), __VA_ARGS__)
#define DDLogVerbose(...)                                                          \
  DD_LOG_CALL(::DDLogLevel::all, ::DDLogFlag::verbose, 0, nullptr, ::std::nullopt, \
              ::DDLog::sharedInstance(), __VA_ARGS__)

// The full-control form. Its name is the system's own, kept as it is although C++ reserves
// names that begin with an underscore and a capital for the implementation.
#define _DDLogMessage(level, flag, context, tag, asynchronous, ddlog, ...) \
  DD_LOG_CALL(level, flag, context, tag, asynchronous, ddlog, __VA_ARGS__)

// Logging on behalf of another call site: the record names `file` and `function` instead of
// the C++ file and function the call sits in, so that a line reads the same wherever the code
// lives (a daemon operation under the name its readers know, a setting under its key, a unit
// whose file name is part of its messages). Both are string literals or constant char arrays;
// the line is the call's own. DDLogAt logs like the short forms (level all, context 0, no tag,
// delivery by asyncLoggingEnabled, the shared dispatcher); _DDLogMessageAt takes every value.
//
//   DDLogAt(DDLogFlag::info, "daemon/main.cpp", "start()", "NSXPCListener started and resumed");
#define DDLogAt(flag, file, function, ...)                                            \
  DD_LOG_CALL_AT(file, function, ::DDLogLevel::all, flag, 0, nullptr, ::std::nullopt, \
                 ::DDLog::sharedInstance(), __VA_ARGS__)
#define _DDLogMessageAt(file, function, level, flag, context, tag, asynchronous, ddlog, ...) \
  DD_LOG_CALL_AT(file, function, level, flag, context, tag, asynchronous, ddlog, __VA_ARGS__)

// Logs an error (with the optional message) when `condition` is false. Never stops the process.
#define DDAssert(condition, ...)                                                     \
  do {                                                                               \
    if (!(condition)) {                                                              \
      DD_LOG_CALL(::DDLogLevel::all, ::DDLogFlag::error, 0, nullptr, ::std::nullopt, \
                  ::DDLog::sharedInstance() __VA_OPT__(, ) __VA_ARGS__);             \
    }                                                                                \
  } while (0)

// Always logs an error (with the optional message). Never stops the process.
#define DDAssertionFailure(...)                                                  \
  DD_LOG_CALL(::DDLogLevel::all, ::DDLogFlag::error, 0, nullptr, ::std::nullopt, \
              ::DDLog::sharedInstance() __VA_OPT__(, ) __VA_ARGS__)
