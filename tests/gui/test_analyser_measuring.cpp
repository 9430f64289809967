// The analyser's measuring options in the running program: averaging, the
// logarithmic frequency scale with the peak's level, export of the
// spectrum, the popup menu and the error dialog. Levels, columns and
// pictures are worked out here, from their definitions.
#include "gui/program_on_file.h"

#include <X11/keysym.h>
#include <filesystem>
#include <sys/mount.h>
#include <sys/stat.h>
#include <memory>

using namespace harness;
using namespace analyser_test;

namespace {

// Row of the highest bar pixel of column x, below the grid labels.
int bar_top(const Image& img, const Palette& pal, int x)
{
    for (int y = 14; y < img.height(); ++y)
        if (img.at(x, y) == pal.bar)
            return y;
    return -1;
}

// Every glyph pixel of text drawn at (x, y) shows rgb; anywhere when x < 0.
bool shows_text(const Image& img, Glyphs& g, const std::string& text, int x, int y, uint32_t rgb)
{
    const auto& px = g.pixels(text);
    auto at = [&](int ox, int oy) {
        for (auto [dx, dy] : px)
            if (ox + dx >= img.width() || oy + dy < 0 || oy + dy >= img.height() || img.at(ox + dx, oy + dy) != rgb)
                return false;
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
int log_column(LD f)
{
    const LD lo = 1.5L / num_fft * (sample_rate / 2), hi = sample_rate / 2;
    return int(std::lround((num_fft - 1) * std::log(f / lo) / std::log(hi / lo)));
}

class AnalyserMeasuring : public ProgramOnFile {
protected:
    // The program in disk-file mode on these blocks (left, right).
    void start(const std::vector<StereoBlock>& blocks, const std::vector<std::string>& args, const std::string& tag = "")
    {
        ASSERT_TRUE(write_file(file(), wav_bytes(blocks)));
        launch(args, {}, tag);
    }
};

}  // namespace

// Blocks alternating between a full-scale tone and one at a quarter of it:
// with averaging 16 the bars end where the averaged power puts them, far
// from the last block's own level (a decay of 1000 dB/s lets bars follow
// every block).
TEST_F(AnalyserMeasuring, AveragingShowsTheAveragedPower)
{
    std::vector<StereoBlock> blocks;
    for (int i = 0; i < 12; ++i)
        blocks.push_back(StereoBlock{tone_block({{100, i % 2 ? 0.25 : 1.0}}), silent_block()});
    ASSERT_NO_FATAL_FAILURE(start(blocks, {"-xrm", "Zentaphon.averaging: 16", "-xrm", "Zentaphon.decay: 1000"}));
    ASSERT_NO_FATAL_FAILURE(play_file());

    const Reference ref;
    Track averaged, plain;
    std::vector<LD> mean(num_fft), avg(num_fft);
    for (size_t i = 0; i < blocks.size(); ++i) {
        const std::vector<LD> raw = ref.raw_db(blocks[i], Mix::Left);
        for (size_t k = 0; k < size_t(num_fft); ++k) {
            const LD p = std::pow(LD(10), raw[k] / 10);
            mean[k] = i == 0 ? p : mean[k] + (p - mean[k]) / 16;
            avg[k] = 10 * std::log10(mean[k]);
        }
        averaged.block(avg, i == 0, 1000 / LD(blocks_per_second));
        plain.block(raw, i == 0, 1000 / LD(blocks_per_second));
    }
    EXPECT_GT(Axis{}.row(plain.level[100]) - Axis{}.row(averaged.level[100]), 10);
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    Image img;
    EXPECT_EQ(wait_picture(dpy, win.spectrum.area[0], paint(scene_of(averaged, Picture::Text::Maybe), glyphs), pal, &img), "");
    evidence->add("averaged", img);
}

// Tones at components 30 (656 Hz) and 250 (5389 Hz) on the logarithmic
// scale stand at the columns of their frequencies at their own levels, no
// neighbour taller; the grid is 1-2-5 per decade, the peak label gives the
// level.
TEST_F(AnalyserMeasuring, LogScaleShowsTonesAtTheirColumnsWithThePeakLevel)
{
    const StereoBlock block{tone_block({{30, 0.5}, {250, 0.2}}), silent_block()};
    ASSERT_NO_FATAL_FAILURE(start(std::vector<StereoBlock>(4, block),
                                  {"-xrm", "Zentaphon.frequencyScale: log", "-xrm", "Zentaphon.peakLevel: True"}));
    ASSERT_TRUE(click_centre(dpy, win.controls.peak_search));
    ASSERT_NO_FATAL_FAILURE(play_file());
    const std::vector<LD> level = Reference().raw_db(block, Mix::Left);
    const Axis axis;
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    const Image img = capture(dpy, win.spectrum.area[0]);
    evidence->add("log", img);
    ASSERT_FALSE(img.empty());
    for (int fc : {30, 250}) {
        const int sx = log_column(axis.fc2f(fc)), row = axis.row(level[size_t(fc)]);
        EXPECT_EQ(bar_top(img, pal, sx), row) << fc;
        EXPECT_GE(bar_top(img, pal, sx - 1), row) << fc;
        EXPECT_GE(bar_top(img, pal, sx + 1), row) << fc;
    }
    for (auto [f, ink, text] : {std::tuple{1000, pal.major, "1k"}, std::tuple{2000, pal.minor, "2k"},
                                std::tuple{500, pal.minor, "500"}}) {
        EXPECT_EQ(img.at(log_column(f), 150), ink) << f;
        EXPECT_TRUE(shows_text(img, glyphs, text, log_column(f) + 3, glyphs.cell_height(), ink)) << f;
    }
    char label[64];
    std::snprintf(label, sizeof label, "%d Hz %.1f dB", int(axis.fc2f(30)), double(level[30]));
    EXPECT_STREQ(label, "656 Hz -6.0 dB");
    const int x = log_column(axis.fc2f(30)) - int(std::strlen(label)) * glyphs.cell_width() / 2;
    EXPECT_TRUE(shows_text(img, glyphs, label, x, axis.row(level[30]) - 6, pal.marker));
}

// After a steady file the key s writes the levels as displayed and the
// picture of both drawing areas (a full draw, left above right).
TEST_F(AnalyserMeasuring, ExportWritesTheLevelsAndThePicture)
{
    const StereoBlock block{tone_block({{100, 1.0}}), tone_block({{300, 0.3}})};
    ASSERT_NO_FATAL_FAILURE(start(std::vector<StereoBlock>(3, block), {"-xrm", "Zentaphon.exportDirectory: " + out.path()}));
    ASSERT_NO_FATAL_FAILURE(play_file());
    ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 500, 100));
    ASSERT_TRUE(key(dpy, XK_s));
    ASSERT_TRUE(prog->wait_stderr("spectrum exported to ")) << prog->stderr_text();
    const std::string err = prog->stderr_text();
    const size_t at = err.find(out.path() + "/zentaphon-");
    ASSERT_NE(at, std::string::npos) << err;
    const std::string base = err.substr(at, err.find(".csv", at) - at);
    EXPECT_NE(err.find(" and " + base + ".png\n"), std::string::npos) << err;

