#pragma once
// Hand-off of work to the GUI thread.
//
// With a Qt application object, the GUI thread is the thread that created it.
// Synchronize runs fn there and waits for it; Queue runs it there later.
// Called on the GUI thread itself, both run fn at once.
//
// A program without a Qt application object (a console tool) has no GUI
// thread: both then run fn on the calling thread.
//
// Waiting loops on the GUI thread (for example a component waiting for its
// worker threads to end) call CheckSynchronize so that workers blocked in
// Synchronize can finish. When the application is shutting down, pending and
// new synchronous calls are dropped (Synchronize returns false) instead of
// blocking the worker forever.
#include <functional>

namespace kivora {

class MainThread {
public:
  // Runs fn on the GUI thread and waits. Returns true when fn ran; an
  // exception thrown by fn is raised again on the calling thread. Any thread.
  static bool Synchronize(const std::function<void()>& fn);
  // Runs fn on the GUI thread without waiting for it. Exceptions thrown by fn
  // are caught and logged to stderr (there is nobody to hand them to). Any
  // thread; once the application is shutting down fn is dropped.
  static void Queue(std::function<void()> fn);
  // True on the GUI thread, and on any thread when there is no GUI thread.
  // This and HasGuiThread may be called from any thread.
  static bool IsMainThread();
  // True when a Qt application object exists.
  static bool HasGuiThread();
  // On the GUI thread: runs the calls pending from Synchronize and Queue,
  // waiting up to timeoutMs (milliseconds; 0 or less: no wait) for one to
  // arrive. Returns true when any ran. Elsewhere: returns false at once.
  static bool CheckSynchronize(int timeoutMs = 0);
  // Ends a CheckSynchronize wait at once: for a worker that has just changed
  // what a GUI-thread waiting loop is waiting for. Any thread.
  static void WakeWaiter();
};

}  // namespace kivora
