// The numbers of the dBFS mode: the level offset that makes a sine read its
// amplitude at any block length, DC removal by the window-weighted mean,
// the exact linear columns with their maxima, the interpolated peak, the
// calibration added where a level is shown, and the reading back of an
// exported spectrum. Standard library only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// dB to subtract from 10 log10(power) of a unitary transform of n samples
// under a window of mean 1: 10 log10(n / 4). A sine of amplitude A (full
// scale 1) centred on a component then reads 20 log10(A) there.
double dbfs_offset(unsigned int n);

// x[i] = (x[i] - m) * w[i] for the n samples, m = sum(x w) / sum(w): the
// block's offset as the window sees it, so that a constant leaves no trace
// in any component. One pass to sum, one to window; no allocation.
void window_without_weighted_mean(double* x, const double* w, unsigned int n);

// The peak between components: the vertex of the parabola through the dB
// levels of component k and its two neighbours. offset is in components
// (-0.5 .. 0.5) from k, level in dB. Without two finite neighbours, or
// where k is no local maximum of the three, offset 0 and level[k].
struct PeakReading {
    double offset;
    double level;
};
PeakReading interpolated_peak(const double* level, unsigned int count, unsigned int k);

// A linear axis from 0 Hz at column 0 to half the rate at column width - 1
// over num_fft components (k at k / (num_fft - 1) of half the rate):
// fc2sx[fc] = rint((width - 1) fc / (num_fft - 1)), sx2fc the reverse;
// column sx covers the components first[sx] .. last[sx] that fall on it,
// or where none does, the one of sx2fc[sx]. Needs width, num_fft >= 2.
void exact_linear_columns(unsigned int width, unsigned int num_fft, int* first, int* last, int* sx2fc,
                          int* fc2sx);

// top[sx] = the smallest row (the highest bar) among rows[first[sx] ..
// last[sx]], for width columns.
void column_tops(const int16_t* rows, const int* first, const int* last, unsigned int width, int16_t* top);

// Calibration of the dBFS mode: the dB added to every level where a number
// is shown (grid labels, peak label, export, measurement log) and the unit
// those numbers are in. Bars, decay and clamping stay in dBFS.
struct LevelScale {
    double calibration = 0.0;   // dB
    std::string unit = "dBFS";
};

// An exported spectrum read back: the frequencies (Hz, ascending) and one
// or two level columns ("frequency_hz,level_db" or
// "frequency_hz,left_db,right_db", any further columns ignored), each level
// within max_table_level dB of 0. False and an error text when the text is
// no such table.
constexpr double max_table_level = 1000.0;   // dB
struct LevelTable {
    std::vector<double> frequency;
    std::vector<double> level[2];   // level[1] empty for one column
};
bool parse_level_table(const std::string& text, LevelTable& table, std::string& error);

// The level at frequency f, linear in frequency between the table's
// points; NaN beyond the frequencies the table covers.
double level_at(const std::vector<double>& frequency, const std::vector<double>& level, double f);
