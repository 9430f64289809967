// The analyser's measuring options in the running program: averaging, the
// logarithmic frequency scale with the peak's level, export of the
// spectrum, the popup menu and the error dialog. Levels, columns and
// pictures are worked out here, from their definitions.
#include "gui/test_analyser_support.h"

#include <X11/keysym.h>

using namespace harness;
using namespace analyser_test;

namespace {

const Env fast_device(const DeviceLog& log)
{
    return {{"LD_PRELOAD", ZEN_SIMDSP}, {"SIMDSP_PACE", "fast"}, {"SIMDSP_LOG", log.path}};
}

LD power_of(LD db) { return std::pow(LD(10), (db + 27.1L) / 10); }
LD db_of(LD power) { return 10 * std::log10(power) - 27.1L; }

// Row of the highest bar pixel of column x, below the grid labels.
int bar_top(const Image& img, const Palette& pal, int x)
{
    for (int y = 14; y < img.height(); ++y)
        if (img.at(x, y) == pal.bar)
            return y;
    return -1;
}

// Every glyph pixel of text drawn at (x, y) shows rgb, somewhere in the image
// when x is negative.
bool shows_text(const Image& img, Glyphs& g, const std::string& text, int x, int y, uint32_t rgb)
{
    const auto& px = g.pixels(text);
    auto at = [&](int ox, int oy) {
        for (auto [dx, dy] : px) {
            const int xx = ox + dx, yy = oy + dy;
            if (xx < 0 || yy < 0 || xx >= img.width() || yy >= img.height() || img.at(xx, yy) != rgb)
                return false;
        }
        return !px.empty();
    };
    if (x >= 0)
        return at(x, y);
    for (int oy = 0; oy < img.height(); ++oy)
        for (int ox = 0; ox < img.width(); ++ox)
            if (at(ox, oy))
                return true;
    return false;
}

// The column of frequency f on the log axis of a default window.
long log_column(LD f)
{
    const LD lo = 1.5L / num_fft * (sample_rate / 2), hi = sample_rate / 2;
    return std::lround((num_fft - 1) * std::log(f / lo) / std::log(hi / lo));
}

}  // namespace

// Blocks alternating between a full-scale tone and one at a quarter of it:
// with averaging 16 the bars end where the averaged power puts them, far
// from the last block's own level (the decay of 1000 dB/s would let the
// bars follow every block).
TEST(AnalyserMeasuring, AveragingShowsTheAveragedPower)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    const std::string wav = dir.file("signal.wav");
    DeviceLog log{dir.file("dsp.log")};
    std::vector<StereoBlock> blocks;
    for (int i = 0; i < 12; ++i)
        blocks.push_back(StereoBlock{tone_block({{100, i % 2 ? 0.25 : 1.0}}), silent_block()});
    ASSERT_TRUE(write_file(wav, wav_bytes(blocks)));
    Program prog(server, {"-diskfile", "-filename", wav, "-xrm", "Zentaphon.averaging: 16", "-xrm",
                          "Zentaphon.decay: 1000"},
                 fast_device(log));
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    Palette pal(dpy);
    Glyphs glyphs(dpy);

    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(wait_run_over(dpy, log, 1, win.controls.analyser_run)) << log.text();

    const Reference ref;
    const LD fall = 1000 / LD(blocks_per_second);
    Track averaged, plain;
    std::vector<LD> mean(num_fft);
    for (size_t i = 0; i < blocks.size(); ++i) {
        const std::vector<LD> raw = ref.raw_db(blocks[i], Mix::Left);
        std::vector<LD> avg(num_fft);
        for (int k = 0; k < num_fft; ++k) {
            const LD p = power_of(raw[size_t(k)]);
            mean[size_t(k)] = i == 0 ? p : mean[size_t(k)] + (p - mean[size_t(k)]) / 16;
            avg[size_t(k)] = db_of(mean[size_t(k)]);
        }
        averaged.block(avg, i == 0, fall);
        plain.block(raw, i == 0, fall);
    }
    // The last block alone stands 12 dB down; the average some 5 dB down.
    EXPECT_GT(Axis{}.row(plain.level[100]) - Axis{}.row(averaged.level[100]), 10);
    Image img;
    std::string diff =
        wait_picture(dpy, win.spectrum.area[0], paint(scene_of(averaged, Picture::Text::Maybe), glyphs), pal, &img);
    evidence.add("averaged", img);
    EXPECT_EQ(diff, "");
    EXPECT_TRUE(prog.running()) << prog.describe();
}

