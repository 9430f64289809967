// Stream on an audio file that libsndfile reads: FLAC, Ogg (Vorbis, Opus
// where the library has it), AIFF, W64, RF64, CAF, AU, and WAV files of any
// sample format (24 and 32 bits, float, WAVE_FORMAT_EXTENSIBLE, extra
// chunks); also a raw CDR file at 32 bits. Read only.
//
// Delivers stereo frames of 16 or 32 bits (format S16 or S32) in host order
// at the file's own rate, which `rate` holds once the file is open: a mono
// file as both channels alike, of more channels the first two (one line
// says so). Integer files are read through the library's own conversion,
// float files scaled by 2^15 or 2^31 here, rounded and clipped.
//
// The library reads through this stream's own calls, which wait for data no
// longer than stall_limit beyond the block's time, so that a FIFO or a
// stalled network file never blocks the caller. On a FIFO the first 64 KiB
// are kept to go back over and seeks within them are reads; a format that
// needs to seek further is refused at the open.
#pragma once

#include "pcm/PCM.h"

#include <memory>
#include <sndfile.h>

class PCMSndfile : public PCM {
public:
    // How a raw file is laid out when the name gives no header to read.
    enum class Layout { Header, RawCdr };

    int fd;

    PCMSndfile(const char* name, int type, int mode, int format, int channels, int rate, int size,
               Layout layout = Layout::Header);
    ~PCMSndfile() override;

    void print_info() override;
    // The frames the file says it holds, or -1 when that is unknown (a FIFO).
    int64_t frames() override;
    int64_t seek(int64_t frame, int whence) override;
    int64_t read(void* buffer, uint64_t count) override;
    // Read only: -1 (EBADF), no message.
    int64_t write(void* buffer, uint64_t count) override;

    // The channels the file holds (1 and more).
    int file_channels() const { return info.channels; }

private:
    // What the library hands out for this file's samples.
    enum class Reading { Short, Int, Float, Double };

    SNDFILE* file = nullptr;
    SF_INFO info{};
    Reading reading = Reading::Short;
    bool seekable = false;
    // A FIFO's first bytes are kept, so that the library can go back over
    // its header as it does on a file.
    static constexpr long long head_capacity = 65536;
    std::unique_ptr<char[]> head;   // the first min(received, head_capacity) bytes of a FIFO
    long long position = 0;     // bytes: where the library reads next in a FIFO
    long long received = 0;     // bytes read from the FIFO so far
    double deadline = 0;        // monotonic seconds: the current wait's end
    int io_error = 0;           // errno of the last failed read of the file, else 0
    bool refused_seek = false;  // the library asked a FIFO to seek where it cannot
    // One chunk of the file's frames in the library's type, before the
    // channels are picked and floats scaled; allocated at the open.
    std::unique_ptr<double[]> staging;
    uint64_t chunk_frames = 0;

    bool open_library(Layout layout);
    // Frames of the file's chunk (at most chunk_frames) into out as stereo
    // frames of the stream's format: the frames read.
    uint64_t read_chunk(char* out, uint64_t frames);

    // The library's virtual I/O on fd.
    static sf_count_t vio_length(void* self);
    static sf_count_t vio_seek(sf_count_t offset, int whence, void* self);
    static sf_count_t vio_read(void* buffer, sf_count_t count, void* self);
    static sf_count_t vio_write(const void* buffer, sf_count_t count, void* self);
    static sf_count_t vio_tell(void* self);
};

// The suffixes (after the last dot, any case) that name a libsndfile file.
bool is_sndfile_suffix(const char* name);
