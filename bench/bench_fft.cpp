// The real FFT against FFTW's real-to-complex transform of the same size
// (planned with FFTW_MEASURE), at the default block length and two longer
// ones. Besides the usual table it prints, per size, the ratio of the two
// times and each transform's time as a fraction of the block period at
// 44100 Hz (n / 44100 s); the counter block_fraction gives the latter too.
#include <benchmark/benchmark.h>

#include "analyser/FFT.h"
#include "common/RealFFT.h"

#include <fftw3.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double rate = 44100.0;

std::vector<double> noise(int n)
{
    std::mt19937 gen(static_cast<unsigned>(n));
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> x(static_cast<size_t>(n));
    for (double& v : x)
        v = dist(gen);
    return x;
}

using Clock = std::chrono::steady_clock;

// Seconds per transform divided by the block period n / 44100 s.
void set_block_fraction(benchmark::State& state, int n, Clock::duration elapsed)
{
    const double per_block = std::chrono::duration<double>(elapsed).count() /
                             static_cast<double>(state.iterations());
    state.counters["block_fraction"] = per_block / (n / rate);
}

void BM_real_fft(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::vector<double> x = noise(n);
    // The transform is unitary, so repeating it in place keeps the values
    // of the order of 1: no denormals, no overflow.
    const auto start = Clock::now();
    for (auto _ : state) {
        real_fft(x.data(), n, fft_forward);
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    set_block_fraction(state, n, Clock::now() - start);
}
BENCHMARK(BM_real_fft)->Arg(2048)->Arg(16384)->Arg(65536);

// The tabled transform of the transfer function.
void BM_tabled_fft(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::vector<double> x = noise(n);
    RealFFT fft;
    fft.setup(static_cast<unsigned>(n));
    const auto start = Clock::now();
    for (auto _ : state) {
        fft.forward(x.data());
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    set_block_fraction(state, n, Clock::now() - start);
}
BENCHMARK(BM_tabled_fft)->Arg(2048)->Arg(16384)->Arg(65536);

// Two frames in one call; the time is per frame.
void BM_tabled_pair(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::vector<double> x = noise(2 * n + 1);
    double* pairs = RealFFT::pair_start(x.data());
    RealFFT fft;
    fft.setup(static_cast<unsigned>(n));
    const auto start = Clock::now();
    for (auto _ : state) {
        fft.forward_pair(pairs);
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(2 * state.iterations());
    set_block_fraction(state, n, (Clock::now() - start) / 2);
}
BENCHMARK(BM_tabled_pair)->Arg(2048)->Arg(16384)->Arg(65536);

void BM_fftw_r2c(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    double* in = fftw_alloc_real(static_cast<size_t>(n));
    fftw_complex* out = fftw_alloc_complex(static_cast<size_t>(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE);
    const std::vector<double> x = noise(n);   // after planning, which overwrites in
    for (int i = 0; i < n; ++i)
        in[i] = x[static_cast<size_t>(i)];
    const auto start = Clock::now();
    for (auto _ : state) {
        fftw_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    set_block_fraction(state, n, Clock::now() - start);
    fftw_destroy_plan(plan);
    fftw_free(out);
    fftw_free(in);
}
BENCHMARK(BM_fftw_r2c)->Arg(2048)->Arg(16384)->Arg(65536);

// The console table, and the CPU time per iteration of every run by name,
// for the ratios at the end.
class Reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred && r.iterations > 0)
                seconds[r.benchmark_name()] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
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

    for (int n : {2048, 16384, 65536}) {
        const std::string size = "/" + std::to_string(n);
        const auto ours = reporter.seconds.find("BM_real_fft" + size);
        const auto tabled = reporter.seconds.find("BM_tabled_fft" + size);
        const auto pair = reporter.seconds.find("BM_tabled_pair" + size);
        const auto ref = reporter.seconds.find("BM_fftw_r2c" + size);
        if (ours == reporter.seconds.end() || tabled == reporter.seconds.end() ||
            pair == reporter.seconds.end() || ref == reporter.seconds.end())
            continue;
        const double period = n / rate;
        std::printf("n = %5d: against FFTW, real_fft %.2f, RealFFT %.2f, RealFFT in pairs %.2f per frame; "
                    "of the block period: real_fft %.5f, RealFFT %.5f, FFTW %.5f\n",
                    n, ours->second / ref->second, tabled->second / ref->second,
                    pair->second / 2 / ref->second, ours->second / period, tabled->second / period,
                    ref->second / period);
    }
    return 0;
}
