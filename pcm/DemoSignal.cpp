// The demonstration signal, from the frame index alone.
#include "pcm/DemoSignal.h"

#include <cmath>

namespace {

struct Tone {
    double hz;
    double level;   // peak, fraction of full scale
    double phase;   // radians
};

constexpr double pi = 3.14159265358979323846;
constexpr double full_scale = 32767.0;
constexpr double full_scale32 = 2147483647.0;
constexpr double noise_level = 0.002;

// Constant-initialised, so that the signal is right even for code that runs
// before dynamic initialisation. Levels 10^(dB / 20).
constexpr Tone left_tones[] = {{440.0, 0.5011872336272722, 0.0},     // -6 dB
                               {1320.0, 0.0630957344480193, 0.0},    // -24 dB
                               {5000.0, 0.01, 0.0}};                 // -40 dB
constexpr Tone right_tones[] = {{440.0, 0.3981071705534972, pi / 3.0},  // -8 dB
                                {2200.0, 0.0316227766016838, 0.0}};     // -30 dB

// A well-mixed 64-bit hash (splitmix64's finaliser).
uint64_t mix64(uint64_t z)
{
    z += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Uniform in [-1, 1), a fixed function of channel and frame.
double noise(int channel, uint64_t frame)
{
    const uint64_t h = mix64(mix64(frame) ^ (static_cast<uint64_t>(channel + 1) * 0xD1B54A32D192ED03ULL));
    return static_cast<double>(h >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

template <std::size_t N>
double tones(const Tone (&t)[N], uint64_t frame, int rate)
{
    double v = 0;
    for (const Tone& tone : t) {
        // Phase from the frame index, reduced per period of the rate so that
        // it stays exact over hours.
        const double cycles = std::fmod(tone.hz * static_cast<double>(frame % static_cast<uint64_t>(rate)),
                                        static_cast<double>(rate));
        v += tone.level * std::sin(2.0 * pi * cycles / rate + tone.phase);
    }
    return v;
}

// The signal rounded to full scale and held within [-full - 1, full].
double quantised(int channel, uint64_t frame, int rate, double full)
{
    if (rate <= 0)
        return 0;
    double v = channel == 0 ? tones(left_tones, frame, rate) : tones(right_tones, frame, rate);
    v = std::nearbyint((v + noise_level * noise(channel, frame)) * full);
    if (v > full)
        v = full;
    if (v < -full - 1.0)
        v = -full - 1.0;
    return v;
}

} // namespace

int16_t demo_sample(int channel, uint64_t frame, int rate)
{
    return static_cast<int16_t>(quantised(channel, frame, rate, full_scale));
}

int32_t demo_sample32(int channel, uint64_t frame, int rate)
{
    return static_cast<int32_t>(quantised(channel, frame, rate, full_scale32));
}
