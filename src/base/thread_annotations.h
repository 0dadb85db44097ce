// Clang's thread-safety attributes, and a mutex and scoped lock that carry
// them (libstdc++'s std::mutex does not). Other compilers see plain code.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KALVEX_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define KALVEX_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) KALVEX_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY KALVEX_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) KALVEX_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) KALVEX_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KALVEX_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KALVEX_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KALVEX_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KALVEX_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KALVEX_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KALVEX_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KALVEX_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) KALVEX_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KALVEX_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace kalvex {

class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex for its scope; waits on a condition variable release and
// retake it, which the analysis treats as held throughout, as the caller does.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex &mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

    template <class Predicate>
    void Wait(std::condition_variable &wake, Predicate done) {
        wake.wait(lock_, done);
    }
    // The predicate's value at the end: false when the time ran out first.
    template <class Rep, class Period, class Predicate>
    bool WaitFor(std::condition_variable &wake, std::chrono::duration<Rep, Period> limit,
                 Predicate done) {
        return wake.wait_for(lock_, limit, done);
    }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace kalvex
