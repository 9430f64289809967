// Coordinate maps of an Analyser: frequency (Hz), component index, screen
// column and level (dB) to screen row. The frequency axis runs linearly from
// 0 Hz at column 0 to half the sample rate at the right edge; the level axis
// from upperdb at row 0 to lowerdb at the bottom row.
#include "analyser/Analyser.h"

#include "analyser/LogAxis.h"
#include "analyser/Readings.h"

#include "app/AppResources.h"
#include "common/Check.h"
#include "sampler/Sampler.h"

#include <climits>
#include <cmath>

// The index checks below (ZEN_CHECK) guard table lookups; they stay in
// optimised builds, where a failed one would otherwise read past a table.

namespace {

// Half the sample rate in Hz; an odd rate is truncated (44101 gives 22050).
double half_rate(int rate)
{
    return static_cast<double>(rate / 2);
}

// rint(x) limited to 0 .. top; NaN gives 0. Limits before converting, so
// no out-of-range conversion to int can happen.
int rint_limited(double x, int top)
{
    if (!(x > 0.0))
        return 0;
    if (x >= static_cast<double>(top))
        return top;
    return static_cast<int>(std::rint(x));
}

} // namespace

// In dBFS mode component k lies at exactly k * rate / n, n / 2 components
// above 0 Hz up to half the rate, odd rates included.
double Analyser::axis_half_rate(int rate) const
{
    return dbfs ? static_cast<double>(rate) / 2.0 : half_rate(rate);
}

int Analyser::f2fc(double f) const
{
    const double hr = axis_half_rate(sampler.rate);
    const int top = num_fft >= 1 ? static_cast<int>(num_fft - 1) : 0;
    // Below a rate of 2 Hz there is no frequency axis: every frequency is
    // component 0.
    if (!(hr > 0.0))
        return 0;
    return rint_limited(static_cast<double>(top) * (f / hr), top);
}

double Analyser::fc2f(unsigned int fc) const
{
    return fc2f(fc, sampler.rate);
}

double Analyser::fc2f(unsigned int fc, int rate) const
{
    ZEN_CHECK(fc < num_fft);
    const double hr = axis_half_rate(rate);
    if (!(hr > 0.0))
        return 0.0;
    return component_frequency(fc, num_fft, hr, dbfs);
}

int Analyser::fc2sx(unsigned int fc) const
{
    ZEN_CHECK(fc < num_fft);
    return fc2sx_table[fc];
}

int Analyser::sx2fc(unsigned int sx) const
{
    ZEN_CHECK(sx < width);
    return sx2fc_table[sx];
}

int16_t Analyser::db2sy(double d) const
{
    return db2sy(d, app_resources.upperdb, app_resources.lowerdb);
}

int16_t Analyser::db2sy(double d, float upperdb, float lowerdb) const
{
    if (height == 0)
        return 0;
    const unsigned int bottom = height - 1;
    const double span = static_cast<double>(lowerdb - upperdb);   // formed in float
    const double y = static_cast<double>(bottom) * (d - static_cast<double>(upperdb)) / span;
    // A row is a signed 16-bit value; taller windows than that do not exist.
    const int top = bottom > static_cast<unsigned int>(INT16_MAX) ? INT16_MAX : static_cast<int>(bottom);
    // A NaN (no level, or an empty range) lies at the bottom with no signal.
    if (std::isnan(y))
        return static_cast<int16_t>(top);
    return static_cast<int16_t>(rint_limited(y, top));
}

void Analyser::build_maps()
{
    sx2fc_table = std::make_unique<int[]>(width);
    fc2sx_table = std::make_unique<int[]>(num_fft);

    const double w = static_cast<double>(width);
    const double nf = static_cast<double>(num_fft);
    const int last_fc = num_fft >= 1 ? static_cast<int>(num_fft - 1) : 0;
    const int last_sx = width >= 1 ? static_cast<int>(width - 1) : 0;
    for (unsigned int sx = 0; sx < width; ++sx)
        sx2fc_table[sx] = rint_limited(nf * (static_cast<double>(sx) / w), last_fc);
    for (unsigned int fc = 0; fc < num_fft; ++fc)
        fc2sx_table[fc] = width == 0 ? 0 : rint_limited(w * (static_cast<double>(fc) / nf), last_sx);

    // The logarithmic axis, and the linear one in dBFS mode, replace both
    // tables and add the columns' components; where the log axis cannot be
    // drawn the linear one stays.
    column_first.reset();
    column_last.reset();
    column_y.reset();
    old_column_y.reset();
    const LogAxis axis(width, num_fft, axis_half_rate(sampler.rate), dbfs);
    const bool log = log_scale && axis.usable();
    const bool exact = dbfs && !log && width >= 2 && num_fft >= 2;
    if (log || exact) {
        column_first = std::make_unique<int[]>(width);
        column_last = std::make_unique<int[]>(width);
        if (log)
            axis.build_columns(column_first.get(), column_last.get(), sx2fc_table.get(), fc2sx_table.get());
        else
            exact_linear_columns(width, num_fft, column_first.get(), column_last.get(), sx2fc_table.get(),
                                 fc2sx_table.get());
    }
    // A linear column of one component at most is its bar; no maxima then.
    if (exact && width >= num_fft) {
        column_first.reset();
        column_last.reset();
    }
    if (column_first) {
        column_y = std::make_unique<int16_t[]>(width);
        old_column_y = std::make_unique<int16_t[]>(width);
        update_columns();
        for (unsigned int sx = 0; sx < width; ++sx)
            old_column_y[sx] = column_y[sx];
    }
    update_reference_points();
}

bool Analyser::logarithmic() const
{
    return log_scale && column_first != nullptr;
}

bool Analyser::columned() const
{
    return column_first != nullptr;
}

// A column's bar stands as high as its highest component's.
void Analyser::update_columns()
{
    for (unsigned int sx = 0; sx < width; ++sx)
        old_column_y[sx] = column_y[sx];
    column_tops(bar_y.get(), column_first.get(), column_last.get(), width, column_y.get());
}

int Analyser::first_marked_component() const
{
    return columned() ? column_first[markers[0]] : sx2fc(markers[0]);
}

int Analyser::last_marked_component() const
{
    return columned() ? column_last[markers[1]] : sx2fc(markers[1]);
}
