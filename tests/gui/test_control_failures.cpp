// Bad luck seen from outside: a sound device that keeps failing ends the
// run after about a second without flooding standard error or the CPU, a
// FIFO as the disk file is read when it has a writer and refused at once
// when it has none, and a lost display ends the program with the device
// closed.
#include "gui/test_control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace harness;
using namespace control_test;

namespace {

using Clock = std::chrono::steady_clock;

// Blocks of 2048 frames at 44100 Hz in one second.
const int blocks_per_second = int(std::ceil(44100 / 2048.0));

std::vector<std::string> error_lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (starts_with(line, "error: "))
            out.push_back(line);
    return out;
}

// CPU seconds the process has used so far (utime and stime of its stat).
double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i < 14; ++i)
        fields >> skip;
    fields >> utime >> stime;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Big-endian CDR bytes of frames whose samples all differ, and the same
// frames in the host's order, as the device gets them.
void cdr_frames(int frames, std::string& file, std::string& played)
{
    for (int i = 0; i < 2 * frames; ++i) {
        const uint16_t v = uint16_t(i * 181 + 7);
        file += char(v >> 8);
        file += char(v & 0xff);
        played += char(v & 0xff);
        played += char(v >> 8);
    }
}

struct FailureCase {
    const char* label;
    bool diskfile;
    const char* variable;
    const char* value;
    const char* call;  // the failing calls in the device's log
    int calls;         // of them in one failed transfer
};

}  // namespace

// Reads that fail with EIO, reads that return nothing, reads interrupted
// on every call, and writes that fail while a file plays: each run ends on
// its own within about a second and a half of blocks, with a handful of
// lines, little CPU, the Run toggles off; Run again opens the device again.
TEST(DeviceFailures, PersistentFailuresEndTheRunQuietly)
{
    const FailureCase cases[] = {
        {"eio", false, "SIMDSP_FAIL_READ", "3+:EIO", "read 8192 -> -1 errno=EIO", 1},
        {"eof", false, "SIMDSP_FAIL_READ", "3+:EOF", "read 8192 -> 0", 1},
        {"eintr", false, "SIMDSP_EINTR", "1", "read 8192 -> -1 errno=EINTR", 8},
        {"write", true, "SIMDSP_FAIL_WRITE", "3+:EIO", "write 8192 -> -1 errno=EIO", 1},
    };
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    std::string file, played;
    cdr_frames(10 * 44100, file, played);  // ten seconds
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir tmp;
        ASSERT_TRUE(tmp.write("long.cdr", file));
        const std::string log = tmp.file("dsp.log");
        std::vector<std::string> args;
        if (c.diskfile)
            args = {"-diskfile", "-filename", tmp.file("long.cdr")};
        Zentaphon z(server, args,
                    {{"LD_PRELOAD", ZEN_SIMDSP}, {"SIMDSP_LOG", log}, {c.variable, c.value}});
        SaveOnFailure evidence(server, c.label);
        evidence.add("stderr", z.prog());
        ASSERT_TRUE(z.open()) << z.prog().describe() << "\n" << z.prog().stderr_text();
        const Window analyser_run = z.widget(path::analyser_run);
        const Window scope_run = z.widget(path::scope_run);

        const double cpu_before = cpu_seconds(z.prog().pid());
        const Clock::time_point clicked = Clock::now();
        ASSERT_TRUE(click_centre(dpy, scope_run));
        ASSERT_TRUE(wait_until([&] { return count_prefix(read_lines(log), "close") == 1; }));
        const double seconds = std::chrono::duration<double>(Clock::now() - clicked).count();
        const double cpu = cpu_seconds(z.prog().pid()) - cpu_before;

        const std::vector<std::string> lines = read_lines(log);
        const size_t failed = size_t(std::count(lines.begin(), lines.end(), c.call)) / size_t(c.calls);
        EXPECT_GE(failed, size_t(blocks_per_second / 2));
        EXPECT_LE(failed, size_t(blocks_per_second * 3 / 2)) << "more than 1.5 s of failures";
        // Every failure took at least a block's time: no polling flat out.
        EXPECT_GE(seconds, (failed - 1) * 2048 / 44100.0);
        EXPECT_LT(cpu, 0.5 * seconds) << cpu << " s of CPU in " << seconds << " s";

        const std::vector<std::string> errors = error_lines(z.prog().stderr_text());
        EXPECT_GE(errors.size(), 2u);
        EXPECT_LE(errors.size(), 4u) << z.prog().stderr_text();
        ASSERT_FALSE(errors.empty());
        EXPECT_NE(errors.back().find("/dev/dsp stopped working"), std::string::npos)
            << errors.back();
        EXPECT_TRUE(wait_until([&] { return !is_set(dpy, scope_run) && !is_set(dpy, analyser_run); }));
        EXPECT_TRUE(z.prog().running()) << z.prog().describe();
        if (c.diskfile) {
            // Two blocks were played before the device failed; the rest of
            // the file did not race through.
            EXPECT_EQ(count_prefix(lines, "write 8192 -> 8192"), 2u);
        }

        // Run again: the device is opened afresh (and fails again).
        ASSERT_TRUE(click_centre(dpy, analyser_run));
        EXPECT_TRUE(wait_until([&] {
            const std::vector<std::string> now = read_lines(log);
            return count_prefix(now, "open ") == 2 && count_prefix(now, "close") == 2;
        }));
        EXPECT_TRUE(wait_until([&] { return !is_set(dpy, analyser_run); }));
    }
}

