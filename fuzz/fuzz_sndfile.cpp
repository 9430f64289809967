// Fuzz target for the files read through libsndfile. The library parses
// the bytes (its business); the stream's handling of what it hands back is
// ours: the channels picked, floats scaled and clipped (no undefined
// conversion), reads never longer than asked nor failing, also rewound.
#include "StreamFuzz.h"

#include <vector>

namespace {

// Every frame of the stream at 16 or 32 bits, in blocks whose lengths come
// from the input.
int64_t read_sndfile(PCM& pcm, const uint8_t* data, size_t size, std::vector<uint8_t>& out)
{
    static uint8_t block[8 * 4096];
    const int frame = pcm.bytes_per_frame();
    int64_t total = 0;
    for (size_t i = 0;; ++i) {
        const uint64_t want = size ? 1 + data[i % size] * 16u % 4096 : 4096;
        const int64_t got = pcm.read(block, want);
        if (got < 0 || got > static_cast<int64_t>(want))
            abort();  // a regular file does not fail half way
        out.insert(out.end(), block, block + got * frame);
        total += got;
        if (got == 0 || total > (int64_t{1} << 22))
            return total;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The library tells the formats apart by their contents; the name only
    // brings the file to it.
    static const std::string in = fuzz::scratch(".flac", "-in");
    if (!fuzz::put_file(in, data, size))
        return 0;
    for (int format : {PCM::S16, PCM::S32}) {
        PCM* pcm = create_pcm(in.c_str(), PCM::File, PCM::Read, format, 2, PCM::file_rate);
        if (!pcm)
            continue;
        if (pcm->bytes_per_frame() != (2 << format))
            abort();
        std::vector<uint8_t> first, second;
        read_sndfile(*pcm, data, size, first);
        // Rewound, it reads again without failing. (Not always the same
        // frames: for a header whose data offset lies inside it the library
        // starts the first read behind the header, the rewound one at the
        // offset.)
        if (pcm->seek(0, SEEK_SET) == 0)
            read_sndfile(*pcm, data + size / 2, size - size / 2, second);
        delete pcm;
    }
    return 0;
}
