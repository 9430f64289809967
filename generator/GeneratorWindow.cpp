#include "generator/GeneratorWindow.h"

#include "app/AppResources.h"
#include "app/Views.h"
#include "common/Text.h"
#include "generator/GeneratorOutput.h"
#include "sampler/Sampler.h"

#include <Xm/Label.h>
#include <Xm/RowColumn.h>
#include <Xm/Scale.h>
#include <Xm/TextF.h>
#include <Xm/ToggleB.h>
#include <Xm/Xm.h>
#include <X11/keysym.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const signal_words[] = {"sine", "white", "pink", "sweep", "off"};
const GeneratorSignal signals[] = {GeneratorSignal::Sine, GeneratorSignal::White, GeneratorSignal::Pink,
                                   GeneratorSignal::Sweep, GeneratorSignal::Off};
const char* const channel_words[] = {"both", "left", "right", "inverted"};
const GeneratorChannels channel_choices[] = {GeneratorChannels::Both, GeneratorChannels::Left,
                                             GeneratorChannels::Right, GeneratorChannels::Inverted};

GeneratorOutput output;
GeneratorSettings chosen;
bool on = false;
bool open_failed = false;           // this run's output failed: no new try until the next start
bool told_disk_file = false;        // the line for this run has been given
Widget dialog, on_toggle, clip_label;
int visible;
unsigned long long shown_clipped = ~0ull;

template <typename T, size_t N>
T chosen_word(const char* text, const char* const (&words)[N], const T (&values)[N])
{
    for (size_t i = 0; i < N; ++i)
        if (text && zen::strcasecmp(text, words[i]) == 0)
            return values[i];
    return values[0];
}

void tell_disk_file()
{
    if (on && sampler.device_pcm && sampler.source == Sampler::Diskfile && !told_disk_file) {
        std::fprintf(stderr, "warning: the generator plays only while sampling from the sound card; "
                             "in disk-file mode the device plays the file\n");
        told_disk_file = true;
    }
}

void apply_to_output()
{
    if (!output.is_open())
        return;
    output.generator().set(chosen);
    output.generator().switch_on(on);
}

void set_on(bool state)
{
    on = state;
    if (on_toggle)
        XmToggleButtonSetState(on_toggle, on, False);
    apply_to_output();
    tell_disk_file();
}

void show_clipped()
{
    if (!clip_label || !output.is_open() || output.generator().clipped() == shown_clipped)
        return;
    shown_clipped = output.generator().clipped();
    char text[64];
    std::snprintf(text, sizeof text, "clipped: %llu", shown_clipped);
    XmString s = XmStringCreateLocalized(text);
    XtVaSetValues(clip_label, XmNlabelString, s, nullptr);
    XmStringFree(s);
}

void on_callback(Widget, XtPointer, XtPointer call)
{
    set_on(static_cast<XmToggleButtonCallbackStruct*>(call)->set);
}

void signal_callback(Widget, XtPointer which, XtPointer call)
{
    if (!static_cast<XmToggleButtonCallbackStruct*>(call)->set)
        return;
    chosen.signal = signals[reinterpret_cast<intptr_t>(which)];
    apply_to_output();
}

void channels_callback(Widget, XtPointer which, XtPointer call)
{
    if (!static_cast<XmToggleButtonCallbackStruct*>(call)->set)
        return;
    chosen.channels = channel_choices[reinterpret_cast<intptr_t>(which)];
    apply_to_output();
}

void level_callback(Widget, XtPointer, XtPointer call)
{
    chosen.level_db = static_cast<XmScaleCallbackStruct*>(call)->value;
    apply_to_output();
}

void frequency_callback(Widget w, XtPointer, XtPointer)
{
    char* text = XmTextFieldGetString(w);
    char* end = nullptr;
    const double f = std::strtod(text, &end);
    if (end != text && std::isfinite(f) && f >= 1.0) {
        chosen.frequency = f;
        apply_to_output();
    }
    XtFree(text);
}

void key_handler(Widget, XtPointer, XEvent* event, Boolean*)
{
    if (event->type == KeyPress && XLookupKeysym(&event->xkey, 0) == XK_o)
        set_on(!on);
}

Widget radio(Widget parent, const char* name, const char* const* words, int count, int selected,
             XtCallbackProc callback)
{
    Widget box = XmCreateRadioBox(parent, const_cast<char*>(name), nullptr, 0);
    XtVaSetValues(box, XmNorientation, XmHORIZONTAL, nullptr);
    for (int i = 0; i < count; ++i) {
        Widget t = XmCreateToggleButton(box, const_cast<char*>(words[i]), nullptr, 0);
        XmToggleButtonSetState(t, i == selected, False);
        XtAddCallback(t, XmNvalueChangedCallback, callback, reinterpret_cast<XtPointer>(intptr_t(i)));
        XtAddEventHandler(t, KeyPressMask, False, key_handler, nullptr);
        XtManageChild(t);
    }
    XtManageChild(box);
    return box;
}

