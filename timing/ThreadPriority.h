#pragma once

namespace movarth {

// Scheduling priority of a worker thread, lowest first.
//
// On Linux the calling thread gets (nice values are per thread there):
//   tpIdle         SCHED_IDLE            (else nice 19)
//   tpLowest       nice +10
//   tpLower        nice +5
//   tpNormal       nice 0
//   tpHigher       nice -5
//   tpHighest      nice -10
//   tpTimeCritical nice -20
// No value maps to a real-time policy, so a busy worker can never starve the rest of the
// system. Where the process may not go as high as asked (a negative nice needs CAP_SYS_NICE or
// a raised RLIMIT_NICE), the thread quietly gets the highest level it is allowed, which is
// never lower than the one it started with.
enum class TThreadPriority
{
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

// Gives the calling thread the level above, or the nearest one it is allowed.
void ApplyThreadPriority(TThreadPriority priority);

} // namespace movarth
