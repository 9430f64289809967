// The stream factory and the report: which kind a name makes, one message
// per failure with nothing left open, and the eight lines of print_info.
#include "test_pcm_child.h"

#include <gtest/gtest.h>

using namespace pcmtest;

namespace {

struct Made {
    PCM* pcm;
    std::string err;
    int fds_before, fds_after;
};

Made make(const char* name, int type, int mode = 0, int format = 1, int channels = 2, int rate = 44100,
          int size = 1)
{
    Made m;
    m.fds_before = count_fds();
    testing::internal::CaptureStderr();
    m.pcm = create_pcm(name, type, mode, format, channels, rate, size);
    m.err = testing::internal::GetCapturedStderr();
    m.fds_after = count_fds();
    return m;
}

std::string report(PCM* pcm)
{
    testing::internal::CaptureStderr();
    pcm->print_info();
    return testing::internal::GetCapturedStderr();
}

const std::string unknown = "error: Unknown name for pcm interface\n";

// A canonical 44-byte WAV header for an empty file.
std::string empty_wav()
{
    return std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0data\0\0\0\0",
                       44);
}

// Runs the body in dir as the working directory.
template <typename F>
void in_dir(const TempDir& dir, F body)
{
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    body();
    ASSERT_EQ(chdir(old), 0);
}

} // namespace

TEST(Factory, FileNamesChooseTheKindBySuffix)
{
    TempDir dir;
    in_dir(dir, [] {
        write_file("a.wav", empty_wav());
        write_file("a.cdr", "");
        Made w = make("a.wav", 1);
        ASSERT_NE(w.pcm, nullptr) << w.err;
        EXPECT_EQ(report(w.pcm).substr(0, 13), "driver: wav\nn");
        delete w.pcm;
        Made c = make("a.cdr", 1);
        ASSERT_NE(c.pcm, nullptr) << c.err;
        EXPECT_EQ(report(c.pcm).substr(0, 13), "driver: cdr\nn");
        delete c.pcm;

        for (const char* name : {".wav", "x.WAV", "a.wv", "abcde", "a.wav.", ""}) {
            Made m = make(name, 1);
            EXPECT_EQ(m.pcm, nullptr) << name;
            EXPECT_EQ(m.err, unknown) << name;
        }
    });
    // With type 1 a name under /dev is a file: the WAV checks run.
    Made m = make("/dev/dsp.wav", 1, 0, 1, 2, 48000);
    EXPECT_EQ(m.pcm, nullptr);
    EXPECT_EQ(m.err, "error: Illegal rate\n");
    m = make(nullptr, 1);
    EXPECT_EQ(m.err, unknown);
}

TEST(Factory, DeviceNamesAndTypes)
{
    for (const char* name : {"Default", "dsp", "/dev", "dev/dsp", "x.wav"}) {
        Made m = make(name, 0);
        EXPECT_EQ(m.pcm, nullptr) << name;
        EXPECT_EQ(m.err, unknown) << name;
    }
    // Any /dev/ name goes to the device constructor, whose checks run first.
    Made m = make("/dev/audio", 0, 0, 1, 3);
    EXPECT_EQ(m.err, "error: Illegal number of channels\n");
    for (int type : {2, -1}) {
        m = make("a.wav", type);
        EXPECT_EQ(m.pcm, nullptr);
        EXPECT_EQ(m.err, "error: Illegal type for pcm interface\n");
    }
}

