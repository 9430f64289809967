#include "pcm/PCMALSA.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ALSA's library writes its own lines to standard error; every failure here
// has one of ours instead.
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

// Recovery takes a few turns at most; a PCM that keeps failing has a fault
// that recovery does not mend.
constexpr int max_recoveries = 8;

// A played file's last blocks are given this long to finish when the
// stream goes, in seconds, so that stopping and quitting stay quick.
constexpr double drain_limit = 0.3;

} // namespace

PCMALSA::PCMALSA(const char* name_, int type_, int mode_, int format_, int channels_, int rate_, int size_)
    : PCM(name_, type_, mode_, format_, channels_, rate_, size_)
{
    if (!check_device_parameters())
        return;
    if (size <= 0 || rate <= 0 || bytes_for(static_cast<uint64_t>(size)) < 0) {
        pcm_error("error: Invalid requested buffer size\n");
        return;
    }
    snd_lib_error_set_handler(quiet_alsa);
    const int r = snd_pcm_open(&pcm, alsa_name(), mode == Write ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE,
                               SND_PCM_NONBLOCK);
    if (r < 0) {
        pcm = nullptr;
        pcm_error("error: Can't open %s: %s\n", name.c_str(), snd_strerror(r));
        return;
    }
    if (!configure())
        return;
    ok = true;
}

PCMALSA::~PCMALSA()
{
    if (!pcm || abandoned)
        return;
    if (mode == Write && !gone)
        drain_briefly();
    // Closing drops the PCM first, which the sound-server plugin does by
    // waiting for its server; at exit the system closes it instead.
    if (!exiting)
        snd_pcm_close(pcm);
}

void PCMALSA::drain_briefly()
{
    const double deadline = monotonic_seconds() + drain_limit;
    if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED && snd_pcm_avail_update(pcm) < static_cast<snd_pcm_sframes_t>(buffer))
        snd_pcm_start(pcm);
    while (snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING && monotonic_seconds() < deadline) {
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
        if (avail < 0 || avail >= static_cast<snd_pcm_sframes_t>(buffer))
            break;
        const double left = static_cast<double>(static_cast<snd_pcm_sframes_t>(buffer) - avail) / rate;
        sleep_until(monotonic_seconds() + std::min(left, 0.01));
    }
}

snd_pcm_format_t PCMALSA::sample_format() const
{
    return format == S32 ? SND_PCM_FORMAT_S32_LE : format == S16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S8;
}

const char* PCMALSA::alsa_name() const
{
    return name.c_str() + strlen("alsa:");
}

bool PCMALSA::configure()
{
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    int r = snd_pcm_hw_params_any(pcm, hw);
    if (r < 0) {
        pcm_error("error: %s: %s\n", name.c_str(), snd_strerror(r));
        return false;
    }
    if ((r = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
        pcm_error("error: %s: interleaved access: %s\n", name.c_str(), snd_strerror(r));
        return false;
    }
    if (snd_pcm_hw_params_set_format(pcm, hw, sample_format()) < 0) {
        pcm_error("error: Can't set requested format (resolution)\n");
        // A card's own PCM without S32_LE (S24_LE: 24 bits in the low part
        // of 32, which would read 48 dB low as S32; S24_3LE; float): the
        // plug layer converts, the hardware PCM does not.
        if (hints && format == S32 && strncmp(alsa_name(), "hw:", 3) == 0)
            pcm_error("hint: %s takes no 32-bit samples (S32_LE)%s: name it through the plug layer, alsa:plug%s\n",
                      name.c_str(),
                      snd_pcm_hw_params_test_format(pcm, hw, SND_PCM_FORMAT_S24_LE) == 0 ? ", only 24 in 32 (S24_LE)"
                                                                                        : "",
                      alsa_name());
        return false;
    }
    if (snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(channels)) < 0) {
        pcm_error("error: Can't set mono/stereo\n");
        return false;
    }
    // The device's nearest rate; as with OSS, 1 Hz off is accepted.
    unsigned got_rate = static_cast<unsigned>(rate);
    if ((r = snd_pcm_hw_params_set_rate_near(pcm, hw, &got_rate, nullptr)) < 0) {
        pcm_error("error: %s\n", snd_strerror(r));
        return false;
    }
    if (std::llabs(static_cast<long long>(got_rate) - rate) >= 2) {
        pcm_error("error: Can't set requested rate\nrequested rate: %d Hz, actual rate: %u Hz\n", rate,
                  got_rate);
        return false;
    }
    period = static_cast<snd_pcm_uframes_t>(size);
    snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
    unsigned periods = 2;
    snd_pcm_hw_params_set_periods_near(pcm, hw, &periods, nullptr);
    if ((r = snd_pcm_hw_params(pcm, hw)) < 0) {
        pcm_error("error: %s: Can't set hardware parameters: %s\n", name.c_str(), snd_strerror(r));
        return false;
    }
    snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    // A recording that falls behind goes on rather than stopping: recovery
    // prepares the PCM again, which the sound server's plugin does by
    // waiting for its server, without bound. What was lost shows against
    // the clock.
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_uframes_t boundary = 0;
    if (mode == Read && snd_pcm_sw_params_current(pcm, sw) == 0 && snd_pcm_sw_params_get_boundary(sw, &boundary) == 0 &&
        snd_pcm_sw_params_set_stop_threshold(pcm, sw, boundary) == 0)
        snd_pcm_sw_params(pcm, sw);
    if ((r = snd_pcm_prepare(pcm)) < 0) {
        pcm_error("error: %s: %s\n", name.c_str(), snd_strerror(r));
        return false;
    }
    return true;
}

