// Colours of the spectrogram: a level in dB becomes one of 256 colour
// indices, and an index one of 256 colours. Standard library only.
#pragma once

#include <cstdint>

struct Rgb {
    uint8_t r, g, b;
};

// The colour index of a level in dB: lowerdb (and anything below it, -inf
// and NaN) is 0, upperdb and above 255, linear in dB between, rounded to
// the nearest index. Needs upperdb > lowerdb. Made once per block, used
// per component.
class ColourIndex {
public:
    ColourIndex(double lowerdb, double upperdb) : lower_(lowerdb), scale_(255.0 / (upperdb - lowerdb)) {}
    uint8_t operator()(double level) const
    {
        double x = (level - lower_) * scale_;
        x = x > 0.0 ? x : 0.0;          // also -inf and NaN
        x = x < 255.0 ? x : 255.0;
        return static_cast<uint8_t>(x + 0.5);
    }

private:
    double lower_, scale_;   // dB, indices per dB
};

// Index i of the 256-entry viridis map (dark violet 0x440154 at 0, yellow
// 0xFDE725 at 255, lightness rising all the way), or of the grey ramp
// (i, i, i), each channel 0 .. 255.
Rgb spectrogram_colour(unsigned int index, bool grey);
