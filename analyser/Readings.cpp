#include "analyser/Readings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>


double dbfs_offset(unsigned int n)
{
    return 10.0 * std::log10(static_cast<double>(n) / 4.0);
}

void window_without_weighted_mean(double* x, const double* w, unsigned int n)
{
    double xw = 0.0, ws = 0.0;
    for (unsigned int i = 0; i < n; ++i) {
        xw += x[i] * w[i];
        ws += w[i];
    }
    const double m = ws != 0.0 ? xw / ws : 0.0;
    for (unsigned int i = 0; i < n; ++i)
        x[i] = (x[i] - m) * w[i];
}

PeakReading interpolated_peak(const double* level, unsigned int count, unsigned int k)
{
    PeakReading r{0.0, k < count ? level[k] : 0.0};
    if (k == 0 || k + 1 >= count)
        return r;
    const double a = level[k - 1], b = level[k], c = level[k + 1];
    const double curve = a - 2.0 * b + c;
    if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c) || !(curve < 0.0) || a > b || c > b)
        return r;
    double p = 0.5 * (a - c) / curve;
    p = std::max(-0.5, std::min(0.5, p));
    r.offset = p;
    r.level = b - 0.25 * (a - c) * p;
    return r;
}

static int rint_within(double x, int top)
{
    if (!(x > 0.0))
        return 0;
    if (x >= top)
        return top;
    return static_cast<int>(std::rint(x));
}

void exact_linear_columns(unsigned int width, unsigned int num_fft, int* first, int* last, int* sx2fc,
                          int* fc2sx)
{
    const int last_sx = static_cast<int>(width) - 1, last_fc = static_cast<int>(num_fft) - 1;
    for (int sx = 0; sx <= last_sx; ++sx) {
        sx2fc[sx] = rint_within(static_cast<double>(last_fc) * sx / last_sx, last_fc);
        first[sx] = last[sx] = -1;
    }
    for (int fc = 0; fc <= last_fc; ++fc) {
        const int sx = rint_within(static_cast<double>(last_sx) * fc / last_fc, last_sx);
        fc2sx[fc] = sx;
        if (first[sx] < 0)
            first[sx] = fc;
        last[sx] = fc;
    }
    for (int sx = 0; sx <= last_sx; ++sx)
        if (first[sx] < 0)
            first[sx] = last[sx] = sx2fc[sx];
}

void column_tops(const int16_t* rows, const int* first, const int* last, unsigned int width, int16_t* top)
{
    for (unsigned int sx = 0; sx < width; ++sx) {
        int16_t t = rows[first[sx]];
        for (int fc = first[sx] + 1; fc <= last[sx]; ++fc)
            t = rows[fc] < t ? rows[fc] : t;
        top[sx] = t;
    }
}

bool parse_level_table(const std::string& text, LevelTable& table, std::string& error)
{
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    int columns;
    if (line.rfind("frequency_hz,level_db", 0) == 0)
        columns = 1;
    else if (line.rfind("frequency_hz,left_db,right_db", 0) == 0)
        columns = 2;
    else {
        error = "no exported spectrum (its first line is not frequency_hz,level_db or frequency_hz,left_db,right_db)";
        return false;
    }
    table = LevelTable();
    for (int number = 2; std::getline(in, line); ++number) {
        if (line.empty() || line == "\r")
            continue;
        const char* p = line.c_str();
        double v[3];
        for (int i = 0; i <= columns; ++i) {
            char* end = nullptr;
            v[i] = std::strtod(p, &end);
            const bool separated = *end == ',' || *end == '\0' || *end == '\r' || *end == '\n';
            if (end == p || !std::isfinite(v[i]) || !separated || (i < columns && *end != ',')) {
                error = "line " + std::to_string(number) + " holds no numbers";
                return false;
            }
            p = *end == ',' ? end + 1 : end;
        }
        for (int i = 1; i <= columns; ++i)
            if (std::fabs(v[i]) > max_table_level) {
                char text[96];
                std::snprintf(text, sizeof text, "line %d: the level %g dB lies outside %+g .. %+g dB", number,
                              v[i], -max_table_level, max_table_level);
                error = text;
                return false;
            }
        if (!table.frequency.empty() && !(v[0] > table.frequency.back())) {
            error = "line " + std::to_string(number) + ": frequencies do not ascend";
            return false;
        }
        table.frequency.push_back(v[0]);
        for (int i = 0; i < columns; ++i)
            table.level[i].push_back(v[i + 1]);
    }
    if (table.frequency.empty()) {
        error = "no levels in it";
        return false;
    }
    return true;
}

double level_at(const std::vector<double>& frequency, const std::vector<double>& level, double f)
{
    // The table's frequencies are rounded to 0.1 mHz, as an export writes them.
    constexpr double rounding = 1e-4;
    if (!(f >= frequency.front() - rounding && f <= frequency.back() + rounding))
        return std::nan("");
    const auto above = std::lower_bound(frequency.begin(), frequency.end(), f);
    if (above == frequency.begin())
        return level.front();
    if (above == frequency.end())
        return level.back();
    const size_t j = static_cast<size_t>(above - frequency.begin());
    const double f0 = frequency[j - 1], f1 = frequency[j];
    return level[j - 1] + (level[j] - level[j - 1]) * (f - f0) / (f1 - f0);
}
