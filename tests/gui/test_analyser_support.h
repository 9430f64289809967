// Shared pieces of the analyser's end-to-end tests: known signals and the
// files that carry them, an independent reference for the levels (a naive
// windowed DFT in long double), a model of the picture a drawing area must
// show (painted from the display rules, not from the program's code), the
// control and analyser windows of a running program, the simulated
// device's log, and a recorder of the program's X requests (RECORD).
//
// Nothing here calls the program's own functions: the levels, the rows,
// the columns, the grid and the labels are worked out again below.
#pragma once

#include "gui/harness/GuiHarness.h"

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/record.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace analyser_test {

using namespace harness;
using LD = long double;

// ---------------------------------------------------------------------------
// Signals

constexpr int block_frames = 2048;  // the default block length
constexpr int sample_rate = 44100;  // the default rate
constexpr int num_fft = block_frames / 2 + 1;
constexpr double blocks_per_second = double(sample_rate) / block_frames;

// A sine at exactly component `bin`, amplitude a fraction of 32767.
struct Tone {
    int bin;
    double amplitude;
};

// One block of 16-bit samples holding whole periods of every tone, so the
// same block repeats without a seam.
inline std::vector<int16_t> tone_block(const std::vector<Tone>& tones)
{
    std::vector<int16_t> out(block_frames);
    const LD pi = std::acos(LD(-1));
    for (int i = 0; i < block_frames; ++i) {
        LD v = 0;
        for (const Tone& t : tones)
            v += LD(t.amplitude) * 32767 * std::sin(2 * pi * LD(t.bin) * i / block_frames);
        LD r = std::nearbyint(v);
        r = std::max<LD>(-32768, std::min<LD>(32767, r));
        out[size_t(i)] = int16_t(r);
    }
    return out;
}

inline std::vector<int16_t> silent_block()
{
    return std::vector<int16_t>(block_frames, 0);
}

struct StereoBlock {
    std::vector<int16_t> left, right;
};

inline void put_le(std::string& s, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s.push_back(char((v >> (8 * i)) & 0xFF));
}

// A canonical 44-byte-header WAV file, 16-bit stereo at 44100 Hz.
inline std::string wav_bytes(const std::vector<StereoBlock>& blocks)
{
    std::string data;
    for (const StereoBlock& b : blocks)
        for (int i = 0; i < block_frames; ++i) {
            put_le(data, uint16_t(b.left[size_t(i)]), 2);
            put_le(data, uint16_t(b.right[size_t(i)]), 2);
        }
    std::string out = "RIFF";
    put_le(out, uint32_t(36 + data.size()), 4);
    out += "WAVEfmt ";
    put_le(out, 16, 4);
    put_le(out, 1, 2);                    // PCM
    put_le(out, 2, 2);                    // channels
    put_le(out, sample_rate, 4);
    put_le(out, sample_rate * 4, 4);      // bytes per second
    put_le(out, 4, 2);                    // bytes per frame
    put_le(out, 16, 2);                   // bits per sample
    out += "data";
    put_le(out, uint32_t(data.size()), 4);
    return out + data;
}

// Writes through a temporary name and renames, so a program never sees a
// half-written file.
inline bool write_file(const std::string& path, const std::string& bytes)
{
    std::string tmp = path + ".new";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f)
            return false;
        f.write(bytes.data(), std::streamsize(bytes.size()));
        if (!f)
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Raw 16-bit host-order samples, as the simulated device's file: signal reads.
inline std::string raw_bytes(const std::vector<int16_t>& samples)
{
    return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
}

// ---------------------------------------------------------------------------
// Reference levels

enum class Mix { Mono, Left, Right };

// Level in dB of every component of one block, before decay and clamping,
// straight from the definition: Gaussian window of mean 1, samples scaled
// to full scale 2^31 - 1 (twice that for the sum of both channels), the
// block's integer mean removed from component 0, unitary DFT, power,
// 10 log10 less 27.1.
class Reference {
public:
    explicit Reference(int n = block_frames, LD alpha = 20) : n_(n), gauss_(size_t(n)), cos_(size_t(n)), sin_(size_t(n))
    {
        const int h = n / 2;
        LD sum = 0;
        for (int i = 0; i < h; ++i) {
            LD t = LD(i - h) / n;
            gauss_[size_t(i)] = std::exp(-alpha * t * t);
            sum += gauss_[size_t(i)];
        }
        for (int i = 0; i < h; ++i) {
            gauss_[size_t(i)] *= LD(n) / (2 * sum);
            gauss_[size_t(n - 1 - i)] = gauss_[size_t(i)];
        }
        const LD pi = std::acos(LD(-1));
        for (int i = 0; i < n; ++i) {
            cos_[size_t(i)] = std::cos(2 * pi * i / n);
            sin_[size_t(i)] = std::sin(2 * pi * i / n);
        }
    }

    std::vector<LD> raw_db(const StereoBlock& b, Mix mix, bool dcadjust = true) const
    {
        const LD full = 2147483647.0L;
        std::vector<LD> x(static_cast<size_t>(n_));
        // Samples as the program sees them: 16-bit values shifted up by 16.
        auto wide = [](int16_t v) { return int64_t(v) * 65536; };
        int64_t sum_l = 0, sum_r = 0;
        for (int i = 0; i < n_; ++i) {
            sum_l += wide(b.left[size_t(i)]);
            sum_r += wide(b.right[size_t(i)]);
        }
        const int64_t mean_l = sum_l / n_, mean_r = sum_r / n_;  // truncating
        LD scale = 1 / full, offset = 0;
        for (int i = 0; i < n_; ++i) {
            int64_t s;
            switch (mix) {
            case Mix::Mono:
                s = wide(b.left[size_t(i)]) + wide(b.right[size_t(i)]);
                break;
            case Mix::Left:
                s = wide(b.left[size_t(i)]);
                break;
            default:
                s = wide(b.right[size_t(i)]);
                break;
            }
            x[size_t(i)] = LD(s);
        }
        if (mix == Mix::Mono)
            scale = 1 / (2 * full);
        if (dcadjust)
            offset = LD(mix == Mix::Mono ? mean_l + mean_r : mix == Mix::Left ? mean_l : mean_r) * scale;
        for (int i = 0; i < n_; ++i)
            x[size_t(i)] = x[size_t(i)] * gauss_[size_t(i)] * scale - offset;

        std::vector<LD> out(size_t(n_ / 2 + 1));
        for (int k = 0; k <= n_ / 2; ++k) {
            LD re = 0, im = 0;
            for (int j = 0; j < n_; ++j) {
                size_t t = size_t((int64_t(j) * k) % n_);
                re += x[size_t(j)] * cos_[t];
                im += x[size_t(j)] * sin_[t];
            }
            LD p = (re * re + im * im) / n_;
            out[size_t(k)] = p > 0 ? 10 * std::log10(p) - 27.1L : -std::numeric_limits<LD>::infinity();
        }
        return out;
    }

private:
    int n_;
    std::vector<LD> gauss_, cos_, sin_;
};

// The displayed levels of a run: the first block stands as it is, every
// later one may fall at most `fall` dB below the previous level; all
// clamped to the range.
struct Track {
    LD lower = -100, upper = 10;
    std::vector<LD> level;

    void block(const std::vector<LD>& raw, bool first, LD fall)
    {
        if (level.empty())
            level.assign(raw.size(), lower);
        for (size_t k = 0; k < raw.size(); ++k) {
            LD d = raw[k];
            if (!first)
                d = std::max(level[k] - fall, d);
            level[k] = std::max(lower, std::min(upper, d));
        }
    }
    static Track silent(size_t n = num_fft)
    {
        Track t;
        t.level.assign(n, t.lower);
        return t;
    }
};

// ---------------------------------------------------------------------------
// Axes of a drawing area: frequency to column, level to row.

struct Axis {
    int width = num_fft, height = 250;
    double upper = 10, lower = -100;
    int nf = num_fft;
    int half_rate = sample_rate / 2;

    static int limit(LD v, int top)
    {
        LD r = std::nearbyint(v);
        return int(std::max<LD>(0, std::min<LD>(top, r)));
    }
    int f2fc(LD f) const { return limit((nf - 1) * (f / half_rate), nf - 1); }
    int fc2sx(int fc) const { return limit(LD(width) * (LD(fc) / nf), width - 1); }
    int sx2fc(int sx) const { return limit(LD(nf) * (LD(sx) / width), nf - 1); }
    LD fc2f(int fc) const { return (LD(fc) + 0.5L) / nf * half_rate; }
    // Row as a real number, before rounding.
    LD row_real(LD d) const
    {
        LD span = LD(float(float(lower) - float(upper)));
        return LD(height - 1) * (d - LD(float(upper))) / span;
    }
    int row(LD d) const { return limit(row_real(d), height - 1); }
};

// ---------------------------------------------------------------------------
// Pictures

// What a pixel may be, as bits, so that a model pixel can allow several.
enum Ink : uint8_t {
    Bg = 1,
    Bar = 2,
    Major = 4,
    Minor = 8,
    Marker = 16,
    Foreign = 32,  // the tests' own paint
};

struct Palette {
    uint32_t bg, bar, major, minor, marker, foreign;
    explicit Palette(Display* dpy)
        : bg(colour(dpy, "gray20")), bar(colour(dpy, "firebrick1")), major(colour(dpy, "gray60")),
          minor(colour(dpy, "gray40")), marker(colour(dpy, "yellow")), foreign(colour(dpy, "magenta"))
    {
    }
    uint8_t ink(uint32_t rgb) const
    {
        if (rgb == bg) return Bg;
        if (rgb == bar) return Bar;
        if (rgb == major) return Major;
        if (rgb == minor) return Minor;
        if (rgb == marker) return Marker;
        if (rgb == foreign) return Foreign;
        return 0;
    }
    uint32_t rgb(uint8_t ink) const
    {
        if (ink & Bar) return bar;
        if (ink & Marker) return marker;
        if (ink & Major) return major;
        if (ink & Minor) return minor;
        if (ink & Foreign) return foreign;
        if (ink & Bg) return bg;
        return 0x00FFFF;
    }
};

// Glyph pixels of texts in the grid font, as the server draws them:
// offsets from the text's origin (left end of the baseline).
class Glyphs {
public:
    explicit Glyphs(Display* dpy) : dpy_(dpy)
    {
        font_ = XLoadQueryFont(dpy, "fixed");
        if (font_) {
            width_ = font_->max_bounds.rbearing - font_->min_bounds.lbearing;
            height_ = font_->max_bounds.ascent + font_->max_bounds.descent;
        }
    }
    ~Glyphs()
    {
        if (font_)
            XFreeFont(dpy_, font_);
    }
    Glyphs(const Glyphs&) = delete;
    Glyphs& operator=(const Glyphs&) = delete;

    bool ok() const { return font_ != nullptr; }
    int cell_width() const { return width_; }
    int cell_height() const { return height_; }

    const std::vector<std::pair<int, int>>& pixels(const std::string& text)
    {
        auto it = cache_.find(text);
        if (it != cache_.end())
            return it->second;
        std::vector<std::pair<int, int>>& out = cache_[text];
        if (!font_ || text.empty())
            return out;
        const int pad = 20;
        const int w = int(text.size()) * width_ + 2 * pad, h = height_ + 2 * pad;
        const int ox = pad, oy = pad + font_->max_bounds.ascent;
        Window root = DefaultRootWindow(dpy_);
        Pixmap pm = XCreatePixmap(dpy_, root, unsigned(w), unsigned(h), unsigned(DefaultDepth(dpy_, DefaultScreen(dpy_))));
        XGCValues v{};
        v.font = font_->fid;
        v.foreground = 0;
        GC gc = XCreateGC(dpy_, pm, GCFont | GCForeground, &v);
        XFillRectangle(dpy_, pm, gc, 0, 0, unsigned(w), unsigned(h));
        XSetForeground(dpy_, gc, WhitePixel(dpy_, DefaultScreen(dpy_)));
        XDrawString(dpy_, pm, gc, ox, oy, text.data(), int(text.size()));
        XImage* img = XGetImage(dpy_, pm, 0, 0, unsigned(w), unsigned(h), AllPlanes, ZPixmap);
        if (img) {
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    if (XGetPixel(img, x, y) != 0)
                        out.emplace_back(x - ox, y - oy);
            XDestroyImage(img);
        }
        XFreeGC(dpy_, gc);
        XFreePixmap(dpy_, pm);
        return out;
    }

private:
    Display* dpy_;
    XFontStruct* font_ = nullptr;
    int width_ = 0, height_ = 0;
    std::map<std::string, std::vector<std::pair<int, int>>> cache_;
};

// A model picture: for every pixel the inks it may show.
class Picture {
public:
    Picture(int w, int h, uint8_t ink = Bg) : w_(w), h_(h), ok_(size_t(w) * size_t(h), ink) {}
    int width() const { return w_; }
    int height() const { return h_; }
    bool inside(int x, int y) const { return x >= 0 && y >= 0 && x < w_ && y < h_; }
    uint8_t at(int x, int y) const { return ok_[size_t(y) * size_t(w_) + size_t(x)]; }
    void paint(int x, int y, uint8_t ink)
    {
        if (inside(x, y))
            ok_[size_t(y) * size_t(w_) + size_t(x)] = ink;
    }
    void allow(int x, int y, uint8_t ink)
    {
        if (inside(x, y))
            ok_[size_t(y) * size_t(w_) + size_t(x)] |= ink;
    }
    void vline(int x, int y0, int y1, uint8_t ink)
    {
        for (int y = std::min(y0, y1); y <= std::max(y0, y1); ++y)
            paint(x, y, ink);
    }
    void hline(int y, int x0, int x1, uint8_t ink)
    {
        for (int x = std::min(x0, x1); x <= std::max(x0, x1); ++x)
            paint(x, y, ink);
    }
    void fill(Rect r, uint8_t ink)
    {
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x)
                paint(x, y, ink);
    }
    // Text drawn exactly, or text that may or may not be there (drawn over
    // what the pixel shows otherwise), or text erased in the background.
    enum class Text { Exact, Maybe, Erased };
    void text(Glyphs& g, int x, int y, const std::string& s, uint8_t ink, Text how)
    {
        for (auto [dx, dy] : g.pixels(s)) {
            if (how == Text::Exact)
                paint(x + dx, y + dy, ink);
            else
                allow(x + dx, y + dy, ink);
        }
    }
    // The same picture placed inside a bigger or smaller one, the rest as it is.
    void overlay(const Picture& p, Rect r)
    {
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x)
                if (inside(x, y) && p.inside(x, y))
                    ok_[size_t(y) * size_t(w_) + size_t(x)] = p.at(x, y);
    }

    Image render(const Palette& pal) const
    {
        Image img(w_, h_);
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x)
                img.set(x, y, pal.rgb(at(x, y)));
        return img;
    }

    // Empty when the image agrees; otherwise how many pixels differ and the
    // first few of them.
    std::string differences(const Image& img, const Palette& pal, Rect r) const
    {
        if (img.width() != w_ || img.height() != h_) {
            std::ostringstream s;
            s << "image is " << img.width() << "x" << img.height() << ", expected " << w_ << "x" << h_;
            return s.str();
        }
        size_t bad = 0;
        std::ostringstream s;
        for (int y = std::max(r.y, 0); y < std::min(r.y + r.height, h_); ++y)
            for (int x = std::max(r.x, 0); x < std::min(r.x + r.width, w_); ++x) {
                uint8_t ink = pal.ink(img.at(x, y));
                if (ink & at(x, y))
                    continue;
                if (++bad <= 12) {
                    char buf[96];
                    std::snprintf(buf, sizeof buf, " (%d,%d) is %06X, allowed inks 0x%02X;", x, y,
                                  unsigned(img.at(x, y)), unsigned(at(x, y)));
                    s << buf;
                }
            }
        if (bad == 0)
            return "";
        return std::to_string(bad) + " pixels differ:" + s.str();
    }
    std::string differences(const Image& img, const Palette& pal) const
    {
        return differences(img, pal, Rect{0, 0, w_, h_});
    }

