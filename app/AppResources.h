// The settings: one table with a row per application resource of the class
// Zentaphon. The settings record, the toolkit's resource table, the
// fallback lines of the settings, the start-up checks and where each
// setting goes at start-up are all made from it.
#pragma once

#include <X11/Intrinsic.h>
#include <X11/StringDefs.h>
#include <X11/Xlib.h>

// ROW(field, resource name, class, type, default, check, fallback, applies)
//
//   field     its name in AppResources
//   type      Int, Float, String, Boolean, Pixel or FontStruct: the field's
//             type and the toolkit's representation (setting_type below)
//   default   a number for Int and Boolean, else the text the toolkit
//             converts like any resource value
//   check     made at start-up, after the number check that every Int and
//             Float row has: unchecked; range(low, high); choices(a, b, ...)
//             in any case, up to eight; above(other setting); not_empty (an
//             empty text takes the default, silently); power_of_two; or
//             both(one, other), the second made once the first has passed.
//             A failed check says so in one "error: " line and the setting
//             takes its default.
//   fallback  fallback(position, line): the row's line among
//             fallback_resources, from 1; no_fallback for none
//   applies   read_where_used (its units read the field), or what takes the
//             value at start-up (after the control window is built)
//
// A setting is one row here, its use, and its entry in the manual page.
#define ZEN_SETTINGS(ROW)                                                                          \
    ROW(samplerate, "samplerate", "SampleRate", Int, 44100, unchecked,                             \
        fallback(1, "Zentaphon.SampleRate:\t\t44100"), [](int v) { sampler.rate = v; })           \
    ROW(samplelength, "samplelength", "SampleLength", Int, 2048, unchecked,                        \
        fallback(2, "Zentaphon.SampleLength:\t\t2048"),                                            \
        [](int v) { sampler.length = static_cast<unsigned int>(v); })                             \
    ROW(sampleresolution, "sampleresolution", "SampleResolution", Int, 16, unchecked,              \
        fallback(3, "Zentaphon.SampleResolution:\t16"), [](int v) { sampler.resolution = v; })    \
    ROW(sampledevice, "sampledevice", "SampleDevice", String, "default", unchecked,                \
        fallback(4, "Zentaphon.SampleDevice:\t\tdefault"), [](String v) { sampler.device = v; })  \
    ROW(dcadjust, "dcadjust", "DCAdjust", Boolean, True, unchecked,                                \
        fallback(5, "Zentaphon.DCAdjust:\t\tTrue"), read_where_used)                               \
    ROW(source, "source", "Source", String, "Soundcard", unchecked,                                \
        fallback(6, "Zentaphon.Source:\t\tSoundcard"), select_source)                              \
    ROW(filename, "filename", "Filename", String, "test.cdr", unchecked,                           \
        fallback(7, "Zentaphon.Filename:\t\ttest.wav"), [](String v) { sampler.filename = v; })   \
    ROW(upperdb, "upperdb", "UpperDB", Float, "+10.0", above("lowerdb"),                           \
        fallback(9, "Zentaphon.UpperDB:\t\t+10.0"), read_where_used)                               \
    ROW(lowerdb, "lowerdb", "LowerDB", Float, "-100.0", unchecked,                                 \
        fallback(10, "Zentaphon.LowerDB:\t\t-100.0"), read_where_used)                             \
    ROW(alpha, "alpha", "Alpha", Float, "20.0", range(0, 50),                                      \
        fallback(11, "Zentaphon.Alpha:\t\t20.0"), start_alpha)                                     \
    ROW(decay, "decay", "Decay", Float, "48.0", unchecked,                                         \
        fallback(12, "Zentaphon.Decay:\t\t48.0"), start_decay)                                     \
    ROW(stereo, "stereo", "Stereo", Boolean, True, unchecked,                                      \
        fallback(8, "Zentaphon.Stereo:\t\tTrue"), read_where_used)                                 \
    ROW(zoom, "zoom", "Zoom", Float, "6.0", unchecked,                                             \
        fallback(13, "Zentaphon.Zoom:\t\t\t6.0"), start_zoom)                                      \
    ROW(datacolor, "datacolor", "DataColor", Pixel, "firebrick1", unchecked,                       \
        fallback(14, "Zentaphon.DataColor:\t\tfirebrick1"), read_where_used)                       \
    ROW(backgroundcolor, "backgroundcolor", "BackgroundColor", Pixel, "gray20", unchecked,         \
        fallback(15, "Zentaphon.BackgroundColor:\tgray20"), read_where_used)                       \
    ROW(markercolor, "markercolor", "MarkerColor", Pixel, "yellow", unchecked,                     \
        fallback(16, "Zentaphon.MarkerColor:\t\tyellow"), read_where_used)                         \
    ROW(majorgridcolor, "majorgridcolor", "MajorGridColor", Pixel, "gray60", unchecked,            \
        fallback(17, "Zentaphon.MajorGridColor:\tgray60"), read_where_used)                        \
    ROW(minorgridcolor, "minorgridcolor", "MinorGridColor", Pixel, "gray40", unchecked,            \
        fallback(18, "Zentaphon.MinorGridColor:\tgray40"), read_where_used)                        \
    ROW(gridfont, "gridfont", "GridFont", FontStruct, "fixed", unchecked,                          \
        fallback(19, "Zentaphon.GridFont:\t\tfixed"), read_where_used)                             \
    /* The measuring options; their defaults leave the analyser as it always was. */              \
    ROW(averaging, "averaging", "Averaging", Int, 1, range(1, 1000), no_fallback,                  \
        set_analysers_averaging)                                                                   \
    ROW(frequencyscale, "frequencyScale", "FrequencyScale", String, "linear",                      \
        choices("linear", "log"), no_fallback, set_analysers_frequency_scale)                      \
    ROW(peaklevel, "peakLevel", "PeakLevel", Boolean, False, unchecked, no_fallback,               \
        set_analysers_peak_level)                                                                  \
    ROW(analyserwidth, "analyserWidth", "AnalyserWidth", Int, 0, range(0, 32767), no_fallback,     \
        read_where_used)                                                                           \
    ROW(exportdirectory, "exportDirectory", "ExportDirectory", String, ".", not_empty,              \
        no_fallback, read_where_used)                                                              \
    ROW(errordialog, "errorDialog", "ErrorDialog", Boolean, False, unchecked, no_fallback,         \
        read_where_used)                                                                           \
    /* Readings in dBFS, their calibration and the reference trace's colour. */                  \
    ROW(dbfs, "dbfs", "DBFS", Boolean, False, unchecked, no_fallback, set_analysers_dbfs)          \
    ROW(calibration, "calibration", "Calibration", Float, "0", unchecked, no_fallback,             \
        set_analysers_calibration)                                              \
    ROW(levelunit, "levelUnit", "LevelUnit", String, "dBFS", not_empty, no_fallback,               \
        set_analysers_level_unit)                                                    \
    ROW(referencecolor, "referenceColor", "ReferenceColor", String, "cyan", not_empty,             \
        no_fallback, read_where_used)                                                              \
    /* The transfer function of right against left and its window. */                             \
    ROW(transfer, "transfer", "Transfer", Boolean, False, unchecked, no_fallback, read_where_used) \
    ROW(transferlength, "transferLength", "TransferLength", Int, 16384,                             \
        both(range(2048, 65536), power_of_two), no_fallback, read_where_used)                      \
    ROW(transferaveraging, "transferAveraging", "TransferAveraging", Int, 16, range(0, 1000),      \
        no_fallback, read_where_used)                                                              \
    ROW(transfersmoothing, "transferSmoothing", "TransferSmoothing", Int, 12, range(0, 96),        \
        no_fallback, read_where_used)                                                              \
    ROW(transferdelay, "transferDelay", "TransferDelay", String, "0", unchecked, no_fallback,       \
        read_where_used)                                                                           \
    ROW(coherencethreshold, "coherenceThreshold", "CoherenceThreshold", Float, "0.5",              \
        range(0, 1), no_fallback, read_where_used)                                                 \
    ROW(transferrange, "transferRange", "TransferRange", Int, 24, range(1, 200), no_fallback,      \
        read_where_used)                                                                           \
    /* The measurements: THD's highest harmonic, the window at start-up, the frame, the log. */   \
    ROW(harmonics, "harmonics", "Harmonics", Int, 9, range(2, 100), no_fallback, read_where_used)  \
    ROW(measurements, "measurements", "Measurements", Boolean, False, unchecked, no_fallback,      \
        read_where_used)                                                                           \
    ROW(measurementlength, "measurementLength", "MeasurementLength", Int, 32768,                   \
        both(range(128, 262144), power_of_two), no_fallback, read_where_used)                      \
    ROW(measurementlog, "measurementLog", "MeasurementLog", String, "", unchecked, no_fallback,    \
        read_where_used)                                                                           \
    /* The spectrogram window at start-up (shown after the others), and its colours. */           \
    ROW(spectrogram, "spectrogram", "Spectrogram", Boolean, False, unchecked, no_fallback,         \
        read_where_used)                                                                           \
    ROW(spectrogramcolors, "spectrogramColors", "SpectrogramColors", String, "viridis",            \
        choices("viridis", "gray"), no_fallback, read_where_used)                                \
    /* The signal generator: its window and switch at start-up, signal, output, the sweep. */     \
    ROW(generator, "generator", "Generator", Boolean, False, unchecked, no_fallback,               \
        read_where_used)                                                                           \
    ROW(generatoron, "generatorOn", "GeneratorOn", Boolean, False, unchecked, no_fallback,         \
        read_where_used)                                                                           \
    ROW(generatorsignal, "generatorSignal", "GeneratorSignal", String, "sine",                     \
        choices("sine", "white", "pink", "sweep", "off"), no_fallback, read_where_used)            \
    ROW(generatorfrequency, "generatorFrequency", "GeneratorFrequency", Float, "1000",             \
        range(1, 376320), no_fallback, read_where_used)                                            \
    ROW(generatorlevel, "generatorLevel", "GeneratorLevel", Float, "-20", range(-120, 0),          \
        no_fallback, read_where_used)                                                              \
    ROW(generatorchannels, "generatorChannels", "GeneratorChannels", String, "both",               \
        choices("both", "left", "right", "inverted"), no_fallback, read_where_used)                \
    ROW(generatordevice, "generatorDevice", "GeneratorDevice", String, "", unchecked,              \
        no_fallback, read_where_used)                                                              \
    ROW(generatordither, "generatorDither", "GeneratorDither", Boolean, True, unchecked,           \
        no_fallback, read_where_used)                                                              \
    ROW(sweepstart, "sweepStart", "SweepStart", Float, "20", range(1, 376320), no_fallback,        \
        read_where_used)                                                                           \
    ROW(sweepend, "sweepEnd", "SweepEnd", Float, "20000",                                          \
        both(range(1, 376320), above("sweepStart")), no_fallback, read_where_used)                 \
    ROW(sweeplength, "sweepLength", "SweepLength", Float, "5", range(0.1, 3600), no_fallback,      \
        read_where_used)

