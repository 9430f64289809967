// WAV file stream. In mode 1 the header holds provisional sizes until the
// stream is deleted, when it is rewritten with the true ones.
#include "pcm/PCMWAV.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void put16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint16_t get16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr int frame_bytes = 4;


} // namespace

void WavHeader::to_bytes(unsigned char out[bytes]) const
{
    memcpy(out + 0, riff_id, 4);
    put32(out + 4, riff_size);
    memcpy(out + 8, wave_id, 4);
    memcpy(out + 12, fmt_id, 4);
    put32(out + 16, fmt_size);
    put16(out + 20, audio_format);
    put16(out + 22, channels);
    put32(out + 24, sample_rate);
    put32(out + 28, byte_rate);
    put16(out + 32, block_align);
    put16(out + 34, bits_per_sample);
    memcpy(out + 36, data_id, 4);
    put32(out + 40, data_size);
}

void WavHeader::from_bytes(const unsigned char in[bytes])
{
    memcpy(riff_id, in + 0, 4);
    riff_size = get32(in + 4);
    memcpy(wave_id, in + 8, 4);
    memcpy(fmt_id, in + 12, 4);
    fmt_size = get32(in + 16);
    audio_format = get16(in + 20);
    channels = get16(in + 22);
    sample_rate = get32(in + 24);
    byte_rate = get32(in + 28);
    block_align = get16(in + 32);
    bits_per_sample = get16(in + 34);
    memcpy(data_id, in + 36, 4);
    data_size = get32(in + 40);
}

PCMWAV::PCMWAV(const char* name_, int type_, int mode_, int format_, int channels_, int rate_, int size_)
    : PCM(name_, type_, mode_, format_, channels_, rate_, size_), fd(-1)
{
    long long file_size = 0;
    if (!check_file_parameters() || !open_file(fd, file_size))
        return;

    if (mode == Write) {
        // Sizes for a file of 0 bytes until the destructor knows the real one.
        if (!write_header(0))
            return;
        ok = true;
        return;
    }

    if (file_size <= 43) {
        pcm_error("error: File too small %s\n", name.c_str());
        return;
    }
    if ((file_size - 44) % 4 != 0) {
        pcm_error("error: Illegal size of %s\n", name.c_str());
        hint_format();
        return;
    }
    unsigned char raw[WavHeader::bytes];
    const ssize_t n = ::read(fd, raw, sizeof raw);
    if (n != WavHeader::bytes) {
        // A short read sets no errno of its own.
        pcm_error("error: Reading header failed: %s\n", strerror(n == -1 ? errno : EIO));
        return;
    }
    WavHeader header;
    header.from_bytes(raw);
    if (!check_header(header, static_cast<uint64_t>(file_size))) {
        pcm_error("error: Male formed header\n");
        hint_format();
        return;
    }
    ok = true;
}

void PCMWAV::hint_format() const
{
    if (!hints)
        return;
    // The format chunk among the first chunks: its channels, rate and bits.
    unsigned char raw[4096];
    const ssize_t n = pread(fd, raw, sizeof raw, 0);
    if (n < 12 || memcmp(raw, "RIFF", 4) != 0 || memcmp(raw + 8, "WAVE", 4) != 0)
        return;
    for (ssize_t at = 12; at + 8 + 16 <= n; at += 8 + ((get32(raw + at + 4) + 1) & ~1u)) {
        if (memcmp(raw + at, "fmt ", 4) != 0)
            continue;
        const unsigned char* f = raw + at + 8;
        const unsigned got_channels = get16(f + 2), got_rate = get32(f + 4), bits = get16(f + 14);
        if (get16(f) == 1 && got_channels == static_cast<unsigned>(channels) &&
            got_rate == static_cast<unsigned>(rate) && bits == static_cast<unsigned>(8 << format))
            return;   // the format is right: something else is wrong
        pcm_error(
                "hint: %s holds %u channel%s at %u Hz with %u bits%s; it must be 2 channels at 44100 Hz with 16 "
                "bits, as made by: sox in.wav -r 44100 -c 2 -b 16 out.wav, or -resolution 32\n",
                name.c_str(), got_channels, got_channels == 1 ? "" : "s", got_rate, bits,
                get16(f) == 1 ? "" : " (not integer PCM)");
        return;
    }
}

