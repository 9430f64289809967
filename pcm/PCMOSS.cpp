// OSS sound-device stream. The device is configured for at most two
// fragments of exactly one block each, so that no more than two blocks wait
// between the device and the program.
#include "pcm/PCMOSS.h"

#include "common/Numeric.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/soundcard.h>
#include <unistd.h>

namespace {

// Largest block in bytes the device is asked for.
constexpr long long max_block_bytes = 1LL << 30;

} // namespace

PCMOSS::PCMOSS(const char* name_, int type_, int mode_, int format_, int channels_, int rate_, int size_)
    : PCM(name_, type_, mode_, format_, channels_, rate_, size_), fd(-1)
{
    if (!check_device_parameters())
        return;
    fd = open_without_waiting(name.c_str(), mode == Write ? O_WRONLY : O_RDONLY);
    if (fd == -1) {
        open_errno = errno;
        pcm_error("error: Can't open %s: %s\n", name.c_str(), strerror(open_errno));
        return;
    }

    // Block size in bytes; it must be a power of two for the fragment request.
    const long long block = static_cast<long long>(channels << format) * size;
    const int e = block > 0 && block <= max_block_bytes ? log2_floor(static_cast<unsigned long long>(block)) : 0;
    if (block <= 0 || block > max_block_bytes || (1LL << e) != block) {
        fputs("error: Invalid requested buffer size\n", stderr);
        return;
    }

    int value = (2 << 16) + e;
    if (ioctl(fd, SNDCTL_DSP_SETFRAGMENT, &value) == -1) {
        fprintf(stderr, "error: Can't set fragment size: %s\n", strerror(errno));
        return;
    }

    const int wanted_format = format == S8 ? AFMT_S8 : AFMT_S16_LE;
    value = wanted_format;
    if (ioctl(fd, SNDCTL_DSP_SETFMT, &value) == -1) {
        fprintf(stderr, "error: %s\n", strerror(errno));
        return;
    }
    if (value != wanted_format) {
        fputs("error: Can't set requested format (resolution)\n", stderr);
        return;
    }

    const int stereo = channels == 2 ? 1 : 0;
    value = stereo;
    if (ioctl(fd, SNDCTL_DSP_STEREO, &value) == -1) {
        fprintf(stderr, "error: %s\n", strerror(errno));
        return;
    }
    if (value != stereo) {
        fputs("error: Can't set mono/stereo\n", stderr);
        return;
    }

    value = rate;
    if (ioctl(fd, SNDCTL_DSP_SPEED, &value) == -1) {
        fprintf(stderr, "error: %s\n", strerror(errno));
        return;
    }
    if (std::llabs(static_cast<long long>(value) - rate) >= 2) {
        fprintf(stderr,
                "error: Can't set requested rate\n"
                "requested rate: %d Hz, actual rate: %d Hz\n",
                rate, value);
        return;
    }

    // Where the platform cannot set the block size directly, the fragment
    // request above has already asked for fragments of exactly one block.
    value = static_cast<int>(block);
#ifdef SNDCTL_DSP_SETBLKSIZE
    if (ioctl(fd, SNDCTL_DSP_SETBLKSIZE, &value) == -1) {
        fprintf(stderr, "error %s\n", strerror(errno));
        return;
    }
#endif
    if (ioctl(fd, SNDCTL_DSP_GETBLKSIZE, &value) == -1) {
        fprintf(stderr, "error %s\n", strerror(errno));
        return;
    }
    if (value != block) {
        fprintf(stderr,
                "error: Can't set requested buffer size\n"
                "requested size: %d bytes, actual size: %d bytes\n",
                static_cast<int>(block), value);
        return;
    }

    ok = true;
}

PCMOSS::~PCMOSS()
{
    if (fd != -1)
        ::close(fd);
}

void PCMOSS::print_info()
{
    fputs("driver: oss\n", stderr);
    PCM::print_info();
}

int64_t PCMOSS::frames()
{
    return -1;
}

int64_t PCMOSS::seek(int64_t, int)
{
    return -1;
}

// Emulated OSS devices (sound-server preload libraries, CUSE daemons) hand a
// blocking transfer over in several pieces, so both directions continue until
// the whole block has moved. Only an error, a device that moves nothing, or
// a run of interrupted calls without progress ends the block early.
template <typename Buffer, typename Move>
int64_t move_block(const PCM& pcm, uint64_t count, Buffer* buffer, Move move)
{
    const long long total = pcm.bytes_for(count);
    if (total < 0)   // more than one system call can move
        return pcm.transfer_failed(EINVAL);
    long long done = 0;
    int interrupted = 0;
    while (done < total) {
        const ssize_t n = move(buffer + done, static_cast<size_t>(total - done));
        if (n > 0) {
            done += n;
            interrupted = 0;
        } else if (n == -1 && errno == EINTR && ++interrupted < max_interrupted_calls) {
            continue;
        } else {
            // n == 0: the device has nothing more to move.
            return pcm.transfer_failed(n == 0 ? EIO : errno);
        }
    }
    return static_cast<int64_t>(count);
}

int64_t PCMOSS::read(void* buffer, uint64_t count)
{
    return move_block(*this, count, static_cast<char*>(buffer),
                      [this](char* p, size_t n) { return ::read(fd, p, n); });
}

int64_t PCMOSS::write(void* buffer, uint64_t count)
{
    return move_block(*this, count, static_cast<const char*>(buffer),
                      [this](const char* p, size_t n) { return ::write(fd, p, n); });
}