// Tones at components 30 (656 Hz) and 250 (5389 Hz) on the logarithmic
// scale stand at the columns of their frequencies at their own levels, no
// neighbour taller; the grid is 1-2-5 per decade, and the peak label gives
// the level.
TEST(AnalyserMeasuring, LogScaleShowsTonesAtTheirColumnsWithThePeakLevel)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    const std::string wav = dir.file("signal.wav");
    DeviceLog log{dir.file("dsp.log")};
    const StereoBlock block{tone_block({{30, 0.5}, {250, 0.2}}), silent_block()};
    ASSERT_TRUE(write_file(wav, wav_bytes(std::vector<StereoBlock>(4, block))));
    Program prog(server, {"-diskfile", "-filename", wav, "-xrm", "Zentaphon.frequencyScale: log", "-xrm",
                          "Zentaphon.peakLevel: True"},
                 fast_device(log));
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    Palette pal(dpy);
    Glyphs glyphs(dpy);

    ASSERT_TRUE(click_centre(dpy, win.controls.peak_search));
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(wait_run_over(dpy, log, 1, win.controls.analyser_run)) << log.text();
    const std::vector<LD> level = Reference().raw_db(block, Mix::Left);
    const Axis axis;
    Image img;
    // The last block's drawing is over once the toggle shows unset.
    img = capture(dpy, win.spectrum.area[0]);
    ASSERT_FALSE(img.empty());
    evidence.add("log", img);
    for (int fc : {30, 250}) {
        const long sx = log_column(axis.fc2f(fc));
        EXPECT_EQ(bar_top(img, pal, int(sx)), axis.row(level[size_t(fc)])) << fc;
        EXPECT_GE(bar_top(img, pal, int(sx - 1)), axis.row(level[size_t(fc)])) << fc;
        EXPECT_GE(bar_top(img, pal, int(sx + 1)), axis.row(level[size_t(fc)])) << fc;
    }
    // 1 kHz a major line, 2 kHz and 500 Hz minor ones, labelled.
    for (auto [f, ink, text] : {std::tuple{1000, pal.major, "1k"}, std::tuple{2000, pal.minor, "2k"},
                                std::tuple{500, pal.minor, "500"}}) {
        const int sx = int(log_column(f));
        EXPECT_EQ(img.at(sx, 150), ink) << f;
        EXPECT_TRUE(shows_text(img, glyphs, text, sx + 3, glyphs.cell_height(), ink)) << f;
    }
    char label[64];
    std::snprintf(label, sizeof label, "%d Hz %.1f dB", int(axis.fc2f(30)), double(level[30]));
    EXPECT_STREQ(label, "656 Hz -6.0 dB");
    const int x = int(log_column(axis.fc2f(30))) - int(std::strlen(label)) * glyphs.cell_width() / 2;
    EXPECT_TRUE(shows_text(img, glyphs, label, x, axis.row(level[30]) - 6, pal.marker));
    EXPECT_TRUE(prog.running()) << prog.describe();
}

// After a steady file, the key s writes the levels as displayed and the
// picture of both drawing areas into exportDirectory.
TEST(AnalyserMeasuring, ExportWritesTheLevelsAndThePicture)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir, out;
    const std::string wav = dir.file("signal.wav");
    DeviceLog log{dir.file("dsp.log")};
    const StereoBlock block{tone_block({{100, 1.0}}), tone_block({{300, 0.3}})};
    ASSERT_TRUE(write_file(wav, wav_bytes(std::vector<StereoBlock>(3, block))));
    Program prog(server, {"-diskfile", "-filename", wav, "-xrm", "Zentaphon.exportDirectory: " + out.path()},
                 fast_device(log));
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(wait_run_over(dpy, log, 1, win.controls.analyser_run)) << log.text();

    ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 500, 100));
    ASSERT_TRUE(key(dpy, XK_s));
    ASSERT_TRUE(prog.wait_stderr("spectrum exported to ")) << prog.stderr_text();
    const std::string err = prog.stderr_text();
    const size_t at = err.find(out.path() + "/zentaphon-");
    ASSERT_NE(at, std::string::npos) << err;
    const std::string base = err.substr(at, err.find(".csv", at) - at);
    EXPECT_NE(err.find(" and " + base + ".png\n"), std::string::npos) << err;

    const Reference ref;
    const std::vector<LD> left = ref.raw_db(block, Mix::Left), right = ref.raw_db(block, Mix::Right);
    std::ifstream csv(base + ".csv");
    std::string line;
    ASSERT_TRUE(std::getline(csv, line));
    EXPECT_EQ(line, "frequency_hz,left_db,right_db");
    int k = 0;
    const Axis axis;
    for (; std::getline(csv, line); ++k) {
        double f = 0, l = 0, r = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf", &f, &l, &r), 3) << line;
        ASSERT_LT(k, num_fft);
        EXPECT_NEAR(f, double(axis.fc2f(k)), 1e-4) << k;
        EXPECT_NEAR(l, double(std::max<LD>(-100, std::min<LD>(10, left[size_t(k)]))), 0.01) << k;
        EXPECT_NEAR(r, double(std::max<LD>(-100, std::min<LD>(10, right[size_t(k)]))), 0.01) << k;
    }
    EXPECT_EQ(k, num_fft);

    // The picture: both areas as a full draw shows them, left above right.
    const Image png = Image::load_png(base + ".png");
    evidence.add("png", png);
    ASSERT_EQ(png.width(), num_fft);
    ASSERT_EQ(png.height(), 500);
    Track l, r;
    l.block(left, true, 0);
    r.block(right, true, 0);
    EXPECT_EQ(paint(scene_of(l, Picture::Text::Exact), glyphs).differences(png.crop(Rect{0, 0, num_fft, 250}), pal), "");
    EXPECT_EQ(paint(scene_of(r, Picture::Text::Exact), glyphs).differences(png.crop(Rect{0, 250, num_fft, 250}), pal),
              "");
}

