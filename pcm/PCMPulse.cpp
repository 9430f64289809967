#include "pcm/PCMPulse.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>

namespace {

// A played file's last blocks are given this long to finish when the
// stream goes, in seconds, so that stopping and quitting stay quick.
constexpr double drain_limit = 0.3;

// Signed and unsigned 8-bit samples differ in the top bit; the server knows
// only the unsigned kind.
void flip_sign(char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<char>(p[i] ^ 0x80);
}

} // namespace

PCMPulse::PCMPulse(const char* name_, int type_, int mode_, int format_, int channels_, int rate_, int size_)
    : PCM(name_, type_, mode_, format_, channels_, rate_, size_)
{
    if (!check_device_parameters())
        return;
    if (bytes_for(static_cast<uint64_t>(size > 0 ? size : 0)) <= 0 || rate <= 0) {
        pcm_error("error: Invalid requested buffer size\n");
        return;
    }
    if (!connect() || !open_stream())
        return;
    ok = true;
}

PCMPulse::~PCMPulse()
{
    if (stream) {
        // Let a played file finish its last blocks before the stream goes;
        // not a stream that has stalled once.
        if (mode == Write && alive() && !abandoned) {
            // The queue running dry at the end is no lost data.
            pa_stream_set_underflow_callback(stream, nullptr, nullptr);
            pa_operation* op = pa_stream_drain(stream, nullptr, nullptr);
            const double deadline = monotonic_seconds() + drain_limit;
            while (op && pa_operation_get_state(op) == PA_OPERATION_RUNNING && alive() && turn(deadline) > 0) {
            }
            if (op)
                pa_operation_unref(op);
        }
        if (fragment_held && alive())
            pa_stream_drop(stream);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    if (loop)
        pa_mainloop_free(loop);
}

const char* PCMPulse::source_name() const
{
    const char* colon = strchr(name.c_str(), ':');
    return colon && colon[1] ? colon + 1 : nullptr;
}

template <typename Ready>
bool PCMPulse::set_up(double deadline, Ready ready)
{
    for (;;) {
        const int r = ready();
        if (r != 0)
            return r > 0;
        const double left = deadline - monotonic_seconds();
        if (left <= 0) {
            abandoned = true;
            pcm_error("error: Can't open %s: the sound server answered nothing for %g ms\n", name.c_str(),
                      std::floor((stall_limit + size / static_cast<double>(rate)) * 1000.0));
            return false;
        }
        if (pa_mainloop_prepare(loop, static_cast<int>(left * 1e6) + 1) < 0 || pa_mainloop_poll(loop) < 0 ||
            pa_mainloop_dispatch(loop) < 0) {
            pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(pa_context_errno(context)));
            return false;
        }
    }
}

void PCMPulse::report_no_server()
{
    const int error = pa_context_errno(context);
    const char* server = getenv("PULSE_SERVER");
    if (server && *server && (error == PA_ERR_CONNECTIONREFUSED || error == PA_ERR_INVALIDSERVER))
        pcm_error("error: Can't open %s: no sound server answers at PULSE_SERVER=\"%s\" (%s)\n", name.c_str(),
                  server, pa_strerror(error));
    else
        pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(error));
}

bool PCMPulse::connect()
{
    loop = pa_mainloop_new();
    if (loop)
        context = pa_context_new(pa_mainloop_get_api(loop), "Zentaphon");
    if (!context) {
        pcm_error("error: Can't open %s: %s\n", name.c_str(), strerror(ENOMEM));
        return false;
    }
    // No server is started on the user's behalf: the one that runs answers.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        report_no_server();
        return false;
    }
    const double deadline = monotonic_seconds() + stall_limit + size / static_cast<double>(rate);
    bool failed = false;
    const bool ready = set_up(deadline, [this, &failed] {
        const pa_context_state_t s = pa_context_get_state(context);
        failed = !PA_CONTEXT_IS_GOOD(s);
        return s == PA_CONTEXT_READY ? 1 : failed ? -1 : 0;
    });
    if (failed)
        report_no_server();
    return ready;
}

