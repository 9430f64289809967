// The monotonic clock in seconds, and sleeping until a time on it: what the
// streams and the sampler use to pace themselves. POSIX only.
#pragma once

#include <cerrno>
#include <ctime>

inline double monotonic_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Sleeps until the monotonic clock reads t, through interruptions; returns
// at once for a time already past.
inline void sleep_until(double t)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(t);
    ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}
