// Helpers for the stream tests: temporary files, descriptor counts, and a
// child process (this test program run again) that drives streams under the
// simulated sound device. The child reads a script of commands separated by
// ';' from ZEN_PCM_CHILD, prints one line per command on standard output,
// appends what it reads to ZEN_PCM_DUMP, and exits before any test runs.
#pragma once

#include "pcm/PCM.h"
#include "simdsp_child.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace pcmtest {

using simchild::ChildResult;
using simchild::count_fds;
using simchild::lines;
using simchild::read_file;
using simchild::TempDir;
using simchild::write_file;

inline bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Runs script in a child under the simulated device, with the extra
// variables (SIMDSP_LOG, SIMDSP_PLAY_FILE and ZEN_PCM_DUMP are set for it).
inline ChildResult run_child(const std::string& script,
                             const std::map<std::string, std::string>& vars = {})
{
    return simchild::run_child("ZEN_PCM_CHILD", "ZEN_PCM_DUMP", script, vars);
}


// Little-endian 16-bit samples as bytes.
inline std::string le16(const std::vector<int16_t>& samples)
{
    std::string s;
    for (int16_t v : samples) {
        s += static_cast<char>(v & 0xff);
        s += static_cast<char>((v >> 8) & 0xff);
    }
    return s;
}

inline std::vector<int16_t> samples_of(const std::string& bytes)
{
    std::vector<int16_t> v(bytes.size() / 2);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return v;
}

// Byte j of everything the child writes, across all its write commands.
inline unsigned char pattern_byte(uint64_t j)
{
    return static_cast<unsigned char>((j * 131 + 7) & 0xff);
}

// ---------------------------------------------------------------- the child

inline int run_script(const char* script)
{
    PCM* pcm = nullptr;
    int raw = -1;
    uint64_t written = 0;
    std::vector<unsigned char> buf;
    const char* dump_path = getenv("ZEN_PCM_DUMP");
    std::istringstream commands(script);
    for (std::string line; std::getline(commands, line, ';');) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "create") {
            std::string name;
            int type, mode, format, channels, rate, size;
            in >> name >> type >> mode >> format >> channels >> rate >> size;
            pcm = create_pcm(name.c_str(), type, mode, format, channels, rate, size);
            printf("create %s\n", pcm ? "ok" : "null");
        } else if (cmd == "info" && pcm) {
            pcm->print_info();
        } else if (cmd == "read" && pcm) {
            uint64_t frames;
            in >> frames;
            buf.assign(frames * pcm->bytes_per_frame(), 0);
            const int64_t r = pcm->read(buf.data(), frames);
            printf("read %lld\n", static_cast<long long>(r));
            if (r > 0 && dump_path) {
                FILE* f = fopen(dump_path, "ab");
                fwrite(buf.data(), 1, static_cast<size_t>(r) * pcm->bytes_per_frame(), f);
                fclose(f);
            }
        } else if (cmd == "write" && pcm) {
            uint64_t frames;
            in >> frames;
            buf.resize(frames * pcm->bytes_per_frame());
            for (size_t i = 0; i < buf.size(); ++i)
                buf[i] = pattern_byte(written + i);
            const int64_t r = pcm->write(buf.data(), frames);
            written += buf.size();
            printf("write %lld\n", static_cast<long long>(r));
        } else if (cmd == "frames" && pcm) {
            printf("frames %lld\n", static_cast<long long>(pcm->frames()));
        } else if (cmd == "seek" && pcm) {
            printf("seek %lld\n", static_cast<long long>(pcm->seek(0, SEEK_SET)));
        } else if (cmd == "delete") {
            delete pcm;
            pcm = nullptr;
        } else if (cmd == "fds") {
            printf("fds %d\n", count_fds());
        } else if (cmd == "open") {
            std::string path;
            int flags;
            in >> path >> flags;
            raw = open(path.c_str(), flags);
            printf("open %s\n", raw >= 0 ? "ok" : strerror(errno));
        } else if (cmd == "ioctl") {
            std::string request;
            int value;
            in >> request >> value;
            const int rc = ioctl(raw, std::stoul(request, nullptr, 0), &value);
            printf("ioctl %d %d\n", rc, value);
        } else if (cmd == "rread") {
            size_t n;
            in >> n;
            buf.assign(n, 0);
            const ssize_t r = ::read(raw, buf.data(), n);
            printf("rread %zd\n", r);
            if (r > 0 && dump_path) {
                FILE* f = fopen(dump_path, "ab");
                fwrite(buf.data(), 1, static_cast<size_t>(r), f);
                fclose(f);
            }
        } else if (cmd == "dup2") {
            int target;
            in >> target;
            const int r = dup2(raw, target);
            close(raw);
            raw = r;
            printf("dup2 %d\n", r);
        } else if (cmd == "close") {
            close(raw);
            raw = -1;
        }
        fflush(stdout);
    }
    delete pcm;
    return 0;
}

inline int child_hook()
{
    const char* script = getenv("ZEN_PCM_CHILD");
    if (!script)
        return 0;
    const int rc = run_script(script);
    fflush(stdout);
    fflush(stderr);
    _exit(rc);
}

inline const int child_hook_ran = child_hook();

} // namespace pcmtest