bool PCMPulse::open_stream()
{
    pa_sample_spec sample;
    // The server converts from whatever its source or sink holds (s24, float).
    sample.format = format == S32 ? PA_SAMPLE_S32LE : format == S16 ? PA_SAMPLE_S16LE : PA_SAMPLE_U8;
    sample.rate = static_cast<uint32_t>(rate);
    sample.channels = static_cast<uint8_t>(channels);
    if (!pa_sample_spec_valid(&sample)) {
        pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(PA_ERR_INVALID));
        return false;
    }
    stream = pa_stream_new(context, mode == Write ? "File playback" : "Analyser input", &sample, nullptr);
    if (!stream) {
        pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(pa_context_errno(context)));
        return false;
    }
    const uint32_t block = static_cast<uint32_t>(bytes_for(static_cast<uint64_t>(size)));
    pa_buffer_attr want;
    want.maxlength = mode == Write ? static_cast<uint32_t>(-1) : 2 * block;
    want.tlength = 2 * block;
    want.prebuf = static_cast<uint32_t>(-1);
    want.minreq = block;
    want.fragsize = block;
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
    int r;
    pa_stream_set_suspended_callback(stream, on_suspended, this);
    if (mode == Write) {
        pa_stream_set_underflow_callback(stream, on_xrun, this);
        // "pulse:SINK" plays to that sink; a source's name (a sink's
        // ".monitor", as a recording names it) to the default one.
        const char* sink = source_name();
        const size_t n = sink ? strlen(sink) : 0;
        if (n >= 8 && strcmp(sink + n - 8, ".monitor") == 0)
            sink = nullptr;
        r = pa_stream_connect_playback(stream, sink, &want, flags, nullptr, nullptr);
    } else {
        r = pa_stream_connect_record(stream, source_name(), &want, flags);
    }
    if (r < 0) {
        pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(pa_context_errno(context)));
        return false;
    }
    const double deadline = monotonic_seconds() + stall_limit + size / static_cast<double>(rate);
    const bool ready = set_up(deadline, [this] {
        const pa_stream_state_t s = pa_stream_get_state(stream);
        if (s == PA_STREAM_READY)
            return 1;
        if (PA_STREAM_IS_GOOD(s))
            return 0;
        pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(pa_context_errno(context)));
        return -1;
    });
    if (!ready)
        return false;
    // The server resamples to any rate, but a rate it did not grant would put
    // every frequency in the wrong place.
    const pa_sample_spec* got = pa_stream_get_sample_spec(stream);
    if (got && std::llabs(static_cast<long long>(got->rate) - rate) >= 2) {
        pcm_error("error: Can't set requested rate\nrequested rate: %d Hz, actual rate: %u Hz\n", rate,
                  got->rate);
        return false;
    }
    if (const pa_buffer_attr* a = pa_stream_get_buffer_attr(stream))
        granted = *a;
    on_suspended(stream, this);
    return true;
}

void PCMPulse::print_info()
{
    fputs("driver: pulse\n", stderr);
    PCM::print_info();
    const pa_stream_state_t s = stream ? pa_stream_get_state(stream) : PA_STREAM_FAILED;
    const char* device = s == PA_STREAM_READY ? pa_stream_get_device_name(stream) : nullptr;
    const double per_ms = rate * static_cast<double>(bytes_per_frame()) / 1000.0;
    if (mode == Write)
        fprintf(stderr, "server buffer: %u bytes (%g ms) to sink %s\n", granted.tlength,
                granted.tlength / per_ms, device ? device : "?");
    else
        fprintf(stderr, "server buffer: fragments of %u bytes (%g ms), at most %u bytes, from source %s\n",
                granted.fragsize, granted.fragsize / per_ms, granted.maxlength, device ? device : "?");
}

int64_t PCMPulse::frames()
{
    return -1;
}

int64_t PCMPulse::seek(int64_t, int)
{
    return -1;
}

bool PCMPulse::alive() const
{
    return !gone && context && PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && stream &&
           PA_STREAM_IS_GOOD(pa_stream_get_state(stream));
}

void PCMPulse::report_lost()
{
    if (!gone)
        pcm_error("error: %s: the sound server has gone: %s\n", name.c_str(),
                  pa_strerror(pa_context_errno(context)));
    gone = true;
}

