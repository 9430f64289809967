// Readings in dBFS in the running program: the export against levels
// worked out here from the definition, calibration, long blocks, the
// reference trace, freeze and saved settings.
#include "gui/program_on_file.h"

#include <X11/keysym.h>
#include <memory>
#include <sys/stat.h>
#include <thread>

using namespace harness;
using namespace analyser_test;

namespace {

// dBFS levels of components k0 .. k1 of the 16-bit samples v, from the
// definition: widened and scaled to full scale, the window-weighted mean
// removed, Gaussian window of mean 1, unitary DFT, 10 log10(p) - 10 log10(n/4).
std::vector<LD> dbfs_levels(const std::vector<int16_t>& v, int k0, int k1, LD alpha = 20)
{
    const size_t n = v.size();
    std::vector<LD> w(n), x(n), out;
    LD sum = 0, xw = 0;
    for (size_t i = 0; i < n; ++i)
        sum += w[i] = std::exp(-alpha * std::pow((LD(std::min(i, n - 1 - i)) - LD(n / 2)) / n, 2));
    for (size_t i = 0; i < n; ++i)
        xw += (x[i] = LD(v[i]) * 65536 / 2147483647.0L) * (w[i] *= n / sum);
    for (size_t i = 0; i < n; ++i)
        x[i] = (x[i] - xw / n) * w[i];
    for (int k = k0; k <= k1; ++k) {
        LD re = 0, im = 0;
        for (size_t i = 0; i < n; ++i) {
            const LD t = 2 * std::acos(LD(-1)) * LD((i * size_t(k)) % n) / n;
            re += x[i] * std::cos(t);
            im += x[i] * std::sin(t);
        }
        out.push_back(10 * std::log10((re * re + im * im) / n) - 10 * std::log10(LD(n) / 4));
    }
    return out;
}

// n samples of a sines a * sin(2 pi f i / 44100) plus an offset, in 16 bits.
std::vector<int16_t> wave(int n, double f, double a, double offset = 0)
{
    std::vector<int16_t> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[size_t(i)] = int16_t(std::lround(32767 * (offset + a * std::sin(2 * M_PI * f * i / 44100))));
    return v;
}

// One long signal on both channels as the file's 2048-frame blocks.
std::vector<StereoBlock> blocks_of(const std::vector<int16_t>& v)
{
    std::vector<StereoBlock> out;
    for (auto at = v.begin(); at + block_frames <= v.end(); at += block_frames)
        out.push_back({{at, at + block_frames}, {at, at + block_frames}});
    return out;
}

// Every glyph pixel of text drawn at (x, y) shows rgb.
bool shows_text(const Image& img, Glyphs& g, const std::string& text, int x, int y, uint32_t rgb)
{
    for (auto [dx, dy] : g.pixels(text))
        if (x + dx < 0 || x + dx >= img.width() || y + dy < 0 || y + dy >= img.height() || img.at(x + dx, y + dy) != rgb)
            return false;
    return true;
}

// The numbers of an exported CSV, line by line after its header.
std::vector<std::vector<double>> read_csv(const std::string& path, std::string& header)
{
    std::ifstream in(path);
    std::getline(in, header);
    std::vector<std::vector<double>> rows;
    for (std::string line, cell; std::getline(in, line);) {
        rows.emplace_back();
        for (std::istringstream s(line); std::getline(s, cell, ',');)
            rows.back().push_back(std::stod(cell));
    }
    return rows;
}

class AnalyserReadings : public ProgramOnFile {
protected:
    // The program on these blocks in disk-file mode (none: on the simulated
    // device's live signal signal), exporting into out.
    void start(const std::vector<StereoBlock>& blocks, std::vector<std::string> args, const std::string& signal = "")
    {
        ASSERT_TRUE(write_file(file(), wav_bytes(blocks)));
        args.insert(args.end(), {"-xrm", "Zentaphon.exportDirectory: " + out.path()});
        launch(args,
               {{"SIMDSP_PACE", signal.empty() ? "fast" : "realtime"}, {"SIMDSP_LEFT", signal},
                {"XDG_CONFIG_HOME", dir.file("config")}},
               "readings", signal.empty());
    }
    // A key pressed with the pointer in the drawing area.
    bool area_key(unsigned long keysym)
    {
        return move_pointer(dpy, win.spectrum.area[0], 500, 100) && key(dpy, keysym);
    }
    // The file exported on the key s.
    std::string export_csv()
    {
        const size_t before = prog->stderr_text().size();
        EXPECT_TRUE(area_key(XK_s));
        EXPECT_TRUE(wait_until([&] { return prog->stderr_text().find(".csv", before) != std::string::npos; }));
        const std::string err = prog->stderr_text();
        const size_t at = err.find(out.path(), before);
        return at == std::string::npos ? "" : err.substr(at, err.find(".csv", at) + 4 - at);
    }
    // Posts the popup menu and releases button 3 on item i, the readings'
    // gadgets from 4 on, between "Export spectrum" and "Transfer
    // function..." ("Store reference", "Load reference...", ...).
    void choose(int i)
    {
        ASSERT_TRUE(press(dpy, win.spectrum.area[0], 300, 100, 3));
        std::vector<WindowInfo> items;
        Window pane = 0;
        ASSERT_TRUE(wait_until([&] {
            for (Window t : top_levels(dpy))
                for (Window c : children(dpy, t))
                    if (t != win.analyser && t != win.control && t != win.scope && is_viewable(dpy, c) &&
                        (items = kids_top_down(dpy, c)).size() == 6)   // with Spectrogram... last
                        return (pane = c) != 0;
            return false;
        })) << dump_tree(dpy, server.root());
        const int y = items[3].y + (i - 3) * items[3].height + items[3].height / 2;
        ASSERT_TRUE(move_pointer(dpy, pane, 10, y));
        ASSERT_TRUE(release(dpy, pane, 10, y, 3));
        ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 500, 100));
    }
    // "Load reference...": name (a to z and dots, in the export directory)
    // typed past the end of "Selection", the lower text field; without a
    // name the first file of the list at the right, double-clicked.
    void load_reference(const std::string& name = "")
    {
        ASSERT_NO_FATAL_FAILURE(choose(5));
        const Window dialog = wait_for_window(dpy, "Zentaphon: Load reference");
        ASSERT_TRUE(dialog && place_window(dpy, dialog, 1150, 400)) << dump_tree(dpy, server.root());
        WindowInfo field, files;
        auto leaf = [&](const WindowInfo& w) { return children(dpy, w.window).empty(); };
        for (const WindowInfo& w : find_descendants(dpy, dialog, leaf)) {
            if (w.width > 150 && w.height > 15 && w.height < 40 && w.root_y > field.root_y)
                field = w;
            if (w.width > 30 && w.height > 60 && w.root_x > files.root_x)   // no scroll bar
                files = w;
        }
        if (name.empty()) {
            ASSERT_TRUE(files.window && click(dpy, files.window, 10, 8) && click(dpy, files.window, 10, 8));
            return;
        }
        ASSERT_TRUE(field.window && click(dpy, field.window, field.width - 5, field.height / 2));
        for (char c : name + "\r")
            ASSERT_TRUE(key(dpy, c == '.' ? XK_period : c == '\r' ? XK_Return : XK_a + (c - 'a')));
    }
};

}  // namespace