TEST(Factory, FailuresLeaveOneMessageAndNoDescriptor)
{
    TempDir dir;
    const std::string too_small = dir / "s.wav", bad = dir / "b.wav", odd = dir / "o.cdr";
    write_file(too_small, "RIFF");
    write_file(bad, std::string(48, 'x'));
    write_file(odd, "abc");
    mkdir((dir / "d.wav").c_str(), 0755);
    mkdir((dir / "d.cdr").c_str(), 0755);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {too_small, "error: File too small " + too_small + "\n"},
        {bad, "error: Male formed header\n"},
        {odd, "error: Illegal size of " + odd + "\n"},
        {dir / "none.wav", "error: Can't open " + (dir / "none.wav") + ": No such file or directory\n"},
        {dir / "d.wav", "error: Can't open " + (dir / "d.wav") + ": Is a directory\n"},
        {dir / "d.cdr", "error: Can't open " + (dir / "d.cdr") + ": Is a directory\n"},
    };
    for (const auto& c : cases) {
        Made m = make(c.first.c_str(), 1);
        EXPECT_EQ(m.pcm, nullptr) << c.first;
        EXPECT_EQ(m.err, c.second);
        EXPECT_EQ(m.fds_after, m.fds_before) << c.first;
    }
    // Writing to a directory.
    Made m = make((dir / "d.cdr").c_str(), 1, 1);
    EXPECT_EQ(m.err, "error: Can't open " + (dir / "d.cdr") + ": Is a directory\n");
}

TEST(Factory, UnreadableFileIsRefused)
{
    TempDir dir;
    const std::string f = dir / "u.cdr";
    write_file(f, "");
    chmod(f.c_str(), 0);
    chmod(dir.path.c_str(), 0755);
    // Root reads anything: the attempt is made by a child as nobody.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        Made m = make(f.c_str(), 1);
        const std::string text = m.err + (m.fds_after == m.fds_before ? "" : "descriptor left open\n");
        if (::write(pipe_fds[1], text.data(), text.size()) < 0)
            _exit(3);
        _exit(m.pcm ? 1 : 0);
    }
    close(pipe_fds[1]);
    std::string err;
    char buf[256];
    for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;)
        err.append(buf, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "stream made, or no change of user";
    EXPECT_EQ(err, "error: Can't open " + f + ": Permission denied\n");
}

TEST(Report, FileStreamsInBothModes)
{
    TempDir dir;
    const std::string f = dir / "r.cdr";
    Made w = make(f.c_str(), 1, 1);
    ASSERT_NE(w.pcm, nullptr) << w.err;
    EXPECT_EQ(report(w.pcm), "driver: cdr\nname: " + f +
                                 "\ntype: file\nmode: write\nformat: signed 16 bits\nchannels: 2\n"
                                 "rate: 44100 Hz\nbuffer size: 1 frames, 4 bytes, 0.0226757 ms\n");
    delete w.pcm;
    Made r = make(f.c_str(), 1, 0);
    ASSERT_NE(r.pcm, nullptr) << r.err;
    EXPECT_NE(report(r.pcm).find("\nmode: read\n"), std::string::npos);
    delete r.pcm;
}

TEST(Report, DeviceStreamsThroughTheSimulatedDevice)
{
    const ChildResult d = run_child("create default 0 0 1 2 44100 2048;info");
    EXPECT_EQ(d.out, "create ok\n");
    EXPECT_EQ(d.err, "driver: oss\nname: /dev/dsp\ntype: device\nmode: read\nformat: signed 16 bits\n"
                     "channels: 2\nrate: 44100 Hz\nbuffer size: 2048 frames, 8192 bytes, 46.4399 ms\n");

    const ChildResult h = run_child("create /dev/dsp 0 1 1 2 44100 1024;info");
    EXPECT_NE(h.err.find("\nmode: write\n"), std::string::npos) << h.err;
    EXPECT_NE(h.err.find("\nbuffer size: 1024 frames, 4096 bytes, 23.22 ms\n"), std::string::npos) << h.err;

    const ChildResult m = run_child("create /dev/dsp 0 0 0 1 8000 128;info");
    EXPECT_NE(m.err.find("\nformat: signed 8 bits\nchannels: 1\nrate: 8000 Hz\n"
                         "buffer size: 128 frames, 128 bytes, 16 ms\n"),
              std::string::npos)
        << m.err;
}