private:
    int w_, h_;
    std::vector<uint8_t> ok_;
};

// Everything a drawing area shows at one moment, in the terms of the
// display rules.
struct Scene {
    Axis axis;
    std::vector<LD> level = std::vector<LD>(num_fft, -100);  // per component, clamped
    // Grid labels exactly as a full draw leaves them, or possibly overdrawn
    // by bars since the last labelled block.
    Picture::Text labels = Picture::Text::Exact;
    bool markers = false;
    int marker[2] = {0, 0};
    bool peak_label = false;
    std::string label;
    int label_x = 0, label_y = 0;
    // Peak labels erased since the last full draw: their glyph pixels may
    // have lost what lay under them.
    struct Old {
        std::string text;
        int x, y;
    };
    std::vector<Old> erased;
};

// The scene of a track's levels with the given labels.
inline Scene scene_of(const Track& t, Picture::Text labels)
{
    Scene s;
    s.level = t.level;
    s.labels = labels;
    return s;
}

// The picture of a scene: background, one bar per column from the row of
// its component's level down to the bottom, then the grid (frequency lines
// every 2500 Hz, major at multiples of 1000 Hz, with labels in kHz at the
// top; dB lines every 20 dB from the top of the range, major at 0 dB, with
// labels at the right edge), then markers and peak label.
inline Picture paint(const Scene& s, Glyphs& g)
{
    const Axis& a = s.axis;
    const int bottom = a.height - 1;
    Picture p(a.width, a.height, Bg);
    for (int sx = 0; sx < a.width; ++sx) {
        const LD y = a.row_real(s.level[size_t(a.sx2fc(sx))]);
        // Where the level lies within a hair of a rounding edge, both rows
        // are right: the program computes in double, this in long double.
        const int hi = Axis::limit(y - 1e-3L, bottom), lo = Axis::limit(y + 1e-3L, bottom);
        p.vline(sx, lo, bottom, Bar);
        for (int yy = hi; yy < lo; ++yy)
            p.allow(sx, yy, Bar);
    }
    for (const Scene::Old& o : s.erased)
        p.text(g, o.x, o.y, o.text, Bg, Picture::Text::Erased);

    for (int f = 0; f < a.half_rate; f += 2500) {
        const int sx = a.fc2sx(a.f2fc(f));
        const uint8_t ink = f % 1000 == 0 ? Major : Minor;
        if (f > 0)
            p.vline(sx, 0, bottom, ink);
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", f / 1000.0);
        p.text(g, sx + 3, g.cell_height(), text, ink, s.labels);
    }
    for (int d = int(std::floor(a.upper / 20.0) * 20); d > a.lower; d -= 20) {
        const int y = a.row(d);
        const uint8_t ink = d == 0 ? Major : Minor;
        p.hline(y, 0, a.width - 1, ink);
        // A label longer than nine characters (only in absurd ranges) is
        // shown in two significant digits with an exponent, whole.
        char text[32];
        std::snprintf(text, sizeof text, "%+d", d);
        if (std::strlen(text) > 9)
            std::snprintf(text, sizeof text, "%+.2g", double(d));
        const int len = int(std::strlen(text));
        p.text(g, a.width - g.cell_width() * len - 2, y - 2, text, ink, s.labels);
    }
    if (s.markers) {
        p.vline(s.marker[0], 0, bottom, Marker);
        p.vline(s.marker[1], 0, bottom, Marker);
    }
    if (s.peak_label)
        p.text(g, s.label_x, s.label_y, s.label, Marker, Picture::Text::Exact);
    return p;
}

