// The measurements as text: the lines of the log and of the exported CSV,
// the rows of the readout window, and the log itself. Standard library only
// (and POSIX to open the log).
//
// A CSV line: time_s,channel,rms_dbfs,peak_dbfs,frequency_hz,level_db,
// thd_pct,thdn_pct,snr_db,sinad_db,correlation with "%.3f" for the time,
// dB and Hz, "%.5f" for percentages and "%.4f" for the correlation; the
// fundamental's fields are empty when there is none, the correlation in
// mono and when a channel is not sounding (below -120 dBFS at 16 bits,
// -216 at 32). level_db is the fundamental's
// level plus the calibration; rms and peak are always dBFS. Then
// dc_pct,crest_db,enob_bits,balance_db,phase_deg ("%.3f" for DC and phase,
// "%.2f" else), empty where the window shows "-": crest when not sounding,
// ENOB without a fundamental, balance and phase in mono (the pair's values
// on both lines).
#pragma once

#include "measurements/Measurement.h"

#include <cstddef>
#include <cstdio>
#include <memory>

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

// The log of the measurements: a file truncated when it is opened, or
// standard output for "-"; its header, then one update's lines at a time.
// No write ever waits: what the reader cannot take yet is queued (at most
// log_queue_bytes) and sent with the next updates; a reader that takes
// nothing for log_reader_deadline seconds while some is queued, or falls
// that far behind, drops the log like a failed write. Only whole rows
// reach a regular file: a failed write cuts it back to its last one.
constexpr std::size_t log_queue_bytes = 1 << 20;
constexpr double log_reader_deadline = 2.5;     // seconds
class MeasurementLog {
public:
    ~MeasurementLog() { close(); }
    // False after one "error: " line; the log is then off.
    bool open(const char* path);
    // Sends what is queued, waiting for the reader no longer than the
    // deadline allows, and closes the log.
    void close();
    bool active() const { return fd_ >= 0; }
    // One update; a failed write gives one "error: " line and closes the log.
    void write(double time_s, const Measures& m, double calibration_db);

private:
    // The text of the lines into the queue; false when it is full.
    bool queue_text(const char* text, std::size_t size);
    // Writes what the reader takes now; false when a write failed.
    bool send();
    // Bytes wait, and the reader has taken none for the deadline.
    bool reader_stuck() const;
    // One "error: " line with the reason; cuts a regular file back to its
    // last whole row and closes the log.
    // reason null: the error of the last call.
    void fail(const char* reason);
    static const char* stuck_reason();
    void release();

    int fd_ = -1;
    bool own_fd_ = false;           // not standard output's
    bool regular_ = false;          // a regular file, which can be cut back
    long long offset_ = 0;          // bytes of the file written, where the next one goes
    long long whole_end_ = 0;       // the file's end after its last whole row
    std::unique_ptr<char[]> queue_; // log_queue_bytes, the bytes in [head_, tail_) still to send
    std::size_t head_ = 0, tail_ = 0;
    double waiting_since_ = 0;      // monotonic seconds of the last progress while bytes wait
    std::FILE* lines_ = nullptr;    // one update's lines, formatted into lines_text_
    char lines_text_[4096];
    const char* path_ = nullptr;    // borrowed from the settings
};