    const Reference ref;
    Track l, r;
    l.block(ref.raw_db(block, Mix::Left), true, 0);
    r.block(ref.raw_db(block, Mix::Right), true, 0);
    std::ifstream csv(base + ".csv");
    std::string line;
    ASSERT_TRUE(std::getline(csv, line));
    EXPECT_EQ(line, "frequency_hz,left_db,right_db");
    int k = 0;
    for (double f, a, b; std::getline(csv, line) && k < num_fft; ++k) {
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf", &f, &a, &b), 3) << line;
        EXPECT_NEAR(f, double(Axis{}.fc2f(k)), 1e-4) << k;
        EXPECT_NEAR(a, double(l.level[size_t(k)]), 0.01) << k;
        EXPECT_NEAR(b, double(r.level[size_t(k)]), 0.01) << k;
    }
    EXPECT_EQ(k, num_fft);
    EXPECT_FALSE(std::getline(csv, line));

    const Image png = Image::load_png(base + ".png");
    evidence->add("png", png);
    ASSERT_EQ(png.width(), num_fft);
    ASSERT_EQ(png.height(), 500);
    Glyphs glyphs(dpy);
    Palette pal(dpy);
    EXPECT_EQ(paint(scene_of(l, Picture::Text::Exact), glyphs).differences(png.crop(Rect{0, 0, num_fft, 250}), pal), "");
    EXPECT_EQ(paint(scene_of(r, Picture::Text::Exact), glyphs).differences(png.crop(Rect{0, 250, num_fft, 250}), pal), "");
}

