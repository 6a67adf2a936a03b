#pragma once
// How the daemon logs. Every daemon message goes through the logging front end (its gate on
// dynamicLogLevel, one record with keep-message, asynchronous unless asyncLoggingEnabled is off),
// and names the daemon's main source file and the daemon operation that writes it, whatever
// source file the call sits in, so that a line reads the same wherever the code lives.

#include "logging/DDLogFrontEnd.h"

// The daemon's main source file: its file name, as lines show it, is "main".
inline constexpr char kDaemonMainSourceFile[] = "daemon/main.cpp";

#define CSLogInfo(functionName, ...) \
  DDLogAt(::DDLogFlag::info, kDaemonMainSourceFile, functionName, __VA_ARGS__)
#define CSLogWarn(functionName, ...) \
  DDLogAt(::DDLogFlag::warning, kDaemonMainSourceFile, functionName, __VA_ARGS__)
#define CSLogDebug(functionName, ...) \
  DDLogAt(::DDLogFlag::debug, kDaemonMainSourceFile, functionName, __VA_ARGS__)