// Peak search as the user sees it: the highest level strictly above the
// previous best between the markers' components, scanning upwards; the
// label is that component's centre frequency in whole Hz, centred on its
// column, its baseline 6 rows above the level's row.
struct Peak {
    LD freq = 0;
    LD level = -100;

    void search(const Scene& s)
    {
        level = s.axis.lower;
        const int fa = s.axis.sx2fc(s.marker[0]), fb = s.axis.sx2fc(s.marker[1]);
        for (int fc = fa; fc <= fb; ++fc)
            if (s.level[size_t(fc)] > level) {
                level = s.level[size_t(fc)];
                freq = s.axis.fc2f(fc);
            }
    }
    // Puts the label into the scene, remembering the one it replaces.
    void label(Scene& s, const Glyphs& g) const
    {
        if (s.peak_label)
            s.erased.push_back(Scene::Old{s.label, s.label_x, s.label_y});
        s.peak_label = true;
        s.label = std::to_string(static_cast<long long>(freq));
        const int len = int(s.label.size());
        s.label_x = s.axis.fc2sx(s.axis.f2fc(freq)) - (len * g.cell_width()) / 2;
        s.label_y = s.axis.row(level) - 6;
    }
};

// ---------------------------------------------------------------------------
// Windows of the running program

inline std::vector<WindowInfo> kids_by_position(Display* dpy, Window w)
{
    std::vector<WindowInfo> out;
    for (Window c : children(dpy, w))
        out.push_back(window_info(dpy, c));
    std::sort(out.begin(), out.end(), [](const WindowInfo& a, const WindowInfo& b) {
        return a.x != b.x ? a.x < b.x : a.y < b.y;
    });
    return out;
}

