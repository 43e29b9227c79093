/// @file
/// Locks the compiler can check. Under clang with -Wthread-safety (the CMake
/// build adds it), a field marked TEVRA_GUARDED_BY(mutex_) read or written
/// without mutex_ held, or a function marked TEVRA_REQUIRES(mutex_) called
/// without it, is a compile error. Under other compilers the annotations are
/// empty and the types below are plain wrappers of the standard ones.
///
/// Mutex, RecursiveMutex and SharedMutex wrap std::mutex, std::recursive_mutex
/// and std::shared_mutex; MutexLock, RecursiveMutexLock, WriterLock and
/// ReaderLock hold one for a scope, like std::lock_guard (the first two may
/// release it early with unlock()). ConditionVariable waits on a held Mutex.
///
/// Example:
/// @code
/// Mutex mutex_;
/// int count_ TEVRA_GUARDED_BY(mutex_) = 0;
/// void add() { MutexLock lock(mutex_); ++count_; }
/// @endcode
///
/// Threads: as the standard types they wrap.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
/// The clang attribute `x`; empty under other compilers.
#define TEVRA_THREAD_ANNOTATION(x) __attribute__((x))
#else
/// Empty: only clang checks the annotations.
#define TEVRA_THREAD_ANNOTATION(x)
#endif

/// A class whose objects are locks, named `name` in warnings.
#define TEVRA_CAPABILITY(name) TEVRA_THREAD_ANNOTATION(capability(name))
/// A class that holds a lock for its lifetime.
#define TEVRA_SCOPED_CAPABILITY TEVRA_THREAD_ANNOTATION(scoped_lockable)
/// A field read and written only with `x` held.
#define TEVRA_GUARDED_BY(x) TEVRA_THREAD_ANNOTATION(guarded_by(x))
/// A pointer field whose pointee is used only with `x` held.
#define TEVRA_PT_GUARDED_BY(x) TEVRA_THREAD_ANNOTATION(pt_guarded_by(x))
/// A function called only with these locks held.
#define TEVRA_REQUIRES(...) TEVRA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
/// A function called only with these locks held at least shared.
#define TEVRA_REQUIRES_SHARED(...) TEVRA_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
/// A function that returns with these locks held (the object itself without arguments).
#define TEVRA_ACQUIRE(...) TEVRA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
/// A function that returns with these locks held shared.
#define TEVRA_ACQUIRE_SHARED(...) TEVRA_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
/// A function that releases these locks (the object itself without arguments).
#define TEVRA_RELEASE(...) TEVRA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
/// A function that releases these shared locks.
#define TEVRA_RELEASE_SHARED(...) TEVRA_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
/// A function that releases these locks, held exclusively or shared.
#define TEVRA_RELEASE_GENERIC(...) TEVRA_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
/// A function that takes the lock when it returns the first argument.
#define TEVRA_TRY_ACQUIRE(...) TEVRA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
/// A function called only without these locks held.
#define TEVRA_EXCLUDES(...) TEVRA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// A function that returns the lock `x`.
#define TEVRA_RETURN_CAPABILITY(x) TEVRA_THREAD_ANNOTATION(lock_returned(x))
/// A function the analysis does not check.
#define TEVRA_NO_THREAD_SAFETY_ANALYSIS TEVRA_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tevra {

/// A std::mutex the analysis knows as a capability.
class TEVRA_CAPABILITY("mutex") Mutex {
public:
    /// Locks it, waiting as long as it takes.
    void lock() TEVRA_ACQUIRE() { mutex_.lock(); }
    /// Unlocks it; the calling thread holds it.
    void unlock() TEVRA_RELEASE() { mutex_.unlock(); }
    /// Locks it if it is free; true when it did.
    bool try_lock() TEVRA_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

private:
    friend class ConditionVariable;
    std::mutex mutex_;
};

/// A mutex the owning thread may lock again. The analysis does not follow the
/// nesting: a function that may run with it held says nothing about it.
class TEVRA_CAPABILITY("mutex") RecursiveMutex {
public:
    /// Locks it once more (the owning thread) or waits for it.
    void lock() TEVRA_ACQUIRE() { mutex_.lock(); }
    /// Undoes one lock().
    void unlock() TEVRA_RELEASE() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

/// A std::shared_mutex: one writer or many readers.
class TEVRA_CAPABILITY("mutex") SharedMutex {
public:
    /// Locks it exclusively.
    void lock() TEVRA_ACQUIRE() { mutex_.lock(); }
    /// Releases the exclusive lock.
    void unlock() TEVRA_RELEASE() { mutex_.unlock(); }
    /// Locks it shared with other readers.
    void lock_shared() TEVRA_ACQUIRE_SHARED() { mutex_.lock_shared(); }
    /// Releases a shared lock.
    void unlock_shared() TEVRA_RELEASE_SHARED() { mutex_.unlock_shared(); }

private:
    std::shared_mutex mutex_;
};

/// Holds a Mutex (or RecursiveMutex) from construction to the end of the
/// scope, or to unlock().
template <typename M>
class TEVRA_SCOPED_CAPABILITY BasicMutexLock {
public:
    /// Locks `mutex`.
    explicit BasicMutexLock(M& mutex) TEVRA_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~BasicMutexLock() TEVRA_RELEASE() {
        if (held_) mutex_.unlock();
    }
    BasicMutexLock(const BasicMutexLock&) = delete;
    BasicMutexLock& operator=(const BasicMutexLock&) = delete;
    /// Releases the mutex before the end of the scope; call it at most once.
    void unlock() TEVRA_RELEASE() {
        mutex_.unlock();
        held_ = false;
    }

private:
    M& mutex_;
    bool held_ = true;
};
/// Holds a Mutex for a scope.
using MutexLock = BasicMutexLock<Mutex>;
/// Holds a RecursiveMutex for a scope.
using RecursiveMutexLock = BasicMutexLock<RecursiveMutex>;

/// Holds a SharedMutex exclusively for the scope.
class TEVRA_SCOPED_CAPABILITY WriterLock {
public:
    /// Locks `mutex` exclusively.
    explicit WriterLock(SharedMutex& mutex) TEVRA_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~WriterLock() TEVRA_RELEASE() { mutex_.unlock(); }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    SharedMutex& mutex_;
};

/// Holds a SharedMutex shared for the scope.
class TEVRA_SCOPED_CAPABILITY ReaderLock {
public:
    /// Locks `mutex` shared.
    explicit ReaderLock(SharedMutex& mutex) TEVRA_ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex_.lock_shared(); }
    ~ReaderLock() TEVRA_RELEASE() { mutex_.unlock_shared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& mutex_;
};

/// A condition variable over a Mutex. Every wait takes the mutex held and
/// returns with it held; callers loop on their own condition, which the
/// analysis then checks like any other read of guarded state.
class ConditionVariable {
public:
    /// Wakes one waiting thread.
    void notify_one() noexcept { cv_.notify_one(); }
    /// Wakes every waiting thread.
    void notify_all() noexcept { cv_.notify_all(); }

    /// Releases `mutex`, waits for a notification (or a spurious wake-up) and
    /// locks it again.
    void wait(Mutex& mutex) TEVRA_REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        cv_.wait(lock);
        lock.release();
    }
    /// As wait(), until `deadline` at the latest; false when the deadline passed.
    template <typename Clock, typename Duration>
    bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) TEVRA_REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        const bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }

private:
    std::condition_variable cv_;
};

}  // namespace tevra
