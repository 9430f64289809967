#include "pcm/XrunReport.h"

#include <cstdio>

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
