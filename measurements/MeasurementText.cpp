// The measurements as CSV lines, as the readout's rows, and the log.
#include "measurements/MeasurementText.h"

#include "common/Clock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

const char measurement_csv_header[] =
    "time_s,channel,rms_dbfs,peak_dbfs,frequency_hz,level_db,thd_pct,thdn_pct,snr_db,sinad_db,"
    "correlation,dc_pct,crest_db,enob_bits,balance_db,phase_deg\n";

namespace {

void line_of(std::FILE* f, double time_s, const char* name, const ChannelMeasures& c,
             const Measures& m, double calibration_db)
{
    std::fprintf(f, "%.3f,%s,%.3f,%.3f,", time_s, name, c.rms_dbfs, c.peak_dbfs);
    if (c.has_fundamental)
        std::fprintf(f, "%.3f,%.3f,%.5f,%.5f,%.3f,%.3f,", c.frequency_hz, c.level_dbfs + calibration_db,
                     c.thd_percent, c.thdn_percent, c.snr_db, c.sinad_db);
    else
        std::fputs(",,,,,,", f);
    if (m.has_correlation)
        std::fprintf(f, "%.4f", m.correlation);
    std::fprintf(f, ",%.3f,", c.dc_percent);
    if (c.sounding)
        std::fprintf(f, "%.2f", c.crest_db);
    std::fputc(',', f);
    if (c.has_fundamental)
        std::fprintf(f, "%.2f", c.enob_bits);
    std::fputc(',', f);
    const bool stereo = m.channels == 2;
    if (stereo && m.channel[0].sounding && m.channel[1].sounding)
        std::fprintf(f, "%.2f", m.balance_db);
    std::fputc(',', f);
    if (stereo && m.has_phase)
        std::fprintf(f, "%.3f", m.phase_deg);
    std::fputc('\n', f);
}

// Label column and, per channel, a value field and a unit field.
constexpr int label_width = 14;
constexpr int value_width = 10;
constexpr int unit_width = 7;

class Rows {
public:
    Rows(char (*rows)[readout_width + 1], int channels) : rows_(rows), channels_(channels) {}

    // A new row with this label; its channels' fields follow with value().
    void row(const char* label)
    {
        line_ = rows_[count_++];
        std::memset(line_, ' ', readout_width);
        line_[readout_width] = '\0';
        put(0, label, label_width, false);
        column_ = 0;
    }
    // The next channel's field: the number formatted, or "-" when absent.
    void value(bool present, const char* format, double v, const char* unit)
    {
        char text[64] = "-";
        if (present)
            std::snprintf(text, sizeof text, format, v);
        field(text, present ? unit : "");
    }
    // The next channel's field holds text.
    void field(const char* text, const char* unit)
    {
        const int at = label_width + column_ * (value_width + 1 + unit_width);
        put(at, text, value_width, true);
        put(at + value_width + 1, unit, unit_width, false);
        ++column_;
    }
    // The same value for every channel.
    void each(bool (*present)(const ChannelMeasures&), const char* format,
              double ChannelMeasures::*field, const char* unit, const Measures& m, double offset = 0)
    {
        for (int c = 0; c < channels_; ++c)
            value(present(m.channel[c]), format, m.channel[c].*field + offset, unit);
    }
    int count() const { return count_; }

private:
    void put(int at, const char* text, int width, bool right)
    {
        int len = static_cast<int>(std::strlen(text));
        if (len > width)
            len = width;
        std::memcpy(line_ + at + (right ? width - len : 0), text, static_cast<size_t>(len));
    }

    char (*rows_)[readout_width + 1];
    int channels_;
    char* line_ = nullptr;
    int count_ = 0;
    int column_ = 0;
};

bool nothing(const ChannelMeasures&)
{
    return false;
}

bool always(const ChannelMeasures&)
{
    return true;
}

bool sounding(const ChannelMeasures& c)
{
    return c.sounding;
}

bool fundamental(const ChannelMeasures& c)
{
    return c.has_fundamental;
}

} // namespace