// A FIFO with no writer refuses the start at once and leaves the window
// working; a FIFO that a writer feeds plays its whole blocks.
TEST(DeviceFailures, FifoAsTheDiskFile)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir tmp;
    const std::string fifo = tmp.file("stream.cdr"), played_file = tmp.file("played.raw");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    {
        Zentaphon z(server, {"-diskfile", "-filename", fifo}, {{"LD_PRELOAD", ZEN_SIMDSP}});
        SaveOnFailure evidence(server, "nowriter");
        evidence.add("stderr", z.prog());
        ASSERT_TRUE(z.open()) << z.prog().describe() << "\n" << z.prog().stderr_text();
        ASSERT_TRUE(click_centre(dpy, z.widget(path::analyser_run)));
        ASSERT_TRUE(z.prog().wait_stderr("error: "));
        EXPECT_TRUE(wait_until([&] { return !is_set(dpy, z.widget(path::analyser_run)); }));
        ASSERT_TRUE(click_centre(dpy, z.widget(path::quit)));
        ASSERT_TRUE(z.prog().wait_exit(10)) << "Quit did not end the program";
        EXPECT_EQ(z.prog().exit_status(), 0);
        const std::vector<std::string> errors = error_lines(z.prog().stderr_text());
        ASSERT_EQ(errors.size(), 1u) << z.prog().stderr_text();
        EXPECT_NE(errors[0].find(fifo), std::string::npos) << errors[0];
    }

    // Three whole blocks and half of one more come through the FIFO.
    std::string file, played;
    cdr_frames(3 * 2048 + 1024, file, played);
    played.resize(3 * 2048 * 4);
    Zentaphon z(server, {"-diskfile", "-filename", fifo},
                {{"LD_PRELOAD", ZEN_SIMDSP},
                 {"SIMDSP_PLAY_FILE", played_file},
                 {"SIMDSP_PACE", "fast"}});
    SaveOnFailure evidence(server, "writer");
    evidence.add("stderr", z.prog());
    ASSERT_TRUE(z.open()) << z.prog().describe() << "\n" << z.prog().stderr_text();
    std::thread writer([&] {
        // Waits for the reader, then sends in pieces smaller than a block.
        const int fd = open(fifo.c_str(), O_WRONLY);
        for (size_t done = 0; fd >= 0 && done < file.size(); done += 1000)
            if (write(fd, file.data() + done, std::min<size_t>(1000, file.size() - done)) <= 0)
                break;
        close(fd);
    });
    const bool clicked = click_centre(dpy, z.widget(path::analyser_run));
    if (!clicked)
        close(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // lets the writer go
    writer.join();
    ASSERT_TRUE(clicked);
    struct stat st;
    EXPECT_TRUE(wait_until([&] {
        return stat(played_file.c_str(), &st) == 0 && size_t(st.st_size) >= played.size() &&
               !is_set(dpy, z.widget(path::analyser_run));
    }));
    std::ifstream in(played_file, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got.size(), played.size());
    EXPECT_TRUE(got == played) << "the device did not get the FIFO's whole blocks";
    EXPECT_TRUE(error_lines(z.prog().stderr_text()).empty()) << z.prog().stderr_text();
}

// The X server goes away while sampling: one line, exit status 1, and the
// device closed before the end.
TEST(DeviceFailures, LostDisplayClosesTheDevice)
{
    auto server = std::make_unique<XServer>();
    ASSERT_TRUE(server->ok()) << server->error();
    Display* dpy = server->display();
    TempDir tmp;
    const std::string log = tmp.file("dsp.log");
    Zentaphon z(*server, {}, {{"LD_PRELOAD", ZEN_SIMDSP}, {"SIMDSP_LOG", log}});
    ASSERT_TRUE(z.open()) << z.prog().describe() << "\n" << z.prog().stderr_text();
    ASSERT_TRUE(click_centre(dpy, z.widget(path::scope_run)));
    ASSERT_TRUE(wait_until([&] { return count_prefix(read_lines(log), "read 8192 -> 8192") >= 3; }));

    server.reset();
    ASSERT_TRUE(z.prog().wait_exit(20)) << z.prog().describe();
    EXPECT_EQ(z.prog().exit_status(), 1) << z.prog().describe();
    const std::vector<std::string> errors = error_lines(z.prog().stderr_text());
    ASSERT_EQ(errors.size(), 1u) << z.prog().stderr_text();
    EXPECT_NE(errors[0].find("lost the connection to the X display"), std::string::npos);
    const std::vector<std::string> lines = read_lines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(starts_with(lines.back(), "close ")) << lines.back();
}
