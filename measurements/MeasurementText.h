// The measurements as text: the lines of the log and of the exported CSV,
// the rows of the readout window, and the log itself. Standard library only
// (and POSIX to open the log).
//
// A CSV line: time_s,channel,rms_dbfs,peak_dbfs,frequency_hz,level_db,
// thd_pct,thdn_pct,snr_db,sinad_db,correlation with "%.3f" for the time,
// dB and Hz, "%.5f" for percentages and "%.4f" for the correlation; the
// fundamental's fields are empty when there is none, the correlation in
// mono and when a channel is below -120 dBFS. level_db is the fundamental's
// level plus the calibration; rms and peak are always dBFS. Then
// dc_pct,crest_db,enob_bits,balance_db,phase_deg ("%.3f" for DC and phase,
// "%.2f" else), empty where the window shows "-": crest below -120 dBFS,
// ENOB without a fundamental, balance and phase in mono (the pair's values
// on both lines).
#pragma once

#include "measurements/Measurement.h"

#include <cstddef>
#include <cstdio>

extern const char measurement_csv_header[];    // with its newline

// The CSV lines of one update (left and right, or mono) at time_s seconds.
// False when the stream failed.
bool write_measurement_lines(std::FILE* f, double time_s, const Measures& m, double calibration_db);

// The readout: a header row naming the channels and one row per value, each
// readout_width characters and a NUL, blank-padded, numbers right-aligned
// in fixed widths with their units after them. Levels (rms, peak, the
// fundamental's) are shown plus calibration_db in unit. A missing value is
// "-". Returns the number of rows.
constexpr int readout_width = 50;
constexpr int readout_rows = 17;
int format_readout(const Measures& m, double calibration_db, const char* unit,
                   char rows[readout_rows][readout_width + 1]);

// The log of the measurements: a file truncated at each open, or standard
// output for "-"; its header, then lines flushed as written.
class MeasurementLog {
public:
    ~MeasurementLog() { close(); }
    // False after one "error: " line; the log is then off.
    bool open(const char* path);
    void close();
    bool active() const { return file_ != nullptr; }
    // One update; a failed write gives one "error: " line and closes the log.
    void write(double time_s, const Measures& m, double calibration_db);

private:
    void fail();

    std::FILE* file_ = nullptr;
    const char* path_ = nullptr;    // borrowed from the settings
};
