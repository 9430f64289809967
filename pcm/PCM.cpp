// The stream base, the factory that picks a kind from type and name, and the
// common part of the report.
#include "pcm/PCM.h"

#include "pcm/PCMCDR.h"
#include "pcm/PCMOSS.h"
#include "pcm/PCMWAV.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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
