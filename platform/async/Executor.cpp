#include "platform/async/Executor.h"

namespace platform::async {

bool isOnMainActor() {
  return dispatch::Queue::isCurrentlyOn(*dispatch::Queue::main());
}

}  // namespace platform::async
