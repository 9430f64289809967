// One spectrum display: per-block levels in dB of every frequency component,
// their bars, the grid and the peak search between two markers.
//
// n = Sampler::length frames per block, num_fft = n/2 + 1 components;
// component k lies at k * rate / n Hz. Levels are dB within
// [lowerdb, upperdb]; rows run from upperdb (0) to lowerdb (height - 1).
#pragma once

#include "analyser/AnalyserPens.h"
#include "analyser/Readings.h"
#include "common/BlockInputs.h"

#include <X11/Xlib.h>
#include <cstdint>
#include <memory>
#include <vector>

class Analyser {
public:
    enum Channel { Mono = 0, Left = 1, Right = 2 };

    Display* display;           // borrowed from the drawing area
    Window window;
    double alpha;               // Gaussian window parameter
    double decay;               // dB per second
    bool peak_search;
    uint16_t markers[2];        // screen columns, markers[0] <= markers[1] < width
    bool initialised;           // first expose seen; everything below exists
    bool has_block = false;     // levels come from at least one block
    unsigned int width;         // pixels
    unsigned int height;        // pixels
    GC gc;                      // the background colour's context of pens
    AnalyserPens pens;          // a context per colour, with the current clip
    int font_width;             // grid font cell, pixels
    int font_height;
    // Owned arrays: the tables are rebuilt on resize, the rest allocated
    // once by setup_arrays; none per block.
    std::unique_ptr<int[]> sx2fc_table;     // width entries: column -> component
    std::unique_ptr<int[]> fc2sx_table;     // num_fft entries: component -> column
    unsigned int num_fft;                   // n/2 + 1
    std::unique_ptr<double[]> fft_buf;      // n: windowed input, then the packed spectrum
    std::unique_ptr<double[]> level;        // num_fft levels, dB
    std::unique_ptr<int16_t[]> bar_y;       // num_fft rows of the bar tops
    std::unique_ptr<int16_t[]> old_bar_y;   // the bar tops before the last block
    std::unique_ptr<double[]> gauss;        // n window values, mean 1
    double peak_freq;           // Hz of the held peak
    double peak_level;          // dB of the held peak
    int peak_hold;              // blocks since the held peak was last reset
    int16_t label_x;            // peak label as last drawn
    int16_t label_y;            // its baseline
    char label[64];
    // Measuring options, the same for both analysers.
    int averaging;              // blocks of exponential power averaging, 1 = off
    bool restart_averaging;     // the next block sets the means
    bool log_scale;             // columns on a logarithmic frequency axis
    bool show_peak_level;       // the peak label gives the level too
    std::unique_ptr<double[]> mean_power;   // num_fft averaged powers
    // Logarithmic axis only, rebuilt with the maps: the components of each
    // column (first, last) and each column's bar top before and after a block.
    std::unique_ptr<int[]> column_first;
    std::unique_ptr<int[]> column_last;
    std::unique_ptr<int16_t[]> column_y;
    std::unique_ptr<int16_t[]> old_column_y;
    // Readings in dBFS at any block length (off: the display as it always
    // was). With it the linear axis has columns too, each its components'
    // highest bar.
    bool dbfs;
    // num_fft: this block's dB after averaging, before decay and clamping
    // (-inf for no power); the spectrogram shows them.
    std::unique_ptr<double[]> raw_level;
    double peak_read_freq;      // the held peak interpolated between components, Hz
    double peak_read_level;     // and its level, dBFS
    // The calibration and unit of the levels shown in dBFS mode, the same
    // for both analysers.
    LevelScale level_scale;
    // Freeze: no block is processed; the next one after it starts afresh.
    bool frozen;
    bool restart_levels;
    // Reference trace: levels in dB per component (NaN where it has none),
    // drawn as one polyline over each run of columns with a level.
    bool reference_shown;
    unsigned long reference_pixel;
    std::unique_ptr<double[]> reference;    // num_fft
    std::unique_ptr<XPoint[]> reference_points;   // width: each column's point of the trace
    // Drawing buffers, sized with the window: a segment per column, and the
    // grid's lines in drawing order (kept between blocks).
    struct GridLine {
        enum Label { Hz, LogHz, Db };
        int16_t at;             // column of a frequency line, row of a level line
        bool vertical;
        bool major;
        bool drawn;             // the 0 Hz line shows its label only
        Label label;
        double value;           // Hz or dB
        // The label, when the grid is drawn with labels: its text and the
        // start of its baseline.
        char text[16];
        int length;
        int text_x, text_y;
    };
    std::unique_ptr<XSegment[]> segments;
    unsigned int segment_capacity;
    std::vector<GridLine> grid_lines;

