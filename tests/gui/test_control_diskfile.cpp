// Disk-file runs seen from outside: a WAV or CDR file is played block by
// block through the simulated device while the views run, the partial
// block at its end is neither played nor shown, the end of the file stops
// both views, and the next start plays the file from its beginning.
#include "gui/test_control.h"

#include <cstdint>
#include <string>
#include <vector>

using namespace harness;
using namespace control_test;

namespace {

std::string read_file(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Frame i of the test files: values that differ from frame to frame and
// from block to block, with both bytes of each sample in use.
int16_t left_sample(int i)
{
    return int16_t(uint16_t(i * 37 + 5));
}

int16_t right_sample(int i)
{
    return int16_t(uint16_t(-(i * 53) - 11));
}

void put16(std::string& out, uint16_t v, bool big_endian)
{
    if (big_endian) {
        out += char(v >> 8);
        out += char(v & 0xff);
    } else {
        out += char(v & 0xff);
        out += char(v >> 8);
    }
}

void put32le(std::string& out, uint32_t v)
{
    put16(out, uint16_t(v & 0xffff), false);
    put16(out, uint16_t(v >> 16), false);
}

// Frames [0, frames) as 16-bit stereo.
std::string frames_bytes(int frames, bool big_endian)
{
    std::string out;
    for (int i = 0; i < frames; ++i) {
        put16(out, uint16_t(left_sample(i)), big_endian);
        put16(out, uint16_t(right_sample(i)), big_endian);
    }
    return out;
}

// A canonical WAV file: 44-byte header, 16-bit stereo at 44100 Hz.
std::string wav_file(int frames)
{
    const std::string data = frames_bytes(frames, false);
    std::string out = "RIFF";
    put32le(out, uint32_t(36 + data.size()));
    out += "WAVEfmt ";
    put32le(out, 16);
    put16(out, 1, false);       // integer PCM
    put16(out, 2, false);       // channels
    put32le(out, 44100);        // frames per second
    put32le(out, 44100 * 4);    // bytes per second
    put16(out, 4, false);       // bytes per frame
    put16(out, 16, false);      // bits per sample
    out += "data";
    put32le(out, uint32_t(data.size()));
    return out + data;
}

std::string last_line(const std::string& file)
{
    std::vector<std::string> lines = read_lines(file);
    return lines.empty() ? std::string() : lines.back();
}

// The log of one run: the device opened for playing, the blocks written,
// closed. Returns an explanation of the first difference, or "".
std::string check_run(const std::vector<std::string>& run, int blocks, int block_bytes)
{
    if (run.empty() || !starts_with(run.front(), "open /dev/dsp flags=0x801 -> "))
        return "the run does not begin by opening the device for writing";
    const std::string fd = run.front().substr(run.front().rfind(' ') + 1);
    if (run.back() != "close " + fd)
        return "the run does not end by closing the device: " + run.back();
    const std::string block = "write " + std::to_string(block_bytes) + " -> " +
                              std::to_string(block_bytes);
    int writes = 0;
    for (size_t i = 1; i + 1 < run.size(); ++i) {
        if (starts_with(run[i], "write")) {
            if (run[i] != block)
                return "not a whole block: " + run[i];
            ++writes;
        } else if (!starts_with(run[i], "ioctl ")) {
            return "unexpected request: " + run[i];
        }
    }
    if (writes != blocks)
        return std::to_string(writes) + " blocks written instead of " + std::to_string(blocks);
    return "";
}

// The log split into runs, each from an open to its close.
std::vector<std::vector<std::string>> runs_of(const std::vector<std::string>& lines)
{
    std::vector<std::vector<std::string>> runs;
    for (const std::string& l : lines) {
        if (starts_with(l, "open ") || runs.empty())
            runs.emplace_back();
        runs.back().push_back(l);
    }
    return runs;
}

// Plays a file of `blocks` whole blocks of `block` frames and a partial
// one, twice. With both_views, the file plays at the device's own pace
// (about 21.5 blocks of 2048 frames per second) and the scope is started
// while the analyser runs; otherwise it plays as fast as the device takes
// it, with the scope alone. The second run is the analyser's.
void play_twice(const std::string& name, const std::string& contents, int block, int blocks,
                bool both_views)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir tmp;
    ASSERT_TRUE(tmp.write(name, contents));
    const std::string log = tmp.file("dsp.log"), played = tmp.file("played.raw");
    Zentaphon z(server,
                {"-diskfile", "-filename", tmp.file(name), "-length", std::to_string(block)},
                {{"LD_PRELOAD", ZEN_SIMDSP},
                 {"SIMDSP_LOG", log},
                 {"SIMDSP_PLAY_FILE", played},
                 {"SIMDSP_PACE", both_views ? "realtime" : "fast"}});
    SaveOnFailure evidence(server);
    evidence.add("stderr", z.prog());
    ASSERT_TRUE(z.open()) << z.prog().describe() << "\n" << z.prog().stderr_text();
    const Window soundcard = z.widget(path::soundcard);
    const Window diskfile = z.widget(path::diskfile);
    const Window analyser_run = z.widget(path::analyser_run);
    const Window scope_run = z.widget(path::scope_run);
    ASSERT_TRUE(soundcard && diskfile && analyser_run && scope_run) << dump_tree(dpy, z.control);
    ASSERT_TRUE(wait_until([&] { return is_set(dpy, diskfile); }));
    const Image soundcard_idle = settled_face(dpy, soundcard);
    const Image diskfile_idle = settled_face(dpy, diskfile);
    const size_t diskfile_text = text_pixels(dpy, diskfile);
    // What the device must receive: the file's whole blocks, in the host's
    // (little-endian) byte order.
    const std::string whole_blocks = frames_bytes(blocks * block, false);
    const std::string report = device_report("write", 44100, block);

    if (both_views) {
        ASSERT_TRUE(set_and_wait(dpy, analyser_run));
        ASSERT_TRUE(wait_until([&] { return count_prefix(read_lines(log), "write") >= 1; }));
        ASSERT_TRUE(set_and_wait(dpy, scope_run));
        ASSERT_EQ(count_prefix(read_lines(log), "open "), 1u)
            << "the file ended before the scope was started";
        EXPECT_TRUE(is_set(dpy, analyser_run));
        EXPECT_LT(text_pixels(dpy, diskfile), diskfile_text * 3 / 4);
    } else {
        ASSERT_TRUE(click_centre(dpy, scope_run));
    }

    // The end of the file ends the run: the device is closed, the Run
    // toggles go off, the source toggles come back as they were.
    ASSERT_TRUE(wait_until([&] { return starts_with(last_line(log), "close "); }));
    EXPECT_TRUE(wait_until([&] {
        return !is_set(dpy, analyser_run) && !is_set(dpy, scope_run) &&
               same_image(face(dpy, soundcard), soundcard_idle) &&
               same_image(face(dpy, diskfile), diskfile_idle);
    }));
    EXPECT_TRUE(z.prog().running()) << z.prog().describe();
    EXPECT_EQ(z.prog().stderr_text(), report);
    std::vector<std::vector<std::string>> runs = runs_of(read_lines(log));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(check_run(runs[0], blocks, block * 4), "");
    const std::string first = read_file(played);
    EXPECT_EQ(first.size(), whole_blocks.size());
    EXPECT_TRUE(first == whole_blocks) << "the bytes played are not the file's first blocks";
    // The scope keeps its last picture.
    EXPECT_GT(capture(dpy, z.drawing).count(colour(dpy, "firebrick1")), 0u);

    // Run again: the file plays from its beginning once more.
    ASSERT_TRUE(click_centre(dpy, analyser_run));
    ASSERT_TRUE(wait_until([&] {
        return runs_of(read_lines(log)).size() == 2 && starts_with(last_line(log), "close ");
    }));
    EXPECT_TRUE(wait_until([&] {
        return !is_set(dpy, analyser_run) && same_image(face(dpy, diskfile), diskfile_idle);
    }));
    runs = runs_of(read_lines(log));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(check_run(runs[1], blocks, block * 4), "");
    EXPECT_TRUE(read_file(played) == whole_blocks + whole_blocks)
        << "the second run did not play the file from its beginning";
    EXPECT_EQ(z.prog().stderr_text(), report + report);

    ASSERT_TRUE(send_delete_window(dpy, z.control));
    ASSERT_TRUE(z.prog().wait_exit()) << z.prog().describe();
    EXPECT_EQ(z.prog().exit_status(), 0);
    EXPECT_EQ(read_lines(log).size(), runs[0].size() + runs[1].size())
        << "the device was used after the run";
}

} // namespace

TEST(DiskFile, PlaysTheWholeBlocksOfAWavFileWhileBothViewsRun)
{
    // 30 blocks at the device's pace: time enough to start the second view.
    play_twice("music.wav", wav_file(30 * 2048 + 1000), 2048, 30, true);
}

TEST(DiskFile, PlaysTheWholeBlocksOfACdrFileInHostByteOrder)
{
    play_twice("track.cdr", frames_bytes(5 * 1024 + 333, true), 1024, 5, false);
}
