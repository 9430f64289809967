// The spectrogram window in the running program: a logarithmic sweep and a
// tone switched on and off, played from a WAV file, on both frequency
// scales; its rows and columns are worked out here from the signal's
// definition. Exposes, a resize, the export and the X traffic per block.
#include "gui/program_on_file.h"

#include <X11/keysym.h>
#include <memory>
#include <set>

using namespace harness;
using namespace analyser_test;

namespace {

// Left: a sweep from 50 Hz to 15 kHz over 8 s, exponential in time; right:
// 1 kHz during the even seconds. Both at half full scale; only whole
// blocks are played.
constexpr LD sweep_seconds = 8, f_start = 50, f_end = 15000, tone_hz = 1000;
constexpr int blocks = int(sweep_seconds * sample_rate) / block_frames;  // 172

LD sweep_frequency(LD t) { return f_start * std::pow(f_end / f_start, t / sweep_seconds); }
bool tone_on(LD t) { return int(std::floor(t)) % 2 == 0; }

std::vector<StereoBlock> signal()
{
    const LD pi = std::acos(LD(-1)), k = std::log(f_end / f_start) / sweep_seconds;
    std::vector<StereoBlock> out(blocks, StereoBlock{silent_block(), silent_block()});
    for (int i = 0; i < blocks * block_frames; ++i) {
        const LD t = LD(i) / sample_rate;
        StereoBlock& b = out[size_t(i / block_frames)];
        b.left[size_t(i % block_frames)] = int16_t(std::lrint(16383 * std::sin(2 * pi * f_start * (std::exp(k * t) - 1) / k)));
        b.right[size_t(i % block_frames)] = int16_t(tone_on(t) ? std::lrint(16383 * std::sin(2 * pi * tone_hz * t)) : 0);
    }
    return out;
}

// The frequency axis of an area of `rows` rows: g(r) for row r from the
// bottom, linear from 0 Hz or logarithmic from the larger of 20 Hz and
// rate / n, to half the rate.
struct Rows {
    int rows;
    bool log;
    LD lo = log ? std::max<LD>(20, LD(sample_rate) / block_frames) : 0, hi = sample_rate / 2.0L;
    LD g(LD r) const { return log ? lo * std::pow(hi / lo, r / (rows - 1)) : hi * r / (rows - 1); }
    LD row(LD f) const { return log ? (rows - 1) * std::log(f / lo) / std::log(hi / lo) : (rows - 1) * f / hi; }
};

class SpectrogramWindow : public ProgramOnFile {
protected:
    AnalyserWindows spectro;
    XFontStruct* font = nullptr;

    ~SpectrogramWindow() override
    {
        if (font)
            XFreeFont(dpy, font);
    }

    // The program on the signal, the spectrogram shown by the resource or
    // by the key g in the analyser, placed apart and raised.
    void start(const std::vector<std::string>& extra, bool by_key, uint32_t floor_colour, const std::string& tag)
    {
        ASSERT_TRUE(server.ok()) << server.error();
        font = XLoadQueryFont(dpy, "fixed");
        ASSERT_TRUE(font);
        ASSERT_TRUE(write_file(file(), wav_bytes(signal())));
        std::vector<std::string> args = {"-xrm", "Zentaphon.lowerdb: -60", "-xrm",
                                         "Zentaphon.exportDirectory: " + out.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        if (!by_key)
            args.insert(args.end(), {"-xrm", "Zentaphon.spectrogram: True"});
        ASSERT_NO_FATAL_FAILURE(launch(args, {}, tag));
        if (by_key) {
            ASSERT_FALSE(find_top_level(dpy, "Zentaphon: Spectrogram"));
            ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 500, 100));
            ASSERT_TRUE(key(dpy, XK_g));
        }
        const Window shell = wait_for_window(dpy, "Zentaphon: Spectrogram");
        ASSERT_TRUE(shell) << dump_tree(dpy, server.root());
        // Clear of the analyser, which goes up a little.
        ASSERT_TRUE(place_window(dpy, win.analyser, 0, 170));
        ASSERT_TRUE(place_window(dpy, shell, 940, 690));
        spectro = find_analyser(dpy, shell);
        ASSERT_EQ(spectro.area.size(), 2u);
        const WindowInfo a = window_info(dpy, spectro.area[0]);
        EXPECT_TRUE(a.width > 600 && a.width < 660 && a.height == 250) << a.width;   // 600 blocks and the scale
        // Both areas painted (the colour of lowerdb) before anything is counted.
        for (Window area : spectro.area)
            ASSERT_TRUE(wait_until([&] {
                const Image img = capture(dpy, area);
                return !img.empty() && img.at(img.width() - 1, img.height() - 1) == floor_colour;
            }));
    }