// Button 3 posts the menu in either area; "Frequency scale", "Logarithmic"
// redraws both areas with the log grid at once.
TEST(AnalyserMeasuring, PopupMenuSwitchesToTheLogScale)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Program prog(server, {});
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    Palette pal(dpy);
    std::vector<Window> known = top_levels(dpy);
    // A top-level that has come up since the last call: the next menu.
    auto new_menu = [&]() {
        Window found = 0;
        wait_until([&] {
            for (Window w : top_levels(dpy))
                if (is_viewable(dpy, w) && std::find(known.begin(), known.end(), w) == known.end())
                    found = w;
            return found != 0;
        });
        known.push_back(found);
        return found;
    };
    // Pressed, dragged through "Frequency scale" and released on "Logarithmic".
    ASSERT_TRUE(press(dpy, win.spectrum.area[1], 300, 100, 3));
    const Window menu = new_menu();
    ASSERT_NE(menu, 0u) << dump_tree(dpy, server.root());
    // "Averaging", "Frequency scale", "Peak level", "Export spectrum".
    const std::vector<WindowInfo> items = kids_top_down(dpy, only_child(dpy, menu));
    ASSERT_EQ(items.size(), 4u) << dump_tree(dpy, menu);
    ASSERT_TRUE(move_pointer(dpy, items[1].window, 10, items[1].height / 2));
    const Window pulldown = new_menu();
    ASSERT_NE(pulldown, 0u) << dump_tree(dpy, server.root());
    // The submenus share one shell; the posted one is mapped.
    Window posted = 0;
    for (Window w : children(dpy, pulldown))
        posted = is_viewable(dpy, w) ? w : posted;
    const std::vector<WindowInfo> scales = kids_top_down(dpy, posted);
    ASSERT_EQ(scales.size(), 2u) << dump_tree(dpy, pulldown);
    ASSERT_TRUE(move_pointer(dpy, scales[1].window, 10, scales[1].height / 2));
    ASSERT_TRUE(release(dpy, scales[1].window, 10, scales[1].height / 2, 3));
    EXPECT_TRUE(wait_unviewable(dpy, menu));

    for (Window area : win.spectrum.area) {
        Image img;
        EXPECT_TRUE(wait_until([&] {
            img = capture(dpy, area);
            return !img.empty() && img.at(int(log_column(1000)), 150) == pal.major &&
                   img.at(116, 150) == pal.bg;   // no line at 2500 Hz of the linear scale
        })) << "no log grid";
        evidence.add("log-grid", img);
    }
    EXPECT_TRUE(prog.running()) << prog.describe();
}

// With errorDialog on, a start that fails shows its line in "Zentaphon:
// Error"; off, the line goes to standard error only (as do the reports of
// measuring settings out of range).
TEST(AnalyserMeasuring, ErrorDialogShowsTheErrorLine)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Glyphs glyphs(dpy);
    for (bool on : {true, false}) {
        std::vector<std::string> args = {"-length", "1000"};
        if (on)
            args.insert(args.end(), {"-xrm", "Zentaphon.errorDialog: True"});
        else
            args.insert(args.end(), {"-xrm", "Zentaphon.averaging: 1001", "-xrm", "Zentaphon.frequencyScale: mel"});
        Program prog(server, args, {{"LD_PRELOAD", ZEN_SIMDSP}});
        ASSERT_TRUE(prog.started()) << prog.error();
        SaveOnFailure evidence(server, on ? "on" : "off");
        evidence.add("stderr", prog);
        Windows win = open_windows(dpy);
        ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
        ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
        ASSERT_TRUE(prog.wait_stderr("error: illegal")) << prog.stderr_text();
        const std::string err = prog.stderr_text();
        const size_t at = err.find("error: illegal");
        const std::string line = err.substr(at, err.find('\n', at) - at);
        if (on) {
            const Window dialog = wait_for_window(dpy, "Zentaphon: Error");
            ASSERT_NE(dialog, 0u) << dump_tree(dpy, server.root());
            Image img;
            EXPECT_TRUE(wait_until([&] {
                img = capture(dpy, dialog);
                return shows_text(img, glyphs, line, -1, 0, colour(dpy, "yellow"));
            }, 10)) << line;
            evidence.add("dialog", img);
        } else {
            EXPECT_TRUE(wait_until([&] { return !is_set(dpy, win.controls.analyser_run); }));
            EXPECT_FALSE(wait_for_window(dpy, "Zentaphon: Error", 2));
            EXPECT_EQ(err.find("error: averaging 1001 is not between 1 and 1000, using 1\n"
                               "error: frequencyScale \"mel\" is neither linear nor log, using linear\n"),
                      0u) << err;
        }
        prog.kill();
    }
}
