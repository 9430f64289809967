// Helpers for the sampler tests that need a sound device: this test program
// runs itself again as a child under the simulated device (libsimdsp.so
// preloaded) and drives the global sampler there from a script, so that the
// preload never touches the test process itself and works in the sanitizer
// build as well.
//
// The script is in ZEN_SAMPLER_CHILD: commands separated by ';', each
// printing one line on standard output.
//   set KEY VALUE  source (0/1), rate, length, resolution, device, filename
//   start          start; prints the result, count, blocks per second,
//                  whether the block is all zero, and the means
//   fds            prints the number of open descriptors
//   dirty          frees a block's worth of garbage (prints nothing)
//   read N         N calls of read_block; one line each, and each block that
//                  was read appended (2 * length host-order int32) to ZEN_SAMPLER_DUMP
//   reads N        N calls of read_block, one summary line
//   alloc N        N calls of read_block with allocations counted
//   probe          one deliberate allocation with allocations counted
//   stop           stop; prints what the sampler still holds
// The child exits before any test runs.
#pragma once

#include "sampler/Sampler.h"
#include "simdsp_child.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace samplertest {

using simchild::ChildResult;
using simchild::count_fds;
using simchild::lines;
using simchild::read_file;
using simchild::TempDir;
using simchild::write_file;

// Runs script in a child under the simulated device, with the extra
// variables; the device runs unpaced unless vars say otherwise.
inline ChildResult run_child(const std::string& script,
                             const std::map<std::string, std::string>& vars = {})
{
    return simchild::run_child("ZEN_SAMPLER_CHILD", "ZEN_SAMPLER_DUMP", script, vars);
}


// 16-bit samples as little-endian (le) or big-endian bytes.
inline std::string bytes16(const std::vector<int16_t>& samples, bool le)
{
    std::string s;
    for (int16_t v : samples) {
        const char lo = static_cast<char>(static_cast<uint16_t>(v) & 0xff);
        const char hi = static_cast<char>(static_cast<uint16_t>(v) >> 8);
        s += le ? lo : hi;
        s += le ? hi : lo;
    }
    return s;
}

inline void put_le(std::string& s, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xff);
}

// A canonical 16-bit stereo 44100 Hz WAV file holding the interleaved samples.
inline std::string wav_bytes(const std::vector<int16_t>& interleaved)
{
    const uint32_t data = static_cast<uint32_t>(interleaved.size() * 2);
    std::string s = "RIFF";
    put_le(s, 36 + data, 4);
    s += "WAVEfmt ";
    put_le(s, 16, 4);
    put_le(s, 1, 2);          // integer PCM
    put_le(s, 2, 2);          // channels
    put_le(s, 44100, 4);      // rate
    put_le(s, 44100 * 4, 4);  // bytes per second
    put_le(s, 4, 2);          // bytes per frame
    put_le(s, 16, 2);         // bits
    s += "data";
    put_le(s, data, 4);
    return s + bytes16(interleaved, true);
}

// Host-order int32 elements of a dump.
inline std::vector<int32_t> int32s_of(const std::string& bytes)
{
    std::vector<int32_t> v(bytes.size() / 4);
    if (!v.empty())
        std::memcpy(v.data(), bytes.data(), v.size() * 4);
    return v;
}

// Samples of little-endian bytes.
inline std::vector<int16_t> le_samples_of(const std::string& bytes)
{
    std::vector<int16_t> v(bytes.size() / 2);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<int16_t>(static_cast<uint16_t>(
            static_cast<unsigned char>(bytes[2 * i]) |
            (static_cast<unsigned char>(bytes[2 * i + 1]) << 8)));
    return v;
}

// ---------------------------------------------------------------- the child

// Allocation counting, supplied by the test file that counts.
struct AllocCounter {
    void (*arm)() = nullptr;        // starts counting from zero
    long (*disarm)() = nullptr;     // stops counting, returns the count
};

inline bool block_is_zero()
{
    if (!sampler.buffer)
        return false;
    for (size_t i = 0; i < 2 * static_cast<size_t>(sampler.length); ++i)
        if (sampler.buffer[i] != 0)
            return false;
    return true;
}