// Export is all or nothing, never over an earlier export: s before the
// first block says there is nothing yet; twenty presses in a second leave
// twenty pairs, made with the umask's permissions; a file system with room
// for the CSV but not the picture gets one line with the reason, no file.
TEST_F(AnalyserMeasuring, ExportsWholePairsUnderNamesOfTheirOwn)
{
    const StereoBlock block{tone_block({{100, 1.0}}), tone_block({{300, 0.3}})};
    ASSERT_NO_FATAL_FAILURE(start(std::vector<StereoBlock>(3, block), {"-xrm", "Zentaphon.exportDirectory: " + out.path()}));
    auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(out.path()))
            names.push_back(e.path());
        std::sort(names.begin(), names.end());
        return names;
    };
    auto press_s = [&](int times) {
        for (int i = 0; i < times; ++i)
            ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 500, 100) && key(dpy, XK_s));
    };
    press_s(1);
    ASSERT_TRUE(prog->wait_stderr("error: nothing to export yet")) << prog->stderr_text();
    EXPECT_TRUE(listing().empty());

    ASSERT_NO_FATAL_FAILURE(play_file());
    press_s(20);
    EXPECT_TRUE(wait_until([&] { return count_of(prog->stderr_text(), "spectrum exported to ") == 20; }));
    const std::vector<std::string> names = listing();
    ASSERT_EQ(names.size(), 40u) << prog->stderr_text();
    const mode_t mask = umask(0);
    umask(mask);
    struct stat st[2];
    for (size_t i = 0; i < names.size(); i += 2) {
        EXPECT_EQ(names[i].substr(0, names[i].size() - 4) + ".png", names[i + 1]);
        ASSERT_TRUE(stat(names[i].c_str(), &st[0]) == 0 && stat(names[i + 1].c_str(), &st[1]) == 0);
        EXPECT_EQ(st[0].st_mode & 0777, 0666 & ~mask) << names[i];
    }

    // Pages for the CSV and one more: the picture needs more than that.
    ASSERT_GT(st[1].st_size, 4096);
    const std::string size = "size=" + std::to_string(((st[0].st_size + 4095) / 4096 + 1) * 4) + "k";
    if (mount("tmpfs", out.path().c_str(), "tmpfs", 0, size.c_str()) != 0)
        GTEST_SKIP() << "no small file system to fill: " << std::strerror(errno);
    press_s(1);
    EXPECT_TRUE(wait_until([&] { return count_of(prog->stderr_text(), "error:") == 2; }));
    usleep(300000);
    const std::string err = prog->stderr_text();
    EXPECT_EQ(count_of(err, "error:"), 2) << err;
    EXPECT_NE(err.find(": No space left on device\n"), std::string::npos) << err;
    EXPECT_TRUE(listing().empty());
    umount(out.path().c_str());
}

