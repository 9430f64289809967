// The Transfer window in the running program: a disk file of pink noise
// against the same noise through a 1 kHz low-pass and a delay, played on
// the simulated device at full speed. The delay finder's line, the
// exported CSV (against the filter's exact response) and picture, and a
// delay beyond the finder's reach.
#include "gui/program_on_file.h"
#include "tests/unit/transfer_signals.h"

#include <X11/keysym.h>
#include <memory>

using namespace harness;
using namespace analyser_test;

namespace {

constexpr const char* transfer_title = "Zentaphon: Transfer Function";

std::string wav(const std::vector<int16_t>& interleaved)
{
    std::string out = "RIFF";
    const uint32_t bytes = uint32_t(2 * interleaved.size());
    put_le(out, 36 + bytes, 4);
    out += "WAVEfmt ";
    for (auto [v, n] : {std::pair{16u, 4}, {1u, 2}, {2u, 2}, {44100u, 4}, {44100u * 4, 4}, {4u, 2}, {16u, 2}})
        put_le(out, v, n);
    out += "data";
    put_le(out, bytes, 4);
    for (int16_t s : interleaved)
        put_le(out, uint16_t(s), 2);
    return out;
}

class TransferWindow : public ProgramOnFile {
protected:
    Window transfer = 0;

    // Plays the file with transferDelay auto, accumulating, unsmoothed;
    // the Transfer window from the setting, or else from the key t in
    // the analyser.
    void play(const std::vector<int16_t>& samples, bool at_start, std::vector<std::string> args = {})
    {
        ASSERT_TRUE(write_file(file(), wav(samples)));
        args.insert(args.end(), {"-xrm", "Zentaphon.transferDelay: auto",
                                         "-xrm", "Zentaphon.transferAveraging: 0",
                                         "-xrm", "Zentaphon.transferSmoothing: 0",
                                         "-xrm", "Zentaphon.exportDirectory: " + dir.path()});
        if (at_start)
            args.insert(args.end(), {"-xrm", "Zentaphon.transfer: True"});
        ASSERT_NO_FATAL_FAILURE(launch(args));
        if (!at_start) {
            ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 500, 100));
            ASSERT_TRUE(key(dpy, XK_t));
        }
        transfer = wait_for_window(dpy, transfer_title);
        ASSERT_NE(transfer, 0u) << dump_tree(dpy, server.root());
        ASSERT_TRUE(place_window(dpy, transfer, 780, 690));
        play_file();
    }
};

}  // namespace

// 30 s, delayed by 441 samples: the finder's line, then a CSV of every
// component below half the rate within the tolerances of the exact
// response, coherence near 1 from 20 Hz to 10 kHz, and a picture that is
// what the window shows, traces drawn.
TEST_F(TransferWindow, FindsTheDelayAndExportsTheFilter)
{
    ASSERT_NO_FATAL_FAILURE(play(transfer_test::measurement(441, false), true));
    EXPECT_NE(prog->stderr_text().find("delay: 441 samples (10.000 ms)\n"), std::string::npos);

    const Window area = only_child(dpy, only_child(dpy, transfer));
    ASSERT_TRUE(move_pointer(dpy, area, 400, 250));
    ASSERT_TRUE(key(dpy, XK_s));
    ASSERT_TRUE(prog->wait_stderr("transfer function exported to ")) << prog->stderr_text();
    const std::string err = prog->stderr_text();
    const size_t at = err.find(dir.path() + "/zentaphon-");
    ASSERT_NE(at, std::string::npos) << err;
    const std::string base = err.substr(at, err.find(".csv", at) - at);
    EXPECT_EQ(base.substr(base.size() - 9), "-transfer");
    EXPECT_NE(err.find(" and " + base + ".png\n"), std::string::npos) << err;

    std::ifstream csv(base + ".csv");
    std::string line;
    ASSERT_TRUE(std::getline(csv, line));
    EXPECT_EQ(line, "frequency_hz,magnitude_db,phase_deg,coherence");
    const double step = 44100.0 / 16384;
    int k = 1;
    for (double f, db, deg, coh; std::getline(csv, line); ++k) {
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf", &f, &db, &deg, &coh), 4) << line;
        ASSERT_NEAR(f, k * step, 1e-4) << line;
        const std::complex<double> h = transfer_test::lowpass.response(k * step);
        for (auto [freq, tolerance, expected] : {std::tuple{100.0, 0.1, 0.00}, {1000.0, 0.2, -3.01}, {4000.0, 0.3, -24.55}})
            if (k == std::lround(freq / step)) {
                EXPECT_NEAR(db, 20 * std::log10(std::abs(h)), tolerance) << line;
                EXPECT_NEAR(db, expected, tolerance) << line;
            }
        if (k == std::lround(1000 / step)) {
            EXPECT_NEAR(deg, std::arg(h) * 180 / transfer_test::pi, 3) << line;
            EXPECT_NEAR(deg, -90, 3) << line;
        }
        if (f >= 20 && f <= 10000) {
            EXPECT_GE(coh, 0.99) << line;
        }
    }
    EXPECT_EQ(k, 8192);   // components 1 .. 8191, all below 22050 Hz

    const Image png = Image::load_png(base + ".png");
    ASSERT_TRUE(raise_window(dpy, transfer));
    Image shown;
    wait_until([&] { return (shown = capture(dpy, area)) == png; }, 5);
    evidence->add("png", png);
    evidence->add("shown", shown);
    ASSERT_FALSE(png.empty());
    EXPECT_TRUE(png == shown);
    EXPECT_GT(png.count(colour(dpy, "firebrick1")), 1000u);
}

