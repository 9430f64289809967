// Measures the analyser of the running program on a private Xvfb, with the
// simulated sound device unpaced, so that nothing but the program and the X
// server limits the block rate:
//
//   blocks per second with the analyser running and its window visible (the
//   whole per-block path: read, both spectra, both incremental draws,
//   flushed), the same with the window covered (computation only), and the
//   multiple of real time (44100 / 2048 = 21.53 blocks per second);
//
//   bytes of X requests the program sends per block for the incremental
//   draws, against a full repaint of both drawing areas, counted by the X
//   server itself through the RECORD extension.
//
// Built and run by scripts/bench-analyser, which links it with the GUI test
// harness. Not part of the test suite: it times things.
#include "gui/test_analyser_support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace harness;
using namespace analyser_test;

namespace {

using Clock = std::chrono::steady_clock;

// Each channel is a raw file that the simulated device plays in a loop,
// so that making the signal costs the program's process next to nothing.
struct Signal {
    std::string name;
    std::vector<int16_t> left, right;
};

std::vector<int16_t> noise(uint32_t seed, double level, int blocks)
{
    std::vector<int16_t> out(size_t(block_frames) * size_t(blocks));
    for (int16_t& v : out) {
        seed = seed * 1664525u + 1013904223u;
        v = int16_t(std::lrint((double(seed >> 8) / double(1u << 24) * 2 - 1) * level * 32767));
    }
    return out;
}

std::vector<int16_t> plus(std::vector<int16_t> a, const std::vector<int16_t>& b)
{
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = int16_t(std::max(-32768, std::min(32767, a[i] + b[i % b.size()])));
    return a;
}

struct Result {
    std::string signal;
    double visible_bps = 0, covered_bps = 0;
    double bytes_per_block = 0, requests_per_block = 0;
    double full_bytes = 0, full_requests = 0;
};

// Blocks read during `seconds`, from the device log, per second.
double block_rate(const DeviceLog& log, double seconds)
{
    const int r0 = log.reads();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const int r1 = log.reads();
    const double dt = std::chrono::duration<double>(Clock::now() - t0).count();
    return (r1 - r0) / dt;
}

bool measure(const Signal& sig, double seconds, const std::string& simdsp, Result& out)
{
    out.signal = sig.name;
    XServer server;
    if (!server.ok()) {
        std::fprintf(stderr, "bench: no Xvfb: %s\n", server.error().c_str());
        return false;
    }
    Display* dpy = server.display();
    TempDir dir;
    DeviceLog log{dir.file("dsp.log")};
    if (!write_file(dir.file("left.raw"), raw_bytes(sig.left)) ||
        !write_file(dir.file("right.raw"), raw_bytes(sig.right)))
        return false;
    Program prog(server, {},
                 {{"LD_PRELOAD", simdsp},
                  {"SIMDSP_PACE", "fast"},
                  {"SIMDSP_LEFT", "file:" + dir.file("left.raw")},
                  {"SIMDSP_RIGHT", "file:" + dir.file("right.raw")},
                  {"SIMDSP_LOG", log.path}});
    if (!prog.started()) {
        std::fprintf(stderr, "bench: %s\n", prog.error().c_str());
        return false;
    }
    Windows win = open_windows(dpy);
    if (!win.ok() || win.spectrum.area.size() != 2) {
        std::fprintf(stderr, "bench: windows not found\n%s\n", prog.stderr_text().c_str());
        return false;
    }

    // Running, visible: the whole path.
    click_centre(dpy, win.controls.analyser_run);
    if (!wait_until([&] { return log.reads() > 20; })) {
        std::fprintf(stderr, "bench: the analyser does not run\n%s\n", prog.stderr_text().c_str());
        return false;
    }
    out.visible_bps = block_rate(log, seconds);

    // The bytes of the incremental draws, counted by the server.
    {
        Recorder rec(server.name(), win.analyser);
        if (!rec.ok()) {
            std::fprintf(stderr, "bench: RECORD is missing\n");
            return false;
        }
        const int r0 = log.reads();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
        const int r1 = log.reads();
        rec.stop();
        double bytes = 0, requests = 0;
        for (const Recorder::Item& it : rec.items()) {
            if (it.request) {
                bytes += it.bytes;
                requests += 1;
            }
        }
        const int blocks = r1 - r0;
        out.bytes_per_block = blocks > 0 ? bytes / blocks : 0;
        out.requests_per_block = blocks > 0 ? requests / blocks : 0;
    }

    // Fully covered: the analysers compute every block but draw nothing.
    {
        Cover cover(dpy, win.analyser);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        out.covered_bps = block_rate(log, seconds);
    }

    // Stopped, then both areas exposed whole: two full draws.
    click_centre(dpy, win.controls.analyser_run);
    wait_until([&] { return log.closes() == 1; });
    wait_until([&] { return !is_set(dpy, win.controls.analyser_run); });
    {
        Recorder rec(server.name(), win.analyser);
        for (Window a : win.spectrum.area)
            XClearArea(dpy, a, 0, 0, 0, 0, True);
        XSync(dpy, False);
        // Each full draw ends with the labels; wait until both have come.
        rec.wait_for([](const Recorder::Item&) { return false; }, 0.5);
        rec.stop();
        for (const Recorder::Item& it : rec.items()) {
            if (it.request) {
                out.full_bytes += it.bytes;
                out.full_requests += 1;
            }
        }
    }
    send_delete_window(dpy, win.control);
    prog.wait_exit(10);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s libsimdsp.so [seconds]\n", argv[0]);
        return 2;
    }
    const std::string simdsp = argv[1];
    const double seconds = argc > 2 ? std::atof(argv[2]) : 4.0;
    // A steady full-scale tone (no bar moves after the first block), white
    // noise (nearly every bar moves every block), and two tones over faint
    // noise (the bars near the floor move).
    const Signal signals[] = {
        {"tone", tone_block({{100, 1.0}}), silent_block()},
        {"noise", noise(1, 0.5, 16), noise(2, 0.5, 16)},
        {"tones+hiss", plus(noise(3, 0.0005, 16), tone_block({{46, 0.5}})),
         plus(noise(4, 0.0005, 16), tone_block({{139, 0.5}}))},
    };
    const double real_time = blocks_per_second;
    std::printf("zentaphon analyser, stereo, 2048-frame blocks at 44100 Hz (%.3f blocks/s in real time),\n"
                "default settings, simulated device unpaced, %.1f s per figure\n\n",
                real_time, seconds);
    std::printf("%-11s %12s %8s %9s %12s %8s %9s %12s %10s %14s %10s\n", "signal", "visible b/s", "x real",
                "us/block", "covered b/s", "x real", "us/block", "bytes/block", "req/block", "full repaint B",
                "requests");
    bool ok = true;
    for (const Signal& s : signals) {
        Result r;
        if (!measure(s, seconds, simdsp, r)) {
            ok = false;
            continue;
        }
        std::printf("%-11s %12.0f %8.1f %9.0f %12.0f %8.1f %9.0f %12.0f %10.1f %14.0f %10.0f\n", r.signal.c_str(),
                    r.visible_bps, r.visible_bps / real_time, 1e6 / r.visible_bps, r.covered_bps,
                    r.covered_bps / real_time, 1e6 / r.covered_bps, r.bytes_per_block, r.requests_per_block,
                    r.full_bytes, r.full_requests);
        std::fflush(stdout);
    }
    std::printf("\nbytes/block: X requests of one block's incremental draws of both areas (labels every\n"
                "fifth block included); full repaint: both areas exposed whole once, with labels.\n");
    return ok ? 0 : 1;
}
