// simdsp: a simulated OSS sound device, loaded with LD_PRELOAD.
//
// Opening the configured device path (SIMDSP_DEVICE, default /dev/dsp) gives
// a descriptor on /dev/null that this library then serves itself: the OSS
// requests, reads that record a generated signal and writes that play into a
// file. Every other descriptor and path passes through untouched. The
// environment interface is described in README.md beside this file.
//
// Single-threaded use of each simulated descriptor is assumed.
#undef _FORTIFY_SOURCE
#include "pcm/DemoSignal.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/soundcard.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------- real calls

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using open2_fn = int (*)(const char*, int);
using openat2_fn = int (*)(int, const char*, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using read_fn = ssize_t (*)(int, void*, size_t);
using read_chk_fn = ssize_t (*)(int, void*, size_t, size_t);
using write_fn = ssize_t (*)(int, const void*, size_t);
using close_fn = int (*)(int);
using dup_fn = int (*)(int);
using dup2_fn = int (*)(int, int);
using dup3_fn = int (*)(int, int, int);

template <typename F>
F next_symbol(F& slot, const char* name)
{
    if (!slot)
        slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    return slot;
}

open_fn r_open, r_open64;
openat_fn r_openat, r_openat64;
open2_fn r_open_2, r_open64_2;
openat2_fn r_openat_2, r_openat64_2;
ioctl_fn r_ioctl;
read_fn r_read;
read_chk_fn r_read_chk;
write_fn r_write;
close_fn r_close;
dup_fn r_dup;
dup2_fn r_dup2;
dup3_fn r_dup3;

int sys_open(const char* path, int flags, mode_t mode)
{
    return next_symbol(r_open, "open")(path, flags, mode);
}

ssize_t sys_read(int fd, void* buf, size_t n)
{
    return next_symbol(r_read, "read")(fd, buf, n);
}

ssize_t sys_write(int fd, const void* buf, size_t n)
{
    return next_symbol(r_write, "write")(fd, buf, n);
}

int sys_close(int fd)
{
    return next_symbol(r_close, "close")(fd);
}

// Writes all of buf, retrying after interruptions; false on error.
bool write_all(int fd, const void* buf, size_t n)
{
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        const ssize_t k = sys_write(fd, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// ---------------------------------------------------------------- errno names

struct ErrnoName {
    int value;
    const char* name;
};

const ErrnoName errno_names[] = {
    {EPERM, "EPERM"},   {ENOENT, "ENOENT"}, {EINTR, "EINTR"},   {EIO, "EIO"},
    {ENXIO, "ENXIO"},   {EBADF, "EBADF"},   {EAGAIN, "EAGAIN"}, {ENOMEM, "ENOMEM"},
    {EACCES, "EACCES"}, {EFAULT, "EFAULT"}, {EBUSY, "EBUSY"},   {ENODEV, "ENODEV"},
    {EINVAL, "EINVAL"}, {ENOTTY, "ENOTTY"}, {ENOSPC, "ENOSPC"}, {EPIPE, "EPIPE"},
    {ENOSYS, "ENOSYS"}, {EISDIR, "EISDIR"}, {EROFS, "EROFS"},   {ETIMEDOUT, "ETIMEDOUT"},
};

const char* errno_name(int e, char* buf, size_t n)
{
    for (const ErrnoName& en : errno_names)
        if (en.value == e)
            return en.name;
    snprintf(buf, n, "%d", e);
    return buf;
}

// An errno given by name ("EBUSY") or number ("16"); "EOF" and "0" give 0.
bool parse_errno(const char* s, int& out)
{
    if (!s || !*s)
        return false;
    if (strcmp(s, "EOF") == 0) {
        out = 0;
        return true;
    }
    for (const ErrnoName& en : errno_names)
        if (strcmp(en.name, s) == 0) {
            out = en.value;
            return true;
        }
    char* end;
    const long v = strtol(s, &end, 0);
    if (*end != '\0' || v < 0 || v > 4095)
        return false;
    out = static_cast<int>(v);
    return true;
}

// ---------------------------------------------------------------- the log

char log_path[4096];

void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char* fmt, ...)
{
    if (!log_path[0])
        return;
    char line[4096 + 256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (n > static_cast<int>(sizeof line) - 2)
        n = static_cast<int>(sizeof line) - 2;
    line[n++] = '\n';
    const int fd = sys_open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    write_all(fd, line, static_cast<size_t>(n));
    sys_close(fd);
}

// ---------------------------------------------------------------- signals

enum class Kind { silence, sine, noise, dc, file, demo };

struct Part {
    Kind kind = Kind::silence;
    double freq = 0;      // Hz
    double amplitude = 0; // peak, in sample units
    double phase = 0;     // radians
    uint64_t seed = 0;    // noise; for demo, the channel (0 left, 1 right)
    char path[1024] = {};
    bool once = false;
    int16_t* data = nullptr; // file samples, loaded at each open
    size_t length = 0;
};

constexpr int max_parts = 8;
constexpr double full_scale = 32767.0;

struct Signal {
    Part parts[max_parts];
    int count = 0;
};

uint64_t mix64(uint64_t z)
{
    z += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Sample value of a part at an absolute frame index, before rounding.
double part_value(const Part& p, uint64_t frame, int rate)
{
    switch (p.kind) {
    case Kind::silence:
        return 0;
    case Kind::sine: {
        // Phase from the frame index alone, reduced exactly for whole Hz.
        const double cycles = fmod(p.freq * static_cast<double>(frame), static_cast<double>(rate));
        return p.amplitude * sin(2.0 * M_PI * cycles / rate + p.phase);
    }
    case Kind::noise: {
        const uint64_t h = mix64(p.seed * 0xD1B54A32D192ED03ULL ^ mix64(frame));
        const double u = static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0); // [0, 1)
        return p.amplitude * (2.0 * u - 1.0);
    }
    case Kind::dc:
        return p.amplitude;
    case Kind::demo:
        return demo_sample(static_cast<int>(p.seed), frame, rate);
    case Kind::file:
        if (p.length == 0)
            return 0;
        if (p.once)
            return frame < p.length ? p.data[frame] : 0;
        return p.data[frame % p.length];
    }
    return 0;
}

int16_t signal_sample(const Signal& s, uint64_t frame, int rate)
{
    double v = 0;
    for (int i = 0; i < s.count; ++i)
        v += part_value(s.parts[i], frame, rate);
    v = nearbyint(v);
    if (v > 32767)
        v = 32767;
    if (v < -32768)
        v = -32768;
    return static_cast<int16_t>(v);
}

// A level: "-6dB" in dB relative to full scale, otherwise a fraction of it.
bool parse_level(const char* s, double& amplitude)
{
    char* end;
    const double v = strtod(s, &end);
    if (end == s)
        return false;
    if (strcasecmp(end, "dB") == 0) {
        amplitude = full_scale * pow(10.0, v / 20.0);
        return true;
    }
    if (*end != '\0')
        return false;
    amplitude = full_scale * v;
    return true;
}

bool parse_number(const char* s, double& out)
{
    char* end;
    out = strtod(s, &end);
    return end != s && *end == '\0';
}

// Splits "a:b:c" in place into at most n fields.
int split_fields(char* s, char** fields, int n)
{
    int count = 0;
    while (count < n) {
        fields[count++] = s;
        char* colon = strchr(s, ':');
        if (!colon)
            break;
        *colon = '\0';
        s = colon + 1;
    }
    return count;
}

bool parse_part(const char* text, Part& p)
{
    char buf[1100];
    if (strlen(text) >= sizeof buf)
        return false;
    strcpy(buf, text);
    if (strcmp(buf, "silence") == 0) {
        p.kind = Kind::silence;
        return true;
    }
    if (strcmp(buf, "demo:left") == 0 || strcmp(buf, "demo:right") == 0) {
        p.kind = Kind::demo;
        p.seed = strcmp(buf, "demo:right") == 0 ? 1 : 0;
        return true;
    }
    if (strncmp(buf, "file:", 5) == 0) {
        p.kind = Kind::file;
        char* path = buf + 5;
        const size_t len = strlen(path);
        if (len > 5 && strcmp(path + len - 5, ":once") == 0) {
            p.once = true;
            path[len - 5] = '\0';
        }
        if (!*path || strlen(path) >= sizeof p.path)
            return false;
        strcpy(p.path, path);
        return true;
    }
    char* f[4];
    const int n = split_fields(buf, f, 4);
    if (strcmp(f[0], "sine") == 0 && (n == 3 || n == 4)) {
        double phase_deg = 0;
        p.kind = Kind::sine;
        if (!parse_number(f[1], p.freq) || !parse_level(f[2], p.amplitude))
            return false;
        if (n == 4 && !parse_number(f[3], phase_deg))
            return false;
        p.phase = phase_deg * M_PI / 180.0;
        return true;
    }
    if (strcmp(f[0], "noise") == 0 && n == 3) {
        char* end;
        p.kind = Kind::noise;
        p.seed = strtoull(f[1], &end, 0);
        return end != f[1] && *end == '\0' && parse_level(f[2], p.amplitude);
    }
    if (strcmp(f[0], "dc") == 0 && n == 2) {
        p.kind = Kind::dc;
        return parse_number(f[1], p.amplitude);
    }
    return false;
}

bool starts_part(const char* s)
{
    return strncmp(s, "silence", 7) == 0 || strncmp(s, "sine:", 5) == 0 ||
           strncmp(s, "noise:", 6) == 0 || strncmp(s, "dc:", 3) == 0 ||
           strncmp(s, "file:", 5) == 0 || strncmp(s, "demo:", 5) == 0;
}

// A sum of parts joined by '+', e.g. "sine:1000:-6dB+noise:1:0.01".
bool parse_signal(const char* text, Signal& s)
{
    s.count = 0;
    const char* p = text;
    while (*p) {
        const char* q = p;
        const char* next = nullptr;
        for (; *q; ++q)
            if (*q == '+' && starts_part(q + 1)) {
                next = q + 1;
                break;
            }
        char part[1100];
        const size_t len = static_cast<size_t>(q - p);
        if (len >= sizeof part || s.count == max_parts)
            return false;
        memcpy(part, p, len);
        part[len] = '\0';
        if (!parse_part(part, s.parts[s.count]))
            return false;
        ++s.count;
        if (!next)
            break;
        p = next;
    }
    return s.count > 0;
}

void unload_signal(Signal& s)
{
    for (int i = 0; i < s.count; ++i) {
        free(s.parts[i].data);
        s.parts[i].data = nullptr;
        s.parts[i].length = 0;
    }
}

// Reads the raw 16-bit files of a signal; false after a message.
bool load_signal(Signal& s)
{
    for (int i = 0; i < s.count; ++i) {
        Part& p = s.parts[i];
        if (p.kind != Kind::file)
            continue;
        const int fd = sys_open(p.path, O_RDONLY | O_CLOEXEC, 0);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            fprintf(stderr, "simdsp: cannot read %s: %s\n", p.path, strerror(errno));
            if (fd >= 0)
                sys_close(fd);
            return false;
        }
        const size_t bytes = static_cast<size_t>(st.st_size) & ~static_cast<size_t>(1);
        p.data = static_cast<int16_t*>(malloc(bytes ? bytes : 2));
        size_t got = 0;
        while (p.data && got < bytes) {
            const ssize_t k = sys_read(fd, reinterpret_cast<char*>(p.data) + got, bytes - got);
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0)
                break;
            got += static_cast<size_t>(k);
        }
        sys_close(fd);
        if (!p.data || got != bytes) {
            fprintf(stderr, "simdsp: cannot read %s\n", p.path);
            return false;
        }
        p.length = bytes / 2;
    }
    return true;
}

// ---------------------------------------------------------------- settings

struct IoctlFailure {
    unsigned int request;
    int error;
};

struct Config {
    char device[4096] = "/dev/dsp";
    Signal left, right;
    bool realtime = true;
    char play_path[4096] = {};
    long long frames_limit = -1; // frames of signal before digital silence
    int rate_offset = 0;
    int fixed_rate = 0;
    int blksize = 0;
    int refuse_format = 0;
    int refuse_channels = 0;
    bool fail_open = false;
    int fail_open_errno = 0;
    IoctlFailure ioctl_failures[16];
    int ioctl_failure_count = 0;
    size_t short_bytes = 0;
    unsigned eintr_every = 0;
    unsigned fail_read_call = 0;
    int fail_read_errno = EIO;
    bool fail_read_on = false;  // "N+": every read from the N-th on fails
    unsigned fail_write_call = 0;
    int fail_write_errno = EIO;
    bool fail_write_on = false;
    bool valid = true;
};

Config config;
bool device_known = false; // SIMDSP_DEVICE has been read
bool configured = false;   // the rest has been read

struct RequestName {
    unsigned int code;
    const char* name;
    bool hex; // value shown in hexadecimal in the log
};

const RequestName request_names[] = {
    {SNDCTL_DSP_RESET, "SNDCTL_DSP_RESET", false},
    {SNDCTL_DSP_SYNC, "SNDCTL_DSP_SYNC", false},
    {SNDCTL_DSP_SPEED, "SNDCTL_DSP_SPEED", false},
    {SNDCTL_DSP_STEREO, "SNDCTL_DSP_STEREO", false},
    {SNDCTL_DSP_GETBLKSIZE, "SNDCTL_DSP_GETBLKSIZE", false},
    {SNDCTL_DSP_SETFMT, "SNDCTL_DSP_SETFMT", true},
    {SNDCTL_DSP_CHANNELS, "SNDCTL_DSP_CHANNELS", false},
    {SNDCTL_DSP_POST, "SNDCTL_DSP_POST", false},
    {SNDCTL_DSP_SETFRAGMENT, "SNDCTL_DSP_SETFRAGMENT", true},
    {SNDCTL_DSP_GETFMTS, "SNDCTL_DSP_GETFMTS", true},
    {SNDCTL_DSP_GETOSPACE, "SNDCTL_DSP_GETOSPACE", false},
    {SNDCTL_DSP_GETISPACE, "SNDCTL_DSP_GETISPACE", false},
    {SNDCTL_DSP_NONBLOCK, "SNDCTL_DSP_NONBLOCK", false},
    {SNDCTL_DSP_GETCAPS, "SNDCTL_DSP_GETCAPS", true},
};

const RequestName* find_request(unsigned int code)
{
    for (const RequestName& r : request_names)
        if (r.code == code)
            return &r;
    return nullptr;
}

// A request by name, with or without "SNDCTL_DSP_", or by number.
bool parse_request(const char* s, unsigned int& code)
{
    for (const RequestName& r : request_names)
        if (strcmp(s, r.name) == 0 || strcmp(s, r.name + 11) == 0) {
            code = r.code;
            return true;
        }
    char* end;
    const unsigned long v = strtoul(s, &end, 0);
    if (end == s || *end != '\0')
        return false;
    code = static_cast<unsigned int>(v);
    return true;
}

struct FormatName {
    int code;
    const char* name;
};

const FormatName format_names[] = {
    {AFMT_U8, "U8"}, {AFMT_S8, "S8"}, {AFMT_S16_LE, "S16_LE"}, {AFMT_S16_BE, "S16_BE"}};

bool parse_format(const char* s, int& code)
{
    for (const FormatName& f : format_names)
        if (strcmp(s, f.name) == 0 || (strncmp(s, "AFMT_", 5) == 0 && strcmp(s + 5, f.name) == 0)) {
            code = f.code;
            return true;
        }
    char* end;
    const long v = strtol(s, &end, 0);
    if (end == s || *end != '\0')
        return false;
    code = static_cast<int>(v);
    return true;
}

const char* env(const char* name)
{
    const char* v = getenv(name);
    return v && *v ? v : nullptr;
}

void bad_setting(const char* name, const char* value)
{
    fprintf(stderr, "simdsp: bad setting %s=%s\n", name, value);
    config.valid = false;
}

bool parse_int(const char* s, long long& out)
{
    char* end;
    out = strtoll(s, &end, 0);
    return end != s && *end == '\0';
}

void read_int(const char* name, long long lo, long long hi, long long& out)
{
    const char* v = env(name);
    long long x;
    if (!v)
        return;
    if (!parse_int(v, x) || x < lo || x > hi)
        bad_setting(name, v);
    else
        out = x;
}

// "N" or "N:ERRNO": the N-th call fails with the errno (EIO by default);
// "N+" or "N+:ERRNO": that call and every later one until the next open.
void read_call_failure(const char* name, unsigned& call, int& error, bool& from_on)
{
    const char* v = env(name);
    if (!v)
        return;
    char buf[128];
    snprintf(buf, sizeof buf, "%s", v);
    char* colon = strchr(buf, ':');
    if (colon)
        *colon = '\0';
    const size_t len = strlen(buf);
    from_on = len > 1 && buf[len - 1] == '+';
    if (from_on)
        buf[len - 1] = '\0';
    long long n;
    if (!parse_int(buf, n) || n < 1 || n > 0x7fffffff || (colon && !parse_errno(colon + 1, error))) {
        bad_setting(name, v);
        return;
    }
    call = static_cast<unsigned>(n);
}

void read_device_setting()
{
    if (device_known)
        return;
    device_known = true;
    if (const char* v = env("SIMDSP_DEVICE"))
        snprintf(config.device, sizeof config.device, "%s", v);
    if (const char* v = env("SIMDSP_LOG"))
        snprintf(log_path, sizeof log_path, "%s", v);
}

void read_settings()
{
    if (configured)
        return;
    configured = true;
    read_device_setting();

    const char* left = env("SIMDSP_LEFT");
    const char* right = env("SIMDSP_RIGHT");
    if (!left)
        left = "silence";
    if (!right)
        right = left;
    if (!parse_signal(left, config.left))
        bad_setting("SIMDSP_LEFT", left);
    if (!parse_signal(right, config.right))
        bad_setting("SIMDSP_RIGHT", right);

    if (const char* v = env("SIMDSP_PACE")) {
        if (strcmp(v, "realtime") == 0)
            config.realtime = true;
        else if (strcmp(v, "fast") == 0)
            config.realtime = false;
        else
            bad_setting("SIMDSP_PACE", v);
    }
    if (const char* v = env("SIMDSP_PLAY_FILE"))
        snprintf(config.play_path, sizeof config.play_path, "%s", v);
    read_int("SIMDSP_FRAMES", 0, INT64_MAX, config.frames_limit);

    long long x = config.rate_offset;
    read_int("SIMDSP_RATE_OFFSET", -100000, 100000, x);
    config.rate_offset = static_cast<int>(x);
    x = 0;
    read_int("SIMDSP_RATE", 1, 10000000, x);
    config.fixed_rate = static_cast<int>(x);
    x = 0;
    read_int("SIMDSP_BLKSIZE", 1, 0x7fffffff, x);
    config.blksize = static_cast<int>(x);
    if (const char* v = env("SIMDSP_REFUSE_FORMAT"))
        if (!parse_format(v, config.refuse_format))
            bad_setting("SIMDSP_REFUSE_FORMAT", v);
    x = 0;
    read_int("SIMDSP_REFUSE_CHANNELS", 1, 2, x);
    config.refuse_channels = static_cast<int>(x);
    if (const char* v = env("SIMDSP_FAIL_OPEN")) {
        config.fail_open = parse_errno(v, config.fail_open_errno) && config.fail_open_errno != 0;
        if (!config.fail_open)
            bad_setting("SIMDSP_FAIL_OPEN", v);
    }
    if (const char* v = env("SIMDSP_FAIL_IOCTL")) {
        char buf[1024];
        snprintf(buf, sizeof buf, "%s", v);
        char* save = nullptr;
        for (char* item = strtok_r(buf, ",", &save); item; item = strtok_r(nullptr, ",", &save)) {
            char* colon = strchr(item, ':');
            IoctlFailure f{0, EINVAL};
            if (colon)
                *colon = '\0';
            if (config.ioctl_failure_count == 16 || !parse_request(item, f.request) ||
                (colon && (!parse_errno(colon + 1, f.error) || f.error == 0))) {
                bad_setting("SIMDSP_FAIL_IOCTL", v);
                break;
            }
            config.ioctl_failures[config.ioctl_failure_count++] = f;
        }
    }
    x = 0;
    read_int("SIMDSP_SHORT", 1, INT64_MAX, x);
    config.short_bytes = static_cast<size_t>(x);
    x = 0;
    read_int("SIMDSP_EINTR", 1, 0x7fffffff, x);
    config.eintr_every = static_cast<unsigned>(x);
    read_call_failure("SIMDSP_FAIL_READ", config.fail_read_call, config.fail_read_errno,
                      config.fail_read_on);
    read_call_failure("SIMDSP_FAIL_WRITE", config.fail_write_call, config.fail_write_errno,
                      config.fail_write_on);
}

// ---------------------------------------------------------------- devices

constexpr int max_aliases = 8;

struct Device {
    int fd = -1;                // the descriptor open() handed out; -1: free slot
    int fds[max_aliases] = {-1, -1, -1, -1, -1, -1, -1, -1}; // it and its duplicates
    int access = O_RDONLY;
    int format = AFMT_U8; // OSS defaults: 8-bit unsigned mono at 8000 Hz
    int channels = 1;
    int rate = 8000;      // as set, after quirks
    int fragment = 4096;  // bytes
    int fragments = 2;
    uint64_t recorded = 0; // bytes delivered by reads since open
    uint64_t played = 0;   // bytes taken by writes since open
    timespec read_start{}, write_start{};
    unsigned reads = 0, writes = 0, calls = 0;
    bool read_eof = false, write_eof = false;
    int play_fd = -1;
    Signal left, right;
};

constexpr int max_devices = 16;
Device devices[max_devices];
int open_devices = 0;

Device* find_device(int fd)
{
    if (open_devices == 0 || fd < 0)
        return nullptr;
    for (Device& d : devices)
        if (d.fd != -1)
            for (int a : d.fds)
                if (a == fd)
                    return &d;
    return nullptr;
}

// Makes fd one more descriptor of d (after dup and the like).
void add_alias(Device& d, int fd)
{
    for (int& a : d.fds)
        if (a == -1) {
            a = fd;
            return;
        }
}

// Drops fd from d; true when it was the device's last descriptor.
bool drop_alias(Device& d, int fd)
{
    bool left = false;
    for (int& a : d.fds) {
        if (a == fd)
            a = -1;
        else if (a != -1)
            left = true;
    }
    return !left;
}

int sample_bytes(int format)
{
    return format == AFMT_S16_LE || format == AFMT_S16_BE ? 2 : 1;
}

int frame_bytes(const Device& d)
{
    return sample_bytes(d.format) * d.channels;
}

timespec now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// Sleeps until start + frames / rate.
void sleep_until(const timespec& start, double frames, int rate)
{
    if (frames <= 0 || rate <= 0)
        return;
    const double seconds = frames / rate;
    timespec due = start;
    const long long whole = static_cast<long long>(seconds);
    due.tv_sec += static_cast<time_t>(whole);
    due.tv_nsec += static_cast<long>((seconds - static_cast<double>(whole)) * 1e9);
    if (due.tv_nsec >= 1000000000L) {
        due.tv_sec += 1;
        due.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
}

// Encodes one sample of the generated signal in the device's format.
int encode(int16_t s, int format, unsigned char* out)
{
    switch (format) {
    case AFMT_S16_LE:
        out[0] = static_cast<unsigned char>(s & 0xff);
        out[1] = static_cast<unsigned char>((s >> 8) & 0xff);
        return 2;
    case AFMT_S16_BE:
        out[0] = static_cast<unsigned char>((s >> 8) & 0xff);
        out[1] = static_cast<unsigned char>(s & 0xff);
        return 2;
    case AFMT_S8:
        out[0] = static_cast<unsigned char>(static_cast<int8_t>(s >> 8));
        return 1;
    default: // AFMT_U8
        out[0] = static_cast<unsigned char>((s >> 8) + 128);
        return 1;
    }
}

// Fills buf with the recorded stream's bytes from byte offset pos on.
void generate(const Device& d, uint64_t pos, unsigned char* buf, size_t n)
{
    const int bpf = frame_bytes(d);
    uint64_t frame = pos / static_cast<uint64_t>(bpf);
    size_t skip = static_cast<size_t>(pos % static_cast<uint64_t>(bpf));
    size_t done = 0;
    while (done < n) {
        unsigned char bytes[8];
        const bool live = config.frames_limit < 0 || frame < static_cast<uint64_t>(config.frames_limit);
        int k = encode(live ? signal_sample(d.left, frame, d.rate) : 0, d.format, bytes);
        if (d.channels == 2)
            k += encode(live ? signal_sample(d.right, frame, d.rate) : 0, d.format, bytes + k);
        for (size_t i = skip; i < static_cast<size_t>(k) && done < n; ++i)
            buf[done++] = bytes[i];
        skip = 0;
        ++frame;
    }
}

void release(Device& d)
{
    if (d.play_fd >= 0)
        sys_close(d.play_fd);
    unload_signal(d.left);
    unload_signal(d.right);
    d = Device();
    --open_devices;
}

int open_device(const char* path, int flags)
{
    read_settings();
    char e[16];
    if (!config.valid || config.fail_open) {
        const int error = config.valid ? config.fail_open_errno : EINVAL;
        logf("open %s flags=0x%x -> -1 errno=%s", path, static_cast<unsigned>(flags),
             errno_name(error, e, sizeof e));
        errno = error;
        return -1;
    }
    Device* d = nullptr;
    for (Device& slot : devices)
        if (slot.fd == -1) {
            d = &slot;
            break;
        }
    if (!d) {
        logf("open %s flags=0x%x -> -1 errno=EBUSY", path, static_cast<unsigned>(flags));
        errno = EBUSY;
        return -1;
    }
    const int fd = sys_open("/dev/null", O_RDWR | (flags & O_CLOEXEC), 0);
    if (fd < 0) {
        const int error = errno;
        logf("open %s flags=0x%x -> -1 errno=%s", path, static_cast<unsigned>(flags),
             errno_name(error, e, sizeof e));
        errno = error;
        return -1;
    }
    *d = Device();
    d->fd = fd;
    d->fds[0] = fd;
    d->access = flags & O_ACCMODE;
    ++open_devices;
    d->left = config.left;
    d->right = config.right;
    int error = 0;
    if (d->access != O_WRONLY && !(load_signal(d->left) && load_signal(d->right)))
        error = EIO;
    if (!error && d->access != O_RDONLY && config.play_path[0]) {
        d->play_fd = sys_open(config.play_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (d->play_fd < 0) {
            error = errno;
            fprintf(stderr, "simdsp: cannot open %s: %s\n", config.play_path, strerror(error));
        }
    }
    if (error) {
        release(*d);
        sys_close(fd);
        logf("open %s flags=0x%x -> -1 errno=%s", path, static_cast<unsigned>(flags),
             errno_name(error, e, sizeof e));
        errno = error;
        return -1;
    }
    logf("open %s flags=0x%x -> %d", path, static_cast<unsigned>(flags), fd);
    return fd;
}

bool is_device_path(const char* path)
{
    read_device_setting();
    return path && strcmp(path, config.device) == 0;
}

int choose_channels(int wanted)
{
    int got = wanted < 1 ? 1 : wanted > 2 ? 2 : wanted;
    if (config.refuse_channels && got == config.refuse_channels)
        got = 3 - got;
    return got;
}

bool format_supported(int f)
{
    return (f == AFMT_U8 || f == AFMT_S8 || f == AFMT_S16_LE || f == AFMT_S16_BE) &&
           f != config.refuse_format;
}

int device_ioctl(Device& d, unsigned int request, void* arg)
{
    const RequestName* rn = find_request(request);
    int* value = static_cast<int*>(arg);
    const bool takes_value = rn && request != SNDCTL_DSP_RESET && request != SNDCTL_DSP_SYNC &&
                             request != SNDCTL_DSP_POST && request != SNDCTL_DSP_NONBLOCK &&
                             request != SNDCTL_DSP_GETOSPACE && request != SNDCTL_DSP_GETISPACE;
    char e[16];
    if (takes_value && !value) {
        logf("ioctl %s (null) rc=-1 errno=EFAULT", rn->name);
        errno = EFAULT;
        return -1;
    }
    const int in = takes_value ? *value : 0;
    auto log_result = [&](int rc, int error) {
        const char* name = rn ? rn->name : nullptr;
        char code[32];
        if (!name) {
            snprintf(code, sizeof code, "0x%x", request);
            name = code;
        }
        const char* f = rn && rn->hex ? "0x%x" : "%d";
        char vin[32] = "", vout[32] = "";
        if (takes_value) {
            snprintf(vin, sizeof vin, f, in);
            snprintf(vout, sizeof vout, f, *value);
            if (error)
                logf("ioctl %s %s -> %s rc=%d errno=%s", name, vin, vout, rc, errno_name(error, e, sizeof e));
            else
                logf("ioctl %s %s -> %s rc=%d", name, vin, vout, rc);
        } else if (error) {
            logf("ioctl %s rc=%d errno=%s", name, rc, errno_name(error, e, sizeof e));
        } else {
            logf("ioctl %s rc=%d", name, rc);
        }
    };
    for (int i = 0; i < config.ioctl_failure_count; ++i)
        if (config.ioctl_failures[i].request == request) {
            log_result(-1, config.ioctl_failures[i].error);
            errno = config.ioctl_failures[i].error;
            return -1;
        }
    if (!rn) {
        log_result(-1, EINVAL);
        errno = EINVAL;
        return -1;
    }

    switch (request) {
    case SNDCTL_DSP_SETFRAGMENT: {
        int selector = in & 0xffff;
        int count = (in >> 16) & 0x7fff;
        selector = selector > 30 ? 30 : selector;
        d.fragment = 1 << selector;
        d.fragments = count < 2 ? 2 : count;
        break;
    }
    case SNDCTL_DSP_SETFMT:
        if (in != AFMT_QUERY)
            d.format = format_supported(in) ? in : format_supported(AFMT_S16_LE) ? AFMT_S16_LE : AFMT_U8;
        *value = d.format;
        break;
    case SNDCTL_DSP_GETFMTS: {
        int mask = 0;
        for (const FormatName& f : format_names)
            if (format_supported(f.code))
                mask |= f.code;
        *value = mask;
        break;
    }
    case SNDCTL_DSP_STEREO:
        d.channels = choose_channels(in ? 2 : 1);
        *value = d.channels - 1;
        break;
    case SNDCTL_DSP_CHANNELS:
        d.channels = choose_channels(in);
        *value = d.channels;
        break;
    case SNDCTL_DSP_SPEED:
        if (config.fixed_rate) {
            d.rate = config.fixed_rate;
        } else {
            const int clamped = in < 4000 ? 4000 : in > 192000 ? 192000 : in;
            d.rate = clamped + config.rate_offset;
            if (d.rate < 1)
                d.rate = 1;
        }
        *value = d.rate;
        break;
    case SNDCTL_DSP_GETBLKSIZE:
        *value = config.blksize ? config.blksize : d.fragment;
        break;
    case SNDCTL_DSP_GETCAPS:
        *value = DSP_CAP_DUPLEX;
        break;
    case SNDCTL_DSP_GETOSPACE:
    case SNDCTL_DSP_GETISPACE:
        if (arg) {
            audio_buf_info* info = static_cast<audio_buf_info*>(arg);
            const bool out = request == SNDCTL_DSP_GETOSPACE;
            info->fragments = out ? d.fragments : 0;
            info->fragstotal = d.fragments;
            info->fragsize = d.fragment;
            info->bytes = out ? d.fragments * d.fragment : 0;
        }
        break;
    default: // RESET, SYNC, POST, NONBLOCK: nothing to do
        break;
    }
    log_result(0, 0);
    return 0;
}

// The quirks that end a call before any data moves: -1 with errno set, or 0
// for end of data; 1 when the call goes ahead.
int call_quirks(Device& d, bool reading)
{
    unsigned& calls = reading ? d.reads : d.writes;
    bool& eof = reading ? d.read_eof : d.write_eof;
    const unsigned fail_call = reading ? config.fail_read_call : config.fail_write_call;
    const int fail_errno = reading ? config.fail_read_errno : config.fail_write_errno;
    const bool fail_on = reading ? config.fail_read_on : config.fail_write_on;
    ++calls;
    ++d.calls;
    if (eof)
        return 0;
    if (fail_call && (calls == fail_call || (fail_on && calls > fail_call))) {
        if (fail_errno == 0) {
            eof = true;
            return 0;
        }
        errno = fail_errno;
        return -1;
    }
    if (config.eintr_every && d.calls % config.eintr_every == 0) {
        errno = EINTR;
        return -1;
    }
    return 1;
}

// What every read or write goes through first: the direction the device
// was opened for, then the quirks. 1: go on and move k of the n bytes;
// 0 or -1: the call's result, already logged, errno set.
int begin_transfer(Device& d, bool reading, size_t n, size_t& k)
{
    const char* verb = reading ? "read" : "write";
    if (d.access == (reading ? O_WRONLY : O_RDONLY)) {
        logf("%s %zu -> -1 errno=EBADF", verb, n);
        errno = EBADF;
        return -1;
    }
    const int q = call_quirks(d, reading);
    if (q <= 0) {
        const int error = errno;
        char e[16];
        if (q < 0)
            logf("%s %zu -> -1 errno=%s", verb, n, errno_name(error, e, sizeof e));
        else
            logf("%s %zu -> 0", verb, n);
        errno = error;
        return q;
    }
    k = config.short_bytes && n > config.short_bytes ? config.short_bytes : n;
    return 1;
}

ssize_t device_read(Device& d, void* buf, size_t n)
{
    size_t k = 0;
    const int q = begin_transfer(d, true, n, k);
    if (q <= 0)
        return q;
    if (d.recorded == 0)
        d.read_start = now();
    if (k > 0) {
        generate(d, d.recorded, static_cast<unsigned char*>(buf), k);
        d.recorded += k;
        if (config.realtime)
            sleep_until(d.read_start, static_cast<double>(d.recorded / static_cast<uint64_t>(frame_bytes(d))),
                        d.rate);
    }
    logf("read %zu -> %zu", n, k);
    return static_cast<ssize_t>(k);
}

ssize_t device_write(Device& d, const void* buf, size_t n)
{
    char e[16];
    size_t k = 0;
    const int q = begin_transfer(d, false, n, k);
    if (q <= 0)
        return q;
    if (d.play_fd >= 0 && k > 0 && !write_all(d.play_fd, buf, k)) {
        const int error = errno;
        logf("write %zu -> -1 errno=%s", n, errno_name(error, e, sizeof e));
        errno = error;
        return -1;
    }
    if (d.played == 0)
        d.write_start = now();
    d.played += k;
    if (config.realtime && k > 0) {
        // A write returns once the device has room: at most its fragments wait.
        const int bpf = frame_bytes(d);
        const double queued = static_cast<double>(d.fragments) * d.fragment / bpf;
        sleep_until(d.write_start, static_cast<double>(d.played / static_cast<uint64_t>(bpf)) - queued, d.rate);
    }
    logf("write %zu -> %zu", n, k);
    return static_cast<ssize_t>(k);
}

int get_mode(int flags, va_list ap)
{
    if (flags & (O_CREAT | O_TMPFILE))
        return va_arg(ap, int);
    return 0;
}

} // namespace

// ---------------------------------------------------------------- interposed

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode = get_mode(flags, ap);
    va_end(ap);
    if (is_device_path(path))
        return open_device(path, flags);
    return next_symbol(r_open, "open")(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode = get_mode(flags, ap);
    va_end(ap);
    if (is_device_path(path))
        return open_device(path, flags);
    return next_symbol(r_open64, "open64")(path, flags, mode);
}

int __open_2(const char* path, int flags)
{
    if (is_device_path(path))
        return open_device(path, flags);
    return next_symbol(r_open_2, "__open_2")(path, flags);
}

int __open64_2(const char* path, int flags)
{
    if (is_device_path(path))
        return open_device(path, flags);
    return next_symbol(r_open64_2, "__open64_2")(path, flags);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode = get_mode(flags, ap);
    va_end(ap);
    if (is_device_path(path))
        return open_device(path, flags);
    return next_symbol(r_openat, "openat")(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode = get_mode(flags, ap);
    va_end(ap);
    if (is_device_path(path))
        return open_device(path, flags);
    return next_symbol(r_openat64, "openat64")(dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char* path, int flags)
{
    if (is_device_path(path))
        return open_device(path, flags);
    return next_symbol(r_openat_2, "__openat_2")(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char* path, int flags)
{
    if (is_device_path(path))
        return open_device(path, flags);
    return next_symbol(r_openat64_2, "__openat64_2")(dirfd, path, flags);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (Device* d = find_device(fd))
        return device_ioctl(*d, static_cast<unsigned int>(request), arg);
    return next_symbol(r_ioctl, "ioctl")(fd, request, arg);
}

ssize_t read(int fd, void* buf, size_t n)
{
    if (Device* d = find_device(fd))
        return device_read(*d, buf, n);
    return next_symbol(r_read, "read")(fd, buf, n);
}

ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen)
{
    if (Device* d = find_device(fd)) {
        if (n > buflen)
            abort();
        return device_read(*d, buf, n);
    }
    return next_symbol(r_read_chk, "__read_chk")(fd, buf, n, buflen);
}

ssize_t write(int fd, const void* buf, size_t n)
{
    if (Device* d = find_device(fd))
        return device_write(*d, buf, n);
    return next_symbol(r_write, "write")(fd, buf, n);
}

int close(int fd)
{
    if (Device* d = find_device(fd)) {
        logf("close %d", fd);
        if (drop_alias(*d, fd))
            release(*d);
    }
    return next_symbol(r_close, "close")(fd);
}

// Duplicates share the device, as they share an open file; a device
// duplicated over another descriptor of a device first loses that one.
int dup(int fd)
{
    const int r = next_symbol(r_dup, "dup")(fd);
    if (r >= 0)
        if (Device* d = find_device(fd))
            add_alias(*d, r);
    return r;
}

int dup2(int fd, int fd2)
{
    if (fd == fd2)
        return next_symbol(r_dup2, "dup2")(fd, fd2);
    Device* old = find_device(fd2);
    const int r = next_symbol(r_dup2, "dup2")(fd, fd2);
    if (r < 0)
        return r;
    if (old && drop_alias(*old, fd2))
        release(*old);
    if (Device* d = find_device(fd))
        add_alias(*d, r);
    return r;
}

int dup3(int fd, int fd2, int flags)
{
    Device* old = fd == fd2 ? nullptr : find_device(fd2);
    const int r = next_symbol(r_dup3, "dup3")(fd, fd2, flags);
    if (r < 0)
        return r;
    if (old && drop_alias(*old, fd2))
        release(*old);
    if (Device* d = find_device(fd))
        add_alias(*d, r);
    return r;
}

} // extern "C"
