// The stream base, the factory that picks a kind from type and name, and the
// common part of the report.
#include "pcm/PCM.h"

#include "pcm/PCMALSA.h"
#include "pcm/PCMCDR.h"
#include "pcm/PCMDemo.h"
#include "pcm/PCMOSS.h"
#include "pcm/PCMPulse.h"
#include "pcm/PCMSndfile.h"
#include "pcm/PCMWAV.h"

#include "common/Clock.h"
#include "common/Text.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

PCM::PCM(const char* name_, int type_, int mode_, int format_, int channels_, int rate_, int size_)
    : ok(false),
      name(name_ ? name_ : ""),
      type(type_),
      mode(mode_),
      format(format_),
      channels(channels_),
      rate(rate_),
      size(size_),
      gone(false),
      abandoned(false)
{
}

bool PCM::quiet = false;
bool PCM::exiting = false;
bool PCM::hints = false;

PCM::~PCM() = default;

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
            name.c_str(), type == Device ? "device" : "file", mode == Read ? "read" : "write",
            8 << format, channels, rate, size, bytes, ms);
}

long long PCM::bytes_for(uint64_t count) const
{
    const int frame = bytes_per_frame();
    if (frame <= 0 || count > static_cast<uint64_t>(INT_MAX / frame))
        return -1;
    return static_cast<long long>(count) * frame;
}

bool PCM::check_device_parameters() const
{
    if (channels != 1 && channels != 2) {
        pcm_error("error: Illegal number of channels\n");
        return false;
    }
    if (format != S8 && format != S16 && format != S32) {
        pcm_error("error: Illegal format (resolution)\n");
        return false;
    }
    return true;
}

bool PCM::check_file_parameters(int widest) const
{
    if (channels != 2) {
        pcm_error("error: Illegal number of channels\n");
        return false;
    }
    if (format != S16 && !(format == S32 && widest == S32)) {
        pcm_error("error: Illegal format (resolution)\n");
        return false;
    }
    if (rate != file_rate) {
        pcm_error("error: Illegal rate\n");
        return false;
    }
    if (size != 1) {
        pcm_error("error: Illegal buffer size\n");
        return false;
    }
    return true;
}

