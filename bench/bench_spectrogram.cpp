// What the spectrogram adds to a block's client work, against the
// analysers' own computation at the defaults (2048 frames at 44100 Hz,
// stereo): for each of the two areas the levels quantised into the kept
// history, the rows' highest components and their pixels for one column
// 250 rows high (the image the window's one request carries). No display:
// Xlib's encoding of the requests (one image of 1 x 250, two copies, the
// time) is left out, the server's work too. Prints the ratio of the
// spectrogram's cost to the analysers'.
#include <benchmark/benchmark.h>

#include "bench/bench_setup.h"

#include "analyser/Analyser.h"
#include "spectrogram/SpectrogramHistory.h"
#include "spectrogram/SpectrogramPalette.h"
#include "spectrogram/SpectrogramRows.h"
#include "app/AppResources.h"
#include "common/BlockInputs.h"
#include "sampler/Sampler.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

constexpr unsigned frames = 2048;
constexpr int rate = 44100;
constexpr unsigned rows = 250, columns = 600, blocks = 8;

std::vector<int32_t> music()
{
    const double pi = 3.141592653589793;
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<int32_t> data(size_t(blocks) * frames * 2);
    for (size_t i = 0; i < size_t(blocks) * frames; ++i) {
        const double t = double(i) / rate;
        data[2 * i] = int32_t(std::lround((0.3 * std::sin(2 * pi * 220.0 * t) + 0.02 * noise(gen)) * 32767.0)) * 65536;
        data[2 * i + 1] = int32_t(std::lround((0.25 * std::sin(2 * pi * 440.0 * t) + 0.02 * noise(gen)) * 32767.0)) * 65536;
    }
    return data;
}

struct Area {
    SpectrogramHistory history;
    SpectrogramRows map;
    std::vector<uint8_t> values = std::vector<uint8_t>(rows);
    std::vector<uint32_t> column = std::vector<uint32_t>(rows);
    uint32_t pixels[256];
    Area(bool log)
    {
        history.reset(columns, frames / 2 + 1);
        map.build(rows, frames / 2 + 1, rate, log);
        for (unsigned i = 0; i < 256; ++i) {
            const Rgb c = spectrogram_colour(i, false);
            pixels[i] = uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
        }
    }
    void add(const double* level, const BlockInputs& in)
    {
        uint8_t* slot = history.push();
        const ColourIndex index(in.lowerdb, in.upperdb);
        for (unsigned k = 0; k < frames / 2 + 1; ++k)
            slot[k] = index(level[k]);
        map.column_values(slot, values.data());
        for (unsigned y = 0; y < rows; ++y)
            column[y] = pixels[values[y]];
    }
};

// The analysers' computation of a block, or (spectrogram) only the two
// areas' work on the levels the analysers left.
void run(benchmark::State& state, bool spectrogram, bool log)
{
    const BlockInputs in = set_up_analysers(frames, rate);
    const std::vector<int32_t> data = music();
    Area areas[2] = {Area(log), Area(log)};
    analysers[0].compute_spectrum(data.data(), Analyser::Left, in);
    analysers[1].compute_spectrum(data.data(), Analyser::Right, in);
    unsigned b = 0;
    for (auto _ : state) {
        const int32_t* block = data.data() + size_t(b) * frames * 2;
        if (!spectrogram) {
            analysers[0].compute_spectrum(block, Analyser::Left, in);
            analysers[1].compute_spectrum(block, Analyser::Right, in);
        } else {
            areas[0].add(analysers[0].raw_level.get(), in);
            areas[1].add(analysers[1].raw_level.get(), in);
        }
        benchmark::DoNotOptimize(areas[1].column.data());
        benchmark::DoNotOptimize(analysers[0].level.get());
        benchmark::ClobberMemory();
        b = (b + 1) % blocks;
    }
}

void BM_Analysers(benchmark::State& state) { run(state, false, false); }
BENCHMARK(BM_Analysers);
void BM_Spectrogram(benchmark::State& state) { run(state, true, false); }
BENCHMARK(BM_Spectrogram);
void BM_SpectrogramLog(benchmark::State& state) { run(state, true, true); }
BENCHMARK(BM_SpectrogramLog);

class Reporter : public benchmark::ConsoleReporter {
public:
    double seconds[3] = {0, 0, 0};
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0)
                continue;
            const double s = r.cpu_accumulated_time / double(r.iterations);
            const std::string name = r.benchmark_name();
            seconds[name == "BM_Analysers" ? 0 : name == "BM_Spectrogram" ? 1 : 2] = s;
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (reporter.seconds[0] > 0)
        std::printf("the spectrogram's client work per block: %.3f (linear), %.3f (log) of the analysers'\n",
                    reporter.seconds[1] / reporter.seconds[0], reporter.seconds[2] / reporter.seconds[0]);
    return 0;
}