inline std::vector<WindowInfo> kids_top_down(Display* dpy, Window w)
{
    std::vector<WindowInfo> out;
    for (Window c : children(dpy, w))
        out.push_back(window_info(dpy, c));
    std::sort(out.begin(), out.end(), [](const WindowInfo& a, const WindowInfo& b) { return a.y < b.y; });
    return out;
}

inline Window only_child(Display* dpy, Window w)
{
    std::vector<Window> k = children(dpy, w);
    return k.size() == 1 ? k[0] : 0;
}

// The controls of the control window, found by their places: three columns
// of frames (source, help and quit on the left; the analyser's group in the
// middle; the scope's on the right), each frame's form listing its widgets
// from top to bottom.
struct Controls {
    Window shell = 0, soundcard = 0, diskfile = 0, analyser_run = 0, decay = 0, peak_search = 0,
           scope_run = 0;
    bool ok() const { return soundcard && diskfile && analyser_run && peak_search && scope_run; }
};

inline Controls find_controls(Display* dpy, Window shell)
{
    Controls c;
    c.shell = shell;
    Window form = only_child(dpy, only_child(dpy, shell));  // MainWindow, then "Control"
    if (!form)
        return c;
    std::vector<WindowInfo> frames = kids_by_position(dpy, form);
    if (frames.size() != 5)
        return c;
    // By column, then from the top: Frame1, Frame5, Frame6, Frame2, Frame3.
    auto inner = [&](const WindowInfo& frame) { return kids_top_down(dpy, only_child(dpy, frame.window)); };
    std::vector<WindowInfo> source = inner(frames[0]);
    std::vector<WindowInfo> analyser = inner(frames[3]);
    std::vector<WindowInfo> scope = inner(frames[4]);
    if (source.size() == 2) {
        std::vector<WindowInfo> radio = kids_top_down(dpy, source[1].window);
        if (radio.size() == 2) {
            c.soundcard = radio[0].window;
            c.diskfile = radio[1].window;
        }
    }
    if (analyser.size() == 5) {  // label, Run, Alpha, Decay, Peak Search
        c.analyser_run = analyser[1].window;
        c.decay = analyser[3].window;
        c.peak_search = analyser[4].window;
    }
    if (scope.size() == 3)  // label, Run, Zoom
        c.scope_run = scope[1].window;
    return c;
}

