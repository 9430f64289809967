// Stream on an OSS sound-device node: records in mode 0, plays in mode 1,
// one device block of `size` frames per read or write.
#pragma once

#include "pcm/PCM.h"

class PCMOSS : public PCM {
public:
    int fd;
    int open_errno = 0;   // errno of a failed open, else 0

    PCMOSS(const char* name, int type, int mode, int format, int channels, int rate, int size);
    ~PCMOSS() override;

    void print_info() override;
    int64_t frames() override;
    int64_t seek(int64_t frame, int whence) override;
    int64_t read(void* buffer, uint64_t count) override;
    int64_t write(void* buffer, uint64_t count) override;
};
