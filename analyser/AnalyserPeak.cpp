// Peak search: two markers bound a frequency range, the highest level
// between them is held for a quarter of a second and labelled in Hz.
#include "analyser/Analyser.h"

#include "analyser/Readings.h"
#include "app/AppResources.h"
#include "sampler/Sampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static XRectangle column(const Analyser& a, int sx)
{
    return XRectangle{static_cast<short>(sx), 0, 1, static_cast<unsigned short>(a.height)};
}

// A marker moved or peak search switched on: the sampler's rate and the
// settings stand for a block's inputs.
void Analyser::update_peak(bool reset)
{
    BlockInputs in;
    in.blocks_per_second = sampler.blocks_per_second;
    in.rate = sampler.rate;
    in.upperdb = app_resources.upperdb;
    in.lowerdb = app_resources.lowerdb;
    update_peak(reset, in);
}

void Analyser::update_peak(bool reset, const BlockInputs& in)
{
    if (!reset) {
        int old = peak_hold;
        peak_hold = old + 1;
        if (static_cast<double>(old) > in.blocks_per_second * 0.25)
            reset = true;
    }
    if (reset) {
        peak_level = in.lowerdb;
        peak_hold = 0;
    }
    int fa = first_marked_component();
    int fb = last_marked_component();
    int found = -1;
    for (int fc = fa; fc <= fb; ++fc) {
        if (level[fc] > peak_level) {
            peak_freq = fc2f(static_cast<unsigned int>(fc), in.rate);
            peak_level = level[fc];
            found = fc;
        }
    }
    if (found >= 0 && dbfs) {
        // Between components, from this block's levels as computed.
        const PeakReading r = interpolated_peak(raw_level.get(), num_fft, static_cast<unsigned int>(found));
        peak_read_freq = (found + r.offset) * static_cast<double>(in.rate) / block_length();
        peak_read_level = std::isfinite(r.level) ? r.level : peak_level;
    }
}

void Analyser::read_peak(double& f, double& d) const
{
    f = dbfs ? peak_read_freq : peak_freq;
    d = dbfs ? peak_read_level : peak_level;
}

void Analyser::draw_peak_label(bool show)
{
    if (show) {
        // At most 9 characters: longer numbers appear only at absurd rates.
        double f = peak_freq;
        long long hz = (f > -1.0e15 && f < 1.0e15) ? static_cast<long long>(f) : 0;
        if (dbfs)
            write_reading_label();
        else
            std::snprintf(label, 10, "%lld", hz);
        if (show_peak_level && !dbfs) {
            const std::size_t used = std::strlen(label);
            std::snprintf(label + used, sizeof label - used, " Hz %.1f dB", peak_level);
        }
        int length = static_cast<int>(std::strlen(label));
        int sx = fc2sx(static_cast<unsigned int>(f2fc(dbfs ? peak_read_freq : peak_freq)));
        label_x = static_cast<int16_t>(sx - (length * font_width) / 2);
        label_y = static_cast<int16_t>(db2sy(peak_level) - 6);
        if (dbfs)
            keep_label_inside(length);
        XDrawString(display, window, pens(AnalyserPens::Marker), label_x, label_y, label, length);
    } else {
        XDrawString(display, window, pens(AnalyserPens::Background), label_x, label_y, label,
                    static_cast<int>(std::strlen(label)));
    }
}

// "FREQ Hz", with the peak level "FREQ Hz LEVEL UNIT", from the
// interpolated peak with the calibration added.
void Analyser::write_reading_label()
{
    const double f = std::isfinite(peak_read_freq) ? peak_read_freq : 0.0;
    if (show_peak_level)
        std::snprintf(label, sizeof label, "%.1f Hz %.2f %s", f, shown_level(peak_read_level), level_unit());
    else
        std::snprintf(label, sizeof label, "%.1f Hz", f);
}

// The whole text inside the window: the left edge at 0 or more, the right
// within the width, the glyphs' tops within the first row.
void Analyser::keep_label_inside(int length)
{
    const XFontStruct* font = app_resources.gridfont;
    const int ascent = font ? font->max_bounds.ascent : font_height;
    const int descent = font ? font->max_bounds.descent : 0;
    int x = label_x, y = label_y;
    x = std::min(x, static_cast<int>(width) - length * font_width);
    x = std::max(x, 0);
    y = std::max(y, ascent);
    y = std::min(y, static_cast<int>(height) - 1 - descent);
    label_x = static_cast<int16_t>(x);
    label_y = static_cast<int16_t>(y);
}

void Analyser::set_peak_search(bool on)
{
    peak_search = on;
    if (!initialised)
        return;
    if (on) {
        update_peak(true);
        pens.unclip();
        draw_peak_label(true);
        draw(column(*this, markers[0]), true);
        draw(column(*this, markers[1]), true);
    } else {
        pens.unclip();
        draw_peak_label(false);
        draw(column(*this, markers[0]), true);
        draw(column(*this, markers[1]), true);
        pens.unclip();
        draw_grid(true);
    }
}

void Analyser::move_marker(int16_t x)
{
    if (!peak_search || !initialised)
        return;
    int last = static_cast<int>(width) - 1;
    int nx = x < 0 ? 0 : (x > last ? last : x);
    int d0 = std::abs(markers[0] - nx);
    int d1 = std::abs(markers[1] - nx);
    uint16_t& marker = d0 > d1 ? markers[1] : markers[0];
    int old = marker;
    marker = static_cast<uint16_t>(nx);
    draw(column(*this, old), true);
    pens.unclip();
    draw_peak_label(false);
    draw_grid(true);
    update_peak(true);
    draw(column(*this, markers[0]), true);
    draw(column(*this, markers[1]), true);
    pens.unclip();
    draw_peak_label(true);
}
