// The transfer function's cost in the running program, on a private Xvfb
// with the simulated sound device unpaced: the program's own CPU time per
// block with the analyser running and visible, with the Transfer window
// closed and then open (visible, beside it), at the defaults. The
// difference is what the open window costs, given as a ratio of the whole
// analyser path (read, both spectra, both draws), in the program alone and
// with the X server's CPU time added. A fourth case, the analyser frozen,
// costs what the device (the simulated one generates every sample), the
// sampler and the event loop cost; less that, the analyser path is the
// analysers' own work, the third ratio. The program's resident memory is
// compared the same way.
//
// Built with the GUI test harness (bench/CMakeLists.txt); run by hand:
//   build/bench/transfer_live build/tools/simdsp/libsimdsp.so [seconds] [rounds]
#include "gui/test_analyser_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <dirent.h>
#include <unistd.h>

using namespace harness;
using namespace analyser_test;

namespace {

struct Figures {
    double us_per_block = 0;          // the program's CPU time
    double server_us_per_block = 0;   // the X server's
    long rss_kib = 0;
};

// CPU seconds (user and system) the process has used so far.
double cpu_seconds(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 1; f >> field && i <= 15; ++i)
        if (i == 14 || i == 15)
            ticks += std::stoull(field);
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

// The private Xvfb: the child of this process of that name.
pid_t x_server_pid()
{
    DIR* proc = opendir("/proc");
    pid_t found = 0;
    while (dirent* e = proc ? readdir(proc) : nullptr) {
        const pid_t pid = pid_t(std::atoi(e->d_name));
        std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
        std::string self, comm, state;
        pid_t parent = 0;
        if (pid > 0 && f >> self >> comm >> state >> parent && parent == getpid() && comm == "(Xvfb)")
            found = pid;
    }
    if (proc)
        closedir(proc);
    return found;
}

long rss_kib(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    long kib = 0;
    while (f >> word)
        if (word == "VmRSS:" && f >> kib)
            break;
    return kib;
}

std::vector<int16_t> noise(uint32_t seed, int blocks)
{
    std::vector<int16_t> out(size_t(block_frames) * size_t(blocks));
    for (int16_t& v : out) {
        seed = seed * 1664525u + 1013904223u;
        v = int16_t(int32_t(seed >> 16) - 32768) / 4;
    }
    return out;
}

bool measure(bool open, bool covered, bool frozen, double seconds, const std::string& simdsp, Figures& out)
{
    XServer server;
    if (!server.ok())
        return false;
    Display* dpy = server.display();
    TempDir dir;
    DeviceLog log{dir.file("dsp.log")};
    write_file(dir.file("left.raw"), raw_bytes(noise(1, 64)));
    write_file(dir.file("right.raw"), raw_bytes(noise(2, 64)));
    Program prog(server, open ? std::vector<std::string>{"-xrm", "Zentaphon.transfer: True"} : std::vector<std::string>{},
                 {{"LD_PRELOAD", simdsp},
                  {"SIMDSP_PACE", "fast"},
                  {"SIMDSP_LEFT", "file:" + dir.file("left.raw")},
                  {"SIMDSP_RIGHT", "file:" + dir.file("right.raw")},
                  {"SIMDSP_LOG", log.path}});
    Windows win = open_windows(dpy);
    if (!prog.started() || !win.ok()) {
        std::fprintf(stderr, "bench: windows not found\n%s\n", prog.stderr_text().c_str());
        return false;
    }
    if (open) {
        const Window t = wait_for_window(dpy, "Zentaphon: Transfer Function");
        if (!t || !place_window(dpy, t, 790, 740))   // clear of the analyser
            return false;
    }
    std::unique_ptr<Cover> cover;
    if (covered)
        cover = std::make_unique<Cover>(dpy, wait_for_window(dpy, "Zentaphon: Transfer Function"));
    click_centre(dpy, win.controls.analyser_run);
    if (!wait_until([&] { return log.reads() > 200; })) {
        std::fprintf(stderr, "bench: the analyser does not run\n%s\n", prog.stderr_text().c_str());
        return false;
    }
    if (frozen && !(move_pointer(dpy, win.spectrum.area[0], 500, 100) && key(dpy, XK_f) &&
                    wait_for_window(dpy, std::string(analyser_title) + " (frozen)"))) {
        std::fprintf(stderr, "bench: the analyser does not freeze\n%s\n", prog.stderr_text().c_str());
        return false;
    }
    const pid_t x = x_server_pid();
    const int r0 = log.reads();
    const double c0 = cpu_seconds(prog.pid()), x0 = cpu_seconds(x);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const int r1 = log.reads();
    out.us_per_block = 1e6 * (cpu_seconds(prog.pid()) - c0) / (r1 - r0);
    out.server_us_per_block = 1e6 * (cpu_seconds(x) - x0) / (r1 - r0);
    out.rss_kib = rss_kib(prog.pid());
    send_delete_window(dpy, win.control);
    prog.wait_exit(10);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s libsimdsp.so [seconds] [rounds]\n", argv[0]);
        return 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 6.0;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    // The three cases in turn, round after round, so that a change in the
    // machine's load touches all of them; the medians of the ratios.
    std::vector<double> program_ratio, own_ratio, whole_ratio, rss_growth;
    for (int round = 0; round < rounds; ++round) {
        Figures closed, open, covered, frozen;
        if (!measure(false, false, false, seconds, argv[1], closed) ||
            !measure(true, false, false, seconds, argv[1], open) ||
            !measure(true, true, false, seconds, argv[1], covered) ||
            !measure(false, false, true, seconds, argv[1], frozen)) {
            std::fprintf(stderr, "bench: the program did not run\n");
            return 1;
        }
        for (auto [name, f] : {std::pair{"closed ", closed}, std::pair{"open   ", open}, std::pair{"covered", covered}})
            std::printf("analyser visible, Transfer %s: program %.0f us CPU/block, X server %.0f, RSS %.1f MB\n",
                        name, f.us_per_block, f.server_us_per_block, f.rss_kib / 1024.0);
        std::printf("analyser frozen,  Transfer closed : program %.0f us CPU/block, X server %.0f\n",
                    frozen.us_per_block, frozen.server_us_per_block);
        const double added = open.us_per_block - closed.us_per_block;
        program_ratio.push_back(added / closed.us_per_block);
        own_ratio.push_back(added / (closed.us_per_block - frozen.us_per_block));
        whole_ratio.push_back((added + open.server_us_per_block - closed.server_us_per_block) /
                              (closed.us_per_block + closed.server_us_per_block));
        rss_growth.push_back((open.rss_kib - closed.rss_kib) / 1024.0);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("the open Transfer window costs %.2f times the analyser's path per block in the program, "
                "%.2f counting the X server's work too, %.2f of the analysers' own work (the program "
                "less its cost with the analyser frozen: device, sampler, event loop); RSS grows %.2f MB "
                "(medians of %d rounds)\n",
                median(program_ratio), median(whole_ratio), median(own_ratio), median(rss_growth), rounds);
    return 0;
}
