// The settings record: one field per application resource of the class
// Zentaphon, filled once at start-up and read-only afterwards.
#pragma once

#include <X11/Intrinsic.h>
#include <X11/Xlib.h>

struct AppResources {
    int samplerate;        // Hz
    int samplelength;      // frames per block
    int sampleresolution;  // bits per sample
    String sampledevice;
    Boolean dcadjust;
    String source;         // "Soundcard" in any case, or anything else for the disk file
    String filename;
    float upperdb;         // dB at the top of the analyser
    float lowerdb;         // dB at the bottom
    float alpha;           // Gaussian window parameter
    float decay;           // dB per second
    Boolean stereo;
    float zoom;            // scope zoom, dB
    Pixel datacolor;
    Pixel backgroundcolor;
    Pixel markercolor;
    Pixel majorgridcolor;
    Pixel minorgridcolor;
    XFontStruct* gridfont;
    // Measuring options; their defaults leave the analyser as it always was.
    int averaging;         // blocks of power averaging, 1 = off
    String frequencyscale; // "linear" or "log"
    Boolean peaklevel;     // the peak label gives the level too
    String exportdirectory;
    Boolean errordialog;   // "error: " lines also shown in a dialog
    // Measurements.
    int harmonics;         // highest harmonic counted in THD
    Boolean measurements;  // the "Measurements" window at start-up
    String measurementlog; // CSV log: empty off, "-" standard output
};

extern AppResources app_resources;

extern XtResource app_resource_table[];
constexpr int app_resource_count = 27;
extern XrmOptionDescRec option_table[];
constexpr int option_count = 10;
extern String fallback_resources[];   // 59 lines and a null entry
constexpr int fallback_count = 59;

// Reads the settings of the resource table into app_resources from the
// resources of w. A number setting whose value is empty or no number keeps
// its default, with one "error: " line naming the resource and the value
// used; the toolkit's own warning about it is not shown.
void read_app_resources(Widget w);
