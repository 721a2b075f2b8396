// Where the report passes between the window's thread and its pool thread,
// marked for the thread sanitizer. Qt's thread pool gives the task to its
// thread, and the window learns that it has ended, under Qt's own locks,
// which the sanitizer does not see (tests/sanitizers/tsan.supp). Unmarked,
// whatever the window's thread wrote before the report started, or touches
// after it ended, would read as a race with the report's thread. Without the
// sanitizer these do nothing.
#ifndef VD_APP_REPORTHANDOVER_H
#define VD_APP_REPORTHANDOVER_H

#if defined(__SANITIZE_THREAD__)
#define VD_REPORT_HANDOVER_MARKED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VD_REPORT_HANDOVER_MARKED 1
#endif
#endif

#ifdef VD_REPORT_HANDOVER_MARKED
#include <sanitizer/tsan_interface.h>
#endif

// Everything this thread did so far, the next thread that takes over at
// point sees as done.
inline void HandReportOver(void* point)
{
#ifdef VD_REPORT_HANDOVER_MARKED
    __tsan_release(point);
#else
    (void)point;
#endif
}

// Takes over from the last HandReportOver at point.
inline void TakeReportOver(void* point)
{
#ifdef VD_REPORT_HANDOVER_MARKED
    __tsan_acquire(point);
#else
    (void)point;
#endif
}

#endif  // VD_APP_REPORTHANDOVER_H
