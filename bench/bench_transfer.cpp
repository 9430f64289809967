// What one block costs the transfer function with its window open, at the
// defaults (frames of 16384, averaging 16, 1/12-octave smoothing, blocks of
// 2048 frames at 44100 Hz), against both analysers' computation of the
// same block: add_block, and after each new frame the values of the 800
// columns the window draws (no X). The frame's FFTs fall on every fourth
// block; a round's figure is the mean over 64 blocks. Each alone, and both
// in turn per block as the program runs them: what the transfer function
// adds then includes what its memory takes from the analysers' share of
// the caches. Also the resident memory the transfer function adds, with
// and without the delay finder. Run by hand:
//   build/bench/bench_transfer [rounds]
#include "bench/bench_setup.h"

#include "analyser/Analyser.h"
#include "transfer/Transfer.h"
#include "app/AppResources.h"
#include "sampler/Sampler.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <vector>

namespace {

constexpr unsigned frames = 2048;
constexpr int rate = 44100;
constexpr unsigned blocks = 32;
constexpr unsigned columns = 800;

std::vector<int32_t> signal()
{
    std::mt19937 gen(5);
    std::normal_distribution<double> noise(0.0, 3000.0);
    std::vector<int32_t> data(size_t(blocks) * frames * 2);
    double low = 0.0;
    for (size_t i = 0; i < size_t(blocks) * frames; ++i) {
        const double x = noise(gen);
        low += 0.1 * (x - low);
        data[2 * i] = int32_t(std::lround(x)) * 65536;
        data[2 * i + 1] = int32_t(std::lround(low)) * 65536;
    }
    return data;
}

// Column c's central component on the window's log axis, 20 Hz .. 20 kHz.
unsigned column_component(unsigned c)
{
    const double f = 20.0 * std::pow(1000.0, double(c) / (columns - 1));
    return unsigned(std::lround(f * 16384 / rate));
}

// One round: rounds_blocks blocks through the analysers, the transfer
// function (with the window's column values after each frame), or both in
// turn; seconds per block.
constexpr unsigned round_blocks = 64;   // 16 frames

struct Bench {
    BlockInputs in = set_up_analysers(frames, rate);
    std::vector<int32_t> data = signal();
    Transfer t;
    std::vector<unsigned> first, last;   // the window's columns, tabled once as it does
    unsigned b = 0;
    double sink = 0;

    Bench() : first(columns), last(columns)
    {
        t.setup(16384);
        t.set_smoothing(12);
        for (unsigned c = 0; c < columns; ++c)
            t.band(column_component(c), first[c], last[c]);
    }
    double round(bool analysers_on, bool transfer_on)
    {
        const auto start = std::chrono::steady_clock::now();
        for (unsigned i = 0; i < round_blocks; ++i, b = (b + 1) % blocks) {
            const int32_t* block = data.data() + size_t(b) * frames * 2;
            if (analysers_on) {
                analysers[0].compute_spectrum(block, Analyser::Left, in);
                analysers[1].compute_spectrum(block, Analyser::Right, in);
                sink += analysers[0].level[100];
            }
            if (transfer_on && t.add_block(block, frames))
                for (unsigned c = 0; c < columns; ++c)
                    sink += t.over(first[c], last[c]).magnitude_db;
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / round_blocks;
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long resident_kib()
{
    std::ifstream f("/proc/self/status");
    std::string word;
    long kib = 0;
    while (f >> word)
        if (word == "VmRSS:" && f >> kib)
            break;
    return kib;
}

// Resident memory before and after a transfer function is set up and fed
// a few seconds, and after its delay finder has run too.
void memory()
{
    const std::vector<int32_t> data = signal();
    const long before = resident_kib();
    static Transfer t;
    t.setup(16384);
    for (unsigned i = 0; i < 4 * blocks; ++i)
        t.add_block(data.data() + size_t(i % blocks) * frames * 2, frames);
    const long open = resident_kib();
    t.find_delay();
    for (unsigned i = 0; i < 160; ++i)
        t.add_block(data.data() + size_t(i % blocks) * frames * 2, frames);
    const long finder = resident_kib();
    std::printf("resident memory added by the transfer function: %.2f MB (%.2f of the 3 MB allowed); "
                "with the delay finder: %.2f MB\n",
                (open - before) / 1024.0, (open - before) / 1024.0 / 3.0, (finder - before) / 1024.0);
}

} // namespace

int main(int argc, char** argv)
{
    memory();
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 101;
    // The three cases round after round, so that a change in the machine's
    // speed touches all of them; the medians.
    static Bench bench;
    std::vector<double> alone, transfer, both;
    for (int r = 0; r < rounds; ++r) {
        alone.push_back(bench.round(true, false));
        transfer.push_back(bench.round(false, true));
        both.push_back(bench.round(true, true));
    }
    const double a = median(alone), t = median(transfer), b = median(both);
    std::printf("per block (medians of %d rounds of %u blocks): both analysers %.1f us, the transfer function "
                "with its window open %.1f us (%.2f times the analysers'), both in turn %.1f us: the transfer "
                "function adds %.2f times the analysers', its memory taking from their share of the caches "
                "(sink %g)\n",
                rounds, round_blocks, a * 1e6, t * 1e6, t / a, b * 1e6, b / a - 1.0, bench.sink);
    return 0;
}