// The types of the rows: the field's C++ type and the representation the
// toolkit converts the resource value to.
namespace setting_type {
struct Int { using Field = int; static constexpr const char* representation = "Int"; };
struct Float { using Field = float; static constexpr const char* representation = "Float"; };
struct String { using Field = ::String; static constexpr const char* representation = "String"; };
struct Boolean { using Field = ::Boolean; static constexpr const char* representation = "Boolean"; };
struct Pixel { using Field = ::Pixel; static constexpr const char* representation = "Pixel"; };
struct FontStruct { using Field = XFontStruct*; static constexpr const char* representation = "FontStruct"; };
} // namespace setting_type

// The settings record, filled once at start-up and read-only afterwards.
struct AppResources {
#define ZEN_SETTING_FIELD(field, name, cls, type, ...) setting_type::type::Field field;
    ZEN_SETTINGS(ZEN_SETTING_FIELD)
#undef ZEN_SETTING_FIELD
};

extern AppResources app_resources;

// What a row says about its value.
struct SettingCheck {
    enum Kind { Unchecked, InRange, OneOf, AboveOther, NotEmpty, PowerOfTwo };
    static constexpr int max_choices = 8;
    Kind kind;
    double low, high;            // InRange, both allowed
    const char* choice[max_choices];   // OneOf, the unused ones null
    const char* other;           // AboveOther: the resource name of the lower setting
};

