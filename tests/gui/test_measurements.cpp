// The measurements in the running program: generated 16-bit files played in
// disk-file mode, read back through the log, the "Measurements" window and
// its export. Expected values come from how each signal was made.
#include "gui/program_on_file.h"
#include "gui/test_control.h"

#include <X11/keysym.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace harness;
using namespace analyser_test;

namespace {

using Wave = std::function<LD(int)>;    // frame -> sample, full scale 1
const LD pi = std::acos(LD(-1));
const LD half_db = 20 * std::log10(LD(0.5)), half = 0.5;   // -6.02 dBFS

// A sine of f Hz and amplitude a, with second and third harmonics of these
// fractions of a, all shifted by phase.
Wave sine(LD f, LD a, LD second = 0, LD third = 0, LD phase = 0)
{
    return [=](int i) {
        const LD w = 2 * pi * f * i / sample_rate + phase;
        return a * (std::sin(w) + second * std::sin(2 * w) + third * std::sin(3 * w));
    };
}

// Gaussian noise: the same sequence for the same seed.
Wave noise(LD rms, unsigned seed)
{
    return [gen = std::mt19937(seed), g = std::normal_distribution<double>(0, double(rms))](int) mutable {
        return LD(g(gen));
    };
}

Wave operator+(Wave a, Wave b)
{
    return [=](int i) mutable { return a(i) + b(i); };
}

// A file of stretches of frames each, (left, right), in 16 bits.
std::vector<StereoBlock> blocks_of(int frames, std::vector<std::pair<Wave, Wave>> stretches)
{
    StereoBlock all;
    auto put = [](std::vector<int16_t>& out, LD v) { out.push_back(int16_t(std::clamp<LD>(std::nearbyint(v * 32767), -32768, 32767))); };
    for (auto& [l, r] : stretches)
        for (int i = 0; i < frames; ++i) {
            put(all.left, l(i));
            put(all.right, r(i));
        }
    std::vector<StereoBlock> blocks;
    for (auto at = all.left.begin(), r = all.right.begin(); at != all.left.end(); at += block_frames, r += block_frames)
        blocks.push_back({{at, at + block_frames}, {r, r + block_frames}});
    return blocks;
}

const std::string header =
    "time_s,channel,rms_dbfs,peak_dbfs,frequency_hz,level_db,thd_pct,thdn_pct,snr_db,sinad_db,correlation,dc_pct,crest_db,enob_bits,balance_db,phase_deg";

// A CSV line by the header's names; an empty field reads as NaN.
struct Line : std::map<std::string, std::string> {
    double operator()(const std::string& name) const { return at(name).empty() ? NAN : std::strtod(at(name).c_str(), nullptr); }
};

std::vector<Line> read_csv(const std::string& path)
{
    std::vector<Line> out;
    std::vector<std::string> lines = control_test::read_lines(path);
    EXPECT_FALSE(lines.empty() || lines[0] != header) << path;
    for (size_t k = 1; k < lines.size(); ++k) {
        std::stringstream names(header), values(lines[k] + ",");
        out.emplace_back();
        for (std::string name, value; std::getline(names, name, ',') && std::getline(values, value, ',');)
            out.back()[name] = value;
    }
    return out;
}

class Measurements : public ProgramOnFile {
protected:
    const std::string measurement_log = dir.file("measurements.csv");

    void start(const std::vector<StereoBlock>& blocks, const std::vector<std::string>& args)
    {
        ASSERT_TRUE(write_file(file(), wav_bytes(blocks)));
        launch(args);
    }
};

}  // namespace

