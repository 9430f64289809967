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
    // OSS devices deliver 8 or 16 bits; 32 are refused before the device opens.
    if (format == S32) {
        pcm_error("error: Illegal format (resolution)\n");
        return;
    }
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
        pcm_error("error: Invalid requested buffer size\n");
        return;
    }

    int value = (2 << 16) + e;
    if (!request(SNDCTL_DSP_SETFRAGMENT, value, "error: Can't set fragment size: %s\n") ||
        !set_and_verify(SNDCTL_DSP_SETFMT, format == S8 ? AFMT_S8 : AFMT_S16_LE, 0,
                        "error: Can't set requested format (resolution)\n") ||
        !set_and_verify(SNDCTL_DSP_STEREO, channels == 2 ? 1 : 0, 0, "error: Can't set mono/stereo\n") ||
        !set_and_verify(SNDCTL_DSP_SPEED, rate, 1,
                        "error: Can't set requested rate\n"
                        "requested rate: %d Hz, actual rate: %d Hz\n"))
        return;

    // Where the platform cannot set the block size directly, the fragment
    // request above has already asked for fragments of exactly one block.
    value = static_cast<int>(block);
#ifdef SNDCTL_DSP_SETBLKSIZE
    if (!request(SNDCTL_DSP_SETBLKSIZE, value, "error %s\n"))
        return;
#endif
    if (!request(SNDCTL_DSP_GETBLKSIZE, value, "error %s\n") ||
        !verify(static_cast<int>(block), value, 0,
                "error: Can't set requested buffer size\n"
                "requested size: %d bytes, actual size: %d bytes\n"))
        return;

    ok = true;
}

bool PCMOSS::request(unsigned long code, int& value, const char* failed)
{
    if (ioctl(fd, code, &value) == -1) {
        pcm_error(failed, strerror(errno));
        return false;
    }
    return true;
}

bool PCMOSS::verify(int wanted, int got, int tolerance, const char* refused)
{
    if (std::llabs(static_cast<long long>(got) - wanted) <= tolerance)
        return true;
    pcm_error(refused, wanted, got);
    return false;
}

bool PCMOSS::set_and_verify(unsigned long code, int wanted, int tolerance, const char* refused)
{
    int value = wanted;
    return request(code, value, "error: %s\n") && verify(wanted, value, tolerance, refused);
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

// A device that moves nothing has stopped: the block fails.
int64_t PCMOSS::read(void* buffer, uint64_t count)
{
    const int64_t n = move_frames(fd, Read, buffer, count, AtZero::Failure);
    return n < 0 ? transfer_failed(errno) : n;
}

int64_t PCMOSS::write(void* buffer, uint64_t count)
{
    const int64_t n = move_frames(fd, Write, buffer, count, AtZero::Failure);
    return n < 0 ? transfer_failed(errno) : n;
}
