#include "kivora/platform/semaphore.h"

#include <algorithm>
#include <chrono>

namespace kivora {

TSemaphore::TSemaphore(int initialCount, int maxCount)
    : FCount(std::max(0, initialCount)), FMax(std::max(1, maxCount)) {
  FCount = std::min(FCount, FMax);
}

bool TSemaphore::WaitFor(int timeoutMs) {
  std::unique_lock lock(FMutex);
  if (timeoutMs < 0) {
    FCond.wait(lock, [this] { return FCount > 0; });
  } else if (!FCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FCount > 0; })) {
    return false;
  }
  --FCount;
  return true;
}

int TSemaphore::Release(int count) {
  int previous;
  {
    std::lock_guard lock(FMutex);
    previous = FCount;
    if (count > 0) {
      // Compare before adding so a huge count cannot overflow.
      FCount = count >= FMax - FCount ? FMax : FCount + count;
    }
  }
  if (count > 0) FCond.notify_all();
  return previous;
}

int TSemaphore::Count() const {
  std::lock_guard lock(FMutex);
  return FCount;
}

}  // namespace kivora
