// The logarithmic frequency axis of a display: column sx stands for
// g(sx) = f_lo * (f_hi / f_lo)^(sx / (width - 1)) and covers the frequencies
// from g(sx - 1/2) up to (not including) g(sx + 1/2). Standard library only.
#pragma once

// Frequency in Hz of component fc of num_fft, half_rate being half the
// sample rate: the centre of the component's share of the axis, or when
// exact, fc * rate / n (n = 2 (num_fft - 1)).
inline double component_frequency(unsigned int fc, unsigned int num_fft, double half_rate, bool exact = false)
{
    if (exact)
        return num_fft >= 2 ? static_cast<double>(fc) / static_cast<double>(num_fft - 1) * half_rate : 0.0;
    return (static_cast<double>(fc) + 0.5) / static_cast<double>(num_fft) * half_rate;
}

class LogAxis {
public:
    // The axis from the larger of 20 Hz and component 1 up to half_rate
    // over width columns; exact: components at fc * rate / n.
    LogAxis(unsigned int width, unsigned int num_fft, double half_rate, bool exact = false);

    // Needs two columns, two components and f_lo < f_hi.
    bool usable() const { return usable_; }
    double f_lo() const { return f_lo_; }
    double f_hi() const { return f_hi_; }
    double frequency(double sx) const;          // g(sx), Hz
    double position(double f) const;            // the inverse of g, columns
    int column(double f) const;                 // column whose range holds f, within the window

    // Fills the tables for width columns and num_fft components: first[sx]
    // .. last[sx] are the components of column sx (where none lies in its
    // range, the one nearest to g(sx) on the log scale; component 0 belongs
    // to column 0); sx2fc[sx] is the component nearest to g(sx) (0 for
    // column 0); fc2sx[fc] the column that holds component fc (0 for those
    // below the axis). False, tables untouched, when the axis is not usable.
    bool build_columns(int* first, int* last, int* sx2fc, int* fc2sx) const;

private:
    int nearest_component(double f) const;
    double component(unsigned int fc) const { return component_frequency(fc, num_fft_, half_rate_, exact_); }

    unsigned int width_, num_fft_;
    double half_rate_, f_lo_ = 0.0, f_hi_ = 0.0, span_ = 0.0;   // span: ln(f_hi / f_lo)
    bool usable_ = false;
    bool exact_;
};
