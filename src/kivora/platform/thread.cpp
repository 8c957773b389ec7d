#include "kivora/platform/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace kivora {

TThreadID CurrentThreadId() {
  // The kernel id rather than std::thread::id: it is a plain number the log
  // registry can print and matches what debuggers and `top -H` show.
  static thread_local const TThreadID id = static_cast<TThreadID>(::syscall(SYS_gettid));
  return id;
}

void Sleep(int ms) {
  if (ms <= 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace kivora