// Calibrated by 100 dB in "dB SPL": the export holds k * rate / n and the
// levels worked out here (an offset and a tone between components on the
// left) plus 100, and the 0 dBFS grid line is labelled "+100".
TEST_F(AnalyserReadings, ExportInDbfsIsTheDefinitionPlusTheCalibration)
{
    const StereoBlock block{wave(block_frames, 659, 0.5, 0.05), wave(block_frames, 3000.5, 0.2)};
    ASSERT_NO_FATAL_FAILURE(start(std::vector<StereoBlock>(3, block), {"-xrm", "Zentaphon.dbfs: True", "-xrm",
                                  "Zentaphon.calibration: 100", "-xrm", "Zentaphon.levelUnit: dB SPL"}));
    ASSERT_NO_FATAL_FAILURE(play_file());
    std::string header;
    const auto rows = read_csv(export_csv(), header);
    EXPECT_EQ(header, "frequency_hz,left_db,right_db");
    ASSERT_EQ(rows.size(), size_t(num_fft));
    const std::vector<LD> left = dbfs_levels(block.left, 0, num_fft - 1), right = dbfs_levels(block.right, 0, num_fft - 1);
    for (size_t k = 0; k < rows.size(); ++k) {
        ASSERT_EQ(rows[k].size(), 3u);
        EXPECT_NEAR(rows[k][0], k * 44100.0 / block_frames, 1e-4) << k;
        EXPECT_NEAR(rows[k][1], double(std::clamp<LD>(left[k], -100, 10) + 100), 0.01) << k;
        EXPECT_NEAR(rows[k][2], double(std::clamp<LD>(right[k], -100, 10) + 100), 0.01) << k;
    }
    Glyphs glyphs(dpy);
    const Image img = capture(dpy, win.spectrum.area[0]);
    evidence->add("calibrated", img);
    EXPECT_TRUE(shows_text(img, glyphs, "+100", num_fft - 4 * glyphs.cell_width() - 2, Axis{}.row(0) - 2, Palette(dpy).major));
    // "Calibrate..." offers what the peak reads now; taken as it is, the
    // calibration stays.
    ASSERT_NO_FATAL_FAILURE(choose(8));
    const Window calibrate = wait_for_window(dpy, "Zentaphon: Calibrate");
    ASSERT_NE(calibrate, 0u) << dump_tree(dpy, server.root());
    ASSERT_TRUE(move_pointer(dpy, calibrate, 20, 20) && key(dpy, XK_Return));
    EXPECT_TRUE(prog->wait_stderr("calibration +100.00 dB: levels in dB SPL\n")) << prog->stderr_text();
}

