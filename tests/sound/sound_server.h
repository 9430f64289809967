// A private PulseAudio server for the sound tests, and the small process
// helpers they share.
//
// The server is private to the test: its own runtime directory, home and
// socket in a temporary directory, no default configuration (-n) but a
// script of its own (-F) with one null sink, no idle exit, in the
// foreground, stopped by its process id at the end. As root, PulseAudio only
// warns ("not intended to be run as root") when it is told --system=false;
// --use-pid-file=no keeps it from looking for another instance.
#pragma once

#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace soundtest {

// The server's OSS emulation, in the multiarch library directory.
inline std::string find_pulsedsp()
{
    glob_t g;
    std::string path = "/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so";
    if (glob("/usr/lib/*/pulseaudio/libpulsedsp.so", 0, nullptr, &g) == 0 && g.gl_pathc > 0)
        path = g.gl_pathv[0];
    globfree(&g);
    return path;
}
inline const std::string pulsedsp = find_pulsedsp();
inline const char* const sink = "zen_null";

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

inline bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline void sleep_ms(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// Starts argv with exactly the environment env, standard input from
// in_path (or /dev/null) and both outputs appended to log_path.
inline pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
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
inline int wait_for(pid_t pid, long ms, bool* exited = nullptr)
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
inline void stop_process(pid_t& pid)
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

    // The null sink holds samples of format (a server's name: s16le, s32le).
    bool start(const std::string& format = "s16le")
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
        write_file(dir + "/server.pa",
                   std::string("load-module module-null-sink sink_name=") + sink +
                       " rate=44100 channels=2 format=" + format + "\n"
                       "load-module module-native-protocol-unix socket=" +
                       socket + " auth-anonymous=1\n"
                       "set-default-sink " + sink + "\n"
                       "set-default-source " + sink + ".monitor\n");
        return launch();
    }

    // Starts the server (again) on the same socket; true once it answers.
    bool launch()
    {
        const std::string script = dir + "/server.pa";
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

    // Plays raw stereo 44100 Hz bytes of format (16-bit by default) into
    // the sink and returns once the server has the stream.
    bool play_raw(const std::string& raw, const std::string& format = "s16le")
    {
        const std::string tone = dir + "/tone.raw";
        write_file(tone, raw);
        // A short latency for the player: the null sink then renders in
        // small pieces. Left to itself it renders two seconds at a time,
        // which overflows the emulation's buffer of two blocks and loses
        // most of the sound.
        player = spawn({"/usr/bin/pacat", "--playback", "--server=unix:" + socket,
                        std::string("--device=") + sink, "--raw", "--format=" + format,
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

}  // namespace soundtest