// The analyser dialog: its shell and its drawing areas from the top.
struct AnalyserWindows {
    Window shell = 0;
    std::vector<Window> area;
};

inline AnalyserWindows find_analyser(Display* dpy, Window shell)
{
    AnalyserWindows a;
    a.shell = shell;
    Window form = only_child(dpy, shell);
    if (!form)
        return a;
    for (const WindowInfo& k : kids_top_down(dpy, form))
        a.area.push_back(k.window);
    return a;
}

// The three windows of a fresh program, placed apart as a window manager
// would: control at the top left, the analyser below it (not at the
// screen's edge, so the pointer can leave it on every side), the scope at
// the right.
struct Windows {
    Window control = 0, analyser = 0, scope = 0;
    Controls controls;
    AnalyserWindows spectrum;
    bool ok() const { return control && analyser && scope && controls.ok() && !spectrum.area.empty(); }
};

constexpr int analyser_x = 100, analyser_y = 230;

inline Windows open_windows(Display* dpy)
{
    Windows w;
    const MainWindows m = wait_for_main_windows(dpy);
    w.control = m.control;
    w.analyser = m.analyser;
    w.scope = m.scope;
    if (!m.ok())
        return w;
    place_window(dpy, w.scope, 1250, 0);
    place_window(dpy, w.analyser, analyser_x, analyser_y);
    w.controls = find_controls(dpy, w.control);
    w.spectrum = find_analyser(dpy, w.analyser);
    return w;
}

