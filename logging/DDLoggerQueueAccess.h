#pragma once
// How a logger's public accessors reach state that lives on its queue, in the one order every
// accessor uses: the global logging queue first, then the logger queue, so two accessors can
// never wait for each other.
//
// - ddSyncOnLoggerQueue (reads): runs `work` on the logger queue and waits. Called on the global
//   logging queue it is refused with "<operation> must not be called on the global logging
//   queue!"; called on the logger queue with "MUST access ivar directly, NOT via self.* syntax.".
//   Refused calls return false; the caller then answers from the value it last stored.
// - ddAsyncOnLoggerQueue (changes): on the logger queue runs `work` at once; elsewhere queues it
//   through the global logging queue onto the logger queue and returns, so a change made right
//   after a log call applies after the records queued before it. Refused on the global logging
//   queue. A logger that no shared_ptr owns yet (still being set up) gets the change at once,
//   synchronously: nothing could keep it alive until later.

#include <functional>
#include <string_view>

#include "logging/DDAbstractLogger.h"

bool ddSyncOnLoggerQueue(DDAbstractLogger& logger, std::string_view operation,
                         const std::function<void()>& work);
void ddAsyncOnLoggerQueue(DDAbstractLogger& logger, std::string_view operation,
                          std::function<void()> work);
