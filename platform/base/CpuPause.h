#pragma once
// A short pause for spin loops: tells the processor that the thread is waiting, which frees
// the core's shared resources for its sibling and avoids the memory-order penalty on leaving
// the loop. A no-op where the architecture has no such hint.

namespace platform::base {

inline void cpuPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace platform::base
