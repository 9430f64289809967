// Audio files through libsndfile, read through the stream's own bounded
// calls and delivered as stereo frames of 16 or 32 bits.
#include "pcm/PCMSndfile.h"

#include "common/Clock.h"
#include "common/Text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Samples of the file (all its channels) the library converts at a time.
constexpr uint64_t staging_samples = 8192;

// A float sample (nominally -1 .. 1) scaled to Out's full scale (2^15 or
// 2^31), rounded to the nearest and held within Out's range; NaN is 0.
template <typename Out>
Out scaled(double v)
{
    constexpr double scale = -static_cast<double>(std::numeric_limits<Out>::min());
    constexpr double top = static_cast<double>(std::numeric_limits<Out>::max());
    v = std::nearbyint(v * scale);
    if (v >= top)
        return std::numeric_limits<Out>::max();
    if (v <= -scale)
        return std::numeric_limits<Out>::min();
    if (!(v == v))
        return 0;
    return static_cast<Out>(v);
}

// frames of the file (from channels each) to stereo frames of Out at out:
// mono as both channels, of more channels the first two.
template <typename Out, typename In, typename Convert>
void pick_channels(const In* in, sf_count_t frames, int from, char* out, Convert convert)
{
    for (sf_count_t i = 0; i < frames; ++i) {
        const In* f = in + i * from;
        const Out pair[2] = {convert(f[0]), convert(f[from > 1 ? 1 : 0])};
        std::memcpy(out + i * static_cast<sf_count_t>(sizeof pair), pair, sizeof pair);
    }
}

constexpr const char* suffixes[] = {"flac", "ogg", "oga", "opus", "aiff", "aif", "w64", "rf64", "caf", "au"};

} // namespace

bool is_sndfile_suffix(const char* name)
{
    const char* dot = name ? std::strrchr(name, '.') : nullptr;
    if (!dot || dot == name || dot[-1] == '/')
        return false;
    for (const char* s : suffixes)
        if (zen::strcasecmp(dot + 1, s) == 0)
            return true;
    return false;
}

PCMSndfile::PCMSndfile(const char* name_, int type_, int mode_, int format_, int channels_, int rate_, int size_,
                       Layout layout)
    : PCM(name_, type_, mode_, format_, channels_, rate_, size_), fd(-1)
{
    if (!check_file_parameters(S32))
        return;
    if (mode != Read) {
        pcm_error("error: Can't write %s: files of this kind are only read\n", name.c_str());
        return;
    }
    long long file_size = 0;
    if (!open_file(fd, file_size))
        return;
    seekable = lseek(fd, 0, SEEK_CUR) != -1;
    if (!seekable) {
        head.reset(new (std::nothrow) char[head_capacity]);
        if (!head) {
            pcm_error("error: Out of memory\n");
            return;
        }
    }
    if (!open_library(layout))
        return;
    ok = true;
}

bool PCMSndfile::open_library(Layout layout)
{
    if (layout == Layout::RawCdr) {
        info.samplerate = file_rate;
        info.channels = 2;
        info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG;
    }
    SF_VIRTUAL_IO io = {vio_length, vio_seek, vio_read, vio_write, vio_tell};
    deadline = monotonic_seconds() + stall_limit;
    refused_seek = false;
    file = sf_open_virtual(&io, SFM_READ, &info, this);
    if (!file) {
        if (io_error == ETIMEDOUT)
            pcm_error("error: Can't open %s: nothing arrived for %g ms\n", name.c_str(), stall_limit * 1000.0);
        else if (io_error)
            pcm_error("error: Can't open %s: %s\n", name.c_str(), strerror(io_error));
        else if (refused_seek)
            pcm_error("error: Can't open %s: %s (its format needs seeking, which a pipe or FIFO cannot do)\n",
                      name.c_str(), sf_strerror(nullptr));
        else
            pcm_error("error: Can't open %s: %s\n", name.c_str(), sf_strerror(nullptr));
        return false;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        pcm_error("error: Can't open %s: %d channels at %d Hz\n", name.c_str(), info.channels, info.samplerate);
        return false;
    }
    if (info.channels > 2)
        pcm_error("warning: %s has %d channels: the first two are played and analysed\n", name.c_str(),
                  info.channels);
    rate = info.samplerate;
    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        reading = Reading::Float;
        break;
    case SF_FORMAT_DOUBLE:
        reading = Reading::Double;
        break;
    default:
        reading = format == S32 ? Reading::Int : Reading::Short;
    }
    // Floats as the file holds them (full scale 1), scaled here.
    sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    sf_command(file, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    chunk_frames = std::max<uint64_t>(1, staging_samples / static_cast<uint64_t>(info.channels));
    staging.reset(new (std::nothrow) double[chunk_frames * static_cast<uint64_t>(info.channels)]);
    if (!staging) {
        pcm_error("error: Out of memory\n");
        return false;
    }
    return true;
}

PCMSndfile::~PCMSndfile()
{
    if (file)
        sf_close(file);
    if (fd != -1)
        ::close(fd);
}

void PCMSndfile::print_info()
{
    fputs("driver: sndfile\n", stderr);
    PCM::print_info();
}

int64_t PCMSndfile::frames()
{
    if (!seekable || info.frames < 0 || info.frames == std::numeric_limits<sf_count_t>::max())
        return -1;
    return info.frames;
}

int64_t PCMSndfile::seek(int64_t frame, int whence)
{
    if (!seekable) {
        errno = ESPIPE;
        return -1;
    }
    deadline = monotonic_seconds() + stall_limit;
    io_error = 0;
    const sf_count_t pos = sf_seek(file, frame, whence);
    if (pos < 0 || io_error) {
        errno = io_error ? io_error : EINVAL;
        return -1;
    }
    return pos;
}

