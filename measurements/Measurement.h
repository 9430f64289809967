// The measurements of one block: level, peak, crest factor and DC offset of
// each channel, its fundamental, THD, THD+N, SNR, SINAD and ENOB, and for
// stereo the correlation, balance and phase of the two channels. Standard
// library only.
//
// Levels are dBFS after AES17: a full-scale sine (amplitude 2^31 - 1 in
// widened samples) reads 0.00 dBFS. Powers are mean squares of the signal
// scaled to full scale 1, so a sine of amplitude A has power A^2/2.
//
// The spectrum is the measurement's own: a copy of the block with its mean
// as the window sees it (sum x*w / sum w) removed, the 7-term
// Blackman-Harris window scaled to a mean square of 1, real_fft, and the
// one-sided power of each component (2|X_k|^2/n; X_0^2/n and X_{n/2}^2/n),
// so that the powers of a block add up to its mean square. Each line (DC,
// the fundamental, each harmonic) is the sum of its component and the 8 on
// either side, which hold the whole main lobe of the window (7 components
// each side) wherever the tone falls between components. The fundamental's
// level is its line's power, its frequency the line's power-weighted centre
// (both exact for a lone tone, to about 1e-5 of a component). Components
// taken by an earlier line (fundamental, DC, harmonics in order) are not
// counted again; the band's noise is its free components' power scaled up
// by (all components of the band) / (its free ones).
#pragma once

#include "common/BlockInputs.h"

#include <cstdint>
#include <memory>

// What the analyser's settings say about a measurement.
struct MeasurementSettings {
    bool stereo = true;         // left and right, else their mean (mono)
    int averaging = 1;          // blocks of exponential power averaging, 1 = off
    int harmonics = 9;          // highest harmonic counted in THD (2 and up)
    bool peak_search = false;   // the fundamental is sought between these components
    int first_component = 0;
    int last_component = 0;
};

// The numbers of one channel (or the mono mix).
struct ChannelMeasures {
    double rms_dbfs = 0;        // AES17; -inf for digital silence
    double peak_dbfs = 0;       // largest |sample| against full scale
    double crest_db = 0;        // peak against rms: 3.01 dB for a sine
    double dc_percent = 0;      // the block's window-weighted mean, % of full scale
    bool sounding = false;      // rms at floor_dbfs or above
    bool has_fundamental = false;   // a line at floor_dbfs or above, at min_components or higher
    double unresolved_hz = 0;   // else a line below min_components: its frequency; 0 for none
    double frequency_hz = 0;    // the fundamental, interpolated between components
    double level_dbfs = 0;      // its power, AES17
    double fundamental_power = 0;   // F
    double harmonic_power = 0;      // H: harmonics 2 .. harmonics within the band
    double noise_power = 0;         // N: the rest of the band
    double thd_percent = 0;     // sqrt(H/F)
    double thd_db = 0;
    double thdn_percent = 0;    // sqrt((N+H) / (F+N+H))
    double thdn_db = 0;
    double snr_db = 0;          // 10 log10(F/N)
    double sinad_db = 0;        // -THD+N in dB
    double enob_bits = 0;       // (SINAD - 1.76) / 6.02
};

struct Measures {
    int channels = 2;           // 1 (mono) or 2
    bool measured = false;      // none of the numbers below exist before
    ChannelMeasures channel[2];
    bool has_correlation = false;   // stereo, both channels sounding
    double correlation = 0;     // -1 .. +1
    double balance_db = 0;      // left rms - right rms
    bool has_phase = false;     // stereo with a fundamental
    double phase_deg = 0;       // right against left at the fundamental, + when right leads, -180 .. 180
};

class Measurement {
public:
    // Band of THD+N and SNR, Hz; its top is at most half the rate.
    static constexpr double band_low = 20.0;
    static constexpr double band_high = 20000.0;
    static constexpr int line_halfwidth = 8;        // components each side of a line
    // Quieter counts as nothing: 24 dB below the last bit of 16-bit
    // samples (-120 dBFS), or of 32-bit ones (-216 dBFS).
    static double floor_dbfs(int bits) { return bits > 16 ? -216.0 : -120.0; }
    static constexpr int min_components = 16;       // the lowest fundamental measured

    // The 7-term Blackman-Harris window for blocks of n frames (a power of
    // two, at least 64); allocates only for a length above all before, so a
    // shorter one after the longest costs no allocation.
    void setup(unsigned int n);
    unsigned int length() const { return n_; }

    // The spectrum of the block (n interleaved frames of widened samples)
    // into the running means of the powers; restart makes the block's powers
    // the means. in gives the rate.
    void add_block(const int32_t* block, const BlockInputs& in, const MeasurementSettings& s,
                   bool restart);
    // The numbers of the block last added (the same block), from the means.
    void evaluate(const int32_t* block, const BlockInputs& in, const MeasurementSettings& s,
                  Measures& out);

    // The averaged power of component k of channel c (0 left or mono, 1 right).
    double power(int c, unsigned int k) const { return power_[c][k]; }

private:
    void load_channel(const int32_t* block, int c, const BlockInputs& in, bool mono);
    void time_measures(const int32_t* block, int c, const BlockInputs& in, bool mono,
                       ChannelMeasures& m) const;
    // Component of the fundamental's peak, or -1.
    int find_fundamental(int c, const MeasurementSettings& s) const;
    // floor: floor_dbfs of the samples' width.
    void spectrum_measures(int c, int peak, const MeasurementSettings& s, int rate, double floor,
                           ChannelMeasures& m);
    double line_power(int c, long k) const;   // of [k - 8, k + 8]
    double line_centre(int c, long k) const;  // its power-weighted centre, components
    // Sets aside the free components of [k - 8, k + 8]; their power.
    double take_line(int c, long k);
    double cross_phase(int peak) const;

    unsigned int n_ = 0;
    unsigned int capacity_ = 0;             // the longest length set up
    std::unique_ptr<double[]> window_;      // n values, mean square 1
    std::unique_ptr<double[]> spectrum_[2]; // n: the windowed copy, then its packed spectrum
    std::unique_ptr<double[]> power_[2];    // n/2 + 1 averaged powers
    std::unique_ptr<uint8_t[]> taken_;      // n/2 + 1: set aside for a line
};