// A delay of 20000 samples lies beyond the search: one line says so and D
// stays 0. The window came from the key t in the analyser.
TEST_F(TransferWindow, ADelayBeyondTheSearchIsNotTaken)
{
    ASSERT_NO_FATAL_FAILURE(play(transfer_test::measurement(20000, false, 8.0), false));
    const std::string err = prog->stderr_text();
    EXPECT_NE(err.find("delay: no clear delay found, still 0 samples (0.000 ms)\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("delay: 2"), std::string::npos) << err;
}

// 4 s of the filter at +-48 dB: the search for the delay, still collecting
// when the file ends, says so; -24.55 dB at 4 kHz stands three quarters
// down the magnitude panel instead of on its edge; the axis's last label,
// 20k, stands left of its line inside the area.
TEST_F(TransferWindow, WiderRangeAndASearchCutShort)
{
    ASSERT_NO_FATAL_FAILURE(play(transfer_test::measurement(0, false, 4.0), true,
                                 {"-xrm", "Zentaphon.transferRange: 48"}));
    const std::string err = prog->stderr_text();
    EXPECT_NE(err.find("delay: sampling stopped before the search had enough data, still 0 samples (0.000 ms)\n"),
              std::string::npos) << err;

    const Window area = only_child(dpy, only_child(dpy, transfer));
    ASSERT_TRUE(raise_window(dpy, transfer));
    const uint32_t data = colour(dpy, "firebrick1"), background = colour(dpy, "gray20");
    Image shown;
    ASSERT_TRUE(wait_until([&] { return (shown = capture(dpy, area)).count(data) > 1000; }, 5));
    evidence->add("shown", shown);
    ASSERT_EQ(shown.width(), 800);
    // The fixed font is 13 pixels high: the head line takes 17, the
    // magnitude panel 45 % of the rest less 3.
    const int top = 17, rows = (shown.height() - top) * 45 / 100 - 3;
    const int x = int(std::lround(799 * std::log(4000.0 / 20) / std::log(1000.0)));
    const double db = 20 * std::log10(std::abs(transfer_test::lowpass.response(4000.0)));
    const int expected = top + int(std::lround((48 - db) / 96 * (rows - 1)));
    std::vector<int> trace;
    for (int y = top; y < top + rows; ++y)
        if (shown.at(x, y) == data)
            trace.push_back(y);
    ASSERT_FALSE(trace.empty());
    EXPECT_LE(std::abs(trace.front() - expected), 3) << trace.front() << " against " << expected;
    EXPECT_GT(shown.count_other(background, Rect{799 - 3 - 3 * 6, top + 1, 3 * 6, 12}), 10u);
}
