// Real sound through a real sound server: the test starts a private
// PulseAudio server with a null sink, plays a 1 kHz tone into it with pacat,
// and records the sink's monitor through the server's OSS emulation
// (libpulsedsp.so, preloaded into a child run of this program, which drives
// the sampler in sound-card mode on /dev/dsp). Some hundred whole blocks
// must arrive without an "error:" line, and they must carry the tone.
//
// The server is private to the test: its own runtime directory, home and
// socket in a temporary directory, no default configuration (-n) but a
// script of its own (-F), no idle exit, in the foreground, stopped by its
// process id at the end. As root, PulseAudio only warns ("not intended to be
// run as root") when it is told --system=false; --use-pid-file=no keeps it
// from looking for another instance. Debian's padsp script is not used: it
// rewrites the preload path, so LD_PRELOAD names the library itself.
#include "sampler/Sampler.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The server's OSS emulation, in the multiarch library directory.
std::string find_pulsedsp()
{
    glob_t g;
    std::string path = "/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so";
    if (glob("/usr/lib/*/pulseaudio/libpulsedsp.so", 0, nullptr, &g) == 0 && g.gl_pathc > 0)
        path = g.gl_pathv[0];
    globfree(&g);
    return path;
}
const std::string pulsedsp = find_pulsedsp();
const char* const sink = "zen_null";
constexpr int rate = 44100;
constexpr unsigned int length = 2048;
constexpr int blocks = 100;
constexpr double tone_hz = 1000.0;
constexpr double tone_level[2] = {0.5, 0.25};  // of full scale, left and right

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void sleep_ms(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// Starts argv with exactly the environment env, standard input from
// in_path (or /dev/null) and both outputs appended to log_path.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& log_path, const std::string& in_path = "/dev/null")
{
    std::vector<std::string> a = argv, e = env;
    std::vector<char*> av, ev;
    for (std::string& s : a)
        av.push_back(&s[0]);
    av.push_back(nullptr);
    for (std::string& s : e)
        ev.push_back(&s[0]);
    ev.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(in_path.c_str(), O_RDONLY);
        const int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in < 0 || out < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        close(in);
        close(out);
        execve(av[0], av.data(), ev.data());
        _exit(127);
    }
    return pid;
}

// Waits up to ms for pid; its exit status, or -1 if it has not exited (or
// did not exit normally).
int wait_for(pid_t pid, long ms, bool* exited = nullptr)
{
    for (long t = 0;; t += 20) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (exited)
                *exited = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 || t >= ms)
            break;
        sleep_ms(20);
    }
    if (exited)
        *exited = false;
    return -1;
}

// Stops a process this test started: SIGTERM, then SIGKILL if it lingers.
void stop_process(pid_t& pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    bool exited = false;
    wait_for(pid, 5000, &exited);
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

// Power of a Hann-windowed channel at frequency hz, by direct summation.
double power_at(const std::vector<int32_t>& block, size_t channel, double hz)
{
    const size_t n = block.size() / 2;
    const double pi = 3.14159265358979323846;
    double re = 0, im = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * pi * i / n);
        const double x = w * block[2 * i + channel] / 2147483648.0;
        const double a = 2 * pi * hz * i / rate;
        re += x * std::cos(a);
        im -= x * std::sin(a);
    }
    return re * re + im * im;
}

// The private server, its player and their files, all removed at the end.
struct SoundServer {
    std::string dir, run, socket, server_log, player_log, error;
    pid_t server = -1, player = -1;

    std::vector<std::string> env() const
    {
        return {"PATH=/usr/bin:/bin",
                "HOME=" + dir + "/home",
                "XDG_RUNTIME_DIR=" + run,
                "PULSE_RUNTIME_PATH=" + run,
                "XDG_CONFIG_HOME=" + dir + "/home/.config",
                "PULSE_SERVER=unix:" + socket};
    }

    // A pactl command's exit status.
    int pactl(const std::vector<std::string>& args, const std::string& out_path)
    {
        std::vector<std::string> argv = {"/usr/bin/pactl", "--server=unix:" + socket};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_t pid = spawn(argv, env(), out_path);
        bool exited = false;
        const int rc = wait_for(pid, 10000, &exited);
        if (!exited)
            stop_process(pid);
        return exited ? rc : -1;
    }

