// The transfer function of the right channel (the measurement, y) against
// the left (the reference, x), the H1 estimator with its coherence.
//
// The reference goes through a delay ring of up to max_delay samples, so
// that a path's delay D can be taken out. Frames of length samples (a power
// of two, min_length .. max_length) are taken from the blocks whatever
// their length, Hann window, hop length / 2. Per component k (k * rate /
// length Hz), with the usual spectra X, Y (exp(-i omega n)):
//   Sxx = |X|^2, Syy = |Y|^2, Sxy = conj(X) * Y,
// averaged exponentially with weight 1 / min(frames so far, averaging)
// (the first frames count alike), or summed until reset when averaging
// is 0. Smoothing over 1/smoothing octave (0: none) averages the complex
// Sxy and the real Sxx, Syy over the components within half that band
// either side, never levels in dB. Then H1 = Sxy / Sxx: magnitude in dB,
// phase in degrees (-180 .. +180, positive when the measurement leads),
// and the coherence gamma^2 = |Sxy|^2 / (Sxx * Syy), 0 .. 1, which one
// frame always puts at 1.
//
// Standard library and the program's FFT only. Nothing is allocated per
// block: setup allocates (about 1.3 MB at 16384, 1.6 MB for 32-bit
// samples), the delay finder its own at its first use.
#pragma once

#include "transfer/DelayFinder.h"
#include "common/RealFFT.h"

#include <cstdint>
#include <memory>
#include <string>

class Transfer {
public:
    static constexpr unsigned int max_delay = 65536;     // samples
    static constexpr unsigned int min_length = 2048;     // samples per frame
    static constexpr unsigned int max_length = 65536;

    // Allocates for frames of length samples of bits (16 or 32) each and
    // resets. False after one "error: " line when length is out of range or
    // memory short.
    bool setup(unsigned int length, int bits = 16);
    unsigned int length() const { return length_; }
    unsigned int components() const { return length_ / 2 + 1; }

    // Each of these resets the averages.
    void set_delay(unsigned int samples);       // clamped to max_delay
    void set_averaging(int frames);             // 0: sum until reset
    void reset();
    // No reset: the smoothing applies to what is averaged.
    void set_smoothing(int fraction_of_octave);  // 0: none

    unsigned int delay() const { return delay_; }
    int averaging() const { return averaging_; }
    int smoothing() const { return smoothing_; }
    unsigned long frames() const { return frames_; }   // averaged since the reset

    // A new run of blocks: the ring and the frame begin empty, the
    // averages are reset; frames start once the ring holds D samples.
    void restart();
    // frames stereo pairs of samples (interleaved left, right): 32-bit
    // ones, or with 16 bits set up 16-bit ones widened. True when at least
    // one frame was averaged.
    bool add_block(const int32_t* block, unsigned int frames);

    // Starts the delay finder on the samples from now on. False after an
    // "error: " line.
    bool find_delay() { return finder_.start(); }
    bool finding() const { return finder_.collecting(); }
    void cancel_delay_search() { finder_.cancel(); }
    // After add_block: a search that has ended is taken in. Its state
    // (Found or NotClear) comes back once, Idle or Collecting otherwise;
    // a clear delay that the reference can take sets D (and resets the
    // averages).
    struct DelayResult {
        DelayFinder::State state;
        int found;              // samples the measurement lags (negative: leads), when Found
        unsigned int delay;     // D after it
    };
    DelayResult take_finder_result();
    const DelayFinder& finder() const { return finder_; }

    // The smoothed estimate at component k (1 .. length / 2), widened to
    // the components first .. last when they reach further.
    struct Point {
        double magnitude_db;
        double phase_deg;
        double coherence;
    };
    Point at(unsigned int k, unsigned int first = 0, unsigned int last = 0) const;
    // The components first .. last of 1/smoothing octave around k.
    void band(unsigned int k, unsigned int& first, unsigned int& last) const;
    // The estimate from the averaged spectra summed over the components
    // first .. last (1 <= first <= last <= length / 2).
    Point over(unsigned int first, unsigned int last) const;

private:
    void frame_done();
    // The ring and the frame in the sample type of the resolution.
    template <typename Sample>
    void add_samples(const int32_t* block, unsigned int frames, Sample* ring, Sample* frame);
    template <typename Sample>
    void load_frame(const Sample* f, double scale);

    unsigned int length_ = 0;
    unsigned int delay_ = 0;
    int averaging_ = 16;
    int smoothing_ = 0;
    double band_factor_ = 1.0;          // 2^(1 / (2 * smoothing))
    unsigned long frames_ = 0;
    unsigned long samples_in_ = 0;      // since the restart, saturating above max_delay
    unsigned int ring_at_ = 0;
    unsigned int fill_ = 0;
    bool wide_ = false;                 // 32-bit samples kept, else 16-bit ones
    std::unique_ptr<int16_t[]> ring_;   // max_delay reference samples (16 bits)
    // The last length 16-bit sample pairs (reference, measurement),
    // interleaved, as a ring: the frame in the making, its oldest at frame_at_ once full.
    std::unique_ptr<int16_t[]> frame_;
    std::unique_ptr<int32_t[]> ring32_, frame32_;   // the same at 32 bits
    unsigned int frame_at_ = 0;
    std::unique_ptr<float[]> window_;   // length Hann values
    std::unique_ptr<double[]> pairs_;   // 2 length (+ 1 to align): the windowed frames side by side,
                                        // then their spectra
    RealFFT fft_;
    struct Spectra {
        double xx, yy, re, im;          // Sxx, Syy, Re and Im Sxy
    };
    // The averaged spectra per component, and their running sums over the
    // components 0 .. k - 1 (components + 1 entries), so that any band's
    // sum costs two reads.
    std::unique_ptr<Spectra[]> averaged_, sums_;
    DelayFinder finder_;
};

// The line that says what an ended search found (with its newline), as
// "delay: N samples (X.XXX ms)"; empty while none has ended. rate in Hz,
// for the milliseconds.
std::string describe_delay(const Transfer::DelayResult& result, int rate);