// At 16384 frames in a window of 1025 columns the 100 Hz tone's bar stands
// at its level's row, and its interpolated peak label starts at the left
// edge instead of being cut off.
TEST_F(AnalyserReadings, LongBlocksKeepTheToneAndTheLabelInside)
{
    const int n = 16384;
    const std::vector<int16_t> tone = wave(n, 100, 0.5);
    ASSERT_NO_FATAL_FAILURE(start(blocks_of(tone), {"-mono", "-length", "16384", "-xrm", "Zentaphon.dbfs: True"}));
    XResizeWindow(dpy, win.analyser, num_fft, 250);
    ASSERT_TRUE(wait_until([&] { return window_info(dpy, win.spectrum.area[0]).width == num_fft; }));
    ASSERT_TRUE(click_centre(dpy, win.controls.peak_search));
    ASSERT_NO_FATAL_FAILURE(play_file());

    // The tone lies at 37.15 components; the parabola through 36 .. 38.
    const std::vector<LD> d = dbfs_levels(tone, 36, 38);
    const LD offset = (d[0] - d[2]) / (2 * (d[0] - 2 * d[1] + d[2]));
    char label[32];
    std::snprintf(label, sizeof label, "%.1f Hz", double((37 + offset) * 44100 / n));
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    const Axis axis;
    Image img;
    EXPECT_TRUE(wait_until([&] {
        img = capture(dpy, win.spectrum.area[0]);
        return shows_text(img, glyphs, label, 0, axis.row(d[1]) - 6, pal.marker);
    })) << label;
    evidence->add("long", img);
    const int column = int(std::lround(1024 * 37.0 / 8192)), want = axis.row(20 * std::log10(0.5L));
    int top = 0;
    while (top < img.height() && img.at(column, top) != pal.bar)
        ++top;
    EXPECT_NEAR(top, want, 1);
}

