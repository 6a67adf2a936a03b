#pragma once
// Feeds this process's own journal messages back into the dispatcher, so that what a library
// writes to the journal directly (sd_journal_print, syslog through journald, standard streams
// connected to the journal) reaches the process's loggers too.
//
// start() (once until stop()) watches the journal on a background queue. Each new entry of this
// process (matched on _PID) that is not marked DDLOG=1 (this library's own entries), written at
// or after the moment capturing started, becomes a record when captureLevel admits its flag:
//   priority 0 to 2, or none: error, delivered synchronously;
//   3 warning, 4 info, 5 debug, 6 and 7 verbose: delivered asynchronously;
//   beyond 7: not captured.
// The record's text is the entry's MESSAGE, its file "DDASLLogCapture" (which the journal
// loggers never write, so nothing loops), context 0, its time the entry's. Entries are read in
// journal order, each once: the capture remembers the last one it has seen.

#include <cstdint>

#include "logging/DDLogLevel.h"

class DDASLLogCapture {
 public:
  DDASLLogCapture() = delete;

  static void start();
  static void stop();
  // Initially verbose (31).
  static DDLogLevel captureLevel();
  static void setCaptureLevel(DDLogLevel level);

  // The flag of an entry's priority (-1: the entry has none).
  static DDLogFlag flagForPriority(int priority);
};