// At 16384 frames every block is logged, measured on its own
// (measurementLength 16384): THD of 1 % third harmonic on and
// off a component, of 0.1 % second plus third; SNR of noise 60 dB below a
// sine over the whole band, of which the band 20 Hz .. 20 kHz holds 19980 /
// 22050; THD+N of a bare 16-bit sine; level, peak and frequency; the
// correlation of identical, opposite, independent and silent channels.
TEST_F(Measurements, LogOfStereoBlocksAt16384Frames)
{
    const LD rms = half / std::sqrt(LD(2));
    const Wave tone = sine(1000, half), hiss = tone + noise(rms / 1000, 1), minus = [hiss](int i) mutable { return -hiss(i); };
    ASSERT_NO_FATAL_FAILURE(start(blocks_of(16384, {{sine(1000, half, 0, 0.01), sine(1001.3L, half, 0, 0.01)},
                                                    {sine(1000, half, 0.001, 0.001), sine(997.3L, half)},
                                                    {hiss, sine(997.3L, std::pow(LD(10), LD(-1) / 20))},
                                                    {hiss, hiss},
                                                    {hiss, minus},
                                                    {noise(rms, 2), noise(rms, 3)},
                                                    {tone, sine(0, 0)}}),
                                  {"-length", "16384", "-xrm", "Zentaphon.measurementLog: " + measurement_log, "-xrm",
                                   "Zentaphon.measurementLength: 16384"}));
    ASSERT_NO_FATAL_FAILURE(play_file());
    const std::vector<Line> l = read_csv(measurement_log);
    ASSERT_EQ(l.size(), 14u);
    for (size_t i = 0; i < l.size(); ++i) {
        EXPECT_EQ(l[i].at("channel"), i % 2 ? "right" : "left") << i;
        EXPECT_NEAR(l[i]("time_s"), (i / 2 + 1) * 16384.0 / 44100, 0.0005) << i;
    }
    EXPECT_NEAR(l[0]("thd_pct"), 1.00, 0.01);
    EXPECT_NEAR(l[1]("thd_pct"), 1.00, 0.01);
    EXPECT_NEAR(l[1]("frequency_hz"), 1001.3, 0.05);
    EXPECT_NEAR(l[2]("thd_pct"), 0.1 * std::sqrt(2.0), 0.002);
    EXPECT_NEAR(l[3]("frequency_hz"), 997.3, 0.05);
    EXPECT_NEAR(l[3]("rms_dbfs"), double(half_db), 0.02);
    EXPECT_NEAR(l[3]("peak_dbfs"), double(half_db), 0.1);
    EXPECT_NEAR(l[3]("level_db"), double(half_db), 0.02);
    EXPECT_NEAR(l[4]("snr_db"), 60 - 10 * std::log10(19980.0 / 22050), 0.3);
    EXPECT_LT(-l[5]("sinad_db"), -95);
    EXPECT_LT(20 * std::log10(l[5]("thdn_pct") / 100), -95);
    EXPECT_NEAR(l[6]("correlation"), 1.0, 0.01);
    EXPECT_NEAR(l[8]("correlation"), -1.0, 0.01);
    EXPECT_NEAR(l[10]("correlation"), 0.0, 0.05);
    EXPECT_EQ(l[11]("correlation"), l[10]("correlation"));
    EXPECT_EQ(l[13]("rms_dbfs"), -INFINITY);
    for (const char* f : {"frequency_hz", "level_db", "thd_pct", "thdn_pct", "snr_db", "sinad_db", "correlation"})
        EXPECT_TRUE(std::isnan(l[13](f))) << f;
    EXPECT_TRUE(std::isnan(l[12]("correlation")));
}

