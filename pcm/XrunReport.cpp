#include "pcm/XrunReport.h"

#include <cstdio>
#include <ctime>

double monotonic_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

void XrunReport::note(const char* name, const char* what)
{
    ++count;
    const double now = monotonic_seconds();
    if (now - last_line < 1.0)
        return;
    fprintf(stderr, "warning: %s: %s, data lost (%lld since the start, %lld since the last report)\n",
            name, what, count, count - said);
    said = count;
    last_line = now;
}
