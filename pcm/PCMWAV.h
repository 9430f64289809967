// Stream on a WAV file with the canonical 44-byte header: 16-bit stereo PCM
// at 44100 Hz, the data chunk running to the end of the file.
#pragma once

#include "pcm/PCM.h"

#include <cstdint>

// The first 44 bytes of the file; on disk every number is little-endian.
struct WavHeader {
    char riff_id[4];        // "RIFF"
    uint32_t riff_size;     // file size - 8
    char wave_id[4];        // "WAVE"
    char fmt_id[4];         // "fmt "
    uint32_t fmt_size;      // 16
    uint16_t audio_format;  // 1, integer PCM
    uint16_t channels;
    uint32_t sample_rate;   // Hz
    uint32_t byte_rate;     // bytes per second
    uint16_t block_align;   // bytes per frame
    uint16_t bits_per_sample;
    char data_id[4];        // "data"
    uint32_t data_size;     // file size - 44

    static constexpr int bytes = 44;
    // Serialises to or from the on-disk layout.
    void to_bytes(unsigned char out[bytes]) const;
    void from_bytes(const unsigned char in[bytes]);
};

class PCMWAV : public PCM {
public:
    int fd;

    PCMWAV(const char* name, int type, int mode, int format, int channels, int rate, int size);
    ~PCMWAV() override;

    void print_info() override;
    int64_t frames() override;
    int64_t seek(int64_t frame, int whence) override;
    int64_t read(void* buffer, uint64_t count) override;
    int64_t write(void* buffer, uint64_t count) override;

    // The header this stream writes for a file of file_size bytes in total.
    void make_header(WavHeader& header, uint64_t file_size) const;
    // True when header is exactly what make_header gives for file_size.
    bool check_header(const WavHeader& header, uint64_t file_size) const;

private:
    bool write_header(uint64_t file_size);
    // With hints on, after a refusal: a line saying what the file's format
    // chunk holds and how to convert it, when that format is the trouble.
    void hint_format() const;
};
