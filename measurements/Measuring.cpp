// The measurements of the running analyser: when a block is measured, the
// log, the window's updates and the export.
#include "measurements/Measuring.h"

#include "app/AppResources.h"
#include "common/Clock.h"
#include "measurements/MeasurementText.h"
#include "measurements/MeasurementsWindow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

Measurement measurement;
MeasurementLog measurement_log;
Measures measures;
double measures_time = 0;   // seconds of the stream up to the measured block's end
bool log_opened = false;    // the log is opened (and truncated) once, at the first start
double stream_frames = -1;  // frames of the stream since the first start, lost ones included; -1 before
double last_arrival = 0;    // monotonic seconds when the last block came

int last_count = -2;        // the sampler's number of the last block the analysers got
long run_block = 0;         // blocks since the analyser's run began, 0 for its first
int last_measured = -2;     // the last block added to the averages
unsigned int last_length = 0;   // frames of the frame last added

// The latest frames of the run: a ring of ring_frames (a power of two, a
// multiple of the block length), and the frame measured, copied out in time
// order. Sized when a run starts, for max(measurementLength, block length).
std::unique_ptr<int32_t[]> ring, frame;
unsigned int ring_frames = 0;
unsigned int ring_at = 0;       // the next frame written
unsigned long ring_held = 0;    // frames written since the run began
bool hinted = false;            // the run's hint on a fundamental too low is given
MeasurementSettings last_settings;
int last_rate = 0;
int last_bits = 16;          // the samples' width then

void size_ring(unsigned int block_frames)
{
    const unsigned int n = std::max(static_cast<unsigned int>(app_resources.measurementlength), block_frames);
    if (n != ring_frames) {
        ring = std::make_unique<int32_t[]>(2 * static_cast<size_t>(n));
        frame = std::make_unique<int32_t[]>(2 * static_cast<size_t>(n));
        ring_frames = n;
        measurement.setup(n);     // the longest: shorter frames allocate nothing
    }
    ring_at = 0;
    ring_held = 0;
    hinted = false;
}

void keep_block(const int32_t* samples, unsigned int frames)
{
    std::copy(samples, samples + 2 * static_cast<size_t>(frames), ring.get() + 2 * static_cast<size_t>(ring_at));
    ring_at = (ring_at + frames) % ring_frames;
    ring_held += frames;
}

// The latest frame: the longest power of two the run has filled, up to the
// ring, from a block length that is one; its frames.
unsigned int latest_frame(unsigned int block_frames)
{
    unsigned int n = block_frames;
    while (2 * static_cast<unsigned long>(n) <= std::min<unsigned long>(ring_held, ring_frames))
        n *= 2;
    const unsigned int from = (ring_at + ring_frames - n) % ring_frames;
    const unsigned int first = std::min(n, ring_frames - from);
    int32_t* out = frame.get();
    std::copy(ring.get() + 2 * static_cast<size_t>(from), ring.get() + 2 * static_cast<size_t>(from + first), out);
    std::copy(ring.get(), ring.get() + 2 * static_cast<size_t>(n - first), out + 2 * static_cast<size_t>(first));
    return n;
}

// Once a run, when the full frame finds a fundamental too low for it.
void hint_length(const Measures& m, unsigned int n, int rate)
{
    if (hinted || n != ring_frames)
        return;
    for (int c = 0; c < m.channels; ++c) {
        const double f = m.channel[c].unresolved_hz;
        if (f <= 0)
            continue;
        hinted = true;
        const double needed = Measurement::min_components * static_cast<double>(rate) / f;
        long length = 128;
        while (length < needed)
            length *= 2;
        if (length <= 262144)
            std::fprintf(stderr, "hint: a fundamental near %.0f Hz needs a measurementLength of %ld frames\n", f, length);
        else
            std::fprintf(stderr, "hint: a fundamental near %.0f Hz is below what the longest measurementLength, "
                                 "262144 frames, measures\n", f);
        return;
    }
}

