// Exponential averaging of a component's power over a number of blocks.
// Standard library only.
#pragma once

// The power that takes the place of p after this block: the running mean
// moved 1/blocks of the way towards p. The first block of a start, and
// blocks <= 1 (averaging off), give p itself.
inline double averaged_power(double mean, double p, bool first, int blocks)
{
    if (first || blocks <= 1)
        return p;
    return mean + (p - mean) / static_cast<double>(blocks);
}