bool write_measurement_lines(std::FILE* f, double time_s, const Measures& m, double calibration_db)
{
    if (!m.measured)
        return !std::ferror(f);
    if (m.channels == 1)
        line_of(f, time_s, "mono", m.channel[0], m, calibration_db);
    for (int c = 0; m.channels == 2 && c < 2; ++c)
        line_of(f, time_s, c == 0 ? "left" : "right", m.channel[c], m, calibration_db);
    return !std::ferror(f);
}

int format_readout(const Measures& m, double calibration_db, const char* unit,
                   char rows[readout_rows][readout_width + 1])
{
    const int channels = m.channels == 2 ? 2 : 1;
    Rows r(rows, channels);
    r.row("");
    // The header names each column over its value field.
    const char* names[2] = {channels == 2 ? "Left" : "Mono", "Right"};
    for (int c = 0; c < channels; ++c)
        r.field(names[c], "");
    const bool measured = m.measured;
    auto present = [&](bool (*p)(const ChannelMeasures&)) { return measured ? p : nothing; };
    using C = ChannelMeasures;
    r.row("RMS");
    r.each(present(sounding), "%.2f", &C::rms_dbfs, unit, m, calibration_db);
    r.row("Peak");
    r.each(present(sounding), "%.2f", &C::peak_dbfs, unit, m, calibration_db);
    r.row("Crest factor");
    r.each(present(sounding), "%.2f", &C::crest_db, "dB", m);
    r.row("DC offset");
    r.each(present(always), "%.3f", &C::dc_percent, "%FS", m);
    r.row("Frequency");
    r.each(present(fundamental), "%.2f", &C::frequency_hz, "Hz", m);
    r.row("Level");
    r.each(present(fundamental), "%.2f", &C::level_dbfs, unit, m, calibration_db);
    r.row("THD");
    r.each(present(fundamental), "%.4f", &C::thd_percent, "%", m);
    r.row("");
    r.each(present(fundamental), "%.2f", &C::thd_db, "dB", m);
    r.row("THD+N");
    r.each(present(fundamental), "%.4f", &C::thdn_percent, "%", m);
    r.row("");
    r.each(present(fundamental), "%.2f", &C::thdn_db, "dB", m);
    r.row("SNR");
    r.each(present(fundamental), "%.2f", &C::snr_db, "dB", m);
    r.row("SINAD");
    r.each(present(fundamental), "%.2f", &C::sinad_db, "dB", m);
    r.row("ENOB");
    r.each(present(fundamental), "%.2f", &C::enob_bits, "bits", m);
    if (channels == 2) {
        const bool both = measured && sounding(m.channel[0]) && sounding(m.channel[1]);
        r.row("Correlation");
        r.value(measured && m.has_correlation, "%+.3f", m.correlation, "");
        r.row("Balance L-R");
        r.value(both, "%+.2f", m.balance_db, "dB");
        r.row("Phase R-L");
        r.value(measured && m.has_phase, "%+.1f", m.phase_deg, "deg");
    }
    return r.count();
}

bool MeasurementLog::open(const char* path)
{
    close();
    path_ = path;
    int fd = 1;
    if (std::strcmp(path, "-") != 0) {
        // Without blocking: a FIFO nobody reads fails here rather than
        // holding the program in open(), and a full pipe refuses a write.
        fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0) {
            std::fprintf(stderr, "error: cannot write the measurement log %s: %s\n", path,
                         std::strerror(errno));
            return false;
        }
    }
    queue_.reset(new (std::nothrow) char[log_queue_bytes]);
    lines_ = fmemopen(lines_text_, sizeof lines_text_, "w");
    if (!queue_ || !lines_) {
        std::fprintf(stderr, "error: cannot write the measurement log %s: %s\n", path,
                     std::strerror(ENOMEM));
        if (std::strcmp(path, "-") != 0)
            ::close(fd);
        release();
        return false;
    }
    fd_ = fd;
    own_fd_ = std::strcmp(path, "-") != 0;
    struct stat st;
    regular_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    offset_ = regular_ ? lseek(fd_, 0, SEEK_CUR) : 0;
    whole_end_ = offset_;
    head_ = tail_ = 0;
    // A reader that goes away, or a file size limit, makes a write fail,
    // not the program end.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    queue_text(measurement_csv_header, std::strlen(measurement_csv_header));
    errno = 0;
    if (!send()) {
        fail(nullptr);
        return false;
    }
    return true;
}

