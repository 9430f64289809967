// What one block costs the sampler at the default settings (2048 frames at
// 44100 Hz, 16-bit stereo): read_block from the simulated sound device at
// full speed (no pacing), that is the read, the widening to 32 bits and the
// channel means; the same for a WAV file played through the device; and the
// widening and the means alone. Each figure is also given as the counter
// block_fraction: the wall-clock time per block divided by the block period
// 2048 / 44100 s.
//
// The simulated device is a preload library, so the program runs itself
// again as a child with LD_PRELOAD and the SIMDSP_* variables set (and the
// recorded signal and the WAV file in a temporary directory). libsimdsp.so
// is found beside the build's bench directory, or named by ZEN_SIMDSP.
#include <benchmark/benchmark.h>

#include "pcm/PCM.h"
#include "sampler/Sampler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr unsigned int frames = 2048;
constexpr int rate = 44100;
constexpr double block_period = static_cast<double>(frames) / rate;  // seconds
constexpr unsigned int file_blocks = 64;

using Clock = std::chrono::steady_clock;

void set_block_fraction(benchmark::State& state, Clock::duration elapsed)
{
    const double per_block = std::chrono::duration<double>(elapsed).count() /
                             static_cast<double>(state.iterations());
    state.counters["block_fraction"] = per_block / block_period;
}

// Starts the sampler; its report goes to standard error only the first time
// in each mode, not on every run of a benchmark.
bool start_quietly(bool& reported)
{
    int saved = -1;
    if (reported) {
        fflush(stderr);
        saved = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 2);
            close(null);
        }
    }
    const bool ok = sampler.start();
    if (saved >= 0) {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
    }
    reported = true;
    return ok;
}

void configure(int source, const char* filename)
{
    sampler = Sampler{};
    sampler.source = source;
    sampler.rate = rate;
    sampler.length = frames;
    sampler.resolution = 16;
    sampler.device = "default";
    sampler.filename = filename;
}

void BM_ReadBlockSoundcard(benchmark::State& state)
{
    static bool reported = false;
    configure(Sampler::Soundcard, "");
    if (!start_quietly(reported)) {
        state.SkipWithError("the sampler did not start");
        return;
    }
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        sampler.read_block();
        benchmark::DoNotOptimize(sampler.dc_left);
        benchmark::DoNotOptimize(sampler.dc_right);
    }
    set_block_fraction(state, Clock::now() - start);
    sampler.stop();
}
BENCHMARK(BM_ReadBlockSoundcard)->UseRealTime();

void BM_ReadBlockDiskfile(benchmark::State& state)
{
    const char* wav = getenv("ZEN_BENCH_SAMPLER_WAV");
    static bool reported = false;
    configure(Sampler::Diskfile, wav ? wav : "");
    if (!wav || !start_quietly(reported)) {
        state.SkipWithError("the sampler did not start");
        return;
    }
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        if (!sampler.read_block()) {
            // The end of the file (every 64 blocks): back to its first frame.
            sampler.file_pcm->seek(0, SEEK_SET);
            sampler.read_block();
        }
        benchmark::DoNotOptimize(sampler.dc_left);
    }
    set_block_fraction(state, Clock::now() - start);
    sampler.stop();
}
BENCHMARK(BM_ReadBlockDiskfile)->UseRealTime();

// Widening is data-independent, so the block is widened again and again.
void BM_Widen(benchmark::State& state)
{
    std::vector<int32_t> block(2 * frames);
    std::mt19937 gen(3);
    for (int32_t& v : block)
        v = static_cast<int32_t>(gen());
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        widen_samples(block.data(), 2 * frames);
        benchmark::ClobberMemory();
    }
    set_block_fraction(state, Clock::now() - start);
}
BENCHMARK(BM_Widen)->UseRealTime();

void BM_Means(benchmark::State& state)
{
    std::vector<int32_t> block(2 * frames);
    std::mt19937 gen(5);
    for (int32_t& v : block)
        v = static_cast<int32_t>(gen() & 0xffff0000u);
    int left = 0, right = 0;
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        channel_means(block.data(), frames, left, right);
        benchmark::DoNotOptimize(left);
        benchmark::DoNotOptimize(right);
        benchmark::ClobberMemory();
    }
    set_block_fraction(state, Clock::now() - start);
}
BENCHMARK(BM_Means)->UseRealTime();