int open_without_waiting(const char* name, int flags, mode_t mode)
{
    const int fd = ::open(name, flags | O_NONBLOCK, mode);
    if (fd == -1)
        return -1;
    const int fl = fcntl(fd, F_GETFL);
    if (fl == -1 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == -1) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// How long a FIFO may take to show its first bytes before the start gives
// up on it, in milliseconds: a writer that is already there sends at once.
constexpr int fifo_writer_wait_ms = 1000;

// A FIFO opened for reading without waiting has a writer if data (or the
// writer's close) arrives soon; a FIFO nobody has opened for writing shows
// neither.
static bool fifo_has_writer(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    int n;
    int interrupted = 0;
    while ((n = poll(&p, 1, fifo_writer_wait_ms)) == -1 && errno == EINTR &&
           ++interrupted < max_interrupted_calls) {
    }
    return n > 0;
}

bool PCM::open_file(int& fd, long long& file_size) const
{
    fd = mode == Write ? open_without_waiting(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666)
                   : open_without_waiting(name.c_str(), O_RDONLY);
    if (fd == -1) {
        pcm_error("error: Can't open %s: %s\n", name.c_str(), strerror(errno));
        return false;
    }
    file_size = 0;
    if (mode == Write)
        return true;
    struct stat st;
    if (fstat(fd, &st) == -1) {
        pcm_error("error: Can't stat %s: %s\n", name.c_str(), strerror(errno));
        return false;
    }
    // A directory opens read-only and has a size, but is no stream.
    if (S_ISDIR(st.st_mode)) {
        pcm_error("error: Can't open %s: %s\n", name.c_str(), strerror(EISDIR));
        return false;
    }
    if (S_ISFIFO(st.st_mode) && !fifo_has_writer(fd)) {
        pcm_error("error: Nothing writes to the FIFO %s (start the writer first)\n", name.c_str());
        return false;
    }
    file_size = st.st_size;
    return true;
}

// Waits until fd has data (or its end) before deadline, in monotonic
// seconds: false with errno ETIMEDOUT when the time is up, or EINTR.
static bool wait_readable(int fd, double deadline)
{
    const double left = deadline - monotonic_seconds();
    struct pollfd p = {fd, POLLIN, 0};
    const int n = poll(&p, 1, left > 0 ? static_cast<int>(std::ceil(left * 1000.0)) : 0);
    if (n == 0)
        errno = ETIMEDOUT;
    return n > 0;
}

// A pipe or FIFO hands over what its writer has sent so far, and an
// emulated OSS device (a sound-server preload library, a CUSE daemon) a
// blocking transfer in pieces, so a block may take several calls. Only an
// error, a call that moves nothing, or a run of interrupted calls without
// progress ends it early.
int64_t PCM::move_frames(int fd, int direction, void* buffer, uint64_t count, AtZero at_zero) const
{
    const long long total = bytes_for(count);
    if (total < 0) {
        errno = EINVAL;
        return -1;
    }
    char* bytes = static_cast<char*>(buffer);
    long long done = 0;
    int interrupted = 0;
    // A file's reader waits for a FIFO's writer no longer than this.
    const bool bounded = direction == Read && at_zero == AtZero::EndOfData;
    const double deadline = monotonic_seconds() + stall_limit + static_cast<double>(count) / file_rate;
    while (done < total) {
        const size_t rest = static_cast<size_t>(total - done);
        const ssize_t n = bounded && !wait_readable(fd, deadline) ? -1
                          : direction == Read                     ? ::read(fd, bytes + done, rest)
                                                                  : ::write(fd, bytes + done, rest);
        if (n > 0) {
            done += n;
            interrupted = 0;
        } else if (n == 0) {
            if (at_zero == AtZero::EndOfData)
                break;
            errno = EIO;
            return -1;
        } else if (errno != EINTR || ++interrupted >= max_interrupted_calls) {
            return -1;
        }
    }
    return done / bytes_per_frame();
}

long long PCM::read_until(int fd, void* buffer, long long bytes, double deadline, int& error)
{
    char* p = static_cast<char*>(buffer);
    long long done = 0;
    int interrupted = 0;
    error = 0;
    while (done < bytes) {
        const ssize_t n = wait_readable(fd, deadline) ? ::read(fd, p + done, static_cast<size_t>(bytes - done)) : -1;
        if (n > 0) {
            done += n;
            interrupted = 0;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR || ++interrupted >= max_interrupted_calls) {
            error = errno;
            break;
        }
    }
    return done;
}

namespace {

// While a capture exists, pcm_error keeps its last diagnostic here.
int captures = 0;
char captured[512];

void report(const char* fmt, va_list ap)
{
    if (captures == 0)
        vfprintf(stderr, fmt, ap);
    else
        vsnprintf(captured, sizeof captured, fmt, ap);
}

bool starts_with(const char* s, const char* prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// Hands out pcm if it opened; otherwise deletes it. Null stays null after
// the out-of-memory line.
PCM* keep_if_ok(PCM* pcm)
{
    if (!pcm) {
        pcm_error("error: Out of memory\n");
        return nullptr;
    }
    if (!pcm->ok) {
        delete pcm;
        return nullptr;
    }
    return pcm;
}

// A device stream of the kind its name asks for; null after the message.
PCM* open_named_device(const char* name, int mode, int format, int channels, int rate, int size)
{
    PCM* pcm;
    if (strcmp(name, "demo") == 0)
        pcm = new (std::nothrow) PCMDemo(name, PCM::Device, mode, format, channels, rate, size);
    else if (strcmp(name, "pulse") == 0 || starts_with(name, "pulse:"))
        pcm = new (std::nothrow) PCMPulse(name, PCM::Device, mode, format, channels, rate, size);
    else if (starts_with(name, "alsa:") && name[5])
        pcm = new (std::nothrow) PCMALSA(name, PCM::Device, mode, format, channels, rate, size);
    else if (starts_with(name, "/dev/"))
        pcm = new (std::nothrow) PCMOSS(name, PCM::Device, mode, format, channels, rate, size);
    else {
        pcm_error("error: Unknown name for pcm interface\n");
        if (PCM::hints)
            pcm_error("hint: -device takes default, /dev/dsp (or another OSS device /dev/...), pulse, pulse:SOURCE, "
                      "alsa:NAME or demo\n");
        return nullptr;
    }
    return keep_if_ok(pcm);
}

// "default": /dev/dsp; where there is no such file (no OSS on this machine),
// the sound server if one answers, then ALSA's default PCM, with one line
// saying which. The devices passed over stay quiet; when none opens, one
// line names them all.
PCM* open_default_device(int mode, int format, int channels, int rate, int size)
{
    const char* const oss = "/dev/dsp";
    char tried[3][sizeof captured];
    {
        PCMErrorCapture capture;
        PCMOSS* pcm = new (std::nothrow) PCMOSS(oss, PCM::Device, mode, format, channels, rate, size);
        if (!pcm || pcm->ok || pcm->open_errno != ENOENT) {
            // There is an OSS device here: what it said is the answer.
            capture.pass_on();
            return keep_if_ok(pcm);
        }
        snprintf(tried[0], sizeof tried[0], "%s", capture.last());
        delete pcm;
    }
    const char* const others[] = {"pulse", "alsa:default"};
    const char* const record[] = {"the sound server's default source", "ALSA's default PCM"};
    const char* const play[] = {"the sound server's default sink", "ALSA's default PCM"};
    for (int i = 0; i < 2; ++i) {
        PCMErrorCapture capture;
        PCM* pcm = open_named_device(others[i], mode, format, channels, rate, size);
        if (pcm) {
            fprintf(stderr, "no OSS device %s: %s %s (-device %s)\n", oss,
                    mode == PCM::Write ? "playing to" : "recording from", mode == PCM::Write ? play[i] : record[i],
                    others[i]);
            return pcm;
        }
        snprintf(tried[i + 1], sizeof tried[i + 1], "%s", capture.last());
    }
    pcm_error("error: no sound device could be opened (%s; %s; %s); try -device demo for a demonstration signal\n",
            tried[0], tried[1], tried[2]);
    return nullptr;
}

// A file stream of the kind its name asks for; null after the message.
// At 32 bits WAV and CDR files are read through libsndfile, which opens
// every WAV (any case of .wav) and reads CDR data as 32-bit samples; at 16
// bits they keep their own readers, named by the last four characters
// exactly. Other formats go by the text after the last dot, in any case.
PCM* open_file_stream(const char* name, int mode, int format, int channels, int rate, int size)
{
    const size_t len = name ? strlen(name) : 0;
    const char* suffix = len >= 5 ? name + len - 4 : "";
    using Layout = PCMSndfile::Layout;
    if (format == PCM::S32 && len >= 5 && (zen::strcasecmp(suffix, ".wav") == 0 || strcmp(suffix, ".cdr") == 0)) {
        const Layout layout = strcmp(suffix, ".cdr") == 0 ? Layout::RawCdr : Layout::Header;
        return keep_if_ok(new (std::nothrow) PCMSndfile(name, PCM::File, mode, format, channels, rate, size, layout));
    }
    if (strcmp(suffix, ".cdr") == 0)
        return keep_if_ok(new (std::nothrow) PCMCDR(name, PCM::File, mode, format, channels, rate, size));
    if (strcmp(suffix, ".wav") == 0)
        return keep_if_ok(new (std::nothrow) PCMWAV(name, PCM::File, mode, format, channels, rate, size));
    if (is_sndfile_suffix(name))
        return keep_if_ok(new (std::nothrow) PCMSndfile(name, PCM::File, mode, format, channels, rate, size));
    pcm_error("error: Unknown name for pcm interface\n");
    return nullptr;
}

} // namespace

int64_t PCM::transfer_failed(int error) const
{
    if (!quiet)
        pcm_error("error: %s\n", strerror(error));
    errno = error;
    return -1;
}

int64_t PCM::transfer_failed(const char* fmt, ...) const
{
    if (!quiet) {
        va_list ap;
        va_start(ap, fmt);
        report(fmt, ap);
        va_end(ap);
    }
    return -1;
}

void pcm_error(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report(fmt, ap);
    va_end(ap);
}

PCMErrorCapture::PCMErrorCapture() : active(true)
{
    if (captures++ == 0)
        captured[0] = '\0';
}

PCMErrorCapture::~PCMErrorCapture()
{
    if (active)
        --captures;
}

const char* PCMErrorCapture::last() const
{
    // The first line only, without "error: " and its newline.
    static char line[sizeof captured];
    const char* text = strncmp(captured, "error: ", 7) == 0 ? captured + 7 : captured;
    snprintf(line, sizeof line, "%.*s", static_cast<int>(strcspn(text, "\n")), text);
    return line;
}

void PCMErrorCapture::pass_on()
{
    if (!active)
        return;
    active = false;
    --captures;
    if (captured[0])
        pcm_error("%s", captured);
}

PCM* create_pcm(const char* name, int type, int mode, int format, int channels, int rate, int size)
{
    if (type == PCM::File)
        return open_file_stream(name, mode, format, channels, rate, size);
    if (type == PCM::Device) {
        if (!name) {
            pcm_error("error: Unknown name for pcm interface\n");
            return nullptr;
        }
        if (strcmp(name, "default") == 0)
            return open_default_device(mode, format, channels, rate, size);
        return open_named_device(name, mode, format, channels, rate, size);
    }
    pcm_error("error: Illegal type for pcm interface\n");
    return nullptr;
}

PCM* create_pcm(const char* name, int type, int mode, int format, int channels, int rate)
{
    return create_pcm(name, type, mode, format, channels, rate, 1);
}
