#include "SharedUtils/MainActorBlocking.h"

#include "platform/dispatch/Queue.h"

namespace sharedutils {

void runOnMain(bool forceAsync, std::function<void()> closure) {
  if (!forceAsync && platform::async::isOnMainActor()) {
    closure();
    return;
  }
  platform::dispatch::Queue::main()->async(std::move(closure));
}

}  // namespace sharedutils