void MeasurementLog::close()
{
    while (fd_ >= 0 && head_ < tail_) {
        const double left = waiting_since_ + log_reader_deadline - monotonic_seconds();
        pollfd p{fd_, POLLOUT, 0};
        errno = 0;
        if (left <= 0 || (poll(&p, 1, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR)) {
            fail(left <= 0 ? stuck_reason() : nullptr);
            return;
        }
        if (!send()) {
            fail(nullptr);
            return;
        }
    }
    release();
}

void MeasurementLog::write(double time_s, const Measures& m, double calibration_db)
{
    if (fd_ < 0)
        return;
    std::rewind(lines_);
    const bool formatted = write_measurement_lines(lines_, time_s, m, calibration_db) && std::fflush(lines_) == 0;
    const long size = std::ftell(lines_);
    if (!formatted || size <= 0 || size >= static_cast<long>(sizeof lines_text_) - 1) {
        fail("a row too long");
        return;
    }
    if (!queue_text(lines_text_, static_cast<std::size_t>(size))) {
        fail("its reader is 1 MB behind");
        return;
    }
    errno = 0;
    if (!send())
        fail(nullptr);
    else if (reader_stuck())
        fail(stuck_reason());
}

bool MeasurementLog::queue_text(const char* text, std::size_t size)
{
    if (head_ == tail_) {
        head_ = tail_ = 0;
        waiting_since_ = monotonic_seconds();
    }
    if (tail_ + size > log_queue_bytes) {
        std::memmove(queue_.get(), queue_.get() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    if (tail_ + size > log_queue_bytes)
        return false;
    std::memcpy(queue_.get() + tail_, text, size);
    tail_ += size;
    return true;
}

bool MeasurementLog::send()
{
    while (head_ < tail_) {
        // A pipe with room for PIPE_BUF bytes takes that many without
        // waiting, also on a descriptor that blocks (standard output).
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 0) <= 0)
            return true;
        const std::size_t n = std::min<std::size_t>(tail_ - head_, PIPE_BUF);
        const ssize_t done = ::write(fd_, queue_.get() + head_, n);
        if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        if (done <= 0)
            return false;
        const char* from = queue_.get() + head_;
        if (const void* nl = memrchr(from, '\n', static_cast<std::size_t>(done)))
            whole_end_ = offset_ + (static_cast<const char*>(nl) - from) + 1;
        offset_ += done;
        head_ += static_cast<std::size_t>(done);
        waiting_since_ = monotonic_seconds();
    }
    return true;
}

bool MeasurementLog::reader_stuck() const
{
    return head_ < tail_ && monotonic_seconds() - waiting_since_ >= log_reader_deadline;
}

const char* MeasurementLog::stuck_reason()
{
    static char text[64];
    std::snprintf(text, sizeof text, "its reader took nothing for %g ms", log_reader_deadline * 1000);
    return text;
}

void MeasurementLog::fail(const char* reason)
{
    const int e = errno;
    if (!reason)
        reason = e ? std::strerror(e) : "write failed";
    std::fprintf(stderr, "error: cannot write the measurement log %s: %s\n", path_, reason);
    if (regular_ && offset_ != whole_end_ && ftruncate(fd_, whole_end_) != 0)
        std::fprintf(stderr, "error: cannot cut the measurement log %s back to its last whole row: %s\n", path_,
                     std::strerror(errno));
    release();
}

void MeasurementLog::release()
{
    if (fd_ >= 0 && own_fd_)
        ::close(fd_);
    fd_ = -1;
    if (lines_)
        std::fclose(lines_);
    lines_ = nullptr;
    queue_.reset();
    head_ = tail_ = 0;
}
