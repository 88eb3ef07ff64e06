#include "timing/ThreadPriority.h"

#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace movarth {
namespace {

int NiceFor(TThreadPriority priority)
{
    switch (priority) {
    case TThreadPriority::tpIdle:
        return 19;
    case TThreadPriority::tpLowest:
        return 10;
    case TThreadPriority::tpLower:
        return 5;
    case TThreadPriority::tpNormal:
        return 0;
    case TThreadPriority::tpHigher:
        return -5;
    case TThreadPriority::tpHighest:
        return -10;
    case TThreadPriority::tpTimeCritical:
        return -20;
    }
    return 0;
}

bool SetOwnNice(id_t thread, int nice)
{
    return ::setpriority(PRIO_PROCESS, thread, nice) == 0;
}

} // namespace

void ApplyThreadPriority(TThreadPriority priority)
{
    if (priority == TThreadPriority::tpIdle) {
        const sched_param param{};
        if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &param) == 0) return;
    }
    // On Linux PRIO_PROCESS with a thread id sets that one thread's nice value.
    const auto self = static_cast<id_t>(::gettid());
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, self);
    if (errno != 0) return;
    const int target = NiceFor(priority);
    if (target >= current) {
        // A lower level is always allowed.
        (void)SetOwnNice(self, target);
        return;
    }
    // A higher level is allowed only so far: try the target, then each level nearer to the
    // current one, which stays when none is allowed.
    for (int nice = target; nice < current; ++nice)
        if (SetOwnNice(self, nice)) return;
}

} // namespace movarth