    Analyser();
    Analyser(const Analyser&) = delete;
    Analyser& operator=(const Analyser&) = delete;

    // Per block (computation). process_block takes the block's inputs
    // from block_inputs; the computation takes them as a parameter.
    bool process_block(const int32_t* block, Channel channel, bool draw);
    void set_alpha(double alpha);
    void set_decay(double decay);
    void set_averaging(int blocks);
    void set_log_scale(bool on);        // redraws the whole window
    void set_peak_level(bool on);
    void set_dbfs(bool on);             // redraws the whole window
    void set_frozen(bool on);
    // The reference: the levels shown now, levels per component (num_fft),
    // or none; each redraws the whole window.
    void store_reference();
    void set_reference(const double* levels);
    void clear_reference();
    // A level in dB as shown to the user and the unit it is shown in: in
    // dBFS mode plus level_scale.calibration, in level_scale.unit.
    double shown_level(double d) const;
    const char* level_unit() const;
    // The peak the user reads: in dBFS mode interpolated, else the held one.
    void read_peak(double& f, double& d) const;
    void compute_spectrum(const int32_t* block, Channel channel, const BlockInputs& in);
    void load_block(const int32_t* block, Channel channel, const BlockInputs& in);
    void compute_gauss();
    // Allocates the arrays for the current Sampler::length and sets every
    // level to lowerdb: the part of init that needs no display.
    void setup_arrays();

    // Coordinate maps. The one-argument forms of fc2f and db2sy take the
    // rate and the level range from the sampler and the settings.
    int f2fc(double f) const;
    int fc2sx(unsigned int fc) const;
    int sx2fc(unsigned int sx) const;
    double fc2f(unsigned int fc) const;
    double fc2f(unsigned int fc, int rate) const;
    int16_t db2sy(double d) const;
    int16_t db2sy(double d, float upperdb, float lowerdb) const;
    void build_maps();
    bool logarithmic() const;           // log_scale and a usable log axis
    bool columned() const;              // bars per column from the column tables
    double axis_half_rate(int rate) const;  // Hz; exact in dBFS mode
    void update_columns();              // bar tops of the log columns

    // Components searched for the peak: those of the columns between the markers.
    int first_marked_component() const;
    int last_marked_component() const;

    // Display.
    bool init(Display* display, Window window);
    void resize(bool redraw);
    void draw(XRectangle rect, bool full);
    void draw_grid(bool labels);
    void draw_columns(int first, int end, bool full);
    void collect_grid(bool labels);
    void collect_log_grid();
    void lay_out_label(GridLine& line) const;
    void draw_grid_in_order(bool labels);
    bool draw_grid_grouped();
    bool labels_apart() const;
    void draw_labels_grouped();
    void draw_segments(AnalyserPens::Colour colour, unsigned int count);
    void size_buffers();
    void update_reference_points();
    void draw_reference(int first, int end, bool full);
    double marker_frequency(unsigned int sx) const;
    uint16_t marker_column(double f) const;

    // Peak search.
    void set_peak_search(bool on);
    void move_marker(int16_t x);
    void update_peak(bool reset);   // between blocks: the settings' inputs
    void update_peak(bool reset, const BlockInputs& in);
    void draw_peak_label(bool show);
    void write_reading_label();
    void keep_label_inside(int length);
    unsigned int block_length() const { return num_fft >= 1 ? 2 * (num_fft - 1) : 0; }
};

extern Analyser analysers[2];
