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
    const bool window = measurements_window_open();
    if (!window && !measurement_log.active())
        return;

    const long every = std::max(1L, std::lrint(in.blocks_per_second / 4.0));
    const bool update = run_block % every == 0;
    const MeasurementSettings s = settings_of(*b.levels);
    if (!update && s.averaging <= 1)
        return;     // only the updates' blocks count
    measurement.setup(b.frames);
    // The means start afresh with a run, and after any block they missed.
    const bool restart = in.first_block || start || last_measured != count - 1;
    measurement.add_block(block, in, s, restart);
    last_measured = count;
    if (!update)
        return;

    measurement.evaluate(block, in, s, measures);
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

bool measurements_take_blocks()
{
    return true;
}
