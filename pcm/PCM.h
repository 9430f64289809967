// Streams of interleaved signed PCM samples: a sound device, a WAV file, a
// raw CDR file or a file of another format read through libsndfile, behind
// one interface.
//
// Units: counts and positions are frames (one sample per channel); format
// code f means 8 << f bits per sample, 1 << f bytes; bytes per frame is
// channels << format.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

class PCM {
public:
    // Stream types, modes and format codes, as create_pcm takes them.
    enum : int { Device = 0, File = 1 };
    enum : int { Read = 0, Write = 1 };
    enum : int { S8 = 0, S16 = 1, S32 = 2 };
    // The one rate the file kinds take, Hz.
    static constexpr int file_rate = 44100;

    bool ok;            // set true by the concrete constructor when all succeeded
    std::string name;   // own copy
    int type;           // Device or File
    int mode;           // Read or Write
    int format;         // format code: S8, S16, S32
    int channels;
    int rate;       // Hz, as requested
    int size;       // frames per device block; 1 for files
    bool gone;      // the device has gone for good (server lost, card unplugged)
    bool abandoned; // a wait missed its deadline: never drained, dropped or
                    // closed, since those calls could wait without bound

    PCM(const char* name, int type, int mode, int format, int channels, int rate, int size);
    virtual ~PCM();
    PCM(const PCM&) = delete;
    PCM& operator=(const PCM&) = delete;

    // Writes the eight report lines to standard error; every kind writes its
    // driver line and then calls PCM::print_info for the common seven.
    virtual void print_info() = 0;
    // Length of the stream in frames, or -1.
    virtual int64_t frames() = 0;
    // New position in frames, or -1. whence is handed to lseek unchanged.
    virtual int64_t seek(int64_t frame, int whence) = 0;
    // Frames read (0 at end of data), or -1.
    virtual int64_t read(void* buffer, uint64_t count) = 0;
    // Frames written, or -1. The buffer may be converted in place.
    virtual int64_t write(void* buffer, uint64_t count) = 0;
    // Frames a write can take now without waiting (a stream for writing);
    // -1 when the kind cannot tell, or after the line of a lost stream.
    virtual int64_t room() { return -1; }

    int bytes_per_frame() const { return channels << format; }
    // While set, a failed transfer prints no line of its own: whoever set it
    // is counting a run of failures and reports them together.
    static bool quiet;
    // Set when the process is about to exit: a device kind whose closing
    // could wait on a stalled server leaves that to the exit.
    static bool exiting;
    // Set by the program for its user: some failures add a line of advice
    // (the device names there are, how to convert a file).
    static bool hints;
    // The "error: " line of a failed read or write (none while quiet);
    // errno is error afterwards, for the caller's caller. Returns -1.
    int64_t transfer_failed(int error) const;
    // The same with a line of the stream's own (printf-style).
    int64_t transfer_failed(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
    // Bytes in count frames, or -1 when that does not fit one system call.
    long long bytes_for(uint64_t count) const;

protected:
    // The device kinds take mono or stereo, 8, 16 or 32 bits (each kind
    // refuses what its device cannot deliver); false after the message of
    // the first parameter that differs.
    bool check_device_parameters() const;
    // The file kinds take stereo at 44100 Hz, one frame at a time, with 16
    // bits, or also 32 bits where widest is S32; false after the message of
    // the first parameter that differs.
    bool check_file_parameters(int widest = S16) const;
    // Opens the file for the stream's mode into fd: created and truncated
    // for writing; for reading it must be no directory, a FIFO must have a
    // writer, and file_size receives its size in bytes. Never waits for the
    // other end of a FIFO. False after the message.
    bool open_file(int& fd, long long& file_size) const;
    // What a system call that moves nothing means to a transfer: the end
    // of a file's data, or a device that has stopped (EIO).
    enum class AtZero { EndOfData, Failure };
    // Reads (direction Read) or writes (Write) count frames on fd, over as
    // many system calls as a pipe or an emulated device needs: the whole
    // frames moved (fewer only at the end of the data), or -1 with errno
    // (EINVAL for more than one system call can move). No message. A read
    // until the end of data waits for a FIFO's writer at most stall_limit
    // beyond the frames' time at the file rate, then fails (ETIMEDOUT).
    int64_t move_frames(int fd, int direction, void* buffer, uint64_t count, AtZero at_zero) const;
    // Reads up to bytes from fd, over as many calls as a pipe needs, waiting
    // for data no later than deadline (monotonic seconds): the bytes read,
    // fewer at the end of the data or when error (else 0) receives an errno
    // (ETIMEDOUT when the deadline passed first).
    static long long read_until(int fd, void* buffer, long long bytes, double deadline, int& error);
};

// Seconds beyond a block's own time that any wait for a device, the sound
// server or a FIFO's writer may take before the transfer fails, so that
// nothing stalled freezes the window for long.
constexpr double stall_limit = 2.5;

// Interrupted system calls in a row, without anything moved, after which a
// transfer counts as failed (EINTR).
constexpr int max_interrupted_calls = 8;

// Opens name with flags plus O_NONBLOCK, so that no device or FIFO can hold
// the caller in open(), then makes transfers blocking again. -1 with errno.
int open_without_waiting(const char* name, int flags, mode_t mode = 0);

// Writes one diagnostic (printf-style, ending in a newline) to standard
// error, or, while a PCMErrorCapture exists, keeps it there instead. Every
// stream kind and the factory report through it, so that the search for a
// default device can stay quiet about the devices it passes over.
void pcm_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

class PCMErrorCapture {
public:
    PCMErrorCapture();
    ~PCMErrorCapture();
    PCMErrorCapture(const PCMErrorCapture&) = delete;
    PCMErrorCapture& operator=(const PCMErrorCapture&) = delete;
    // The first line of the last diagnostic kept, without "error: " and the
    // newline; "" if none.
    const char* last() const;
    // Ends the capture and writes the last diagnostic kept as it was given.
    void pass_on();

private:
    bool active;
};

// Device names: "/dev/..." an OSS device; "pulse" or "pulse:SOURCE" the sound
// server; "alsa:PCM" an ALSA PCM; "demo" the built-in demonstration signal;
// "default" /dev/dsp, or where no such file exists the sound server, then
// ALSA's default PCM.
//
// Opens a stream of the kind chosen by type and name and returns it only if
// it opened and configured exactly as asked; otherwise null after one
// "error: " line. The caller owns the result.
PCM* create_pcm(const char* name, int type, int mode, int format, int channels, int rate, int size);
PCM* create_pcm(const char* name, int type, int mode, int format, int channels, int rate);