int PCMPulse::turn(double until)
{
    if (alive()) {
        const double left = until - monotonic_seconds();
        if (left <= 0)
            return 0;
        if (pa_mainloop_prepare(loop, static_cast<int>(left * 1e6) + 1) >= 0 && pa_mainloop_poll(loop) >= 0 &&
            pa_mainloop_dispatch(loop) >= 0 && alive())
            return 1;
    }
    report_lost();
    return -1;
}

bool PCMPulse::wait(double deadline)
{
    const int r = turn(deadline);
    if (r == 0) {
        abandoned = true;
        xruns.restart();
        errno = ETIMEDOUT;
        transfer_failed("error: %s: the sound server %s nothing for %g ms\n", name.c_str(), mode == Write ? "took" : "sent",
                        std::floor((stall_limit + size / static_cast<double>(rate)) * 1000.0));
    }
    return r > 0;
}

bool PCMPulse::pass_suspended(char* out, long long done, long long total)
{
    const double period = size / static_cast<double>(rate);
    const double now = monotonic_seconds();
    if (!device_suspended) {
        if (suspended)
            xruns.restart();
        suspended = false;
        suspended_since = -1;
        return false;
    }
    // A device suspended while idle wakes up for a new stream within
    // moments; one still suspended after a block's time is suspended.
    if (suspended_since < 0)
        suspended_since = now;
    if (!suspended && now - suspended_since < period)
        return false;
    if (!suspended) {
        suspended = true;
        silence_due = now;
        const char* device = pa_stream_get_device_name(stream);
        pcm_error("warning: %s: the sound server has suspended %s %s; %s until it resumes\n", name.c_str(),
                mode == Write ? "the sink" : "the source", device ? device : "?",
                mode == Write ? "blocks are not played" : "blocks are silence");
    }
    if (mode == Read)
        std::memset(out + done, 0, static_cast<size_t>(total - done));
    // One block a block's time, but no burst after a pause of the caller's.
    silence_due = std::max(silence_due + period, now - period);
    sleep_until(silence_due);
    return true;
}

// The server pushes a source's data in pieces of about 10 ms whatever
// fragment size it granted, and waking for each costs a round of system
// calls. Once what the server has already sent is taken (a turn of the
// loop that does not wait), the rest of the block cannot exist before its
// own time has passed: sleep until then, less a little so the block is not
// late, and take what has come in one turn of the loop.
int PCMPulse::rest_for(long long missing, double deadline)
{
    const int dispatched = pa_mainloop_iterate(loop, 0, nullptr);
    if (dispatched < 0 || !alive()) {
        report_lost();
        return -1;
    }
    if (dispatched > 0)
        return 1;
    constexpr double early = 0.004;   // seconds before the rest can be complete
    const double bytes_per_second = static_cast<double>(rate) * bytes_per_frame();
    const double until = monotonic_seconds() + static_cast<double>(missing) / bytes_per_second - early;
    sleep_until(std::min(until, deadline));
    return 0;
}

// Kept from the server's notices, so that the transfers need not ask the
// library (a system call each time) while they wait.
void PCMPulse::on_suspended(pa_stream* s, void* self)
{
    static_cast<PCMPulse*>(self)->device_suspended = pa_stream_is_suspended(s) == 1;
}

void PCMPulse::on_xrun(pa_stream*, void* self)
{
    PCMPulse* p = static_cast<PCMPulse*>(self);
    p->xruns.note(p->name.c_str(), p->mode == Write ? "underrun" : "overrun");
}

