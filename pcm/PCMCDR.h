// Stream on a raw CD-audio file: 16-bit big-endian stereo at 44100 Hz, no
// header. Samples are converted in place between file and host order.
#pragma once

#include "pcm/PCM.h"

class PCMCDR : public PCM {
public:
    int fd;

    PCMCDR(const char* name, int type, int mode, int format, int channels, int rate, int size);
    ~PCMCDR() override;

    void print_info() override;
    int64_t frames() override;
    int64_t seek(int64_t frame, int whence) override;
    int64_t read(void* buffer, uint64_t count) override;
    int64_t write(void* buffer, uint64_t count) override;

    // Reverses the two bytes of each 16-bit sample of count frames, in place.
    void swap_bytes(void* buffer, uint64_t count) const;
};
