// Clang's thread-safety annotations, and a mutex the analysis understands.
//
// The annotations say in the code which lock guards a field and which lock an operation
// expects; a Clang build with -Wthread-safety checks every access. Under other compilers they
// expand to nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

/// std::mutex as a capability the analysis tracks. Waits on a condition variable go through
/// wait_for/wait, which keep the lock held as far as the analysis (and the caller) can tell.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

  /// Waits on `cv` (at most `limit`) until `ready()` holds; the lock is released while waiting
  /// and held again on return. The value of ready() at the end.
  template <typename Rep, typename Period, typename Ready>
  bool wait_for(std::condition_variable& cv, std::chrono::duration<Rep, Period> limit,
                Ready ready) REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    bool result = cv.wait_for(held, limit, ready);
    held.release();
    return result;
  }

  /// Waits on `cv`, without a limit, until `ready()` holds.
  template <typename Ready>
  void wait(std::condition_variable& cv, Ready ready) REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    cv.wait(held, ready);
    held.release();
  }

 private:
  std::mutex mutex_;
};

/// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};