// r keeps the levels: after another file the trace shows them in cyan,
// the export adds them, Clear removes the trace and loading the export
// of those levels brings back the same picture.
TEST_F(AnalyserReadings, ReferenceTraceIsStoredExportedClearedAndLoaded)
{
    // The same on both channels: their mean in mono.
    const std::vector<int16_t> first = tone_block({{100, 0.5}, {400, 0.03}}), second = tone_block({{300, 0.1}});
    const StereoBlock a{first, first};
    ASSERT_NO_FATAL_FAILURE(start({a, a}, {"-mono", "-xrm", "Zentaphon.dbfs: True"}));
    ASSERT_NO_FATAL_FAILURE(play_file());
    const std::string first_csv = export_csv();
    ASSERT_TRUE(area_key(XK_r));
    ASSERT_TRUE(write_file(dir.file("signal.wav"), wav_bytes({StereoBlock{second, second}})));
    ASSERT_NO_FATAL_FAILURE(play_file());

    const uint32_t cyan = colour(dpy, "cyan");
    const std::vector<LD> old = dbfs_levels(a.left, 0, num_fft - 1);
    const Axis axis;
    Image shown;
    EXPECT_TRUE(wait_until([&] {
        shown = capture(dpy, win.spectrum.area[0]);
        for (int k : {50, 99, 100, 101, 300, 400, 700})
            if (shown.at(k, axis.row(old[size_t(k)])) != cyan)
                return false;
        return true;
    }));
    evidence->add("reference", shown);

    std::string header;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));   // exports are named by the second
    const auto rows = read_csv(export_csv(), header);
    EXPECT_EQ(header, "frequency_hz,level_db,reference_db");
    ASSERT_EQ(rows.size(), size_t(num_fft));
    for (int k : {0, 100, 400, 1024})
        EXPECT_NEAR(rows[size_t(k)][2], double(std::clamp<LD>(old[size_t(k)], -100, 10)), 0.01) << k;

    ASSERT_NO_FATAL_FAILURE(choose(6));   // Clear reference
    EXPECT_TRUE(wait_until([&] { return !capture(dpy, win.spectrum.area[0]).contains(cyan); }));

    ASSERT_NO_FATAL_FAILURE(choose(5));   // Load reference...: the first export is the list's first file
    const Window dialog = wait_for_window(dpy, "Zentaphon: Load reference");
    ASSERT_NE(dialog, 0u) << dump_tree(dpy, server.root());
    const std::vector<WindowInfo> lists = find_descendants(dpy, dialog, [&](const WindowInfo& w) {
        return w.width > 60 && w.height > 60 && children(dpy, w.window).empty();
    });
    ASSERT_GE(lists.size(), 1u) << dump_tree(dpy, dialog);   // the files at the right
    auto root_x = [&](const WindowInfo& w) {
        int x = 0, y = 0;
        Window child;
        XTranslateCoordinates(dpy, w.window, server.root(), 0, 0, &x, &y, &child);
        return x;
    };
    const Window files = std::max_element(lists.begin(), lists.end(), [&](const WindowInfo& p, const WindowInfo& q) {
        return root_x(p) < root_x(q);
    })->window;
    ASSERT_TRUE(click(dpy, files, 10, 8));
    ASSERT_TRUE(click(dpy, files, 10, 8));
    ASSERT_TRUE(prog->wait_stderr("reference loaded from " + first_csv)) << prog->stderr_text();
    Image loaded;
    EXPECT_TRUE(wait_until([&] { return (loaded = capture(dpy, win.spectrum.area[0])) == shown; }));
    evidence->add("loaded", loaded);
}