int64_t PCMPulse::read(void* buffer, uint64_t count)
{
    const long long total = bytes_for(count);
    if (total < 0)
        return transfer_failed(EINVAL);
    char* out = static_cast<char*>(buffer);
    long long done = 0;
    const double started = monotonic_seconds();
    const double deadline = started + stall_limit + size / static_cast<double>(rate);
    bool rested = false;
    while (done < total) {
        if (!fragment_held) {
            if (!alive()) {
                report_lost();
                return -1;
            }
            const void* data = nullptr;
            size_t n = 0;
            if (pa_stream_peek(stream, &data, &n) < 0) {
                report_lost();
                return -1;
            }
            if (n == 0) {
                if (pass_suspended(out, done, total))
                    return static_cast<int64_t>(count);
                if (suspended_since >= 0) {
                    if (turn(std::min(deadline, suspended_since + size / static_cast<double>(rate))) < 0)
                        return -1;
                } else if (!rested) {
                    const int r = rest_for(total - done, deadline);
                    if (r < 0)
                        return -1;
                    rested = r == 0;
                } else if (!wait(deadline)) {
                    return -1;
                }
                continue;
            }
            if (!data) {
                // A hole: the server lost data on its way to us, which the
                // frames missing against the clock show.
                pa_stream_drop(stream);
                continue;
            }
            fragment = static_cast<const char*>(data);
            fragment_size = n;
            fragment_used = 0;
            fragment_held = true;
        }
        const size_t take = static_cast<size_t>(
            std::min<long long>(total - done, static_cast<long long>(fragment_size - fragment_used)));
        std::memcpy(out + done, fragment + fragment_used, take);
        done += static_cast<long long>(take);
        fragment_used += take;
        if (fragment_used == fragment_size) {
            pa_stream_drop(stream);
            fragment_held = false;
        }
    }
    if (format == S8)
        flip_sign(out, static_cast<size_t>(total));
    xruns.received(name.c_str(), static_cast<long long>(count), started, rate, size);
    return static_cast<int64_t>(count);
}

int64_t PCMPulse::room()
{
    if (!alive()) {
        report_lost();
        return -1;
    }
    // Turns of the loop that wait for nothing; a few, should the server
    // keep sending.
    for (int i = 0; i < 16 && pa_mainloop_iterate(loop, 0, nullptr) > 0; ++i) {
    }
    const size_t free_bytes = alive() ? pa_stream_writable_size(stream) : static_cast<size_t>(-1);
    if (free_bytes == static_cast<size_t>(-1)) {
        report_lost();
        return -1;
    }
    return static_cast<int64_t>(free_bytes / static_cast<size_t>(bytes_per_frame()));
}

int64_t PCMPulse::write(void* buffer, uint64_t count)
{
    const long long total = bytes_for(count);
    if (total < 0)
        return transfer_failed(EINVAL);
    if (format == S8)
        flip_sign(static_cast<char*>(buffer), static_cast<size_t>(total));
    const char* in = static_cast<const char*>(buffer);
    long long done = 0;
    const double deadline = monotonic_seconds() + stall_limit + size / static_cast<double>(rate);
    while (done < total) {
        if (!alive()) {
            report_lost();
            return -1;
        }
        const size_t room = pa_stream_writable_size(stream);
        if (room == static_cast<size_t>(-1)) {
            report_lost();
            return -1;
        }
        if (room == 0) {
            if (pass_suspended(nullptr, done, total))
                return static_cast<int64_t>(count);
            if (suspended_since >= 0) {
                if (turn(std::min(deadline, suspended_since + size / static_cast<double>(rate))) < 0)
                    return -1;
                continue;
            }
            // The server starts playing once its prebuffer is full. A granted
            // buffer that is no whole number of blocks can leave it waiting
            // for a piece it never asks for, so a wait of more than a block
            // starts it.
            if (!triggered && monotonic_seconds() > deadline - stall_limit) {
                if (pa_operation* op = pa_stream_trigger(stream, nullptr, nullptr))
                    pa_operation_unref(op);
                triggered = true;
            }
            if (triggered ? !wait(deadline) : turn(deadline - stall_limit) < 0)
                return -1;
            continue;
        }
        triggered = false;
        // Written into the server's own memory, without a copy of ours.
        void* data = nullptr;
        size_t n = std::min<size_t>(room, static_cast<size_t>(total - done));
        if (pa_stream_begin_write(stream, &data, &n) < 0 || !data) {
            report_lost();
            return -1;
        }
        std::memcpy(data, in + done, n);
        if (pa_stream_write(stream, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            report_lost();
            return -1;
        }
        done += static_cast<long long>(n);
    }
    return static_cast<int64_t>(count);
}
