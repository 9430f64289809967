// An Analyser set up for computation without an X display, with the
// settings and sampler values the tests need, and released afterwards.
#pragma once

#include "analyser/Analyser.h"
#include "app/AppResources.h"
#include "sampler/Sampler.h"

struct TestAnalyser {
    Analyser a;

    // n samples per block at rate Hz, window width x height pixels.
    TestAnalyser(unsigned int n, int rate, unsigned int width, unsigned int height,
                 double alpha = 20.0)
    {
        sampler.length = n;
        sampler.rate = rate;
        sampler.blocks_per_second = static_cast<double>(rate) / n;
        sampler.count = 0;
        sampler.dc_left = 0;
        sampler.dc_right = 0;
        a.width = width;
        a.height = height;
        a.set_alpha(alpha);
        a.setup_arrays();
        a.build_maps();
        a.compute_gauss();
        a.initialised = true;
    }

    ~TestAnalyser()
    {
        delete[] a.fft_buf;
        delete[] a.level;
        delete[] a.bar_y;
        delete[] a.old_bar_y;
        delete[] a.gauss;
        delete[] a.sx2fc_table;
        delete[] a.fc2sx_table;
    }

    TestAnalyser(const TestAnalyser&) = delete;
    TestAnalyser& operator=(const TestAnalyser&) = delete;
};

// The settings' defaults for the level range, DC removal off.
inline void default_range()
{
    app_resources.upperdb = 10.0f;
    app_resources.lowerdb = -100.0f;
    app_resources.dcadjust = False;
}
