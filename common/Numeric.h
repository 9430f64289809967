// Numeric facts shared by the sampler, the analyser and the scope: the
// scale of a sample and small integer helpers. Standard library only.
#pragma once

#include <cstdint>

// The sampler widens each 16-bit sample to 32 bits by this factor (a shift
// left by 16).
constexpr int32_t sample_widening = 65536;

// Full scale of a widened sample, 2^31 - 1: dividing by it maps a
// full-scale sample to +-1.
constexpr double full_scale = 2147483647.0;

// v is a power of two (0 is not).
constexpr bool is_power_of_two(unsigned int v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

// floor(log2(v)) for v > 0, in integers; 0 gives -1.
constexpr int log2_floor(unsigned long long v)
{
    int e = -1;
    for (; v != 0; v >>= 1)
        ++e;
    return e;
}