// Button 3 posts the menu in either area; dragged through "Frequency
// scale" and released on "Logarithmic", it redraws both areas with the log
// grid at once.
TEST_F(AnalyserMeasuring, PopupMenuSwitchesToTheLogScale)
{
    ASSERT_NO_FATAL_FAILURE(start({}, {}));
    std::vector<Window> known = top_levels(dpy);
    // A top-level come up since the last call, and its posted menu pane
    // (the submenus share one shell).
    auto new_menu = [&]() {
        Window found = 0, pane = 0;
        wait_until([&] {
            for (Window w : top_levels(dpy))
                if (is_viewable(dpy, w) && std::find(known.begin(), known.end(), w) == known.end())
                    found = w;
            return found != 0;
        });
        known.push_back(found);
        for (Window w : children(dpy, found))
            pane = is_viewable(dpy, w) ? w : pane;
        return kids_top_down(dpy, pane);
    };
    ASSERT_TRUE(press(dpy, win.spectrum.area[1], 300, 100, 3));
    const std::vector<WindowInfo> items = new_menu();
    ASSERT_EQ(items.size(), 6u) << dump_tree(dpy, server.root());   // Averaging, Frequency scale, Peak level, Export, Transfer function, Spectrogram
    ASSERT_TRUE(move_pointer(dpy, items[1].window, 10, items[1].height / 2));
    const std::vector<WindowInfo> scales = new_menu();
    ASSERT_EQ(scales.size(), 2u) << dump_tree(dpy, server.root());  // Linear, Logarithmic
    ASSERT_TRUE(move_pointer(dpy, scales[1].window, 10, scales[1].height / 2));
    ASSERT_TRUE(release(dpy, scales[1].window, 10, scales[1].height / 2, 3));

    Palette pal(dpy);
    for (Window area : win.spectrum.area) {
        Image img;
        EXPECT_TRUE(wait_until([&] {
            img = capture(dpy, area);
            // The 1 kHz line of the log grid, none at 2500 Hz of the linear one.
            return !img.empty() && img.at(log_column(1000), 150) == pal.major && img.at(116, 150) == pal.bg;
        })) << "no log grid";
        evidence->add("log-grid", img);
    }
}

// With errorDialog on, a start that fails shows its line in "Zentaphon:
// Error", below the report of a setting out of range; off, the line goes to standard error only, as do the reports of
// measuring settings out of range.
TEST_F(AnalyserMeasuring, ErrorDialogShowsTheErrorLine)
{
    Glyphs glyphs(dpy);
    for (bool on : {true, false}) {
        ASSERT_NO_FATAL_FAILURE(start({}, {"-length", "1000", "-xrm", on ? "Zentaphon.errorDialog: True" : "Zentaphon.averaging: 1001",
                                           "-xrm", on ? "Zentaphon.averaging: 0" : "Zentaphon.frequencyScale: mel"},
                                      on ? "on" : "off"));
        ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
        ASSERT_TRUE(prog->wait_stderr("error: illegal")) << prog->stderr_text();
        const std::string err = prog->stderr_text();
        const size_t at = err.find("error: illegal");
        const std::string line = err.substr(at, err.find('\n', at) - at);
        if (on) {
            const Window dialog = wait_for_window(dpy, "Zentaphon: Error");
            ASSERT_NE(dialog, 0u) << dump_tree(dpy, server.root());
            Image img;
            EXPECT_TRUE(wait_until([&] {
                img = capture(dpy, dialog);
                return shows_text(img, glyphs, line, -1, 0, colour(dpy, "yellow")) &&
                       shows_text(img, glyphs, "error: averaging 0 is not between 1 and 1000, using 1", -1, 0,
                                  colour(dpy, "yellow"));
            }, 10)) << line;
            evidence->add("dialog", img);
        } else {
            EXPECT_TRUE(wait_until([&] { return !is_set(dpy, win.controls.analyser_run); }));
            EXPECT_FALSE(wait_for_window(dpy, "Zentaphon: Error", 2));
            EXPECT_EQ(err.find("error: averaging 1001 is not between 1 and 1000, using 1\n"
                               "error: frequencyScale \"mel\" is neither linear nor log, using linear\n"),
                      0u) << err;
        }
        prog->kill();
    }
}
