// The views beyond the analyser and the scope: one row each in `views`,
// which the run control, the start-up, the analyser's menu and keys and
// the export walk. A view lives in its own folder and includes of app/
// only this header and the settings (AppResources.h); what it needs of the
// shell (its dialog, the levels' scale) is declared here.
#pragma once

#include "app/AppResources.h"
#include "app/ViewDialog.h"
#include "common/BlockInputs.h"

#include <X11/Intrinsic.h>
#include <cstdint>
#include <cstdio>
#include <memory>

// The levels' scale as the user reads it: the dB added to a level in dBFS
// and its unit; in dBFS mode the calibration's, else 0 dB and "dBFS".
struct ShownLevels {
    double calibration_db;
    const char* unit;
};

// What the analysers made of a block, handed to the views fed after them.
struct AnalysedLevels {
    // Per shown area (left, right; or the mono sum in [0]): num components
    // of dB after averaging, before decay and clamping (-inf for no
    // power), or null where that analyser took no block (frozen, not yet
    // drawn).
    const double* raw_db[2];
    unsigned int components;
    unsigned int areas;             // 2 in stereo, 1 in mono
    int averaging;                  // blocks of power averaging, 1 = off
    // The peak search's range in components, when it is on.
    bool peak_search;
    int first_marked, last_marked;
    ShownLevels scale;
};

// One block as the run control hands it to each open view.
struct Block {
    const int32_t* samples;         // frames interleaved pairs (left, right), 32-bit (at resolution 16: 16-bit samples << 16)
    unsigned int frames;
    int count;                      // the sampler's block number, 0 for the first of a start
    const BlockInputs& inputs;
    const AnalysedLevels* levels;   // null for views fed every block
};

// A view's part of the analyser's export while it is open: a CSV written
// by write_csv, or a picture of width x height RGB bytes (3 a pixel, rows
// top down). The export names it in the line "WHAT exported to NAME".
struct ExportPart {
    const char* suffix;             // after the export's base name, e.g. "-measurements.csv"
    const char* what;
    bool (*write_csv)(std::FILE* f, const void* unused);   // null for a picture
    unsigned int width, height;
    std::unique_ptr<unsigned char[]> rgb;
};

struct View {
    enum Feed {
        AfterAnalysers,     // the blocks the analysers take, after them, with their levels
        EveryBlock,         // every block read, whichever view runs
    };
    const char* name;                       // its dialog's name
    Boolean AppResources::* opening;        // the setting that opens it at start-up (null: none)
    KeySym key;                             // in the analyser's areas
    const char* menu_widget;                // its entry in the analyser's menu: widget name,
    const char* menu_label;                 //   label,
    bool menu_gadget;                       //   a gadget rather than a widget
    void (*show)();                         // opens its window, or raises it
    bool (*open)();                         // its window is open (and its part exported)
    bool (*takes_blocks)();                 // it is fed now; null: while open
    Feed feed;
    void (*take_block)(const Block& block);
    // Its part of the analyser's export, or null; false after one "error: "
    // line, and the whole export is not made.
    bool (*export_part)(ExportPart& part);
    void (*stop)();                         // sampling has stopped; or null
    void (*set_log_scale)(bool on);         // the analysers' frequency axis changed; or null
    void (*apply_settings)();               // at start-up, before any is shown; or null
};

extern const View views[];
extern const int view_count;

// The levels' scale now, for a view's text outside take_block.
ShownLevels shown_levels();
// The fundamental's level in dBFS of the left channel (or the mono mix) in
// the latest frame the measurements keep, as they define it: its line's
// summed power. False before any block or without a fundamental.
bool measured_fundamental_dbfs(double& level);
// A view's dialog as create_view_dialog makes it, with the spectrum icon.
Widget create_view_window(const char* name, int* visible, void (*closed)());
// The parent of the views' dialogs (the main window).
Widget views_parent();
