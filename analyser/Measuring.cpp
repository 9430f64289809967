// The measurements of the running analyser: when a block is measured, the
// log, the window's updates and the export.
#include "analyser/Measuring.h"

#include "analyser/Analyser.h"
#include "analyser/MeasurementText.h"
#include "analyser/MeasurementsWindow.h"
#include "analyser/Readings.h"
#include "app/AppResources.h"
#include "sampler/Sampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

Measurement measurement;
MeasurementLog measurement_log;
Measures measures;
double measures_time = 0;   // seconds of the analyser's run up to the measured block's end

int last_count = -2;        // the sampler's number of the last block the analysers got
long run_block = 0;         // blocks since the analyser's run began, 0 for its first
int last_measured = -2;     // the last block added to the averages

MeasurementSettings settings_now()
{
    MeasurementSettings s;
    const Analyser& a = analysers[0];
    s.stereo = app_resources.stereo;
    s.averaging = a.averaging;
    s.harmonics = app_resources.harmonics;
    s.peak_search = a.peak_search && a.initialised;
    if (s.peak_search) {
        s.first_component = a.first_marked_component();
        s.last_component = a.last_marked_component();
    }
    return s;
}

bool log_wanted()
{
    return app_resources.measurementlog && *app_resources.measurementlog;
}

} // namespace

ShownLevels shown_levels()
{
    if (!analysers[0].dbfs)
        return ShownLevels{0.0, "dBFS"};
    return ShownLevels{level_scale.calibration, level_scale.unit.c_str()};
}

void measure_block(const int32_t* block, int count, const BlockInputs& in)
{
    const bool start = count != last_count + 1;
    last_count = count;
    run_block = start ? 0 : run_block + 1;
    if (start && log_wanted())
        measurement_log.open(app_resources.measurementlog);
    const bool window = measurements_window_open();
    if (!window && !measurement_log.active())
        return;

    const long every = std::max(1L, std::lrint(in.blocks_per_second / 4.0));
    const bool update = run_block % every == 0;
    const MeasurementSettings s = settings_now();
    if (!update && s.averaging <= 1)
        return;     // only the updates' blocks count
    measurement.setup(sampler.length);
    // The means start afresh with a run, and after any block they missed.
    const bool restart = in.first_block || start || last_measured != count - 1;
    measurement.add_block(block, in, s, restart);
    last_measured = count;
    if (!update)
        return;

    measurement.evaluate(block, in, s, measures);
    measures_time = static_cast<double>(run_block + 1) * sampler.length / in.rate;
    measurement_log.write(measures_time, measures, shown_levels().calibration_db);
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