template <typename T, size_t N>
int index_of(T value, const T (&values)[N])
{
    for (size_t i = 0; i < N; ++i)
        if (values[i] == value)
            return int(i);
    return 0;
}

void closed()
{
    if (!app_resources.generatoron)
        output.close();
}

void create_generator_window()
{
    dialog = create_view_window("Generator", &visible, closed);
    XtVaSetValues(XtParent(dialog), XmNtitle, "Zentaphon: Generator", XmNiconName, "Zentaphon: Generator",
                  nullptr);
    Widget column = XmCreateRowColumn(dialog, const_cast<char*>("Column"), nullptr, 0);
    XtVaSetValues(column, XmNtopAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM,
                  XmNrightAttachment, XmATTACH_FORM, XmNbottomAttachment, XmATTACH_FORM, nullptr);
    on_toggle = XmCreateToggleButton(column, const_cast<char*>("On"), nullptr, 0);
    XmToggleButtonSetState(on_toggle, on, False);
    XtAddCallback(on_toggle, XmNvalueChangedCallback, on_callback, nullptr);
    XtAddEventHandler(on_toggle, KeyPressMask, False, key_handler, nullptr);
    XtManageChild(on_toggle);
    radio(column, "Signal", signal_words, 5, index_of(chosen.signal, signals), signal_callback);

    Widget label = XmCreateLabel(column, const_cast<char*>("Frequency (Hz)"), nullptr, 0);
    XtManageChild(label);
    Widget frequency = XmCreateTextField(column, const_cast<char*>("Frequency"), nullptr, 0);
    char text[32];
    std::snprintf(text, sizeof text, "%g", chosen.frequency);
    XmTextFieldSetString(frequency, text);
    XtAddCallback(frequency, XmNactivateCallback, frequency_callback, nullptr);
    XtManageChild(frequency);

    Widget level = XmCreateScale(column, const_cast<char*>("Level"), nullptr, 0);
    XmString title = XmStringCreateLocalized(const_cast<char*>("Level (dBFS)"));
    XtVaSetValues(level, XmNorientation, XmHORIZONTAL, XmNminimum, -120, XmNmaximum, 0, XmNvalue,
                  int(std::lround(chosen.level_db)), XmNshowValue, True, XmNtitleString, title, nullptr);
    XmStringFree(title);
    XtAddCallback(level, XmNvalueChangedCallback, level_callback, nullptr);
    XtAddEventHandler(level, KeyPressMask, False, key_handler, nullptr);
    XtManageChild(level);

    radio(column, "Channels", channel_words, 4, index_of(chosen.channels, channel_choices), channels_callback);
    clip_label = XmCreateLabel(column, const_cast<char*>("clipped: 0"), nullptr, 0);
    XtManageChild(clip_label);
    XtAddEventHandler(column, KeyPressMask, False, key_handler, nullptr);
    XtManageChild(column);
}

} // namespace

void show_generator_window()
{
    show_dialog(dialog, create_generator_window);
}

bool generator_window_open()
{
    return dialog && XtIsManaged(dialog);
}

bool generator_takes_blocks()
{
    return generator_window_open() || app_resources.generatoron;
}

void generator_take_block(const Block& block)
{
    if (sampler.source != Sampler::Soundcard) {
        tell_disk_file();
        return;
    }
    if (!output.is_open() && !open_failed) {
        if (!output.open(app_resources.generatordevice, sampler.rate, sampler.resolution, block.frames)) {
            open_failed = true;
            return;
        }
        shown_clipped = ~0ull;
        apply_to_output();
    }
    if (output.is_open() && !output.top_up())
        open_failed = true;
    if (block.inputs.first_block || block.count % 8 == 0)
        show_clipped();
}

void generator_sampling_stopped()
{
    output.close();
    open_failed = false;
    told_disk_file = false;
}

void generator_apply_settings()
{
    chosen.signal = chosen_word(app_resources.generatorsignal, signal_words, signals);
    chosen.channels = chosen_word(app_resources.generatorchannels, channel_words, channel_choices);
    chosen.frequency = app_resources.generatorfrequency;
    chosen.level_db = app_resources.generatorlevel;
    chosen.dither = app_resources.generatordither;
    chosen.sweep_start = app_resources.sweepstart;
    chosen.sweep_end = app_resources.sweepend;
    chosen.sweep_length = app_resources.sweeplength;
    on = app_resources.generatoron;
}
