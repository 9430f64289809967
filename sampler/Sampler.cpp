// The sampler: blocks from the sound device, or from a disk file played
// through the device while it is analysed.
#include "sampler/Sampler.h"

#include "common/Clock.h"
#include "pcm/PCM.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

Sampler sampler;

void widen_samples(int32_t* buf, unsigned int count)
{
    // The 16-bit samples share their bytes with the 32-bit elements; walking
    // down never overwrites a sample before it is read.
    //
    // Two pointers, not one index: GCC 12 (-O1 and up) turns the indexed
    // form into stores addressed from a null base and then drops calls of
    // this function that it can see, leaving the block unwidened.
    const unsigned char* in =
        reinterpret_cast<const unsigned char*>(buf) + 2 * static_cast<std::size_t>(count);
    int32_t* out = buf + count;
    while (out != buf) {
        in -= 2;
        --out;
        int16_t s;
        std::memcpy(&s, in, sizeof s);
        *out = static_cast<int32_t>(s) * sample_widening;
    }
}

void channel_means(const int32_t* buf, unsigned int frames, int& left, int& right)
{
    int64_t sum_left = 0;
    int64_t sum_right = 0;
    for (unsigned int i = 0; i < frames; ++i) {
        sum_left += buf[2 * static_cast<std::size_t>(i)];
        sum_right += buf[2 * static_cast<std::size_t>(i) + 1];
    }
    if (frames == 0) {
        left = right = 0;
        return;
    }
    left = static_cast<int>(sum_left / static_cast<int64_t>(frames));
    right = static_cast<int>(sum_right / static_cast<int64_t>(frames));
}

static int format_code(int resolution)
{
    return resolution == 32 ? PCM::S32 : PCM::S16;
}

bool Sampler::start()
{
    if (!is_power_of_two(length) || length < 128) {
        std::fputs("error: illegal sample length (must be a 2^n)\n", stderr);
        // A power of two that is too short is no slip the line explains.
        if (PCM::hints && is_power_of_two(length))
            std::fprintf(stderr, "hint: the block length is a power of two from 128 to %u\n", max_length);
        return false;
    }
    if (length > max_length) {
        std::fprintf(stderr, "error: sample length %u is too large (at most %u)\n", length,
                     max_length);
        return false;
    }
    if (resolution != 16 && resolution != 32) {
        std::fputs("error: illegal sample resolution (must 16 or 32)\n", stderr);
        return false;
    }

    // Zeroed, so that a block whose first device read fails holds silence.
    buffer.reset(new (std::nothrow) int32_t[2 * static_cast<std::size_t>(length)]());
    if (!buffer) {
        std::fprintf(stderr, "error: can't allocate a block of %u frames\n", length);
        return false;
    }

    const int format = format_code(resolution);
    const int size = static_cast<int>(length);
    const int stereo = 2;
    if (source == Soundcard) {
        device_pcm.reset(create_pcm(device, PCM::Device, PCM::Read, format, stereo, rate, size));
    } else {
        // The device first: a file is never opened for a device that is not there.
        device_pcm.reset(create_pcm(device, PCM::Device, PCM::Write, format, stereo, rate, size));
        if (device_pcm)
            file_pcm.reset(create_pcm(filename, PCM::File, PCM::Read, format, stereo, PCM::file_rate));
    }
    if (!device_pcm || (source == Diskfile && !file_pcm)) {
        stop();
        return false;
    }

    device_pcm->print_info();
    // A file read through libsndfile has its own rate; the others 44100 Hz.
    if (source == Diskfile && rate != file_pcm->rate && PCM::hints)
        std::fprintf(stderr, "warning: the file is at %d Hz and plays at %d Hz: it will sound at the wrong speed "
                             "and pitch (-rate %d plays it right)\n",
                     file_pcm->rate, rate, file_pcm->rate);
    blocks_per_second = static_cast<double>(rate) / static_cast<double>(length);
    count = -1;
    block_failed = false;
    reset_failures();
    return true;
}

bool Sampler::read_block()
{
    const double started = monotonic_seconds();
    block_failed = false;
    if (source == Soundcard) {
        // After a failed read the block goes on as silence: the buffer holds
        // the last block, already widened, or part of one.
        if (device_pcm->read(buffer.get(), length) == static_cast<int64_t>(length)) {
            device_worked();
        } else {
            if (!device_failed("reads", started))
                return false;
            std::memset(buffer.get(), 0, 2 * sizeof(int32_t) * length);
            block_failed = true;
        }
    } else {
        int64_t n = file_pcm->read(buffer.get(), length);
        if (n == -1) {
            // Not the end of the file: the run ends, but says why.
            if (errno == ETIMEDOUT)
                std::fprintf(stderr, "error: Can't read %s: nothing arrived for %g ms\n", file_pcm->name.c_str(),
                             std::floor((stall_limit + static_cast<double>(length) / file_pcm->rate) * 1000.0));
            else
                std::fprintf(stderr, "error: Can't read %s: %s\n", file_pcm->name.c_str(), std::strerror(errno));
            return false;
        }
        if (n != static_cast<int64_t>(length))
            return false;
        if (device_pcm->write(buffer.get(), static_cast<uint64_t>(n)) == n)
            device_worked();
        else if (!device_failed("writes", started))
            return false;
    }
    report_quiet_failures();
    // 32-bit samples arrive as they are kept.
    if (resolution == 16)
        widen_samples(buffer.get(), 2 * length);
    channel_means(buffer.get(), length, dc_left, dc_right);
    ++count;
    return true;
}

bool Sampler::device_failed(const char* what, double started)
{
    const int error = errno;
    // A stream whose device has gone has said so itself.
    if (device_pcm->gone)
        return false;
    ++failures;
    // A failure that took longer than a block (a stream that waited for a
    // stalled sound server) weighs as the blocks whose time it took; a
    // single one still lets the run go on.
    const double period = static_cast<double>(length) / static_cast<double>(rate);
    failed_blocks += std::max(1, static_cast<int>((monotonic_seconds() - started) / period));
    const int limit = std::max(1, static_cast<int>(std::ceil(blocks_per_second)));
    if (failed_blocks >= limit && (failures >= 2 || failures >= limit)) {
        std::fprintf(stderr,
                     "error: the sound device %s stopped working: %d %s in a row failed (%s); "
                     "sampling stopped\n",
                     device_pcm->name.c_str(), failures, what, std::strerror(error));
        return false;
    }
    if (PCM::quiet) {
        ++unreported;
    } else {
        // This failure's line is out; the next ones are counted instead.
        PCM::quiet = true;
        quiet_blocks = 0;
    }
    // The rest of the block's time: a device that fails at once is not
    // asked again before a block could have arrived.
    sleep_until(started + period);
    return true;
}

void Sampler::device_worked()
{
    failures = 0;
    failed_blocks = 0;
}

void Sampler::report_quiet_failures()
{
    if (!PCM::quiet || ++quiet_blocks < blocks_per_second)
        return;
    if (unreported > 0)
        std::fprintf(stderr, "error: %d more failed transfers on the sound device %s in the last second\n",
                     unreported, device_pcm->name.c_str());
    unreported = 0;
    quiet_blocks = 0;
    PCM::quiet = false;
}

void Sampler::reset_failures()
{
    failures = 0;
    failed_blocks = 0;
    unreported = 0;
    quiet_blocks = 0;
    PCM::quiet = false;
}

void Sampler::stop()
{
    // The device closes first, as it was opened first.
    device_pcm.reset();
    file_pcm.reset();
    buffer.reset();
    reset_failures();
}