    // Plays the file with the spectrogram open; the bytes of the X requests
    // that drew into the spectrogram's areas and the pixmaps copied to them.
    double play_file()
    {
        Recorder rec(server.name(), spectro.area[0]);
        EXPECT_TRUE(rec.ok());
        const int closes = log.closes() + 1;
        EXPECT_TRUE(click_centre(dpy, win.controls.analyser_run));
        EXPECT_TRUE(wait_run_over(dpy, log, closes, win.controls.analyser_run)) << log.text();
        rec.stop();
        std::set<uint32_t> drawn(spectro.area.begin(), spectro.area.end());
        double bytes = 0;
        for (const Recorder::Item& it : rec.items())
            if (it.request && it.code == X_CopyArea && drawn.count(it.b))
                drawn.insert(it.a);
        for (const Recorder::Item& it : rec.items())
            for (uint32_t d : drawn)
                bytes += draws_into(it, d) ? it.bytes : 0;
        return bytes;
    }
};

// Brightness of a pixel: the grey value, or the luminance of a viridis colour.
double brightness(uint32_t rgb)
{
    return 0.2126 * (rgb >> 16) + 0.7152 * ((rgb >> 8) & 0xFF) + 0.0722 * (rgb & 0xFF);
}

// The row (from the bottom) in the middle of the brightest run of column x.
LD brightest_row(const Image& img, int x)
{
    int y0 = -1, y1 = -1;
    double best = -1;
    for (int y = 0; y < img.height(); ++y) {
        const double b = brightness(img.at(x, y));
        if (b > best) {
            best = b;
            y0 = y1 = y;
        } else if (b == best && y1 == y - 1) {
            y1 = y;
        }
    }
    return img.height() - 1 - (y0 + y1) / LD(2);
}

}  // namespace

// In each column of the 8 s the sweep's brightest rows lie within 2 rows of
// its frequency at the block's middle (on the log scale above 500 Hz),
// rows far from it show the colour of lowerdb, the tone's row is bright in
// the blocks of the even seconds and dark in the others, every row of the
// newest columns up to the top one included, and the time of the newest
// column stands at the top of the scale strip, clear of the plot. X
// traffic per block and area stays below 4 bytes a row and 400 more.
TEST_F(SpectrogramWindow, SweepAndSwitchedToneOnBothScales)
{
    for (bool log_scale : {false, true}) {
        const std::vector<std::string> args =
            log_scale ? std::vector<std::string>{"-xrm", "Zentaphon.frequencyScale: log", "-xrm",
                                                 "Zentaphon.spectrogramColors: gray"}
                      : std::vector<std::string>{};
        const uint32_t floor_colour = log_scale ? 0x000000 : 0x440154;
        ASSERT_NO_FATAL_FAILURE(start(args, log_scale, floor_colour, log_scale ? "log" : "linear"));
        const double bytes = play_file();
        const Image left = capture(dpy, spectro.area[0]), right = capture(dpy, spectro.area[1]);
        evidence->add("left", left);
        evidence->add("right", right);
        ASSERT_FALSE(left.empty() || right.empty());
        const int w = left.width(), h = left.height();
        EXPECT_LT(bytes / blocks / 2, h * 4 + 400);
        EXPECT_GT(bytes / blocks / 2, h * 4);   // one column each time

        const Rows rows{h, log_scale};
        // The label "8.0 s" ends 4 pixels before the plot's 600 columns.
        const int cell = font->max_bounds.rbearing - font->min_bounds.lbearing;
        const int label_x = w - 600 - 4 - 5 * cell, label_y = font->max_bounds.ascent + 1;
        EXPECT_GE(label_x, 0);
        int bad_sweep = 0, bad_silence = 0, bad_tone = 0;
        for (int b = 0; b < blocks; ++b) {
            const int x = w - blocks + b;
            const LD t0 = LD(b) * block_frames / sample_rate, t1 = LD(b + 1) * block_frames / sample_rate;
            const LD f = sweep_frequency((t0 + t1) / 2);
            if ((!log_scale || f > 500) && std::fabs(brightest_row(left, x) - rows.row(f)) > 2 && ++bad_sweep < 5)
                ADD_FAILURE() << "sweep block " << b << " at " << double(f) << " Hz: row "
                              << double(brightest_row(left, x)) << ", expected " << double(rows.row(f));
            for (int y = 0; y < h; ++y) {
                const int r = h - 1 - y;
                // Component 0 holds what the removal of the block's mean leaves.
                const bool far = rows.g(r - 0.5L) > 100 && (rows.g(r + 0.5L) < sweep_frequency(t0) - 400 ||
                                                            rows.g(r - 0.5L) > sweep_frequency(t1) + 400);
                if (far && left.at(x, y) != floor_colour && ++bad_silence < 5)
                    ADD_FAILURE() << "block " << b << " row " << r << " is " << std::hex << left.at(x, y);
            }
            // The tone's state in this block and its neighbours; a block
            // next to a switch may show either.
            const bool on = tone_on((t0 + t1) / 2);
            if (tone_on(t0 - (t1 - t0)) != on || tone_on(t1 + (t1 - t0)) != on)
                continue;
            const int y_tone = h - 1 - int(std::lround(rows.row(tone_hz)));
            const bool lit = brightness(right.at(x, y_tone)) > brightness(floor_colour) + 50;
            if ((lit != on || (on && std::fabs(brightest_row(right, x) - rows.row(tone_hz)) > 1)) && ++bad_tone < 5)
                ADD_FAILURE() << "tone block " << b << (on ? " on" : " off") << ", shown " << (lit ? "on" : "off");
        }
        EXPECT_EQ(bad_sweep + bad_silence + bad_tone, 0);

        Glyphs glyphs(dpy);
        char text[16];
        std::snprintf(text, sizeof text, "%.1f s", double(LD(blocks) * block_frames / sample_rate));
        EXPECT_STREQ(text, "8.0 s");
        for (auto [dx, dy] : glyphs.pixels(text))
            EXPECT_EQ(left.at(label_x + dx, label_y + dy), colour(dpy, "gray60"));
        // The labels stay beside their ticks, below the time: "20.0" at its row.
        if (!log_scale) {
            const int y = h - 1 - int(std::lround(rows.row(20000))), base = y + font->max_bounds.ascent / 2;
            for (auto [dx, dy] : glyphs.pixels("20.0"))
                EXPECT_EQ(left.at(w - 600 - 4 - 4 * cell + dx, base + dy), colour(dpy, "gray60"));
        }
        prog->kill();
    }
}

