// An Analyser set up for computation without an X display, with the
// settings and sampler values the tests need, and the inputs of a block.
#pragma once

#include "analyser/Analyser.h"
#include "app/AppResources.h"
#include "common/BlockInputs.h"
#include "sampler/Sampler.h"

struct TestAnalyser {
    Analyser a;
    // The inputs of the next block: the first after a start, no DC removal,
    // the settings' level range at construction.
    BlockInputs in;

    // n samples per block at rate Hz, window width x height pixels.
    TestAnalyser(unsigned int n, int rate, unsigned int width, unsigned int height,
                 double alpha = 20.0)
    {
        sampler.length = n;
        sampler.rate = rate;
        sampler.blocks_per_second = static_cast<double>(rate) / n;
        in.blocks_per_second = sampler.blocks_per_second;
        in.rate = rate;
        in.upperdb = app_resources.upperdb;
        in.lowerdb = app_resources.lowerdb;
        a.width = width;
        a.height = height;
        a.set_alpha(alpha);
        a.setup_arrays();
        a.build_maps();
        a.compute_gauss();
        a.initialised = true;
    }
};

// The settings' defaults for the level range, DC removal off.
inline void default_range()
{
    app_resources.upperdb = 10.0f;
    app_resources.lowerdb = -100.0f;
    app_resources.dcadjust = False;
}