// One row, as the program keeps it.
struct Setting {
    const char* name;            // resource name
    const char* resource_class;
    const char* type;            // "Int", "Float", "String", "Boolean", "Pixel", "FontStruct"
    Cardinal size;               // of the field
    Cardinal offset;             // of the field in AppResources
    bool immediate;              // the default is `value`, else `text`
    long value;
    const char* text;
    SettingCheck check;
    SettingCheck then;           // made once check has passed; Unchecked for none
    int fallback_position;       // from 1; 0: no fallback line
    const char* fallback_line;
};

#define ZEN_SETTING_COUNT(...) +1
constexpr int app_resource_count = 0 ZEN_SETTINGS(ZEN_SETTING_COUNT);
#undef ZEN_SETTING_COUNT
extern const Setting settings[app_resource_count];

// Made from the rows.
extern XtResource app_resource_table[];
extern XrmOptionDescRec option_table[];
constexpr int option_count = 10;
extern String fallback_resources[];   // 59 lines and a null entry
constexpr int fallback_count = 59;

// Reads the settings of the resource table into app_resources from the
// resources of w. A number setting whose value is empty or no number keeps
// its default, with one "error: " line naming the resource and the value
// used; the toolkit's own warning about it is not shown. A Boolean setting
// whose value is no Boolean word keeps its default with such a line too,
// after the toolkit's warning.
void read_app_resources(Widget w);
// The checks of the rows, in the table's order.
void check_app_resources();
