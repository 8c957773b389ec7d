#pragma once
// A counting semaphore with timed waits.
#include <condition_variable>
#include <mutex>

namespace kivora {

// Every method may be called from any thread.
class TSemaphore {
public:
  // The default of one free slot is the usual "one conversion at a time".
  // maxCount is at least 1; initialCount is clamped to 0..maxCount.
  explicit TSemaphore(int initialCount = 1, int maxCount = 0x7FFFFFFF);
  // Waits until the count is positive and takes one; false on timeout.
  // A negative timeout waits forever.
  bool WaitFor(int timeoutMs = -1);
  void Acquire() { WaitFor(-1); }
  // Adds count (never above the maximum; 0 or less adds nothing). Returns the
  // previous count.
  int Release(int count = 1);
  int Count() const;

private:
  mutable std::mutex FMutex;
  std::condition_variable FCond;
  int FCount;
  int FMax;
};

}  // namespace kivora
