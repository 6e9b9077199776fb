#pragma once

// What each mutex guards, said so that clang's -Wthread-safety checks it at compile time: a field
// read or written without its mutex, or a function called without the mutex it requires, fails
// the clang build. GCC knows none of the attributes, so there the macros expand to nothing.
// libstdc++'s std::mutex carries no annotations, hence Mutex and MutexLock below.
//
//   Mutex mutex_;
//   std::vector<Item> queue_ TAMSENOR_GUARDED_BY(mutex_);
//   void pushLocked(Item item) TAMSENOR_REQUIRES(mutex_);
//   ... { MutexLock lock(mutex_); queue_.push_back(item); }

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TAMSENOR_THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define TAMSENOR_THREAD_ANNOTATION(attribute)
#endif

#define TAMSENOR_CAPABILITY(name) TAMSENOR_THREAD_ANNOTATION(capability(name))
#define TAMSENOR_SCOPED_CAPABILITY TAMSENOR_THREAD_ANNOTATION(scoped_lockable)
#define TAMSENOR_GUARDED_BY(mutex) TAMSENOR_THREAD_ANNOTATION(guarded_by(mutex))
#define TAMSENOR_REQUIRES(...) TAMSENOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TAMSENOR_ACQUIRE(...) TAMSENOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TAMSENOR_RELEASE(...) TAMSENOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace tamsenor::detail {

// A std::mutex that the analysis knows as one.
class TAMSENOR_CAPABILITY("mutex") Mutex {
 public:
  void lock() TAMSENOR_ACQUIRE() { mutex_.lock(); }
  void unlock() TAMSENOR_RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope, as std::unique_lock does; wait() lets go of it while it sleeps.
// Wait in a loop on a guarded condition, so that the analysis sees the reads under the lock:
//   while (!ended_) lock.wait(endedChanged_);
class TAMSENOR_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) TAMSENOR_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() TAMSENOR_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void wait(std::condition_variable& changed) { changed.wait(lock_); }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace tamsenor::detail
