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

private:
    // One OSS request on fd with value in and out; false after the message
    // `failed`, given the system's reason, when the call fails.
    bool request(unsigned long code, int& value, const char* failed);
    // The device took what was wanted, give or take tolerance; else false
    // after the message `refused`, given the wanted and the actual value.
    bool verify(int wanted, int got, int tolerance, const char* refused);
    // Both for a request that hands back what it set; a failed call's
    // message is "error: " and the system's reason.
    bool set_and_verify(unsigned long code, int wanted, int tolerance, const char* refused);
};