// ---------------------------------------------------------------- set-up

bool write_file(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

void put_le(std::string& s, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xff);
}

// A stretch of "music" as 16-bit samples: a few partials and some noise.
std::vector<int16_t> channel(size_t n, double f1, double f2, unsigned seed)
{
    const double pi = 3.141592653589793;
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double x = 0.3 * std::sin(2 * pi * f1 * t) + 0.15 * std::sin(2 * pi * f2 * t) +
                         0.03 * noise(gen);
        v[i] = static_cast<int16_t>(x * 32767);
    }
    return v;
}

std::string simdsp_path()
{
    if (const char* p = getenv("ZEN_SIMDSP"))
        return p;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    std::string dir(self, static_cast<size_t>(n));
    dir = dir.substr(0, dir.rfind('/'));      // .../bench
    dir = dir.substr(0, dir.rfind('/'));      // the build directory
    return dir + "/tools/simdsp/libsimdsp.so";
}

// Prepares the signals and the file, runs this program again under the
// simulated device, and removes the files afterwards.
int run_under_simdsp(char** argv)
{
    const std::string lib = simdsp_path();
    struct stat st;
    if (lib.empty() || stat(lib.c_str(), &st) != 0) {
        fprintf(stderr, "error: libsimdsp.so not found (%s); build the simdsp target or set ZEN_SIMDSP\n",
                lib.c_str());
        return 1;
    }
    char tmpl[] = "/tmp/zen_bench_sampler_XXXXXX";
    if (!mkdtemp(tmpl)) {
        fprintf(stderr, "error: can't make a temporary directory\n");
        return 1;
    }
    const std::string dir = tmpl;

    // The device records a loop of a little more than a second per channel.
    const size_t loop = 50000;
    const std::vector<int16_t> left = channel(loop, 220, 1975, 1), right = channel(loop, 440, 2637, 2);
    std::string raw_left(loop * 2, '\0'), raw_right(loop * 2, '\0');
    std::memcpy(&raw_left[0], left.data(), loop * 2);
    std::memcpy(&raw_right[0], right.data(), loop * 2);

    // The file: file_blocks whole blocks, canonical 44-byte header.
    const size_t n = static_cast<size_t>(file_blocks) * frames;
    const uint32_t data = static_cast<uint32_t>(n * 4);
    std::string wav = "RIFF";
    put_le(wav, 36 + data, 4);
    wav += "WAVEfmt ";
    put_le(wav, 16, 4);
    put_le(wav, 1, 2);
    put_le(wav, 2, 2);
    put_le(wav, rate, 4);
    put_le(wav, rate * 4, 4);
    put_le(wav, 4, 2);
    put_le(wav, 16, 2);
    wav += "data";
    put_le(wav, data, 4);
    for (size_t i = 0; i < n; ++i) {
        const int16_t s[2] = {left[i % loop], right[i % loop]};
        wav.append(reinterpret_cast<const char*>(s), 4);
    }

    if (!write_file(dir + "/left.raw", raw_left) || !write_file(dir + "/right.raw", raw_right) ||
        !write_file(dir + "/music.wav", wav)) {
        fprintf(stderr, "error: can't write the signals to %s\n", dir.c_str());
        return 1;
    }

    setenv("LD_PRELOAD", lib.c_str(), 1);
    setenv("SIMDSP_PACE", "fast", 1);
    setenv("SIMDSP_LEFT", ("file:" + dir + "/left.raw").c_str(), 1);
    setenv("SIMDSP_RIGHT", ("file:" + dir + "/right.raw").c_str(), 1);
    unsetenv("SIMDSP_LOG");
    unsetenv("SIMDSP_PLAY_FILE");
    setenv("ZEN_BENCH_SAMPLER_WAV", (dir + "/music.wav").c_str(), 1);
    setenv("ZEN_BENCH_SAMPLER_CHILD", "1", 1);

    fflush(stdout);
    fflush(stderr);
    int status = 1;
    const pid_t pid = fork();
    if (pid == 0) {
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        status = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    const std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!getenv("ZEN_BENCH_SAMPLER_CHILD"))
        return run_under_simdsp(argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