// How often needle occurs in text.
inline int count_of(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

inline bool is_set(Display* dpy, Window toggle)
{
    return shows_colour(dpy, toggle, colour(dpy, "red"));
}

// ---------------------------------------------------------------------------
// The simulated device's log

struct DeviceLog {
    std::string path;
    std::string text() const
    {
        std::ifstream f(path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    // Lines that begin with word and a space.
    int count(const std::string& word) const
    {
        std::istringstream in(text());
        std::string line;
        int n = 0;
        while (std::getline(in, line))
            n += line.compare(0, word.size() + 1, word + " ") == 0;
        return n;
    }
    int reads() const { return count("read"); }
    int writes() const { return count("write"); }
    int opens() const { return count("open"); }
    int closes() const { return count("close"); }
};

// A disk-file run is over once the device has been closed for it and the
// Run toggle shows unset: the toggle is redrawn after the last block's
// drawing, so the server has everything of that block by then.
inline bool wait_run_over(Display* dpy, const DeviceLog& log, int closes, Window run_toggle)
{
    return wait_until([&] { return log.closes() >= closes; }) &&
           wait_until([&] { return !is_set(dpy, run_toggle); });
}

// Captures until the picture agrees with the model; the last differences
// when it never does.
inline std::string wait_picture(Display* dpy, Window w, const Picture& want, const Palette& pal,
                                Image* last = nullptr, double timeout = 20)
{
    std::string diff = "never captured";
    Image img;
    // Once a test has failed, its later pictures are only looked at
    // briefly, so that it ends in good time with all its messages.
    if (::testing::Test::HasFailure())
        timeout = std::min(timeout, 2.0);
    wait_until(
        [&] {
            img = capture(dpy, w);
            diff = img.empty() ? "window not viewable" : want.differences(img, pal);
            return diff.empty();
        },
        timeout);
    if (last)
        *last = img;
    return diff;
}

// ---------------------------------------------------------------------------
// Requests of the program and events it is sent, through the RECORD
// extension, on two connections of the test's own: one that controls the
// recording, one that a thread of its own blocks on while the server sends
// what it intercepts (each connection is used by one thread only).

class Recorder {
public:
    struct Item {
        bool request;       // else an event delivered to the program
        uint8_t code;       // request opcode or event type
        uint32_t bytes;     // request length
        uint32_t a, b;      // first two 32-bit fields after the header
        uint8_t detail;     // an event's state byte (VisibilityNotify)
    };

    // Records everything the client that owns `resource` sends and the
    // events named delivered to it.
    Recorder(const std::string& display_name, XID resource, std::vector<int> events = {})
    {
        ctrl_ = XOpenDisplay(display_name.c_str());
        data_ = XOpenDisplay(display_name.c_str());
        if (!ctrl_ || !data_)
            return;
        int major = 0, minor = 0;
        if (!XRecordQueryVersion(ctrl_, &major, &minor))
            return;
        std::vector<XRecordRange*> ranges;
        XRecordRange* r = XRecordAllocRange();
        r->core_requests.first = 1;
        r->core_requests.last = 127;
        ranges.push_back(r);
        for (int e : events) {
            XRecordRange* er = XRecordAllocRange();
            er->delivered_events.first = uint8_t(e);
            er->delivered_events.last = uint8_t(e);
            ranges.push_back(er);
        }
        XRecordClientSpec clients = resource;
        ctx_ = XRecordCreateContext(ctrl_, 0, &clients, 1, ranges.data(), int(ranges.size()));
        for (XRecordRange* x : ranges)
            XFree(x);
        XSync(ctrl_, False);
        if (!ctx_)
            return;
        thread_ = std::thread([this] { XRecordEnableContext(data_, ctx_, &Recorder::intercept, reinterpret_cast<XPointer>(this)); });
        // Recording has begun once the server says so.
        wait_until([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return started_;
        });
    }
    ~Recorder()
    {
        stop();
        if (ctx_ && ctrl_)
            XRecordFreeContext(ctrl_, ctx_);
        if (data_)
            XCloseDisplay(data_);
        if (ctrl_)
            XCloseDisplay(ctrl_);
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    bool ok()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return started_;
    }

    // Waits until an item meets pred; its index, or -1.
    long wait_for(const std::function<bool(const Item&)>& pred, double timeout = default_timeout)
    {
        long found = -1;
        size_t seen = 0;
        wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                for (; seen < items_.size(); ++seen)
                    if (pred(items_[seen])) {
                        found = long(seen);
                        return true;
                    }
                return false;
            },
            timeout);
        return found;
    }
    // Ends the recording; everything intercepted up to now is then in items().
    void stop()
    {
        if (!thread_.joinable())
            return;
        XRecordDisableContext(ctrl_, ctx_);
        XSync(ctrl_, False);
        thread_.join();
    }
    // What has been intercepted so far.
    std::vector<Item> items()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }

private:
    static void intercept(XPointer closure, XRecordInterceptData* d)
    {
        auto* self = reinterpret_cast<Recorder*>(closure);
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (d->category == XRecordStartOfData)
            self->started_ = true;
        if ((d->category == XRecordFromClient || d->category == XRecordFromServer) && d->data && d->data_len > 0) {
            const unsigned char* p = d->data;
            Item it{};
            it.request = d->category == XRecordFromClient;
            it.code = it.request ? p[0] : uint8_t(p[0] & 0x7F);
            it.bytes = d->data_len * 4;
            auto word = [&](size_t at) {
                uint32_t v = 0;
                if (at + 4 <= size_t(d->data_len) * 4)
                    std::memcpy(&v, p + at, 4);  // the program runs on this host: our byte order
                return v;
            };
            it.a = word(4);
            it.b = word(8);
            it.detail = d->data_len * 4 > 8 ? p[8] : 0;
            self->items_.push_back(it);
        }
        XRecordFreeData(d);
    }

    Display* ctrl_ = nullptr;
    Display* data_ = nullptr;
    XRecordContext ctx_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    bool started_ = false;
    std::vector<Item> items_;
};

// Core requests that draw into a drawable named in their first field.
inline bool draws_into(const Recorder::Item& it, Window w)
{
    if (!it.request)
        return false;
    switch (it.code) {
    case X_ClearArea:
    case X_PolyPoint:
    case X_PolyLine:
    case X_PolySegment:
    case X_PolyRectangle:
    case X_PolyArc:
    case X_FillPoly:
    case X_PolyFillRectangle:
    case X_PolyFillArc:
    case X_PutImage:
    case X_PolyText8:
    case X_PolyText16:
    case X_ImageText8:
    case X_ImageText16:
        return it.a == w;
    case X_CopyArea:
    case X_CopyPlane:
        return it.b == w;
    default:
        return false;
    }
}

}  // namespace analyser_test
