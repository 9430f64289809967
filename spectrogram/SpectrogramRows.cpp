#include "spectrogram/SpectrogramRows.h"

#include <cmath>

bool SpectrogramRows::build(unsigned int rows, unsigned int num_fft, int rate, bool log)
{
    first_.clear();
    last_.clear();
    if (rows < 2 || num_fft < 2 || rate < 2)
        return false;
    num_fft_ = num_fft;
    log_ = log;
    f_hi_ = rate / 2.0;
    component_hz_ = f_hi_ / static_cast<double>(num_fft - 1);
    f_lo_ = log ? (component_hz_ > 20.0 ? component_hz_ : 20.0) : 0.0;
    if (!(f_hi_ > f_lo_))
        return false;
    span_ = log ? std::log(f_hi_ / f_lo_) : f_hi_;

    first_.assign(rows, -1);
    last_.assign(rows, -1);
    const double top = static_cast<double>(rows) - 0.5;
    for (unsigned int k = 0; k < num_fft; ++k) {
        const double p = position(static_cast<double>(k) * component_hz_);
        if (!(p >= -0.5) || p >= top)
            continue;   // below or above the axis
        const unsigned int row = static_cast<unsigned int>(std::floor(p + 0.5));
        if (first_[row] < 0)
            first_[row] = static_cast<int>(k);
        last_[row] = static_cast<int>(k);
    }
    for (unsigned int row = 0; row < rows; ++row)
        if (first_[row] < 0)
            first_[row] = last_[row] = nearest_component(frequency(row));
    return true;
}

double SpectrogramRows::frequency(double row) const
{
    const double t = row / static_cast<double>(first_.size() - 1);
    return log_ ? f_lo_ * std::exp(span_ * t) : span_ * t;
}

double SpectrogramRows::position(double f) const
{
    const double scale = static_cast<double>(first_.size() - 1);
    if (!log_)
        return f / span_ * scale;
    if (!(f > 0.0))
        return -INFINITY;
    return std::log(f / f_lo_) / span_ * scale;
}

int SpectrogramRows::nearest_component(double f) const
{
    const int top = static_cast<int>(num_fft_) - 1;
    const double k = f / component_hz_;
    if (!log_) {
        const double r = std::floor(k + 0.5);
        return r <= 0.0 ? 0 : (r >= top ? top : static_cast<int>(r));
    }
    // The two components around f, the nearer in ratio (the lower on a tie).
    const int a = k < 1.0 ? 1 : (k >= top ? top : static_cast<int>(k));
    const int b = a < top ? a + 1 : top;
    const double da = std::fabs(std::log(a * component_hz_ / f));
    const double db = std::fabs(std::log(b * component_hz_ / f));
    return db < da ? b : a;
}

void SpectrogramRows::column_values(const uint8_t* components, uint8_t* top_down) const
{
    const unsigned int rows = static_cast<unsigned int>(first_.size());
    for (unsigned int row = 0; row < rows; ++row) {
        uint8_t v = components[first_[row]];
        for (int k = first_[row] + 1; k <= last_[row]; ++k)
            v = components[k] > v ? components[k] : v;
        top_down[rows - 1 - row] = v;
    }
}
