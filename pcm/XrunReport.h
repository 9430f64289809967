// Recovered overruns and underruns of a device stream: counted, and said on
// standard error at most once a second, so that a struggling device never
// floods it.
#pragma once

#include "common/Clock.h"

class XrunReport {
public:
    // One recovered overrun or underrun of the stream called name; what is
    // "overrun" or "underrun".
    void note(const char* name, const char* what);
    long long total() const { return count; }

private:
    long long count = 0;
    long long said = 0;          // count at the last line
    double last_line = -1e300;   // monotonic seconds
};