// After the run: covering and uncovering restores the same pixels; the
// file played again while the window is covered shows the same newest
// columns once uncovered (painted from the history); the export writes
// both areas as they are shown, and a narrower window keeps the newest
// columns.
TEST_F(SpectrogramWindow, ExposeExportAndResizeKeepThePicture)
{
    ASSERT_NO_FATAL_FAILURE(start({}, false, 0x440154, ""));
    play_file();
    Image before = capture(dpy, spectro.area[0]), img;
    evidence->add("before", before);
    for (bool again : {false, true}) {
        {
            Cover cover(dpy, spectro.shell);
            ASSERT_TRUE(cover.ok());
            XSync(dpy, False);
            if (again) {
                EXPECT_EQ(play_file(), 0);   // nothing drawn while covered
            }
        }
        const Rect newest{before.width() - blocks, 0, blocks, before.height()};
        EXPECT_TRUE(wait_until([&] { return (img = capture(dpy, spectro.area[0])).crop(newest) == before.crop(newest); }, 10));
        evidence->add(again ? "played-covered" : "exposed", img);
        EXPECT_TRUE(again || img == before);
    }
    before = img;
    const Image below = capture(dpy, spectro.area[1]);

    ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 500, 100));
    ASSERT_TRUE(key(dpy, XK_s));
    ASSERT_TRUE(prog->wait_stderr("-spectrogram.png\n")) << prog->stderr_text();
    const std::string err = prog->stderr_text();
    const size_t at = err.find("spectrogram exported to " + out.path() + "/zentaphon-") + 24;
    ASSERT_NE(at, std::string::npos + 24) << err;
    const Image png = Image::load_png(err.substr(at, err.find('\n', at) - at));
    ASSERT_EQ(png.height(), 2 * before.height());
    EXPECT_TRUE(png.crop(Rect{0, 0, before.width(), before.height()}) == before);
    EXPECT_TRUE(png.crop(Rect{0, before.height(), before.width(), before.height()}) == below);

    const WindowInfo shell = window_info(dpy, spectro.shell);
    XResizeWindow(dpy, spectro.shell, unsigned(shell.width - 250), unsigned(shell.height));
    XSync(dpy, False);
    const int kept = before.width() - 250 - 60;   // the plot less a generous scale strip
    EXPECT_TRUE(wait_until([&] {
        img = capture(dpy, spectro.area[0]);
        return img.width() == before.width() - 250 &&
               img.crop(Rect{img.width() - kept, 0, kept, img.height()}) ==
                   before.crop(Rect{before.width() - kept, 0, kept, before.height()});
    }, 10));
    evidence->add("narrower", img);
}
