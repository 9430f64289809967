// The stream base, the factory that picks a kind from type and name, and the
// common part of the report.
#include "pcm/PCM.h"

#include "pcm/PCMCDR.h"
#include "pcm/PCMOSS.h"
#include "pcm/PCMWAV.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

PCM::PCM(const char* name_, int type_, int mode_, int format_, int channels_, int rate_, int size_)
    : ok(false),
      name(strdup(name_ ? name_ : "")),
      type(type_),
      mode(mode_),
      format(format_),
      channels(channels_),
      rate(rate_),
      size(size_)
{
}

PCM::~PCM()
{
    free(name);
}

void PCM::print_info()
{
    const long long bytes = static_cast<long long>(channels << format) * size;
    const double ms = size * 1000.0 / rate;
    fprintf(stderr,
            "name: %s\n"
            "type: %s\n"
            "mode: %s\n"
            "format: signed %d bits\n"
            "channels: %d\n"
            "rate: %d Hz\n"
            "buffer size: %d frames, %lld bytes, %g ms\n",
            name ? name : "", type == 0 ? "device" : "file", mode == 0 ? "read" : "write",
            8 << format, channels, rate, size, bytes, ms);
}

long long PCM::bytes_for(uint64_t count) const
{
    const int frame = bytes_per_frame();
    if (frame <= 0 || count > static_cast<uint64_t>(INT_MAX / frame))
        return -1;
    return static_cast<long long>(count) * frame;
}

bool PCM::check_file_parameters() const
{
    if (channels != 2) {
        fputs("error: Illegal number of channels\n", stderr);
        return false;
    }
    if (format != 1) {
        fputs("error: Illegal format (resolution)\n", stderr);
        return false;
    }
    if (rate != 44100) {
        fputs("error: Illegal rate\n", stderr);
        return false;
    }
    if (size != 1) {
        fputs("error: Illegal buffer size\n", stderr);
        return false;
    }
    return true;
}

bool PCM::open_file(int& fd, long long& file_size) const
{
    fd = mode == 1 ? ::open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666) : ::open(name, O_RDONLY);
    if (fd == -1) {
        fprintf(stderr, "error: Can't open %s: %s\n", name, strerror(errno));
        return false;
    }
    file_size = 0;
    if (mode == 1)
        return true;
    struct stat st;
    if (fstat(fd, &st) == -1) {
        fprintf(stderr, "error: Can't stat %s: %s\n", name, strerror(errno));
        return false;
    }
    // A directory opens read-only and has a size, but is no stream.
    if (S_ISDIR(st.st_mode)) {
        fprintf(stderr, "error: Can't open %s: %s\n", name, strerror(EISDIR));
        return false;
    }
    file_size = st.st_size;
    return true;
}

int64_t PCM::read_frames(int fd, void* buffer, uint64_t count) const
{
    const long long bytes = bytes_for(count);
    if (bytes < 0)
        return -1;
    const ssize_t n = ::read(fd, buffer, static_cast<size_t>(bytes));
    return n == -1 ? -1 : n / bytes_per_frame();
}

int64_t PCM::write_frames(int fd, const void* buffer, uint64_t count) const
{
    const long long bytes = bytes_for(count);
    if (bytes < 0)
        return -1;
    const ssize_t n = ::write(fd, buffer, static_cast<size_t>(bytes));
    return n == -1 ? -1 : n / bytes_per_frame();
}

PCM* create_pcm(const char* name, int type, int mode, int format, int channels, int rate, int size)
{
    PCM* pcm = nullptr;
    if (type == 1) {
        const size_t len = name ? strlen(name) : 0;
        if (len < 5) {
            fputs("error: Unknown name for pcm interface\n", stderr);
            return nullptr;
        }
        const char* suffix = name + len - 4;
        if (strcmp(suffix, ".cdr") == 0) {
            pcm = new (std::nothrow) PCMCDR(name, 1, mode, format, channels, rate, size);
        } else if (strcmp(suffix, ".wav") == 0) {
            pcm = new (std::nothrow) PCMWAV(name, 1, mode, format, channels, rate, size);
        } else {
            fputs("error: Unknown name for pcm interface\n", stderr);
            return nullptr;
        }
    } else if (type == 0) {
        if (name && strcmp(name, "default") == 0)
            name = "/dev/dsp";
        if (!name || strncmp(name, "/dev/", 5) != 0) {
            fputs("error: Unknown name for pcm interface\n", stderr);
            return nullptr;
        }
        pcm = new (std::nothrow) PCMOSS(name, 0, mode, format, channels, rate, size);
    } else {
        fputs("error: Illegal type for pcm interface\n", stderr);
        return nullptr;
    }
    if (!pcm) {
        fputs("error: Out of memory\n", stderr);
        return nullptr;
    }
    if (!pcm->ok) {
        delete pcm;
        return nullptr;
    }
    return pcm;
}

PCM* create_pcm(const char* name, int type, int mode, int format, int channels, int rate)
{
    return create_pcm(name, type, mode, format, channels, rate, 1);
}
