// The settings tables: resources, command-line options and fallback lines.
#include "app/AppResources.h"

#include <X11/StringDefs.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

AppResources app_resources;

#define S(text) const_cast<char*>(text)
#define FIELD(f) static_cast<Cardinal>(sizeof(AppResources::f)), static_cast<Cardinal>(offsetof(AppResources, f))
#define IMMEDIATE(v) S(XtRImmediate), reinterpret_cast<XtPointer>(static_cast<long>(v))
#define STRING(v) S(XtRString), reinterpret_cast<XtPointer>(S(v))

XtResource app_resource_table[] = {
    {S("samplerate"), S("SampleRate"), S(XtRInt), FIELD(samplerate), IMMEDIATE(44100)},
    {S("samplelength"), S("SampleLength"), S(XtRInt), FIELD(samplelength), IMMEDIATE(2048)},
    {S("sampleresolution"), S("SampleResolution"), S(XtRInt), FIELD(sampleresolution), IMMEDIATE(16)},
    {S("sampledevice"), S("SampleDevice"), S(XtRString), FIELD(sampledevice), STRING("default")},
    {S("dcadjust"), S("DCAdjust"), S(XtRBoolean), FIELD(dcadjust), IMMEDIATE(True)},
    {S("source"), S("Source"), S(XtRString), FIELD(source), STRING("Soundcard")},
    {S("filename"), S("Filename"), S(XtRString), FIELD(filename), STRING("test.cdr")},
    {S("upperdb"), S("UpperDB"), S(XtRFloat), FIELD(upperdb), STRING("+10.0")},
    {S("lowerdb"), S("LowerDB"), S(XtRFloat), FIELD(lowerdb), STRING("-100.0")},
    {S("alpha"), S("Alpha"), S(XtRFloat), FIELD(alpha), STRING("20.0")},
    {S("decay"), S("Decay"), S(XtRFloat), FIELD(decay), STRING("48.0")},
    {S("stereo"), S("Stereo"), S(XtRBoolean), FIELD(stereo), IMMEDIATE(True)},
    {S("zoom"), S("Zoom"), S(XtRFloat), FIELD(zoom), STRING("6.0")},
    {S("datacolor"), S("DataColor"), S(XtRPixel), FIELD(datacolor), STRING("firebrick1")},
    {S("backgroundcolor"), S("BackgroundColor"), S(XtRPixel), FIELD(backgroundcolor), STRING("gray20")},
    {S("markercolor"), S("MarkerColor"), S(XtRPixel), FIELD(markercolor), STRING("yellow")},
    {S("majorgridcolor"), S("MajorGridColor"), S(XtRPixel), FIELD(majorgridcolor), STRING("gray60")},
    {S("minorgridcolor"), S("MinorGridColor"), S(XtRPixel), FIELD(minorgridcolor), STRING("gray40")},
    {S("gridfont"), S("GridFont"), S(XtRFontStruct), FIELD(gridfont), STRING("fixed")},
    // Measuring options.
    {S("averaging"), S("Averaging"), S(XtRInt), FIELD(averaging), IMMEDIATE(1)},
    {S("frequencyScale"), S("FrequencyScale"), S(XtRString), FIELD(frequencyscale), STRING("linear")},
    {S("peakLevel"), S("PeakLevel"), S(XtRBoolean), FIELD(peaklevel), IMMEDIATE(False)},
    {S("exportDirectory"), S("ExportDirectory"), S(XtRString), FIELD(exportdirectory), STRING(".")},
    {S("errorDialog"), S("ErrorDialog"), S(XtRBoolean), FIELD(errordialog), IMMEDIATE(False)},
    // Measurements.
    {S("harmonics"), S("Harmonics"), S(XtRInt), FIELD(harmonics), IMMEDIATE(9)},
    {S("measurements"), S("Measurements"), S(XtRBoolean), FIELD(measurements), IMMEDIATE(False)},
    {S("measurementLog"), S("MeasurementLog"), S(XtRString), FIELD(measurementlog), STRING("")},
};

