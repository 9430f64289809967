// Recovered overruns and underruns of a device stream: counted, and said on
// standard error at most once a second, so that a struggling device never
// floods it.
//
// A recording also measures what it lost: the frames received against the
// monotonic clock. A full server queue drops data without telling the
// client, so this is the only sign of an overrun there.
#pragma once

#include "common/Clock.h"

class XrunReport {
public:
    // One recovered overrun or underrun of the stream called name; what is
    // "overrun" or "underrun".
    void note(const char* name, const char* what);
    long long total() const { return count; }

    // A recording stream at rate Hz with blocks of block frames has handed
    // out frames more in a read begun at started (monotonic seconds). A
    // read that had to wait about a block's time has caught up with the
    // sound, so the clock then tells what is missing. Frames missing beyond the slowest drift of
    // two clocks count as lost once they exceed a block; the line gives the
    // milliseconds lost since the last one.
    void received(const char* name, long long frames, double started, int rate, long long block);
    // The next block starts the count afresh: after a failed transfer or a
    // pause the stream did not cause by being late.
    void restart() { origin = -1.0; }
    double lost_seconds() const { return lost_total; }

private:
    long long count = 0;
    long long said = 0;          // count at the last line
    double last_line = -1e300;   // monotonic seconds

    double origin = -1.0;        // monotonic seconds at the first block, or -1
    long long frames_in = 0;     // frames received since then
    double floor = 0;            // least deficit seen, frames, rising with the drift
    double checked = 0;          // monotonic seconds of the last measurement
    bool measured = false;       // floor holds a measurement
    double unsaid = 0;           // seconds lost since the last line
    double lost_total = 0;       // seconds lost since the start

    // Says what is unsaid when the last line is a second old.
    void say_lost(const char* name, double now);
};