MeasurementSettings settings_of(const AnalysedLevels& a)
{
    MeasurementSettings s;
    s.stereo = app_resources.stereo;
    s.averaging = a.averaging;
    s.harmonics = app_resources.harmonics;
    s.peak_search = a.peak_search;
    if (s.peak_search) {
        s.first_component = a.first_marked;
        s.last_component = a.last_marked;
    }
    return s;
}

bool log_wanted()
{
    return app_resources.measurementlog && *app_resources.measurementlog;
}

// The frames of the stream between the last block the analysers got and
// this one, which arrived at now: the blocks they missed (failed, or read
// for the scope alone), or the time between beyond this block's own when
// that is longer (a stall, a stop).
double frames_missed(const Block& b, int last, double now)
{
    const double skipped = b.count > last ? static_cast<double>(b.count - last - 1) * b.frames : 0;
    const double by_clock = (now - last_arrival) * b.inputs.rate - b.frames;
    return std::max({0.0, skipped, by_clock});
}

} // namespace

void measure_block(const Block& b)
{
    const int32_t* block = b.samples;
    const int count = b.count;
    const BlockInputs& in = b.inputs;
    const bool start = count != last_count + 1;
    const double now = monotonic_seconds();
    stream_frames = stream_frames < 0 ? b.frames
                  : stream_frames + b.frames + (start ? frames_missed(b, last_count, now) : 0);
    last_arrival = now;
    last_count = count;
    run_block = start ? 0 : run_block + 1;
    if (start && log_wanted() && !log_opened) {
        log_opened = true;
        measurement_log.open(app_resources.measurementlog);
    }
    if (start)
        size_ring(b.frames);
    keep_block(block, b.frames);
    MeasurementSettings s = settings_of(*b.levels);
    last_settings = s;
    last_rate = in.rate;
    last_bits = in.bits;
    const bool window = measurements_window_open();
    if (!window && !measurement_log.active())
        return;

    const long every = std::max(1L, std::lrint(in.blocks_per_second / 4.0));
    const bool update = run_block % every == 0;
    // A frame of the block itself adds every block to the means; a longer
    // frame only the updates', its averaging in updates.
    const bool own_frame = ring_frames == b.frames;
    const long step = own_frame ? 1 : every;
    if (!update && (s.averaging <= 1 || !own_frame))
        return;     // only the updates' blocks count
    s.averaging = std::max(1, static_cast<int>(std::lrint(s.averaging / static_cast<double>(step))));
    const unsigned int n = latest_frame(b.frames);
    measurement.setup(n);
    // The means start afresh with a run, with a new length and after any
    // frame they missed.
    const bool restart = in.first_block || start || last_measured != count - step || n != last_length;
    measurement.add_block(frame.get(), in, s, restart);
    last_measured = count;
    last_length = n;
    if (!update)
        return;

    measurement.evaluate(frame.get(), in, s, measures);
    hint_length(measures, n, in.rate);
    measures_time = stream_frames / in.rate;
    measurement_log.write(measures_time, measures, b.levels->scale.calibration_db);
    if (window)
        show_measures(measures);
}

const Measures& current_measures()
{
    return measures;
}

bool write_measurements_csv(std::FILE* f, const void*)
{
    std::fputs(measurement_csv_header, f);
    return write_measurement_lines(f, measures_time, measures, shown_levels().calibration_db);
}

bool measurements_export_part(ExportPart& part)
{
    part.suffix = "-measurements.csv";
    part.what = "measurements";
    part.write_csv = write_measurements_csv;
    return true;
}

bool measured_fundamental_dbfs(double& level)
{
    if (!ring || ring_held == 0)
        return false;
    // A measurement of its own, so the window's means go on undisturbed.
    static Measurement latest;
    const unsigned int n = latest_frame(std::min<unsigned int>(128, ring_frames));
    latest.setup(n);
    BlockInputs in{};
    in.rate = last_rate;
    in.bits = last_bits;
    MeasurementSettings s = last_settings;
    s.averaging = 1;
    Measures m;
    latest.add_block(frame.get(), in, s, true);
    latest.evaluate(frame.get(), in, s, m);
    if (!m.channel[0].has_fundamental)
        return false;
    level = m.channel[0].level_dbfs;
    return true;
}

bool measurements_take_blocks()
{
    return true;
}