XrmOptionDescRec option_table[] = {
    {S("-rate"), S(".samplerate"), XrmoptionSepArg, S("")},
    {S("-length"), S(".samplelength"), XrmoptionSepArg, S("")},
    {S("-resolution"), S(".sampleresolution"), XrmoptionSepArg, S("")},
    {S("-device"), S(".sampledevice"), XrmoptionSepArg, S("")},
    {S("-mono"), S(".stereo"), XrmoptionNoArg, S("False")},
    {S("-stereo"), S(".stereo"), XrmoptionNoArg, S("True")},
    {S("-soundcard"), S(".source"), XrmoptionNoArg, S("Soundcard")},
    {S("-diskfile"), S(".source"), XrmoptionNoArg, S("Diskfile")},
    {S("-filename"), S(".filename"), XrmoptionSepArg, S("")},
    {S("-dcadjust"), S(".dcadjust"), XrmoptionSepArg, S("")},
};

// The counts in the header are the tables' lengths.
#define LENGTH(table) (sizeof table / sizeof table[0])
static_assert(LENGTH(app_resource_table) == app_resource_count, "app_resource_count");
static_assert(LENGTH(option_table) == option_count, "option_count");

String fallback_resources[] = {
    S("Zentaphon.SampleRate:\t\t44100"),
    S("Zentaphon.SampleLength:\t\t2048"),
    S("Zentaphon.SampleResolution:\t16"),
    S("Zentaphon.SampleDevice:\t\tdefault"),
    S("Zentaphon.DCAdjust:\t\tTrue"),
    S("Zentaphon.Source:\t\tSoundcard"),
    S("Zentaphon.Filename:\t\ttest.wav"),
    S("Zentaphon.Stereo:\t\tTrue"),
    S("Zentaphon.UpperDB:\t\t+10.0"),
    S("Zentaphon.LowerDB:\t\t-100.0"),
    S("Zentaphon.Alpha:\t\t20.0"),
    S("Zentaphon.Decay:\t\t48.0"),
    S("Zentaphon.Zoom:\t\t\t6.0"),
    S("Zentaphon.DataColor:\t\tfirebrick1"),
    S("Zentaphon.BackgroundColor:\tgray20"),
    S("Zentaphon.MarkerColor:\t\tyellow"),
    S("Zentaphon.MajorGridColor:\tgray60"),
    S("Zentaphon.MinorGridColor:\tgray40"),
    S("Zentaphon.GridFont:\t\tfixed"),
    S("Zentaphon*Control*XmForm.marginWidth:\t3"),
    S("Zentaphon*Control*XmForm.marginHeight:\t3"),
    S("Zentaphon*Control.horizontalSpacing:\t5"),
    S("Zentaphon*Control.verticalSpacing:\t5"),
    S("Zentaphon.title:\t\tZentaphon: Control"),
    S("Zentaphon.iconName:\t\tZentaphon: Control"),
    S("Zentaphon*Analyser_popup.title:\tZentaphon: Frequency Spectrum"),
    S("Zentaphon*Scope_popup.title:\tZentaphon: XY Scope"),
    S("Zentaphon*Help_popup.title:\tZentaphon: Help"),
    S("Zentaphon*HelpText.width:\t500"),
    S("Zentaphon*HelpText.height:\t450"),
    S("Zentaphon*background:\t\tsteelblue"),
    S("Zentaphon*foreground:\t\tyellow"),
    S("Zentaphon*selectColor:\t\tred"),
    S("Zentaphon*XmLabel.foreground:\twhite"),
    S("Zentaphon*Alpha.maximum:\t500"),
    S("Zentaphon*Alpha.minimum:\t0"),
    S("Zentaphon*Alpha.decimalPoints:\t1"),
    S("Zentaphon*Alpha.titleString:\tAlpha for Gaussian"),
    S("Zentaphon*Alpha.orientation:\tHORIZONTAL"),
    S("Zentaphon*Alpha.showValue:\tTrue"),
    S("Zentaphon*Decay.maximum:\t1200"),
    S("Zentaphon*Decay.minimum:\t0"),
    S("Zentaphon*Decay.decimalPoints:\t1"),
    S("Zentaphon*Decay.titleString:\tDecay in dB/s"),
    S("Zentaphon*Decay.orientation:\tHORIZONTAL"),
    S("Zentaphon*Decay.showValue:\tTrue"),
    S("Zentaphon*Zoom.maximum:\t\t300"),
    S("Zentaphon*Zoom.minimum:\t\t0"),
    S("Zentaphon*Zoom.decimalPoints:\t1"),
    S("Zentaphon*Zoom.titleString:\tZoom in dB"),
    S("Zentaphon*Zoom.orientation:\tHORIZONTAL"),
    S("Zentaphon*Zoom.showValue:\tTrue"),
    S("Zentaphon*Analyser*XmDrawingArea.height:\t250"),
    S("Zentaphon*Analyser*XmDrawingArea.translations: #replace\t\\n\t<Btn1Down>:\tDrawingAreaInput()\t\t\\n\t<Btn1Motion>:\tDrawingAreaInput()"),
    S("Zentaphon*Scope*XmDrawingArea.width:\t\t300"),
    S("Zentaphon*Scope*XmDrawingArea.height:\t\t300"),
    S("Zentaphon*transient:\t\tFalse"),
    S("Zentaphon*recomputeSize:\tTrue"),
    S("Zentaphon*defaultPosition:\tTrue"),
    nullptr,
};
static_assert(LENGTH(fallback_resources) == fallback_count + 1, "fallback_count");