// At 2048 frames (21.5 blocks a second) in mono, each block measured on
// its own (a measurementLength below the block is the block), one update every
// rint(21.5 / 4) = 5 blocks, from the first: the mono line without a
// correlation, THD on and off a component, a frequency within 0.5 Hz; in
// dBFS mode calibrated by 100 dB, the level of the fundamental only. The
// window is shown at start-up by its resource.
TEST_F(Measurements, LogOfMonoEveryFifthBlockAt2048Frames)
{
    const Wave s0 = sine(1000, half, 0, 0.01), s1 = sine(1001.3L, half, 0, 0.01), s2 = sine(997.3L, half);
    ASSERT_NO_FATAL_FAILURE(start(blocks_of(5 * block_frames, {{s0, s0}, {s1, s1}, {s2, s2}}),
                                  {"-mono", "-xrm", "Zentaphon.measurementLog: " + measurement_log, "-xrm", "Zentaphon.measurements: True",
                                   "-xrm", "Zentaphon.dbfs: True", "-xrm", "Zentaphon.calibration: 100", "-xrm",
                                   "Zentaphon.measurementLength: 128"}));
    ASSERT_TRUE(place_window(dpy, wait_for_window(dpy, "Zentaphon: Measurements"), 100, 760)) << dump_tree(dpy, server.root());
    ASSERT_NO_FATAL_FAILURE(play_file());
    char first[32];
    std::snprintf(first, sizeof first, "%.3f,mono,", 2048.0 / 44100);
    EXPECT_EQ(control_test::read_lines(measurement_log).at(1).rfind(first, 0), 0u);
    const std::vector<Line> l = read_csv(measurement_log);
    ASSERT_EQ(l.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(l[i]("time_s"), (5 * i + 1) * 2048.0 / 44100, 0.0005) << i;
        EXPECT_EQ(l[i].at("correlation"), "") << i;
        EXPECT_EQ(l[i].at("balance_db") + l[i].at("phase_deg"), "") << i;
    }
    EXPECT_NEAR(l[0]("thd_pct"), 1.00, 0.01);
    EXPECT_NEAR(l[1]("thd_pct"), 1.00, 0.01);
    EXPECT_NEAR(l[2]("frequency_hz"), 997.3, 0.5);
    EXPECT_NEAR(l[2]("level_db"), double(half_db) + 100, 0.02);   // calibrated in dBFS mode
    EXPECT_NEAR(l[2]("rms_dbfs"), double(half_db), 0.05);         // never
}

