// CDR file stream: frames of two big-endian 16-bit samples from the first
// byte to the last.
#include "pcm/PCMCDR.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int frame_bytes = 4;


} // namespace

PCMCDR::PCMCDR(const char* name_, int type_, int mode_, int format_, int channels_, int rate_, int size_)
    : PCM(name_, type_, mode_, format_, channels_, rate_, size_), fd(-1)
{
    long long file_size = 0;
    if (!check_file_parameters() || !open_file(fd, file_size))
        return;
    if (mode == Read && file_size % frame_bytes != 0) {
        pcm_error("error: Illegal size of %s\n", name.c_str());
        return;
    }
    ok = true;
}

PCMCDR::~PCMCDR()
{
    if (fd != -1)
        ::close(fd);
}

void PCMCDR::print_info()
{
    fputs("driver: cdr\n", stderr);
    PCM::print_info();
}

void PCMCDR::swap_bytes(void* buffer, uint64_t count) const
{
    unsigned char* p = static_cast<unsigned char*>(buffer);
    const uint64_t samples = count * static_cast<uint64_t>(channels);
    for (uint64_t i = 0; i < samples; ++i, p += 2) {
        const unsigned char t = p[0];
        p[0] = p[1];
        p[1] = t;
    }
}

int64_t PCMCDR::frames()
{
    struct stat st;
    if (fstat(fd, &st) == -1)
        return -1;
    return static_cast<int64_t>(st.st_size) / frame_bytes;
}

int64_t PCMCDR::seek(int64_t frame, int whence)
{
    if (frame > INT64_MAX / frame_bytes || frame < INT64_MIN / frame_bytes) {
        errno = EINVAL;
        return -1;
    }
    const off_t pos = lseek(fd, static_cast<off_t>(frame * frame_bytes), whence);
    if (pos == -1)
        return -1;
    return static_cast<int64_t>(pos) / frame_bytes;
}

int64_t PCMCDR::read(void* buffer, uint64_t count)
{
    const int64_t got = move_frames(fd, Read, buffer, count, AtZero::EndOfData);
    if (got > 0)
        swap_bytes(buffer, static_cast<uint64_t>(got));
    return got;
}

int64_t PCMCDR::write(void* buffer, uint64_t count)
{
    if (bytes_for(count) < 0)
        return -1;
    swap_bytes(buffer, count);
    return move_frames(fd, Write, buffer, count, AtZero::EndOfData);
}