namespace {

// The number settings with their documented defaults.
struct NumberSetting {
    const char* name;
    const char* resource_class;
    bool is_float;
    void* field;
    double fallback;
};

const NumberSetting number_settings[] = {
    {"samplerate", "SampleRate", false, &app_resources.samplerate, 44100},
    {"samplelength", "SampleLength", false, &app_resources.samplelength, 2048},
    {"sampleresolution", "SampleResolution", false, &app_resources.sampleresolution, 16},
    {"upperdb", "UpperDB", true, &app_resources.upperdb, 10},
    {"lowerdb", "LowerDB", true, &app_resources.lowerdb, -100},
    {"alpha", "Alpha", true, &app_resources.alpha, 20},
    {"decay", "Decay", true, &app_resources.decay, 48},
    {"zoom", "Zoom", true, &app_resources.zoom, 6},
    {"averaging", "Averaging", false, &app_resources.averaging, 1},
    {"harmonics", "Harmonics", false, &app_resources.harmonics, 9},
};
constexpr int number_count = sizeof number_settings / sizeof number_settings[0];

XtErrorMsgHandler toolkit_warning = nullptr;

// Drops the toolkit's warning about a number it could not convert, which
// read_app_resources reports in its own words; passes on every other one.
void number_warning_filter(String name, String type, String cls, String text, String* params,
                           Cardinal* count)
{
    if (std::strcmp(name, "conversionError") == 0 && count && *count >= 2 &&
        (std::strcmp(params[1], XtRInt) == 0 || std::strcmp(params[1], XtRFloat) == 0))
        return;
    if (toolkit_warning)
        toolkit_warning(name, type, cls, text, params, count);
}

// The whole text, apart from surrounding blanks, as a number.
bool parse_number(const char* text, bool is_float, double& out)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    if (*text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    if (is_float) {
        const float f = std::strtof(text, &end);
        if (errno == ERANGE || !std::isfinite(f))
            return false;
        out = f;
    } else {
        const long v = std::strtol(text, &end, 10);
        if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
            return false;
        out = static_cast<double>(v);
    }
    while (std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    return *end == '\0';
}

void store(const NumberSetting& s, double v)
{
    if (s.is_float)
        *static_cast<float*>(s.field) = static_cast<float>(v);
    else
        *static_cast<int*>(s.field) = static_cast<int>(v);
}

// Each number setting once more, as the text it was given in (null when
// none was given), and checked.
void check_number_settings(Widget w)
{
    String texts[number_count] = {};
    XtResource table[number_count];
    for (int i = 0; i < number_count; ++i) {
        table[i] = XtResource{S(number_settings[i].name), S(number_settings[i].resource_class),
                              S(XtRString), static_cast<Cardinal>(sizeof(String)),
                              static_cast<Cardinal>(i * sizeof(String)), S(XtRImmediate),
                              nullptr};
    }
    XtGetApplicationResources(w, texts, table, number_count, nullptr, 0);
    for (int i = 0; i < number_count; ++i) {
        const NumberSetting& s = number_settings[i];
        double v = s.fallback;
        if (!texts[i]) {
            store(s, v);
        } else if (parse_number(texts[i], s.is_float, v)) {
            store(s, v);
        } else {
            std::fprintf(stderr, "error: resource %s: \"%s\" is not a number, using %g\n", s.name,
                         texts[i], s.fallback);
            store(s, s.fallback);
        }
    }
}

} // namespace

void read_app_resources(Widget w)
{
    XtAppContext app = XtWidgetToApplicationContext(w);
    toolkit_warning = XtAppSetWarningMsgHandler(app, number_warning_filter);
    XtGetApplicationResources(w, &app_resources, app_resource_table, app_resource_count, nullptr, 0);
    XtAppSetWarningMsgHandler(app, toolkit_warning);
    check_number_settings(w);
}