void PCMALSA::print_info()
{
    fputs("driver: alsa\n", stderr);
    PCM::print_info();
    fprintf(stderr, "device buffer: periods of %lu frames (%g ms), %lu frames in all\n",
            static_cast<unsigned long>(period), period * 1000.0 / rate, static_cast<unsigned long>(buffer));
}

int64_t PCMALSA::frames()
{
    return -1;
}

int64_t PCMALSA::seek(int64_t, int)
{
    return -1;
}

bool PCMALSA::has_gone(int error) const
{
    // An unplugged card leaves the PCM disconnected or failing as a device
    // that is not there; the sound-server plugin fails with EIO once its
    // server has gone.
    return snd_pcm_state(pcm) == SND_PCM_STATE_DISCONNECTED || error == -ENODEV || error == -EBADFD ||
           error == -ENOTTY || error == -EIO;
}

int64_t PCMALSA::report_gone(int error)
{
    // The card or the server has gone: this line is the run's last.
    if (!gone)
        pcm_error("error: %s: the device has gone: %s\n", name.c_str(), snd_strerror(error));
    gone = true;
    return -1;
}

template <typename Transfer>
int64_t PCMALSA::move(char* data, uint64_t count, Transfer transfer)
{
    if (bytes_for(count) < 0)
        return transfer_failed(EINVAL);
    if (gone)
        return report_gone(-ENODEV);
    const int frame = bytes_per_frame();
    const double period = size / static_cast<double>(rate);
    const double started = monotonic_seconds();
    const double deadline = started + stall_limit + period;
    uint64_t done = 0;
    int recoveries = 0;
    while (done < count) {
        // Frames overwritten while the program was late are skipped.
        const snd_pcm_sframes_t avail = mode == Read ? snd_pcm_avail_update(pcm) : 0;
        if (avail > static_cast<snd_pcm_sframes_t>(buffer))
            snd_pcm_forward(pcm, static_cast<snd_pcm_uframes_t>(avail) - buffer);
        snd_pcm_sframes_t n = transfer(data + done * frame, count - done);
        if (n > 0) {
            done += static_cast<uint64_t>(n);
            recoveries = 0;
            continue;
        }
        if (n == -EAGAIN || n == 0) {
            const double left = deadline - monotonic_seconds();
            // A wait that reaches the deadline is the stall, whatever the
            // PCM offers after it (the sound server's plugin can then hand
            // out the rest of a block), as with the server's own client.
            const int w = left > 0 ? snd_pcm_wait(pcm, static_cast<int>(std::ceil(left * 1000.0))) : 0;
            if (w == 0 && monotonic_seconds() >= deadline) {
                abandoned = true;
                xruns.restart();
                errno = ETIMEDOUT;
                return transfer_failed("error: %s: the device %s nothing for %g ms\n", name.c_str(),
                                       mode == Write ? "took" : "sent", std::floor((stall_limit + period) * 1000.0));
            }
            if (w >= 0)
                continue;
            n = w;
        }
        if (has_gone(static_cast<int>(n)))
            return report_gone(static_cast<int>(n));
        if (n == -EPIPE || n == -ESTRPIPE || n == -EINTR) {
            // A recording's overrun shows in the frames missing against the clock.
            if (n == -EPIPE && mode == Write)
                xruns.note(name.c_str(), "underrun");
            if (++recoveries <= max_recoveries) {
                const int r = snd_pcm_recover(pcm, static_cast<int>(n), 1);
                if (r == 0)
                    continue;
                if (has_gone(r))
                    return report_gone(r);
            }
        }
        const int error = static_cast<int>(n);
        errno = -error;
        return transfer_failed("error: %s: %s\n", name.c_str(), snd_strerror(error));
    }
    if (mode == Read)
        xruns.received(name.c_str(), static_cast<long long>(count), started, rate, size);
    return static_cast<int64_t>(count);
}

int64_t PCMALSA::room()
{
    if (gone)
        return report_gone(-ENODEV);
    snd_pcm_sframes_t n = snd_pcm_avail_update(pcm);
    if (n == -EPIPE || n == -ESTRPIPE) {
        // Played dry: a prepare starts it again, at once for a non-blocking PCM.
        if (n == -EPIPE)
            xruns.note(name.c_str(), "underrun");
        const int r = snd_pcm_recover(pcm, static_cast<int>(n), 1);
        n = r < 0 ? r : snd_pcm_avail_update(pcm);
    }
    if (n < 0) {
        if (has_gone(static_cast<int>(n)))
            return report_gone(static_cast<int>(n));
        return transfer_failed("error: %s: %s\n", name.c_str(), snd_strerror(static_cast<int>(n)));
    }
    return static_cast<int64_t>(n);
}

int64_t PCMALSA::read(void* data, uint64_t count)
{
    return move(static_cast<char*>(data), count,
                [this](char* p, uint64_t n) { return snd_pcm_readi(pcm, p, n); });
}

int64_t PCMALSA::write(void* data, uint64_t count)
{
    return move(static_cast<char*>(data), count,
                [this](char* p, uint64_t n) { return snd_pcm_writei(pcm, p, n); });
}
