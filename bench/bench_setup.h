// What the computation benchmarks share: both global analysers ready to
// compute without a display, as after their first expose in a window
// (frames/2 + 1) x 250 pixels at the default settings (alpha 20, decay
// 48 dB/s, +10 .. -100 dB), and the inputs of every block but the first
// after a start.
#pragma once

#include "analyser/Analyser.h"
#include "app/AppResources.h"
#include "common/BlockInputs.h"
#include "sampler/Sampler.h"

inline BlockInputs set_up_analysers(unsigned frames, int rate)
{
    sampler.length = frames;
    sampler.rate = rate;
    sampler.blocks_per_second = double(rate) / frames;
    app_resources.upperdb = 10.0f;
    app_resources.lowerdb = -100.0f;
    BlockInputs in;
    in.first_block = false;
    in.blocks_per_second = sampler.blocks_per_second;
    in.rate = rate;
    in.upperdb = 10.0f;
    in.lowerdb = -100.0f;
    in.dcadjust = true;
    for (Analyser& a : analysers) {
        a.width = frames / 2 + 1;
        a.height = 250;
        a.set_alpha(20.0);
        a.set_decay(48.0);
        a.setup_arrays();
        a.build_maps();
        a.compute_gauss();
        a.initialised = true;
    }
    return in;
}
