#include "pcm/XrunReport.h"

#include <algorithm>
#include <cstdio>

namespace {

// Two sound clocks differ by some parts in a million; 0.2 % is far more
// than any pair drifts, and far less than a late program loses.
constexpr double drift_allowed = 0.002;

} // namespace

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

void XrunReport::received(const char* name, long long frames, double started, int rate, long long block)
{
    const double now = monotonic_seconds();
    const double period = static_cast<double>(block) / rate;
    if (origin < 0) {
        origin = now;
        frames_in = 0;
        measured = false;
        return;
    }
    frames_in += frames;
    // A read that waited about a block's time has caught up with the sound;
    // one that took much longer was itself held up (the program stopped in
    // it), and the backlog behind it is still to come.
    const double waited = now - started;
    if (waited >= 0.5 * period && waited <= 1.5 * period) {
        const double deficit = (now - origin) * rate - static_cast<double>(frames_in);
        floor = measured ? std::min(floor + drift_allowed * (now - checked) * rate, deficit) : deficit;
        measured = true;
        checked = now;
        if (deficit - floor > static_cast<double>(block)) {
            ++count;
            unsaid += (deficit - floor) / rate;
            lost_total += (deficit - floor) / rate;
            floor = deficit;
        }
    }
    say_lost(name, now);
}

void XrunReport::say_lost(const char* name, double now)
{
    if (unsaid <= 0 || now - last_line < 1.0)
        return;
    fprintf(stderr, "warning: %s: overrun, data lost (%.0f ms since the last report, %.0f ms since the start)\n",
            name, unsaid * 1000.0, lost_total * 1000.0);
    unsaid = 0;
    said = count;
    last_line = now;
}
