#pragma once
// How the daemon logs. Every daemon message goes through the logging front end (its gate on
// dynamicLogLevel, one record with keep-message, asynchronous unless asyncLoggingEnabled is off),
// and names the daemon's main source file and the daemon operation that writes it, whatever
// source file the call sits in, so that a line reads the same wherever the code lives.

#include <string_view>

#include "logging/DDLogFrontEnd.h"

// The daemon's main source file: its file name, as lines show it, is "main".
inline constexpr std::string_view kDaemonMainSourceFile = "daemon/main.cpp";

#define CS_DAEMON_LOG(flagExpr, functionName, ...)                                            \
  do {                                                                                        \
    const ::DDLogFlag csDaemonFlag_ = (flagExpr);                                             \
    if (::DDLogLevel::all.admits(csDaemonFlag_) &&                                            \
        ::dynamicLogLevel.load(::std::memory_order_relaxed).admits(csDaemonFlag_)) {          \
      ::dd_detail::logCall(*::DDLog::sharedInstance(), ::std::nullopt, ::DDLogLevel::all,     \
                           csDaemonFlag_, 0, kDaemonMainSourceFile,                           \
                           ::std::string_view(functionName), __LINE__, nullptr, __VA_ARGS__); \
    }                                                                                         \
  } while (0)

#define CSLogInfo(functionName, ...) CS_DAEMON_LOG(::DDLogFlag::info, functionName, __VA_ARGS__)
#define CSLogWarn(functionName, ...) CS_DAEMON_LOG(::DDLogFlag::warning, functionName, __VA_ARGS__)
#define CSLogDebug(functionName, ...) CS_DAEMON_LOG(::DDLogFlag::debug, functionName, __VA_ARGS__)
