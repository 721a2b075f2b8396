// Small synchronisation helpers of the reader-access layer: a lock that can
// be waited for with a deadline and a two-state event. Both wait on the
// monotonic clock, so a change of the wall clock never stretches or cuts a
// wait, and an event is always set through a condition variable, never by
// unlocking a mutex from another thread.
#ifndef VD_PCSCREAD_SYNC_INTERNAL_H
#define VD_PCSCREAD_SYNC_INTERNAL_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pcscread {

using Clock = std::chrono::steady_clock;

inline Clock::time_point DeadlineIn(std::chrono::milliseconds ms) { return Clock::now() + ms; }

// A non-recursive lock whose acquisition can give up at a deadline. It has
// the standard names, so std::lock_guard and std::unique_lock (with a
// deadline too) hold it for a scope.
class TimedLock {
public:
    // True when the lock was taken before the deadline.
    bool try_lock_until(Clock::time_point deadline) {
        std::unique_lock<std::mutex> g(m_);
        if (!cv_.wait_until(g, deadline, [this] { return !locked_; })) return false;
        locked_ = true;
        return true;
    }
    // Only for holders that keep the lock for a few instructions.
    void lock() {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [this] { return !locked_; });
        locked_ = true;
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> g(m_);
            locked_ = false;
        }
        cv_.notify_one();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool locked_ = false;
};

// A two-state event: Reset() makes it held, Set() gives it; waiters see it
// once it is set. It stays set until reset.
class Event {
public:
    void Reset() {
        std::lock_guard<std::mutex> g(m_);
        set_ = false;
    }
    void Set() {
        {
            std::lock_guard<std::mutex> g(m_);
            set_ = true;
        }
        cv_.notify_all();
    }
    bool IsSet() {
        std::lock_guard<std::mutex> g(m_);
        return set_;
    }
    // True when the event is set before the deadline.
    bool WaitUntil(Clock::time_point deadline) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_until(g, deadline, [this] { return set_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace pcscread

#endif  // VD_PCSCREAD_SYNC_INTERNAL_H
