#pragma once
// A scoped lock for QMutex that ThreadSanitizer understands. Qt's libraries are not instrumented,
// so without the annotations ThreadSanitizer cannot see QMutex and reports races on the data it
// guards. In builds without ThreadSanitizer this is a plain lock guard.

#include <QMutex>

#if defined(__SANITIZE_THREAD__)
#define CAMP_TSAN_ANNOTATE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CAMP_TSAN_ANNOTATE 1
#endif
#endif

#ifdef CAMP_TSAN_ANNOTATE
#include <sanitizer/tsan_interface.h>
#endif

class MutexLocker
{
public:
    explicit MutexLocker(QMutex& mutex) : mutex(mutex)
    {
#ifdef CAMP_TSAN_ANNOTATE
        __tsan_mutex_pre_lock(&mutex, 0);
#endif
        mutex.lock();
#ifdef CAMP_TSAN_ANNOTATE
        __tsan_mutex_post_lock(&mutex, 0, 0);
#endif
    }

    ~MutexLocker()
    {
#ifdef CAMP_TSAN_ANNOTATE
        __tsan_mutex_pre_unlock(&mutex, 0);
#endif
        mutex.unlock();
#ifdef CAMP_TSAN_ANNOTATE
        __tsan_mutex_post_unlock(&mutex, 0);
#endif
    }

    MutexLocker(const MutexLocker&) = delete;
    MutexLocker& operator=(const MutexLocker&) = delete;

private:
    QMutex& mutex;
};
