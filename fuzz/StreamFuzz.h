// One fuzz input as a file stream sees it: the bytes become a file with
// the kind's suffix, which is opened, measured, read in blocks of varying
// length, rewound and read again. A stream that opens must deliver exactly
// the frames its length promises, and a file written through the same kind
// must read back frame for frame.
#pragma once

#include "pcm/PCM.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace fuzz {

inline std::string scratch(const char* suffix, const char* tag)
{
    const char* dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/zen-fuzz-" + std::to_string(getpid()) +
           tag + suffix;
}

inline bool put_file(const std::string& path, const uint8_t* data, size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    const bool ok = size == 0 || write(fd, data, size) == static_cast<ssize_t>(size);
    close(fd);
    return ok;
}

// Reads the whole stream in blocks whose lengths come from the input.
inline int64_t read_all(PCM& pcm, const uint8_t* data, size_t size, std::vector<uint8_t>& out)
{
    static uint8_t block[4 * 4096];
    int64_t total = 0;
    for (size_t i = 0;; ++i) {
        const uint64_t want = size ? 1 + data[i % size] * 16u % 4096 : 4096;
        const int64_t got = pcm.read(block, want);
        if (got < 0)
            abort();  // a readable file does not fail half way
        if (got > static_cast<int64_t>(want))
            abort();
        out.insert(out.end(), block, block + got * 4);
        total += got;
        if (got == 0)
            return total;
    }
}

inline void run(const char* suffix, const uint8_t* data, size_t size)
{
    static const std::string in = scratch(suffix, "-in");
    static const std::string copy = scratch(suffix, "-copy");
    if (!put_file(in, data, size))
        return;

    PCM* pcm = create_pcm(in.c_str(), 1, 0, 1, 2, 44100);
    if (!pcm)
        return;
    const int64_t frames = pcm->frames();
    std::vector<uint8_t> first, second;
    if (read_all(*pcm, data, size, first) != frames)
        abort();
    if (pcm->seek(0, SEEK_SET) != 0 || read_all(*pcm, data + size / 2, size - size / 2, second) != frames ||
        first != second)
        abort();
    delete pcm;

    // The frames written through a stream of the same kind read back unchanged.
    PCM* out = create_pcm(copy.c_str(), 1, 1, 1, 2, 44100);
    if (!out)
        abort();
    std::vector<uint8_t> frames_copy(first);
    if (frames > 0 && out->write(frames_copy.data(), static_cast<uint64_t>(frames)) != frames)
        abort();
    delete out;
    PCM* back = create_pcm(copy.c_str(), 1, 0, 1, 2, 44100);
    if (!back)
        abort();
    std::vector<uint8_t> again;
    if (read_all(*back, data, size, again) != frames || again != first)
        abort();
    delete back;
}

}  // namespace fuzz
