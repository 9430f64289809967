// What one block costs the XY scope at the default settings (2048 frames
// at 44100 Hz, zoom 6 dB, DC removal on, a 300 x 300 window): computing
// the points, and the whole draw_block with its three requests (fill,
// XDrawLines, XCopyPlane) against a private Xvfb, synchronised after every
// block so that the server's share is counted too. Each figure is also
// given as the counter block_fraction: the time per block divided by the
// block period 2048 / 44100 s (CPU time for the points alone, wall time
// with the server).
#include <benchmark/benchmark.h>

#include "app/AppResources.h"
#include "common/BlockInputs.h"
#include "sampler/Sampler.h"
#include "scope/Scope.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr unsigned frames = 2048;
constexpr double rate = 44100.0;
constexpr double block_period = frames / rate;   // seconds
constexpr unsigned blocks = 16;                  // a stretch of signal, cycled

// A stereo stretch of "music": a few partials with different levels and
// phases on each channel, a little noise, a small DC offset, as 16-bit
// samples widened like the sampler does; with the channel means of each
// block.
struct Signal {
    std::vector<int32_t> data;   // blocks x frames x 2
    std::vector<int> dc_left, dc_right;

    Signal()
    {
        const double pi = 3.141592653589793;
        std::mt19937 gen(7);
        std::uniform_real_distribution<double> noise(-1.0, 1.0);
        data.resize(static_cast<size_t>(blocks) * frames * 2);
        for (size_t n = 0; n < static_cast<size_t>(blocks) * frames; ++n) {
            const double t = n / rate;
            const double l = 0.30 * std::sin(2 * pi * 220.0 * t) + 0.15 * std::sin(2 * pi * 659.3 * t) +
                             0.08 * std::sin(2 * pi * 1975.0 * t + 0.3) + 0.03 * noise(gen) + 0.01;
            const double r = 0.25 * std::sin(2 * pi * 220.0 * t + 0.9) + 0.20 * std::sin(2 * pi * 440.0 * t) +
                             0.06 * std::sin(2 * pi * 2637.0 * t) + 0.03 * noise(gen) - 0.005;
            data[2 * n] = static_cast<int32_t>(std::lround(l * 32767.0)) * 65536;
            data[2 * n + 1] = static_cast<int32_t>(std::lround(r * 32767.0)) * 65536;
        }
        for (unsigned b = 0; b < blocks; ++b) {
            int dl, dr;
            channel_means(block(b), frames, dl, dr);
            dc_left.push_back(dl);
            dc_right.push_back(dr);
        }
    }

    const int32_t* block(unsigned b) const { return data.data() + static_cast<size_t>(b) * frames * 2; }

    // Block b, with its channel means in block_inputs as the work
    // procedure puts them there.
    const int32_t* feed(unsigned b) const
    {
        block_inputs.dc_left = dc_left[b];
        block_inputs.dc_right = dc_right[b];
        return block(b);
    }
};

const Signal& signal_stretch()
{
    static const Signal s;
    return s;
}

void default_settings()
{
    sampler.length = frames;
    sampler.rate = static_cast<int>(rate);
    app_resources.dcadjust = True;
    app_resources.zoom = 6.0f;
    block_inputs.dcadjust = true;
}

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// CPU time of this thread: for work done here alone, it is not inflated
// by whatever else shares the machine.
double thread_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

void report(benchmark::State& state, double elapsed)
{
    const double per_block = elapsed / static_cast<double>(state.iterations());
    state.counters["block_fraction"] = per_block / block_period;
    state.counters["us_per_block"] = per_block * 1e6;
}

// ---------------------------------------------------------------------------
// The points alone: no X at all.

void BM_ComputePoints(benchmark::State& state)
{
    default_settings();
    const Signal& sig = signal_stretch();
    Scope s;
    s.points = std::make_unique<XPoint[]>(frames);
    s.set_zoom(app_resources.zoom);
    s.width = s.height = 300;
    s.x_map.set_world(-1.0, 1.0);
    s.y_map.set_world(-1.0, 1.0);
    s.x_map.set_screen(0, 300);
    s.y_map.set_screen(300, 0);

    unsigned b = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        s.compute_points(sig.feed(b), frames, block_inputs);
        benchmark::DoNotOptimize(s.points.get());
        benchmark::ClobberMemory();
        b = (b + 1) % blocks;
    }
    report(state, thread_cpu_seconds() - start);
}
BENCHMARK(BM_ComputePoints);

// ---------------------------------------------------------------------------
// A private X server for the drawing benchmarks, started on first use and
// terminated when the program ends.

class PrivateServer {
public:
    PrivateServer()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
            }
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                   "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            return;
        }
        // The server writes its display number once it listens.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (poll(&p, 1, 30000) > 0) {
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number += c;
        }
        close(fds[0]);
        if (number.empty())
            return;
        name_ = ":" + number;
        display_ = XOpenDisplay(name_.c_str());
    }

    ~PrivateServer()
    {
        if (display_)
            XCloseDisplay(display_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    Display* display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string name_;
    Display* display_ = nullptr;
};

unsigned long named_pixel(Display* dpy, const char* name)
{
    XColor exact, screen;
    if (!XAllocNamedColor(dpy, DefaultColormap(dpy, DefaultScreen(dpy)), name, &screen, &exact))
        return BlackPixel(dpy, DefaultScreen(dpy));
    return screen.pixel;
}

// The global scope, set up on a mapped 300 x 300 window as the first
// expose of the scope window would; null when no server could be started.
Display* scope_on_server()
{
    static PrivateServer server;
    static bool done = false;
    Display* dpy = server.display();
    if (done || !dpy)
        return dpy;
    done = true;
    const int screen = DefaultScreen(dpy);
    app_resources.datacolor = named_pixel(dpy, "firebrick1");
    app_resources.backgroundcolor = named_pixel(dpy, "gray20");
    Window w = XCreateSimpleWindow(dpy, RootWindow(dpy, screen), 0, 0, 300, 300, 0,
                                   BlackPixel(dpy, screen), app_resources.backgroundcolor);
    XSelectInput(dpy, w, ExposureMask);
    XMapWindow(dpy, w);
    XEvent e;
    XWindowEvent(dpy, w, ExposureMask, &e);   // mapped and viewable
    scope.init(dpy, w);
    XSync(dpy, False);
    return dpy;
}

void draw_blocks(benchmark::State& state, bool copy)
{
    default_settings();
    Display* dpy = scope_on_server();
    if (!dpy) {
        state.SkipWithError("cannot start Xvfb");
        return;
    }
    scope.set_zoom(app_resources.zoom);
    const Signal& sig = signal_stretch();
    unsigned b = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        scope.draw_block(sig.feed(b), copy);
        XSync(dpy, False);   // the server has done the block's requests
        b = (b + 1) % blocks;
    }
    report(state, seconds(Clock::now() - start));   // wall time: the server's share too
}

// Points, fill, XDrawLines and XCopyPlane to the window: a visible scope.
void BM_DrawBlock(benchmark::State& state)
{
    draw_blocks(state, true);
}
BENCHMARK(BM_DrawBlock)->UseRealTime();

// The same without the copy: an iconified or covered scope window.
void BM_DrawBlockNoCopy(benchmark::State& state)
{
    draw_blocks(state, false);
}
BENCHMARK(BM_DrawBlockNoCopy)->UseRealTime();

}  // namespace