// The window opens from the key m and from the menu, shows the values of
// a tone with 1 % third harmonic whose right channel leads by 90 degrees,
// and export writes them. A log that cannot be written says so once and
// the run goes on to the end of the file.
TEST_F(Measurements, WindowShowsAndExportsTheValues)
{
    ASSERT_NO_FATAL_FAILURE(start(blocks_of(16384, {{sine(1000, half, 0, 0.01), sine(1000, half, 0, 0.01, pi / 2)}}),
                                  {"-length", "16384", "-xrm", "Zentaphon.measurementLog: /dev/full", "-xrm",
                                   "Zentaphon.exportDirectory: " + out.path()}));
    ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 500, 100));
    ASSERT_TRUE(key(dpy, XK_m));
    Window readout = wait_for_window(dpy, "Zentaphon: Measurements");
    ASSERT_NE(readout, 0u) << dump_tree(dpy, server.root());
    ASSERT_TRUE(send_delete_window(dpy, readout));
    ASSERT_TRUE(wait_for_window_gone(dpy, "Zentaphon: Measurements"));

    // Button 3, then release on the menu's last entry, a gadget below the
    // last window, "Transfer function...".
    const std::vector<Window> known = top_levels(dpy);
    ASSERT_TRUE(press(dpy, win.spectrum.area[0], 300, 100, 3));
    Window menu = 0, pane = 0;
    ASSERT_TRUE(wait_until([&] {
        for (Window w : top_levels(dpy))
            if (is_viewable(dpy, w) && std::find(known.begin(), known.end(), w) == known.end())
                menu = w;
        return menu != 0;
    }));
    for (Window w : children(dpy, menu))
        pane = is_viewable(dpy, w) ? w : pane;
    const std::vector<WindowInfo> items = kids_top_down(dpy, pane);
    ASSERT_EQ(items.size(), 6u) << dump_tree(dpy, server.root());   // Spectrogram... last
    const int y = items[4].y + items[4].height * 3 / 2;
    ASSERT_TRUE(move_pointer(dpy, pane, 10, y));
    ASSERT_TRUE(release(dpy, pane, 10, y, 3));
    readout = wait_for_window(dpy, "Zentaphon: Measurements");
    ASSERT_NE(readout, 0u) << dump_tree(dpy, server.root());
    ASSERT_TRUE(place_window(dpy, readout, 100, 760));   // below the analyser
    ASSERT_NO_FATAL_FAILURE(play_file());
    EXPECT_EQ(log.writes(), 1);

    Glyphs glyphs(dpy);
    const uint32_t ink = colour(dpy, "yellow");
    auto shows = [&](const Image& img, const std::string& text) {   // anywhere in the grid font
        const auto& px = glyphs.pixels(text);
        for (int oy = 0; oy < img.height(); ++oy)
            for (int ox = 0; ox + int(text.size()) * glyphs.cell_width() <= img.width(); ++ox)
                if (std::all_of(px.begin(), px.end(), [&](auto p) {
                        return oy + p.second >= 0 && oy + p.second < img.height() && img.at(ox + p.first, oy + p.second) == ink;
                    }))
                    return true;
        return false;
    };
    Image img;
    EXPECT_TRUE(wait_until([&] {
        img = capture(dpy, readout);
        return shows(img, "1000.00 Hz") && shows(img, "1.0000 %") && shows(img, "+90.0 deg");
    })) << "values not shown";
    evidence->add("readout", img);

    ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 500, 100));
    ASSERT_TRUE(key(dpy, XK_s));
    ASSERT_TRUE(prog->wait_stderr("measurements exported to ")) << prog->stderr_text();
    const std::string err = prog->stderr_text();
    const size_t at = err.find("measurements exported to ") + 25;
    const std::string csv = err.substr(at, err.find('\n', at) - at);
    EXPECT_EQ(csv.rfind(out.path() + "/zentaphon-", 0), 0u) << csv;
    EXPECT_EQ(csv.substr(csv.size() - 17), "-measurements.csv");
    const std::vector<Line> l = read_csv(csv);
    ASSERT_EQ(l.size(), 2u);
    for (const Line& c : l) {
        EXPECT_NEAR(c("frequency_hz"), 1000, 0.05);
        EXPECT_NEAR(c("thd_pct"), 1.00, 0.01);
        EXPECT_NEAR(c("correlation"), 0.0, 0.01);
    }
    // One line for the log, none about anything else.
    EXPECT_EQ(err.find("error: "), err.find("error: cannot write the measurement log /dev/full: "));
    EXPECT_EQ(err.find("error: ", err.find("error: ") + 1), std::string::npos) << err;
}

// Reads fail for good from the device's 10th read call on, twice: after
// each stall sampling stops, and Run starts it again. The log keeps both
// runs under its one header, with no row for the failed blocks (no -inf of
// their silence); its time goes on one block a row within a run and jumps
// at the stall by at least the time the two failed blocks took (the
// device fails at once; each failure waits out its block's time).
TEST_F(Measurements, LogKeepsItsRowsAndTimeOverAStallAndRun)
{
    ASSERT_NO_FATAL_FAILURE(launch({"-length", "16384", "-xrm", "Zentaphon.measurementLog: " + measurement_log},
                                   {{"SIMDSP_LEFT", "sine:1000:-6dB"}, {"SIMDSP_RIGHT", "sine:1000:-6dB"},
                                    {"SIMDSP_FAIL_READ", "10+:EIO"}}, "", false));
    ASSERT_NO_FATAL_FAILURE(play_file());
    const size_t first_run = read_csv(measurement_log).size();
    ASSERT_NO_FATAL_FAILURE(play_file());
    ASSERT_EQ(count_of(prog->stderr_text(), "sampling stopped\n"), 2) << prog->stderr_text();
    const std::vector<Line> l = read_csv(measurement_log);
    ASSERT_TRUE(first_run >= 2 && l.size() == 2 * first_run) << first_run << " then " << l.size();
    const double block = 16384.0 / 44100;
    for (size_t i = 0; i < l.size(); ++i) {
        EXPECT_EQ(l[i].at("channel"), i % 2 ? "right" : "left") << i;
        EXPECT_GT(l[i]("rms_dbfs"), -20) << i;   // the tone, never a failed block's silence
        if (i % 2) {
            EXPECT_EQ(l[i].at("time_s"), l[i - 1].at("time_s")) << i;
        } else if (i == first_run) {
            EXPECT_GT(l[i]("time_s") - l[i - 2]("time_s"), 2 * block) << i;
        } else if (i > 0) {
            EXPECT_NEAR(l[i]("time_s") - l[i - 2]("time_s"), block, 0.002) << i;
        }
    }
}

