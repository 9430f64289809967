// The demonstration stream: records the built-in demonstration signal and
// plays to nowhere, paced in real time like a sound card (one block per
// block period, counted from the first transfer).
#pragma once

#include "pcm/PCM.h"


class PCMDemo : public PCM {
public:
    PCMDemo(const char* name, int type, int mode, int format, int channels, int rate, int size);

    void print_info() override;
    int64_t frames() override;
    int64_t seek(int64_t frame, int whence) override;
    int64_t read(void* buffer, uint64_t count) override;
    int64_t write(void* buffer, uint64_t count) override;

private:
    uint64_t position = 0;   // frames moved since the first transfer
    double start = 0;        // monotonic time of frame 0, seconds
    bool started = false;

    // Waits until count more frames have taken their time.
    void pace(uint64_t count);
};
