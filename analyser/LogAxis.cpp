#include "analyser/LogAxis.h"

#include <cmath>

LogAxis::LogAxis(unsigned int width, unsigned int num_fft, double half_rate, bool exact)
    : width_(width), num_fft_(num_fft), half_rate_(half_rate), exact_(exact)
{
    if (width < 2 || num_fft < 2 || !(half_rate > 0.0))
        return;
    const double lowest = component(1);
    f_lo_ = lowest > 20.0 ? lowest : 20.0;
    f_hi_ = half_rate;
    usable_ = f_hi_ > f_lo_;
    if (usable_)
        span_ = std::log(f_hi_ / f_lo_);
}

double LogAxis::frequency(double sx) const
{
    return f_lo_ * std::exp(span_ * sx / static_cast<double>(width_ - 1));
}

double LogAxis::position(double f) const
{
    return static_cast<double>(width_ - 1) * std::log(f / f_lo_) / span_;
}

int LogAxis::column(double f) const
{
    const double p = position(f);
    const int last = static_cast<int>(width_) - 1;
    if (!(p >= 0.0))      // below the axis, or no frequency at all
        return 0;
    const double c = std::floor(p + 0.5);
    return c >= static_cast<double>(last) ? last : static_cast<int>(c);
}

// Of the two components around f, the one nearer on the log scale (the
// lower on a tie); component 0 only when there is no other.
int LogAxis::nearest_component(double f) const
{
    const int top = static_cast<int>(num_fft_) - 1;
    const double k = exact_ ? f / half_rate_ * static_cast<double>(num_fft_ - 1)
                            : f / half_rate_ * static_cast<double>(num_fft_) - 0.5;
    int a = k < 1.0 ? 1 : (k >= static_cast<double>(top) ? top : static_cast<int>(k));
    int b = a < top ? a + 1 : top;
    const double da = std::fabs(std::log(component(static_cast<unsigned int>(a)) / f));
    const double db = std::fabs(std::log(component(static_cast<unsigned int>(b)) / f));
    return db < da ? b : a;
}

bool LogAxis::build_columns(int* first, int* last, int* sx2fc, int* fc2sx) const
{
    if (!usable_)
        return false;
    for (unsigned int sx = 0; sx < width_; ++sx)
        first[sx] = last[sx] = -1;
    first[0] = last[0] = 0;
    fc2sx[0] = 0;
    for (unsigned int fc = 1; fc < num_fft_; ++fc) {
        const double f = component(fc);
        const int sx = column(f);
        fc2sx[fc] = sx;
        if (sx == 0 && position(f) < -0.5)
            continue;   // below the lowest column's range
        if (first[sx] < 0)
            first[sx] = static_cast<int>(fc);
        last[sx] = static_cast<int>(fc);
    }
    sx2fc[0] = 0;
    for (unsigned int sx = 0; sx < width_; ++sx) {
        const int near = nearest_component(frequency(static_cast<double>(sx)));
        if (sx > 0)
            sx2fc[sx] = near;
        if (first[sx] < 0)
            first[sx] = last[sx] = near;
    }
    return true;
}