PCMWAV::~PCMWAV()
{
    if (fd == -1)
        return;
    if (mode == Write) {
        struct stat st;
        if (fstat(fd, &st) == -1) {
            pcm_error("error: Can't stat %s: %s\n", name.c_str(), strerror(errno));
        } else if (lseek(fd, 0, SEEK_SET) != 0) {
            // Writing here would put the header over the samples.
            pcm_error("error: Seeking failed: %s\n", strerror(errno));
        } else {
            write_header(static_cast<uint64_t>(st.st_size));
        }
    }
    ::close(fd);
}

bool PCMWAV::write_header(uint64_t file_size)
{
    WavHeader header;
    make_header(header, file_size);
    unsigned char raw[WavHeader::bytes];
    header.to_bytes(raw);
    const ssize_t n = ::write(fd, raw, sizeof raw);
    if (n != WavHeader::bytes) {
        pcm_error("error: Writing header failed: %s\n", strerror(n == -1 ? errno : ENOSPC));
        return false;
    }
    return true;
}

void PCMWAV::make_header(WavHeader& h, uint64_t file_size) const
{
    memcpy(h.riff_id, "RIFF", 4);
    h.riff_size = static_cast<uint32_t>(file_size - 8);
    memcpy(h.wave_id, "WAVE", 4);
    memcpy(h.fmt_id, "fmt ", 4);
    h.fmt_size = 16;
    h.audio_format = 1;
    h.channels = static_cast<uint16_t>(channels);
    h.sample_rate = static_cast<uint32_t>(rate);
    h.byte_rate = static_cast<uint32_t>(channels * rate) << format;
    h.block_align = static_cast<uint16_t>(channels << format);
    h.bits_per_sample = static_cast<uint16_t>(8 << format);
    memcpy(h.data_id, "data", 4);
    h.data_size = static_cast<uint32_t>(file_size - 44);
}

bool PCMWAV::check_header(const WavHeader& h, uint64_t file_size) const
{
    WavHeader e;
    make_header(e, file_size);
    return memcmp(h.riff_id, e.riff_id, 4) == 0 && h.riff_size == e.riff_size &&
           memcmp(h.wave_id, e.wave_id, 4) == 0 && memcmp(h.fmt_id, e.fmt_id, 4) == 0 &&
           h.fmt_size == e.fmt_size && h.audio_format == e.audio_format &&
           h.channels == e.channels && h.sample_rate == e.sample_rate &&
           h.byte_rate == e.byte_rate && h.block_align == e.block_align &&
           h.bits_per_sample == e.bits_per_sample && memcmp(h.data_id, e.data_id, 4) == 0 &&
           h.data_size == e.data_size;
}

void PCMWAV::print_info()
{
    fputs("driver: wav\n", stderr);
    PCM::print_info();
}

int64_t PCMWAV::frames()
{
    struct stat st;
    if (fstat(fd, &st) == -1)
        return -1;
    return (static_cast<int64_t>(st.st_size) - 44) / frame_bytes;
}

int64_t PCMWAV::seek(int64_t frame, int whence)
{
    if (frame > (INT64_MAX - 44) / frame_bytes || frame < INT64_MIN / frame_bytes) {
        errno = EINVAL;
        return -1;
    }
    const off_t pos = lseek(fd, static_cast<off_t>(44 + frame * frame_bytes), whence);
    if (pos == -1)
        return -1;
    return (static_cast<int64_t>(pos) - 44) / frame_bytes;
}

int64_t PCMWAV::read(void* buffer, uint64_t count)
{
    return move_frames(fd, Read, buffer, count, AtZero::EndOfData);
}

int64_t PCMWAV::write(void* buffer, uint64_t count)
{
    return move_frames(fd, Write, buffer, count, AtZero::EndOfData);
}