int64_t PCMSndfile::read(void* buffer, uint64_t count)
{
    if (bytes_for(count) < 0) {
        errno = EINVAL;
        return -1;
    }
    deadline = monotonic_seconds() + stall_limit + static_cast<double>(count) / rate;
    io_error = 0;
    char* out = static_cast<char*>(buffer);
    const uint64_t frame = static_cast<uint64_t>(bytes_per_frame());
    uint64_t done = 0;
    while (done < count) {
        const uint64_t want = std::min(chunk_frames, count - done);
        const uint64_t got = read_chunk(out + done * frame, want);
        done += got;
        if (got < want)
            break;
    }
    if (io_error) {
        errno = io_error;
        return -1;
    }
    return static_cast<int64_t>(done);
}

uint64_t PCMSndfile::read_chunk(char* out, uint64_t frames)
{
    const sf_count_t n = static_cast<sf_count_t>(frames);
    const int from = info.channels;
    sf_count_t got = 0;
    switch (reading) {
    case Reading::Short: {
        short* in = reinterpret_cast<short*>(staging.get());
        got = sf_readf_short(file, in, n);
        pick_channels<int16_t>(in, got, from, out, [](short s) { return static_cast<int16_t>(s); });
        break;
    }
    case Reading::Int: {
        int* in = reinterpret_cast<int*>(staging.get());
        got = sf_readf_int(file, in, n);
        pick_channels<int32_t>(in, got, from, out, [](int s) { return static_cast<int32_t>(s); });
        break;
    }
    case Reading::Float: {
        float* in = reinterpret_cast<float*>(staging.get());
        got = sf_readf_float(file, in, n);
        if (format == S32)
            pick_channels<int32_t>(in, got, from, out, [](float s) { return scaled<int32_t>(s); });
        else
            pick_channels<int16_t>(in, got, from, out, [](float s) { return scaled<int16_t>(s); });
        break;
    }
    case Reading::Double: {
        double* in = staging.get();
        got = sf_readf_double(file, in, n);
        if (format == S32)
            pick_channels<int32_t>(in, got, from, out, [](double s) { return scaled<int32_t>(s); });
        else
            pick_channels<int16_t>(in, got, from, out, [](double s) { return scaled<int16_t>(s); });
        break;
    }
    }
    return got > 0 ? static_cast<uint64_t>(got) : 0;
}

int64_t PCMSndfile::write(void*, uint64_t)
{
    errno = EBADF;
    return -1;
}

sf_count_t PCMSndfile::vio_length(void* self)
{
    const PCMSndfile* s = static_cast<const PCMSndfile*>(self);
    struct stat st;
    // A FIFO's length is unknown: the data ends where its writer stops.
    if (!s->seekable || fstat(s->fd, &st) == -1)
        return std::numeric_limits<sf_count_t>::max();
    return st.st_size;
}

sf_count_t PCMSndfile::vio_seek(sf_count_t offset, int whence, void* self)
{
    PCMSndfile* s = static_cast<PCMSndfile*>(self);
    if (s->seekable)
        return lseek(s->fd, offset, whence);
    // A FIFO: back while all it sent is kept; forward within the kept head
    // by reading what lies between. Further forward (past a long data
    // chunk, to look for chunks behind it) nothing is read: a read there
    // finds no data, and the library comes back to the data.
    const long long target = whence == SEEK_SET ? offset : whence == SEEK_CUR ? s->position + offset : -1;
    if (target < 0 || (target < s->received && s->received > head_capacity)) {
        s->refused_seek = true;
        errno = ESPIPE;
        return -1;
    }
    if (target > head_capacity) {
        s->refused_seek = true;
        s->position = target;
        return target;
    }
    if (target <= s->received) {
        s->position = target;
        return target;
    }
    s->position = s->received;
    char skipped[4096];
    while (s->position < target) {
        const long long n = std::min<long long>(sizeof skipped, target - s->position);
        if (vio_read(skipped, n, self) < n)
            return -1;
    }
    return s->position;
}

sf_count_t PCMSndfile::vio_read(void* buffer, sf_count_t count, void* self)
{
    PCMSndfile* s = static_cast<PCMSndfile*>(self);
    if (count <= 0)
        return 0;
    if (s->seekable) {
        // After a failure the library sees the end of the data; the
        // stream reports why.
        return s->io_error ? 0 : read_until(s->fd, buffer, count, s->deadline, s->io_error);
    }
    // A FIFO: first what is kept of its head, then what comes next.
    char* out = static_cast<char*>(buffer);
    long long done = 0;
    if (s->position > s->received)
        return 0;
    if (s->position < s->received) {
        done = std::min<long long>(count, s->received - s->position);
        std::memcpy(out, s->head.get() + s->position, static_cast<size_t>(done));
        s->position += done;
    }
    if (done == count || s->io_error)
        return done;
    const long long n = read_until(s->fd, out + done, count - done, s->deadline, s->io_error);
    if (s->received < head_capacity)
        std::memcpy(s->head.get() + s->received, out + done,
                    static_cast<size_t>(std::min<long long>(n, head_capacity - s->received)));
    s->received += n;
    s->position += n;
    return done + n;
}

sf_count_t PCMSndfile::vio_write(const void*, sf_count_t, void*)
{
    return 0;
}

sf_count_t PCMSndfile::vio_tell(void* self)
{
    const PCMSndfile* s = static_cast<const PCMSndfile*>(self);
    return s->seekable ? lseek(s->fd, 0, SEEK_CUR) : s->position;
}