inline int run_script(const char* script, const AllocCounter& counter)
{
    sampler = Sampler{};
    sampler.source = Sampler::Soundcard;
    sampler.rate = 44100;
    sampler.length = 2048;
    sampler.resolution = 16;
    sampler.device = "default";
    sampler.filename = "";
    std::string device, filename;  // the sampler borrows these
    const char* dump_path = getenv("ZEN_SAMPLER_DUMP");

    std::istringstream commands(script);
    for (std::string line; std::getline(commands, line, ';');) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "set") {
            std::string key, value;
            in >> key >> value;
            if (key == "source")
                sampler.source = std::stoi(value);
            else if (key == "rate")
                sampler.rate = std::stoi(value);
            else if (key == "length")
                sampler.length = static_cast<unsigned int>(std::stoul(value));
            else if (key == "resolution")
                sampler.resolution = std::stoi(value);
            else if (key == "device")
                device = value, sampler.device = device.c_str();
            else if (key == "filename")
                filename = value, sampler.filename = filename.c_str();
            continue;
        }
        if (cmd == "start") {
            const bool ok = sampler.start();
            printf("start %d count=%d bps=%.17g zero=%d dc=%d,%d\n", ok ? 1 : 0, sampler.count,
                   sampler.blocks_per_second, block_is_zero() ? 1 : 0, sampler.dc_left,
                   sampler.dc_right);
        } else if (cmd == "read") {
            int n = 0;
            in >> n;
            for (int i = 0; i < n; ++i) {
                const bool ok = sampler.read_block();
                printf("read %d count=%d dc=%d,%d\n", ok ? 1 : 0, sampler.count, sampler.dc_left,
                       sampler.dc_right);
                if (ok && dump_path) {
                    FILE* f = fopen(dump_path, "ab");
                    if (f) {
                        fwrite(sampler.buffer.get(), 4, 2 * static_cast<size_t>(sampler.length), f);
                        fclose(f);
                    }
                }
            }
        } else if (cmd == "reads" || cmd == "alloc") {
            int n = 0;
            in >> n;
            const bool counting = cmd == "alloc" && counter.arm;
            int good = 0;
            if (counting)
                counter.arm();
            for (int i = 0; i < n; ++i)
                good += sampler.read_block() ? 1 : 0;
            const long allocs = counting ? counter.disarm() : -1;
            printf("%s %d count=%d allocs=%ld\n", cmd.c_str(), good, sampler.count, allocs);
        } else if (cmd == "probe") {
            long allocs = -1;
            if (counter.arm) {
                counter.arm();
                std::vector<int>* v = new std::vector<int>(100);
                void* m = malloc(64);
                allocs = counter.disarm();
                free(m);
                delete v;
            }
            printf("probe allocs=%ld\n", allocs);
        } else if (cmd == "dirty") {
            // Leaves a block's worth of garbage in the allocator, so that a
            // block allocated next without clearing would show it.
            std::vector<int32_t>* junk = new std::vector<int32_t>(2 * sampler.length, 0x5a5a5a5a);
            delete junk;
        } else if (cmd == "fds") {
            printf("fds %d\n", count_fds());
        } else if (cmd == "stop") {
            sampler.stop();
            printf("stop buffer=%d device=%d file=%d\n", sampler.buffer ? 1 : 0,
                   sampler.device_pcm ? 1 : 0, sampler.file_pcm ? 1 : 0);
        } else if (!cmd.empty()) {
            printf("unknown %s\n", cmd.c_str());
        }
        fflush(stdout);
    }
    return 0;
}

// Call from a namespace-scope initializer at the end of the test file: runs
// the child's script and exits when this process is a child.
inline int child_hook(const AllocCounter& counter = AllocCounter{})
{
    const char* script = getenv("ZEN_SAMPLER_CHILD");
    if (!script)
        return 0;
    const int rc = run_script(script, counter);
    fflush(stdout);
    fflush(stderr);
    _exit(rc);
}

} // namespace samplertest