    bool start()
    {
        char tmpl[] = "/tmp/zen_pulse_XXXXXX";
        if (!mkdtemp(tmpl)) {
            error = "cannot make a temporary directory";
            return false;
        }
        dir = tmpl;
        run = dir + "/run";
        socket = run + "/native";
        server_log = dir + "/server.log";
        player_log = dir + "/player.log";
        mkdir(run.c_str(), 0700);
        mkdir((dir + "/home").c_str(), 0700);

        if (!exists("/usr/bin/pulseaudio") || !exists("/usr/bin/pacat") ||
            !exists("/usr/bin/pactl") || !exists(pulsedsp)) {
            error = "the sound server cannot run here: pulseaudio, pacat, pactl or " +
                    pulsedsp + " is missing (Debian packages pulseaudio, pulseaudio-utils, " +
                    "libpulsedsp; scripts/setup --test installs them)";
            return false;
        }
        const std::string script = dir + "/server.pa";
        write_file(script, std::string("load-module module-null-sink sink_name=") + sink +
                               " rate=44100 channels=2 format=s16le\n"
                               "load-module module-native-protocol-unix socket=" +
                               socket + " auth-anonymous=1\n"
                               "set-default-sink " + sink + "\n"
                               "set-default-source " + sink + ".monitor\n");
        server = spawn({"/usr/bin/pulseaudio", "--daemonize=no", "--use-pid-file=no",
                        "--system=false", "-n", "-F", script, "--exit-idle-time=-1",
                        "--log-target=stderr"},
                       env(), server_log);
        // Ready when a client gets an answer; at most 20 s.
        for (int i = 0; i < 100; ++i) {
            bool exited = false;
            wait_for(server, 0, &exited);
            if (exited) {
                server = -1;
                error = "the sound server cannot run here; it exited at once:\n" +
                        read_file(server_log);
                return false;
            }
            if (exists(socket) && pactl({"info"}, dir + "/pactl.log") == 0)
                return true;
            sleep_ms(200);
        }
        error = "the sound server did not answer within 20 s:\n" + read_file(server_log);
        return false;
    }

    // Plays a tone of seconds into the sink and returns once the server has
    // the stream.
    bool play_tone(double seconds)
    {
        const size_t frames = static_cast<size_t>(seconds * rate);
        std::string raw(frames * 4, '\0');
        const double pi = 3.14159265358979323846;
        for (size_t i = 0; i < frames; ++i) {
            const double v = 32767 * std::sin(2 * pi * tone_hz * i / rate);
            const int16_t left = static_cast<int16_t>(std::lrint(tone_level[0] * v));
            const int16_t right = static_cast<int16_t>(std::lrint(tone_level[1] * v));
            std::memcpy(&raw[4 * i], &left, 2);
            std::memcpy(&raw[4 * i + 2], &right, 2);
        }
        const std::string tone = dir + "/tone.raw";
        write_file(tone, raw);
        // A short latency for the player: the null sink then renders in
        // small pieces. Left to itself it renders two seconds at a time,
        // which overflows the emulation's buffer of two blocks and loses
        // most of the sound.
        player = spawn({"/usr/bin/pacat", "--playback", "--server=unix:" + socket,
                        std::string("--device=") + sink, "--raw", "--format=s16le",
                        "--rate=44100", "--channels=2", "--latency-msec=20"},
                       env(), player_log, tone);
        for (int i = 0; i < 100; ++i) {
            bool exited = false;
            wait_for(player, 0, &exited);
            if (exited) {
                player = -1;
                error = "pacat exited at once:\n" + read_file(player_log) +
                        "the server said:\n" + read_file(server_log);
                return false;
            }
            const std::string list = dir + "/inputs.txt";
            unlink(list.c_str());
            if (pactl({"list", "short", "sink-inputs"}, list) == 0 && !read_file(list).empty())
                return true;
            sleep_ms(100);
        }
        error = "the tone never reached the sink:\n" + read_file(player_log) +
                "the server said:\n" + read_file(server_log);
        return false;
    }