// A FIFO whose reader never reads, with a pipe of one page: once the pipe
// is full the rows wait, the window still answers, and 2.5 s on the log
// goes with one line; Quit then exits at once.
TEST_F(Measurements, LogIntoAStuckFifoNeverHoldsTheProgram)
{
    const std::string fifo = dir.file("log.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_GT(fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    ASSERT_NO_FATAL_FAILURE(launch({"-length", "16384", "-xrm", "Zentaphon.measurementLog: " + fifo},
                                   {{"SIMDSP_LEFT", "sine:1000:-6dB"}}, "", false));
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    const std::string line = "error: cannot write the measurement log " + fifo + ": ";
    ASSERT_TRUE(prog->wait_stderr(line, 30)) << prog->stderr_text();
    const bool was = is_set(dpy, win.controls.peak_search);
    ASSERT_TRUE(click_centre(dpy, win.controls.peak_search));
    EXPECT_TRUE(wait_until([&] { return is_set(dpy, win.controls.peak_search) != was; }, 3.0));
    ASSERT_TRUE(send_delete_window(dpy, win.control));
    EXPECT_TRUE(prog->wait_exit(3.0));
    EXPECT_EQ(count_of(prog->stderr_text(), "error: "), 1) << prog->stderr_text();
    close(reader);
}

