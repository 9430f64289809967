// The generator's samples played to a device without ever waiting for it:
// after each block the input delivered, top_up writes what the output can
// take now (PCM::room), so the output never holds the input up. The
// device's own block is three of the input's: the sound server then keeps
// three to six of them queued, and asks for the next three while three are
// left, so a request seen a block late still finds two blocks queued.
#pragma once

#include "generator/Generator.h"
#include "pcm/PCM.h"

#include <cstdint>
#include <memory>

class GeneratorOutput {
public:
    static constexpr unsigned int device_blocks = 3;    // input blocks per device block
    static constexpr unsigned int queue_blocks = 6;     // the most written at once

    // Opens device ("" or null: the sound server's default sink when a
    // server answers, else ALSA's "default") for writing stereo at rate Hz
    // and bits 16 or 32, in blocks of block_frames, and prints its report.
    // False after one "error: " line (a device that cannot say what it
    // takes without waiting is refused). Allocates.
    bool open(const char* device, int rate, int bits, unsigned int block_frames, uint64_t seed = 1);
    void close();
    bool is_open() const { return pcm_ != nullptr; }
    Generator& generator() { return generator_; }

    // Writes what the output takes without waiting, at most queue_blocks
    // blocks. False after the stream's line when it failed: the output is
    // closed then.
    bool top_up();
    unsigned long long frames_written() const { return written_; }

private:
    std::unique_ptr<PCM> pcm_;
    Generator generator_;
    std::unique_ptr<int32_t[]> samples_;    // queue_blocks blocks of stereo frames
    std::unique_ptr<int16_t[]> narrow_;     // the same at 16 bits
    unsigned int block_frames_ = 0;
    unsigned long long written_ = 0;
};
