// Finds how many samples the measurement (right) lags the reference (left):
// the cross-correlation with PHAT weighting (the inverse FFT of Sxy / |Sxy|),
// which peaks at the delay of any path whose phase is smooth, a filtered
// one included, where the plain correlation peaks late.
//
// Frames of frame_length (65536) samples of both channels, Hann window,
// hop frame_length / 2; Sxy = conj(X) * Y summed over frame_count (8)
// frames, so a search takes 4.5 frame lengths (6.7 s at 44100 Hz). The
// peak of |r(tau)| is searched over -max_lag .. +max_lag samples and taken
// only when it stands at least clear_ratio times above the rms of r over
// the rest of that range. Standard library and the program's FFT only;
// the arrays (1.25 MB) are allocated at the first start and kept.
#pragma once

#include <cstdint>
#include <memory>

class DelayFinder {
public:
    static constexpr unsigned int frame_length = 65536;   // samples, one FFT
    static constexpr int frame_count = 8;
    static constexpr int max_lag = 16384;                 // samples either way
    static constexpr double clear_ratio = 8.0;            // peak / rms of the rest
    static constexpr int guard = 32;                      // lags next to the peak left out of the rest

    enum State { Idle, Collecting, Found, NotClear };

    // Begins a search from the next sample on. False after one "error: "
    // line when the arrays cannot be had.
    bool start();
    // Gives up a search under way.
    void cancel() { state_ = Idle; }
    // One stereo pair of samples (16 or 32 bits: the scale does not
    // matter). After the last frame of a search the state becomes Found
    // (delay() set) or NotClear.
    void add(int32_t reference, int32_t measurement)
    {
        x_[fill_] = reference;
        y_[fill_] = measurement;
        if (++fill_ == frame_length)
            frame_done();
    }
    State state() const { return state_; }
    bool collecting() const { return state_ == Collecting; }
    // Samples the measurement lags the reference (negative: it leads).
    int delay() const { return delay_; }
    // The peak's height over the rms of the rest, of the last search.
    double clearness() const { return clearness_; }

private:
    void frame_done();
    void evaluate();

    std::unique_ptr<int32_t[]> x_, y_;        // frame_length samples of the current frame
    std::unique_ptr<double[]> buf_;           // frame_length: a windowed frame, its spectrum, r(tau)
    std::unique_ptr<float[]> xs_;             // frame_length: the reference's spectrum
    std::unique_ptr<float[]> sxy_;            // frame_length: summed Sxy, packed as real_fft packs
    unsigned int fill_ = 0;
    int frames_ = 0;
    State state_ = Idle;
    int delay_ = 0;
    double clearness_ = 0.0;
};