// A file size limit of 4096 bytes fails the log's writes as a full disk
// does: one line, and the file ends with its last whole row.
TEST_F(Measurements, LogOnAFullDiskEndsWithAWholeRow)
{
    ASSERT_TRUE(write_file(file(), wav_bytes(blocks_of(400 * block_frames, {{sine(1000, half), sine(1000, half)}}))));
    rlimit was{}, small{4096, 4096};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    small.rlim_max = was.rlim_max;
    void (*xfsz)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    launch({"-xrm", "Zentaphon.measurementLog: " + measurement_log});
    setrlimit(RLIMIT_FSIZE, &was);
    signal(SIGXFSZ, xfsz);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(prog->wait_stderr("error: cannot write the measurement log " + measurement_log + ": ", 30))
        << prog->stderr_text();
    std::ifstream in(measurement_log, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_TRUE(text.size() > 2048 && text.size() <= 4096) << text.size();
    EXPECT_EQ(text.back(), '\n');
    const std::vector<Line> l = read_csv(measurement_log);
    for (size_t i = 0; i < l.size(); ++i)
        EXPECT_EQ(l[i].size(), size_t(std::count(header.begin(), header.end(), ',') + 1)) << i;
    EXPECT_EQ(count_of(prog->stderr_text(), "error: "), 1) << prog->stderr_text();
}

// The log's last columns in stereo: the left's 1 % offset, the right's
// tone, at half the amplitude and 60 degrees ahead with 1 % third harmonic,
// without one; crest factors from peak and rms, the right's ENOB from its
// THD+N, the pair's balance and phase on both lines.
TEST_F(Measurements, LogEndsWithOffsetCrestEnobBalanceAndPhase)
{
    const LD dc = 0.01, q = 0.25, rms_l = std::sqrt(half * half / 2 + dc * dc), rms_r = q * std::sqrt(LD(1.0001) / 2);
    const Wave left = sine(1000, half) + [dc](int) { return dc; }, right = sine(1000, q, 0, 0.01, pi / 3);
    ASSERT_NO_FATAL_FAILURE(start(blocks_of(16384, {{left, right}}), {"-length", "16384", "-xrm", "Zentaphon.measurementLog: " + measurement_log}));
    ASSERT_NO_FATAL_FAILURE(play_file());
    const std::vector<Line> l = read_csv(measurement_log);
    ASSERT_EQ(l.size(), 2u);
    LD peak_l = 0, peak_r = 0;
    for (int i = 0; i < 16384; ++i)
        peak_l = std::max(peak_l, std::fabs(left(i))), peak_r = std::max(peak_r, std::fabs(right(i)));
    EXPECT_NEAR(l[0]("dc_pct"), 1.0, 0.01);
    EXPECT_NEAR(l[1]("dc_pct"), 0.0, 0.01);
    EXPECT_NEAR(l[0]("crest_db"), double(20 * std::log10(peak_l / rms_l)), 0.01);
    EXPECT_NEAR(l[1]("crest_db"), double(20 * std::log10(peak_r / rms_r)), 0.01);
    EXPECT_NEAR(l[1]("enob_bits"), double((20 * std::log10(std::sqrt(LD(1.0001)) / 0.01) - 1.76) / 6.02), 0.01);
    for (const Line& c : l) {
        EXPECT_NEAR(c("balance_db"), double(20 * std::log10(rms_l / rms_r)), 0.01);
        EXPECT_NEAR(c("phase_deg"), 60.0, 0.1);
    }
}

// 50 Hz with 0.5 % second and 0.3 % third harmonic in 2048-frame blocks:
// once a run has filled the default 32768 frames it reads its frequency,
// THD and level, the first update (2048 frames, 2.3 components) none; at
// measurementLength 2048 one hint line names the shortest length holding
// 16 components of 50 Hz.
TEST_F(Measurements, LowFundamentalNeedsTheLongerFrame)
{
    const Wave tone = sine(50, half, 0.005, 0.003);
    ASSERT_NO_FATAL_FAILURE(start(blocks_of(40 * block_frames, {{tone, tone}}), {"-mono", "-xrm", "Zentaphon.measurementLog: " + measurement_log}));
    ASSERT_NO_FATAL_FAILURE(play_file());
    const std::vector<Line> l = read_csv(measurement_log);
    ASSERT_EQ(l.size(), 8u);   // every fifth of 40 blocks
    EXPECT_TRUE(std::isnan(l[0]("frequency_hz")));
    for (size_t i = 4; i < l.size(); ++i) {   // from block 20, the frame full
        EXPECT_NEAR(l[i]("frequency_hz"), 50, 0.01) << i;
        EXPECT_NEAR(l[i]("thd_pct"), std::hypot(0.5, 0.3), 0.002) << i;
        EXPECT_NEAR(l[i]("level_db"), double(half_db), 0.01) << i;
    }
    prog.reset();
    ASSERT_NO_FATAL_FAILURE(launch({"-mono", "-xrm", "Zentaphon.measurementLength: 2048", "-xrm", "Zentaphon.measurementLog: " + measurement_log}));
    ASSERT_NO_FATAL_FAILURE(play_file());
    const std::string err = prog->stderr_text(), tail = " Hz needs a measurementLength of 16384 frames\n";   // >= 16 * 44100 / 50
    ASSERT_NE(err.find("hint: a fundamental near "), std::string::npos) << err;
    EXPECT_EQ(err.substr(err.find(" ", err.find("near ") + 5), tail.size()), tail) << err;
    EXPECT_EQ(err.find("hint: ", err.find("hint: ") + 1), std::string::npos) << err;
}