    ~SoundServer()
    {
        stop_process(player);
        stop_process(server);
        if (!dir.empty()) {
            const std::string cmd = "rm -rf '" + dir + "'";
            if (system(cmd.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", dir.c_str());
        }
    }
};

TEST(SoundServer, SamplerRecordsAToneThroughTheServersOssEmulation)
{
    SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    ASSERT_TRUE(pa.play_tone(30)) << pa.error;

    // The child: this program again, with the OSS emulation preloaded.
    std::vector<std::string> env = pa.env();
    env.push_back("LD_PRELOAD=" + pulsedsp);
    env.push_back("ZEN_SOUND_CHILD=" + pa.dir + "/blocks");
    const std::string child_out = pa.dir + "/child.out", child_err = pa.dir + "/child.err";
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        const int out = open(child_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(child_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> ev;
        for (std::string& s : env)
            ev.push_back(&s[0]);
        ev.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char* argv[] = {self, nullptr};
        execve(self, argv, ev.data());
        _exit(127);
    }
    // A hundred blocks take under five seconds of sound; a minute is plenty.
    bool exited = false;
    const int status = wait_for(child, 60000, &exited);
    if (!exited)
        stop_process(child);
    const std::string out = read_file(child_out), err = read_file(child_err);
    ASSERT_TRUE(exited) << "the sampler hung on the sound server\n" << out << err;
    ASSERT_EQ(status, 0) << out << err;

    EXPECT_EQ(err.find("error:"), std::string::npos) << err;
    EXPECT_EQ(err,
              "driver: oss\n"
              "name: /dev/dsp\n"
              "type: device\n"
              "mode: read\n"
              "format: signed 16 bits\n"
              "channels: 2\n"
              "rate: 44100 Hz\n"
              "buffer size: 2048 frames, 8192 bytes, 46.4399 ms\n");
    EXPECT_EQ(out, "start 1\nblocks 100 count=99\nstop\n");

    // The blocks, widened: every element a 16-bit sample times 65536.
    const std::string dump = read_file(pa.dir + "/blocks");
    ASSERT_EQ(dump.size(), static_cast<size_t>(blocks) * length * 2 * 4);
    std::vector<int32_t> all(dump.size() / 4);
    std::memcpy(all.data(), dump.data(), dump.size());
    size_t low_bits = 0;
    for (int32_t v : all)
        low_bits += (v & 0xffff) != 0;
    EXPECT_EQ(low_bits, 0u);

    // After the first few blocks the tone is there on both channels, at the
    // level played (the right channel 6 dB below the left) and far above
    // every other frequency looked at. A block that lost samples on the way
    // (the server's buffers are small, the machine may be busy) still
    // carries the tone but less cleanly, so only most blocks must be clean.
    const double others[] = {250, 500, 700, 1300, 1500, 2000, 3000, 5000, 8000, 12000, 16000};
    const int settle = 10;
    int carried = 0, clean = 0;
    std::string report;
    for (int b = 0; b < blocks; ++b) {
        std::vector<int32_t> block(all.begin() + b * length * 2, all.begin() + (b + 1) * length * 2);
        bool carries = true, is_clean = true;
        std::string figures;
        for (size_t ch = 0; ch < 2; ++ch) {
            // A Hann-windowed sine of amplitude A gives |X| = A n / 4 at its frequency.
            const double expected = std::pow(tone_level[ch] * length / 4, 2);
            const double tone = power_at(block, ch, tone_hz);
            double rest = 0;
            for (double hz : others)
                rest = std::max(rest, power_at(block, ch, hz));
            const double level_db = 10 * std::log10(tone / expected);
            const double margin_db = 10 * std::log10(tone / (rest + 1e-300));
            carries = carries && level_db > -12 && level_db < 1 && margin_db > 20;
            is_clean = is_clean && std::fabs(level_db) < 0.5 && margin_db > 60;
            char line[160];
            snprintf(line, sizeof line,
                     " channel %zu: tone %.2f dB of the level played, strongest other %.1f dB "
                     "below it;",
                     ch, level_db, margin_db);
            figures += line;
        }
        if (b >= settle) {
            carried += carries;
            clean += is_clean;
        }
        if (!is_clean || b == blocks - 1)
            report += "block " + std::to_string(b) + ":" + figures + "\n";
    }
    EXPECT_GE(carried, (blocks - settle) * 9 / 10) << report;
    EXPECT_GE(clean, (blocks - settle) * 3 / 4) << report;
}

// ---------------------------------------------------------------- the child

// Records the blocks in sound-card mode and appends them to the file named
// by ZEN_SOUND_CHILD.
int record_blocks(const char* path)
{
    sampler = Sampler{};
    sampler.source = Sampler::Soundcard;
    sampler.rate = rate;
    sampler.length = length;
    sampler.resolution = 16;
    sampler.device = "default";
    sampler.filename = "";
    if (!sampler.start()) {
        printf("start 0\n");
        return 1;
    }
    printf("start 1\n");
    FILE* f = fopen(path, "wb");
    if (!f)
        return 2;
    int whole = 0;
    for (int b = 0; b < blocks; ++b) {
        whole += sampler.read_block() ? 1 : 0;
        fwrite(sampler.buffer, 4, 2 * static_cast<size_t>(length), f);
    }
    fclose(f);
    printf("blocks %d count=%d\n", whole, sampler.count);
    sampler.stop();
    printf("stop\n");
    return 0;
}

int child_hook()
{
    const char* path = getenv("ZEN_SOUND_CHILD");
    if (!path)
        return 0;
    const int rc = record_blocks(path);
    fflush(stdout);
    fflush(stderr);
    _exit(rc);
}

const int child_hook_ran = child_hook();

}  // namespace
