// The signal generator's samples: a sine, white or pink noise, or a
// repeating synchronized log sweep, at a level in dBFS, on the chosen
// channels, faded over 10 ms (raised cosine) whenever it is switched on or
// off or its signal, channels or level change, quantised to the output's
// width (16 bits with optional TPDF dither of +-1 LSB, or 32 bits).
//
// Levels: a sine's and a sweep's peak (0 dBFS is a full-scale sine); the
// noises' RMS on the AES17 scale (a full-scale sine's RMS is 0 dBFS), their
// peaks clipped at full scale and counted.
//
// Standard library and common/ only; setup allocates, process does not.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

enum class GeneratorSignal { Off, Sine, White, Pink, Sweep };
enum class GeneratorChannels { Both, Left, Right, Inverted };   // inverted: right = -left

struct GeneratorSettings {
    GeneratorSignal signal = GeneratorSignal::Sine;
    double frequency = 1000.0;      // Hz, the sine's; held to 1 .. 0.49 x rate
    double level_db = -20.0;        // dBFS, -120 .. 0 (held there)
    GeneratorChannels channels = GeneratorChannels::Both;
    double sweep_start = 20.0;      // Hz, > 0
    double sweep_end = 20000.0;     // Hz, held to 0.49 x rate, above the start
    double sweep_length = 5.0;      // s, the nominal length of one sweep
    bool dither = true;             // at 16 bits
};

// Pink noise from white: a flat term plus one-pole low-passes spread over
// the band, weighted for an amplitude response of f^-1/2 (-3.01 dB per
// octave in power) at the rate it is made for, normalised to unit variance.
class PinkFilter {
public:
    // For rate in Hz (1000 .. 768000). Allocates.
    void design(double rate);
    double process(double white);
    void reset();
    // The amplitude response at f Hz (for the design's own checks).
    double magnitude(double f) const;

private:
    std::vector<double> pole_;      // a of y = a y + (1 - a) x
    std::vector<double> weight_;    // of each low-pass's output, incl. its (1 - a)
    std::vector<double> state_;
    double direct_ = 0.0;
    double rate_ = 0.0;
};

// The synchronized sweep's parameters: x(t) = sin(2 pi f1 L (e^(t/L) - 1))
// with L = round(T f1 / ln(f2/f1)) / f1, for 0 <= t < L ln(f2/f1).
struct SweepShape {
    double f1, f2, L;
    double duration() const;                // s, L ln(f2/f1)
    double phase_cycles(double t) const;    // f1 L (e^(t/L) - 1)
    static SweepShape make(double f1, double f2, double nominal_seconds);
};

class Generator {
public:
    static constexpr double ramp_seconds = 0.01;

    // For rate Hz and bits 16 or 32; the noises start from seed. False
    // after one "error: " line for another width or a rate out of 1000 ..
    // 768000 Hz. Allocates; the generator starts switched off.
    bool setup(double rate, int bits, uint64_t seed = 1);

    // The signal to play (the values are held to their ranges); a change of
    // signal, channels or sweep fades the old one out and the new one in, a
    // change of level fades from the old level to the new, a sine's new
    // frequency continues its phase.
    void set(const GeneratorSettings& s);
    void switch_on(bool on);
    bool on() const { return on_; }
    const GeneratorSettings& settings() const { return wanted_; }

    // Fills frames interleaved (left, right) 32-bit samples: at 16 bits
    // 16-bit samples << 16, as the sampler's blocks.
    void process(int32_t* samples, unsigned int frames);

    // Samples (of either channel) clipped at full scale since setup.
    unsigned long long clipped() const { return clipped_; }
    // Nothing sounds: switched off (or signal off) and faded out.
    bool silent() const;
    double rate() const { return rate_; }
    int bits() const { return bits_; }

private:
    double next_unit_sample();          // the playing signal at unit level
    double target_gain() const;
    void start_ramp(double to);
    double step_gain();
    void adopt_wanted_shape();
    int32_t quantise(double x);

    double rate_ = 48000.0;
    int bits_ = 16;
    bool on_ = false;
    GeneratorSettings wanted_, playing_;
    bool pending_shape_ = false;
    // The gain's raised-cosine ramp from from_ to to_ over ramp_length_ samples.
    double from_ = 0.0, to_ = 0.0;
    unsigned int ramp_at_ = 0, ramp_length_ = 1;
    double gain_ = 0.0;
    // Signal state.
    double phase_ = 0.0;                // cycles, 0 .. 1
    uint64_t sweep_at_ = 0;             // samples into the sweep
    uint64_t sweep_samples_ = 1;
    SweepShape sweep_{20.0, 20000.0, 1.0};
    PinkFilter pink_;
    std::mt19937_64 random_;
    std::normal_distribution<double> gauss_;
    std::uniform_real_distribution<double> uniform_{-0.5, 0.5};
    unsigned long long clipped_ = 0;
};
