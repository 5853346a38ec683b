#pragma once
#include <mutex>

// Clang's thread-safety analysis: state marked GUARDED_BY(lock) may only be
// touched with that lock held, and a function marked REQUIRES(lock) may only
// be called with it held. Clang checks both at compile time (-Wthread-safety);
// other compilers ignore the marks.
#if defined(__clang__)
#define TALLYSV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TALLYSV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TALLYSV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TALLYSV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TALLYSV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TALLYSV_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) TALLYSV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TALLYSV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TALLYSV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TALLYSV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TALLYSV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) TALLYSV_THREAD_ANNOTATION(lock_returned(x))
#define ASSERT_CAPABILITY(x) TALLYSV_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS TALLYSV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tallysv {

// A plain mutex that the analysis knows about.
class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
    // Tells the analysis that the caller holds the lock where it cannot see
    // it taken (a callback run under the lock by another module).
    void assertHeld() const ASSERT_CAPABILITY(this) {}

private:
    std::mutex mutex_;
};

// Holds a Mutex for the lifetime of the object.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

}  // namespace tallysv