// Live, f holds the picture for a second of a changing signal and the
// title says so; f again lets it move on.
TEST_F(AnalyserReadings, FreezeHoldsThePictureWhileSamplingGoesOn)
{
    ASSERT_NO_FATAL_FAILURE(start({}, {"-mono"}, "sine:1000:-6dB+noise:7:0.05"));
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(click_centre(dpy, win.controls.scope_run));
    Palette pal(dpy);
    ASSERT_TRUE(wait_until([&] { return capture(dpy, win.spectrum.area[0]).at(46, 100) == pal.bar; }));
    ASSERT_TRUE(area_key(XK_f));
    ASSERT_NE(wait_for_window(dpy, std::string(analyser_title) + " (frozen)"), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Image held = capture(dpy, win.spectrum.area[0]);
    const int reads = log.reads();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(capture(dpy, win.spectrum.area[0]) == held);
    EXPECT_GT(log.reads(), reads + 10);   // sampling went on
    ASSERT_TRUE(area_key(XK_f));
    EXPECT_TRUE(wait_until([&] { return capture(dpy, win.spectrum.area[0]) != held; }));
    EXPECT_NE(wait_for_window(dpy, analyser_title), 0u);
}

// Saved, the settings come back without options; an -xrm line of the
// same name wins over the file, a looser one does not.
TEST_F(AnalyserReadings, SavedSettingsComeBackUnlessGivenAsSpecifically)
{
    const std::string path = dir.file("config") + "/zentaphon/Zentaphon";
    auto save = [&](const std::string& tag) {
        std::remove(path.c_str());
        const size_t before = prog->stderr_text().size();
        choose(7);   // Save settings
        EXPECT_TRUE(wait_until([&] { return prog->stderr_text().find("settings saved to " + path, before) != std::string::npos; }))
            << tag << prog->stderr_text();
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        prog->kill();
        EXPECT_TRUE(wait_for_window_gone(dpy, control_title));
        return s.str();
    };
    ASSERT_NO_FATAL_FAILURE(start({}, {"-xrm", "Zentaphon.averaging: 16", "-xrm", "Zentaphon.frequencyScale: log", "-xrm",
                                       "Zentaphon.calibration: 93.5", "-xrm", "Zentaphon.levelUnit: dB SPL"}));
    const std::string saved = save("first");
    EXPECT_NE(saved.find("Zentaphon.averaging: 16\nZentaphon.frequencyScale: log\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Zentaphon.calibration: 93.5\nZentaphon.levelUnit: dB SPL\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Zentaphon.alpha: 20\n"), std::string::npos) << saved;

    ASSERT_NO_FATAL_FAILURE(start({}, {}));
    EXPECT_EQ(save("again"), saved);

    ASSERT_NO_FATAL_FAILURE(start({}, {"-xrm", "Zentaphon.calibration: 0", "-xrm", "*averaging: 4"}));
    const std::string given = save("given");
    EXPECT_NE(given.find("Zentaphon.averaging: 16\nZentaphon.frequencyScale: log\n"), std::string::npos) << given;
    EXPECT_NE(given.find("Zentaphon.calibration: 0\n"), std::string::npos) << given;
}

// A FIFO as the saved settings or the reference is refused at once, with
// one line. A reference of 10 rows (0 to 194 Hz) is drawn and exported
// over its components only, its cells empty beyond; a level of 2000 dB is
// refused and the trace stays.
TEST_F(AnalyserReadings, ReferencesAndSettingsAreReadOnlyFromRegularFilesAndForWhatTheyCover)
{
    const std::string saved = dir.file("config") + "/zentaphon/Zentaphon", table = out.file("a.csv");
    ASSERT_TRUE(mkdir(dir.file("config").c_str(), 0700) == 0 && mkdir((dir.file("config") + "/zentaphon").c_str(), 0700) == 0);
    ASSERT_TRUE(mkfifo(saved.c_str(), 0600) == 0 && mkfifo(out.file("fifo.csv").c_str(), 0600) == 0);
    const std::vector<int16_t> tone = tone_block({{300, 0.1}});
    ASSERT_NO_FATAL_FAILURE(start({{tone, tone}}, {"-mono", "-xrm", "Zentaphon.dbfs: True"}));
    EXPECT_EQ(prog->stderr_text(), "error: cannot read the saved settings " + saved + ": it is no regular file\n");
    ASSERT_NO_FATAL_FAILURE(load_reference("fifo.csv"));
    EXPECT_TRUE(prog->wait_stderr("error: cannot load the reference " + out.file("fifo.csv") + ": it is no regular file\n", 2.5));

    std::string rows = "frequency_hz,level_db\n";
    for (int k = 0; k < 10; ++k)   // -25 dB: between grid lines
        rows += std::to_string(k * 44100.0 / block_frames) + ",-25\n";
    ASSERT_TRUE(write_file(table, rows));
    ASSERT_NO_FATAL_FAILURE(play_file());
    ASSERT_NO_FATAL_FAILURE(load_reference());
    ASSERT_TRUE(prog->wait_stderr("reference loaded from " + table)) << prog->stderr_text();
    const uint32_t cyan = colour(dpy, "cyan");
    Image shown;
    EXPECT_TRUE(wait_until([&] {
        return (shown = capture(dpy, win.spectrum.area[0])).count(cyan, Rect{1, Axis{}.row(-25), 9, 1}) == 9;
    }));
    evidence->add("short-reference", shown);
    EXPECT_EQ(shown.count(cyan, Rect{10, 0, shown.width() - 10, shown.height()}), 0u);
    std::string header;
    const auto exported = read_csv(export_csv(), header);
    ASSERT_EQ(exported.size(), size_t(num_fft));
    for (size_t k = 0; k < exported.size(); ++k)   // 1: no reference cell
        ASSERT_EQ(exported[k].size() == 3 ? exported[k][2] : 1.0, k < 10 ? -25.0 : 1.0) << k;

    ASSERT_TRUE(write_file(table, "frequency_hz,level_db\n0,-20\n21.5,2000\n"));
    ASSERT_NO_FATAL_FAILURE(load_reference());
    EXPECT_TRUE(prog->wait_stderr("error: cannot load the reference " + table + ": line 3: ")) << prog->stderr_text();
    EXPECT_EQ(count_of(prog->stderr_text(), "error: "), 3) << prog->stderr_text();
    EXPECT_TRUE(capture(dpy, win.spectrum.area[0]) == shown);
}

// Calibrating on silence would make every level +inf: one line, and the
// calibration stays.
TEST_F(AnalyserReadings, CalibrateOnSilenceIsRefused)
{
    const StereoBlock quiet{silent_block(), silent_block()};
    ASSERT_NO_FATAL_FAILURE(start({quiet, quiet}, {"-mono", "-xrm", "Zentaphon.dbfs: True"}));
    ASSERT_NO_FATAL_FAILURE(play_file());
    ASSERT_NO_FATAL_FAILURE(choose(8));
    const Window calibrate = wait_for_window(dpy, "Zentaphon: Calibrate");
    ASSERT_TRUE(calibrate && move_pointer(dpy, calibrate, 20, 20)) << dump_tree(dpy, server.root());
    for (unsigned long k : std::vector<unsigned long>(20, XK_BackSpace))   // the offered "-inf dBFS"
        ASSERT_TRUE(key(dpy, k));
    ASSERT_TRUE(key(dpy, XK_9) && key(dpy, XK_4) && key(dpy, XK_Return));
    EXPECT_TRUE(prog->wait_stderr("error: cannot calibrate: the peak reads no level (-inf dBFS), calibration kept\n"))
        << prog->stderr_text();
    EXPECT_EQ(count_of(prog->stderr_text(), "calibration "), 1) << prog->stderr_text();
}

// "Calibrate..." in dBFS mode to 0 on a tone between the analyser's
// components (1001.3 Hz, amplitude 0.5): the calibration lifts the
// fundamental's level by its definition, 20 log10(0.5), to 0, where the
// next run's measurement log reads it.
TEST_F(AnalyserReadings, CalibrationTakesTheFundamentalsLevel)
{
    const std::string log_file = dir.file("measurements.csv");
    ASSERT_NO_FATAL_FAILURE(start(blocks_of(wave(24 * block_frames, 1001.3, 0.5)), {"-xrm", "Zentaphon.dbfs: True", "-xrm", "Zentaphon.measurementLog: " + log_file}));
    ASSERT_NO_FATAL_FAILURE(play_file());
    ASSERT_NO_FATAL_FAILURE(choose(8));
    const Window calibrate = wait_for_window(dpy, "Zentaphon: Calibrate");
    ASSERT_NE(calibrate, 0u) << dump_tree(dpy, server.root());
    ASSERT_TRUE(move_pointer(dpy, calibrate, 20, 20));
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(key(dpy, XK_End) && key(dpy, XK_BackSpace));
    ASSERT_TRUE(key(dpy, XK_0) && key(dpy, XK_Return));
    ASSERT_TRUE(prog->wait_stderr("dB: levels in dBFS\n")) << prog->stderr_text();
    const std::string err = prog->stderr_text();
    EXPECT_NEAR(std::strtod(err.c_str() + err.find("calibration ") + 12, nullptr), -20 * std::log10(0.5 * 32767 / 32768), 0.006) << err;
    ASSERT_NO_FATAL_FAILURE(play_file());
    std::ifstream in(log_file);
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    ASSERT_EQ(last.find(",right,"), 5u) << last;   // time_s x.xxx, then the level_db field
    EXPECT_NEAR(std::strtod(last.c_str() + last.find(',', last.find(',', last.find(',', 12) + 1) + 1) + 1, nullptr), 0.0, 0.01) << last;
}
