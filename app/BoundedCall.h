// A call into the PC/SC service with an upper bound on the wait. The client
// library waits on the daemon's socket without a time-out, and a daemon
// that is stopped, or whose reader driver hangs, keeps such a call there
// until it answers again; nothing takes a thread out of that wait. So the
// call runs on a thread of its own and the caller stops waiting for it.
#ifndef VD_APP_BOUNDEDCALL_H
#define VD_APP_BOUNDEDCALL_H

#include <chrono>
#include <functional>
#include <future>
#include <system_error>
#include <thread>
#include <utility>

// Runs call on a thread of its own and waits up to timeoutMs for it to
// return. True when it returned in time. Otherwise the thread is left to
// finish whenever the service answers: call must hold shared ownership of
// everything it touches, and the caller must not read what it fills. False
// also when no thread can be started; call has then not run.
inline bool CallWithin(int timeoutMs, std::function<void()> call)
{
    std::packaged_task<void()> task(std::move(call));
    std::future<void> finished = task.get_future();
    try {
        std::thread(std::move(task)).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return finished.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
}

#endif  // VD_APP_BOUNDEDCALL_H
