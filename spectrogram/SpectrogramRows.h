// The frequency axis of a spectrogram: which frequency components each
// pixel row shows. Standard library only.
//
// Component k of a block of n frames lies at k * rate / n Hz, k = 0 ..
// num_fft - 1 (num_fft = n/2 + 1, the last at half the rate). Rows count
// from 0 at the bottom to rows - 1 at the top; row r stands for the
// frequency g(r) and covers g(r - 1/2) up to (not including) g(r + 1/2):
//   linear:      g(r) = r / (rows - 1) * rate / 2, from 0 Hz;
//   logarithmic: g(r) = f_lo * (f_hi / f_lo)^(r / (rows - 1)), f_lo the
//                larger of 20 Hz and rate / n (component 1), f_hi rate / 2.
// A row shows the highest level among the components it covers; where it
// covers none, the component nearest to g(r) (on the log scale, the
// nearer in ratio, component 0 never).
#pragma once

#include <cstdint>
#include <vector>

class SpectrogramRows {
public:
    // False, and nothing usable, for fewer than two rows or components or
    // a rate below 2 Hz.
    bool build(unsigned int rows, unsigned int num_fft, int rate, bool log);

    bool usable() const { return !first_.empty(); }
    unsigned int rows() const { return static_cast<unsigned int>(first_.size()); }
    int first(unsigned int row) const { return first_[row]; }   // components of the row
    int last(unsigned int row) const { return last_[row]; }
    double f_lo() const { return f_lo_; }
    double frequency(double row) const;      // g(row), Hz
    double position(double f) const;         // the inverse of g, rows; -inf for 0 Hz on the log scale

    // The colour index of every row of a column of component indices,
    // top row first (as a window draws it): the highest of its components.
    void column_values(const uint8_t* components, uint8_t* top_down) const;

private:
    int nearest_component(double f) const;

    std::vector<int> first_, last_;
    unsigned int num_fft_ = 0;
    double component_hz_ = 0.0;   // rate / n
    double f_lo_ = 0.0, f_hi_ = 0.0, span_ = 0.0;   // span: f_hi - f_lo, or ln(f_hi / f_lo)
    bool log_ = false;
};
