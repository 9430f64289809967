#include "pcm/PCMPulse.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>

namespace {

// Seconds beyond a block's own time that a transfer waits for the server
// before it fails, so that a stalled server never freezes the window for
// long. More than the two seconds in which an idle sink (the null sink)
// renders before it takes up a new stream's latency.
constexpr double stall_limit = 2.5;

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
        // Let a played file finish its last blocks before the stream goes.
        if (mode == Write && alive()) {
            // The queue running dry at the end is no lost data.
            pa_stream_set_underflow_callback(stream, nullptr, nullptr);
            pa_operation* op = pa_stream_drain(stream, nullptr, nullptr);
            const double deadline = monotonic_seconds() + stall_limit + 2.0 * size / rate;
            while (op && pa_operation_get_state(op) == PA_OPERATION_RUNNING && alive() &&
                   monotonic_seconds() < deadline && pa_mainloop_prepare(loop, 10000) >= 0 &&
                   pa_mainloop_poll(loop) >= 0 && pa_mainloop_dispatch(loop) >= 0) {
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
        pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(pa_context_errno(context)));
        return false;
    }
    for (;;) {
        const pa_context_state_t s = pa_context_get_state(context);
        if (s == PA_CONTEXT_READY)
            return true;
        if (!PA_CONTEXT_IS_GOOD(s) || pa_mainloop_iterate(loop, 1, nullptr) < 0) {
            pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(pa_context_errno(context)));
            return false;
        }
    }
}

bool PCMPulse::open_stream()
{
    pa_sample_spec sample;
    sample.format = format == S16 ? PA_SAMPLE_S16LE : PA_SAMPLE_U8;
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
    if (mode == Write) {
        pa_stream_set_underflow_callback(stream, on_xrun, this);
        r = pa_stream_connect_playback(stream, nullptr, &want, flags, nullptr, nullptr);
    } else {
        r = pa_stream_connect_record(stream, source_name(), &want, flags);
    }
    if (r < 0) {
        pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(pa_context_errno(context)));
        return false;
    }
    for (;;) {
        const pa_stream_state_t s = pa_stream_get_state(stream);
        if (s == PA_STREAM_READY)
            break;
        if (!PA_STREAM_IS_GOOD(s) || pa_mainloop_iterate(loop, 1, nullptr) < 0) {
            pcm_error("error: Can't open %s: %s\n", name.c_str(), pa_strerror(pa_context_errno(context)));
            return false;
        }
    }
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
        errno = ETIMEDOUT;
        transfer_failed("error: %s: the sound server %s nothing for %g ms\n", name.c_str(), mode == Write ? "took" : "sent",
                        std::floor((stall_limit + size / static_cast<double>(rate)) * 1000.0));
    }
    return r > 0;
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
    const double deadline = monotonic_seconds() + stall_limit + size / static_cast<double>(rate);
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
                if (!wait(deadline))
                    return -1;
                continue;
            }
            if (!data) {
                // A hole: the server lost data on its way to us.
                pa_stream_drop(stream);
                xruns.note(name.c_str(), "overrun");
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
    return static_cast<int64_t>(count);
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
