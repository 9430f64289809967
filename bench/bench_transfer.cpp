// What one block costs the transfer function with its window open, at the
// defaults (frames of 16384, averaging 16, 1/12-octave smoothing, blocks of
// 2048 frames at 44100 Hz), against both analysers' computation of the
// same block: add_block, and after each new frame the values of the 800
// columns the window draws (no X). The frame's FFTs fall on every fourth
// block; the figure is the mean over many blocks. Also the resident memory
// the transfer function adds, with and without the delay finder.
#include <benchmark/benchmark.h>

#include "bench/bench_setup.h"

#include "analyser/Analyser.h"
#include "analyser/Transfer.h"
#include "app/AppResources.h"
#include "sampler/Sampler.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

double per_block_seconds(benchmark::State& state, const std::chrono::steady_clock::time_point& start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
           double(state.iterations());
}

double analyser_seconds = 0, transfer_seconds = 0;

void BM_Analysers(benchmark::State& state)
{
    const BlockInputs in = set_up_analysers(frames, rate);
    const std::vector<int32_t> data = signal();
    unsigned b = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const int32_t* block = data.data() + size_t(b) * frames * 2;
        analysers[0].compute_spectrum(block, Analyser::Left, in);
        analysers[1].compute_spectrum(block, Analyser::Right, in);
        benchmark::DoNotOptimize(analysers[0].level.get());
        b = (b + 1) % blocks;
    }
    analyser_seconds = per_block_seconds(state, start);
}
BENCHMARK(BM_Analysers);

void BM_TransferWindowOpen(benchmark::State& state)
{
    static Transfer t;
    t.setup(16384);
    t.set_smoothing(12);
    const std::vector<int32_t> data = signal();
    // The window's table of each column's components, made once as it does.
    std::vector<unsigned> first(columns), last(columns);
    for (unsigned c = 0; c < columns; ++c)
        t.band(column_component(c), first[c], last[c]);
    unsigned b = 0;
    double sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (t.add_block(data.data() + size_t(b) * frames * 2, frames))
            for (unsigned c = 0; c < columns; ++c)
                sink += t.over(first[c], last[c]).magnitude_db;
        benchmark::DoNotOptimize(sink);
        b = (b + 1) % blocks;
    }
    transfer_seconds = per_block_seconds(state, start);
}
BENCHMARK(BM_TransferWindowOpen)->MinTime(2.0);

// Both in turn per block, as the running program takes them: what the
// transfer function adds here includes what its memory takes from the
// analysers' share of the caches.
double both_seconds = 0;
void BM_AnalysersAndTransfer(benchmark::State& state)
{
    const BlockInputs in = set_up_analysers(frames, rate);
    static Transfer t;
    t.setup(16384);
    t.set_smoothing(12);
    const std::vector<int32_t> data = signal();
    std::vector<unsigned> first(columns), last(columns);
    for (unsigned c = 0; c < columns; ++c)
        t.band(column_component(c), first[c], last[c]);
    unsigned b = 0;
    double sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const int32_t* block = data.data() + size_t(b) * frames * 2;
        analysers[0].compute_spectrum(block, Analyser::Left, in);
        analysers[1].compute_spectrum(block, Analyser::Right, in);
        if (t.add_block(block, frames))
            for (unsigned c = 0; c < columns; ++c)
                sink += t.over(first[c], last[c]).magnitude_db;
        benchmark::DoNotOptimize(sink);
        b = (b + 1) % blocks;
    }
    both_seconds = per_block_seconds(state, start);
}
BENCHMARK(BM_AnalysersAndTransfer)->MinTime(2.0);

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
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (analyser_seconds > 0 && transfer_seconds > 0)
        std::printf("transfer function (window open) per block: %.1f us = %.3f times both analysers' %.1f us\n",
                    transfer_seconds * 1e6, transfer_seconds / analyser_seconds, analyser_seconds * 1e6);
    if (analyser_seconds > 0 && both_seconds > 0)
        std::printf("both in turn: %.1f us per block, the transfer function adding %.3f times the analysers'\n",
                    both_seconds * 1e6, both_seconds / analyser_seconds - 1.0);
    return 0;
}
