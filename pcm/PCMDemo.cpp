#include "pcm/PCMDemo.h"

#include "common/Clock.h"
#include "pcm/DemoSignal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

PCMDemo::PCMDemo(const char* name_, int type_, int mode_, int format_, int channels_, int rate_, int size_)
    : PCM(name_, type_, mode_, format_, channels_, rate_, size_)
{
    if (!check_device_parameters())
        return;
    if (rate <= 0) {
        pcm_error("error: Can't set requested rate\nrequested rate: %d Hz, actual rate: 0 Hz\n", rate);
        return;
    }
    if (size <= 0) {
        pcm_error("error: Invalid requested buffer size\n");
        return;
    }
    ok = true;
}

void PCMDemo::print_info()
{
    fputs("driver: demo\n", stderr);
    PCM::print_info();
}

int64_t PCMDemo::frames()
{
    return -1;
}

int64_t PCMDemo::seek(int64_t, int)
{
    return -1;
}

void PCMDemo::pace(uint64_t count)
{
    const double now = monotonic_seconds();
    if (!started) {
        start = now;
        started = true;
    }
    position += count;
    const double due = static_cast<double>(position) / rate;
    // A reader more than two blocks late loses them, as with a sound card,
    // rather than being handed a burst to catch up with.
    if (now - start - due > 2.0 * size / rate) {
        start = now - due;
        return;
    }
    sleep_until(start + due);
}

int64_t PCMDemo::read(void* buffer, uint64_t count)
{
    if (bytes_for(count) < 0)
        return transfer_failed(EINVAL);
    const uint64_t first = position;
    for (uint64_t i = 0; i < count; ++i) {
        for (int c = 0; c < channels; ++c) {
            const uint64_t k = i * static_cast<uint64_t>(channels) + static_cast<uint64_t>(c);
            if (format == S32) {
                const int32_t s = demo_sample32(c, first + i, rate);
                std::memcpy(static_cast<char*>(buffer) + 4 * k, &s, 4);
                continue;
            }
            const int16_t s = demo_sample(c, first + i, rate);
            if (format == S16)
                std::memcpy(static_cast<char*>(buffer) + 2 * k, &s, 2);
            else
                static_cast<int8_t*>(buffer)[k] = static_cast<int8_t>(s >> 8);
        }
    }
    pace(count);
    return static_cast<int64_t>(count);
}

int64_t PCMDemo::write(void*, uint64_t count)
{
    if (bytes_for(count) < 0)
        return transfer_failed(EINVAL);
    pace(count);
    return static_cast<int64_t>(count);
}
