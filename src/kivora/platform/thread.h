#pragma once
// Thread helpers: the current thread's id as the log registry keys it, and
// sleeping in milliseconds.
#include <cstdint>

namespace kivora {

using TThreadID = uint64_t;
// A number unique to the calling thread while it lives (the kernel's thread id).
TThreadID CurrentThreadId();
// Milliseconds; 0 or less only yields the processor.
void Sleep(int ms);

}  // namespace kivora
